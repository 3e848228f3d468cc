// The settings store: reading rules, value encodings, layout as written, encodings kept,
// and the file on disk left intact when it must not or cannot be written.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <future>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "uIniFile.h"

namespace {

QByteArray ReadAll(const QString& Path) {
  QFile f(Path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& Path, const QByteArray& Data) {
  QFile f(Path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  ASSERT_EQ(f.write(Data), Data.size());
}

TIniFile Parsed(const QByteArray& Data) {
  TIniFile Ini;
  Ini.SetBytes(Data);
  return Ini;
}

} // namespace

TEST(IniFile, IntegerReading) {
  const struct {
    const char* Text;
    int32_t Value;
  } Good[] = {
      {"", 0},
      {"115200", 115200},
      {"$1C200", 115200},
      {"0x1C200", 115200},
      {"0X1c200", 115200},
      {"x1C200", 115200},
      {"X1C200", 115200},
      {"  42", 42},
      {"+7", 7},
      {"-5", -5},
      {"-1", -1},
      {"$FFFFFFFF", -1},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"-$10", -16},
      {"007", 7},
  };
  for (const auto& c : Good) {
    int32_t v = 12345;
    EXPECT_TRUE(IniTryStrToInt(c.Text, v)) << c.Text;
    EXPECT_EQ(v, c.Value) << c.Text;
  }
  const char* Bad[] = {"fast",       "2147483648", "-2147483649", "12 ", "$",   "0x",   "1.5",
                       "$100000000", "--1",        "+",           " ",   "1e3", "0x-1", "$G"};
  for (const char* t : Bad) {
    int32_t v = 0;
    EXPECT_FALSE(IniTryStrToInt(t, v)) << t;
  }
}

TEST(IniFile, ConversionErrorNamesTheText) {
  const TIniFile Ini = Parsed("[CONFIG]\nConnBaud=fast\nDoBeep=perhaps\n");
  const struct {
    const char* Key;
    const char* Message;
  } Cases[] = {{"ConnBaud", "'fast' ist kein gültiger Integerwert (ConnBaud)"},
               {"DoBeep", "'perhaps' ist kein gültiger Integerwert (DoBeep)"}};
  for (const auto& c : Cases) {
    try {
      if (QString(c.Key) == "DoBeep")
        Ini.ReadBoolean("CONFIG", c.Key, true);
      else
        Ini.ReadInteger("CONFIG", c.Key, 1);
      ADD_FAILURE() << c.Key << " read without an error";
    } catch (const EConvertError& E) {
      EXPECT_STREQ(E.what(), c.Message);
    }
  }
}

TEST(IniFile, BooleanReading) {
  const struct {
    const char* Text;
    bool Value;
  } Cases[] = {{"yes", true},    {"Y", true},   {"True", true}, {"TRUE", true}, {"2", true},
               {"-1", true},     {"$10", true}, {"no", false},  {"n", false},   {"FALSE", false},
               {"false", false}, {"0", false},  {"", false}};
  for (const auto& c : Cases) {
    const TIniFile Ini = Parsed(QByteArray("[CONFIG]\r\nDoBeep=") + c.Text + "\r\n");
    EXPECT_EQ(Ini.ReadBoolean("CONFIG", "DoBeep", !c.Value), c.Value) << c.Text;
  }
  // Not stored: the default, either way.
  const TIniFile Empty = Parsed("[CONFIG]\r\n");
  EXPECT_TRUE(Empty.ReadBoolean("CONFIG", "DoBeep", true));
  EXPECT_FALSE(Empty.ReadBoolean("CONFIG", "DoBeep", false));
}

TEST(IniFile, LayoutAsRead) {
  const TIniFile Ini = Parsed("orphan=1\r\n"
                              "  [ config ]  \r\n"
                              "\tConnBaud =  $1C200 \t\r\n"
                              "; ConnBaud=1\r\n"
                              "FastBaud=\r\n"
                              "Expr = a=b\n"
                              "just a line\r"
                              "[Files]\n"
                              "Bootloader=C:\\a b\\boot.bin\n");
  EXPECT_EQ(Ini.SectionNames(), QStringList({"config", "Files"}));
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "connbaud", 0), 115200);
  EXPECT_TRUE(Ini.ValueExists("CONFIG", "FastBaud")); // stored, though empty
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "FastBaud", 921600), 0);
  EXPECT_EQ(Ini.ReadString("Config", "expr", ""), "a=b");
  EXPECT_EQ(Ini.ReadString("FILES", "BOOTLOADER", ""), "C:\\a b\\boot.bin");
  EXPECT_FALSE(Ini.ValueExists("CONFIG", "orphan"));
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "SlowLow", 1400), 1400);
  EXPECT_EQ(Ini.ReadString("nosection", "x", "dflt"), "dflt");
}

TEST(IniFile, RoundTripKeepsUnknownKeysAndCommentsAddsKeysAtSectionEnd) {
  TIniFile Ini = Parsed("; settings\r\n"
                        "[CONFIG]\r\n"
                        "ConnBaud=115200\r\n"
                        "\r\n"
                        "; the user's own\r\n"
                        "Extra = kept value\r\n"
                        "free text line\r\n"
                        "[Other]\r\n"
                        "k=v\r\n");
  Ini.WriteInteger("config", "CONNBAUD", 230400);
  Ini.WriteBoolean("CONFIG", "DoBeep", false);
  Ini.WriteString("FILES", "Firmware", "fw.bin");
  Ini.WriteString("FILES", "Bootloader", "two\r\nlines");
  EXPECT_EQ(Ini.Bytes(), QByteArray("; settings\r\n"
                                    "[CONFIG]\r\n"
                                    "ConnBaud=230400\r\n"
                                    "\r\n"
                                    "; the user's own\r\n"
                                    "Extra = kept value\r\n"
                                    "free text line\r\n"
                                    "DoBeep=FALSE\r\n"
                                    "[Other]\r\n"
                                    "k=v\r\n"
                                    "\r\n"
                                    "[FILES]\r\n"
                                    "Firmware=fw.bin\r\n"
                                    "Bootloader=two  lines\r\n"
                                    "\r\n"));
}

// A user's comments and layout are theirs: a file the program reads and writes back
// changes only in the lines of keys whose values the program changed or added.
TEST(IniFile, CommentsBlankLinesAndSpacingSurviveARoundTrip) {
  const QByteArray Layout = "; Quorvex settings, edited by hand\r\n"
                            "# another comment style\r\n"
                            "stray=before any section\r\n"
                            "\r\n"
                            "  [CONFIG]  \r\n"
                            "; the board on my desk needs a long reset\r\n"
                            "SlowLow =  2000 \r\n"
                            "\tFastFirst=  TRUE\r\n"
                            "\r\n"
                            "\r\n"
                            "[FILES]\r\n"
                            "Firmware = fw.bin   \r\n"
                            "; trailing comment\r\n";
  const struct {
    const char* Name;
    std::function<void(TIniFile&)> Writes;
    QByteArray Expected;
  } Cases[] = {
      {"nothing written", [](TIniFile&) {}, Layout},
      {"the same values written back",
       [](TIniFile& I) {
         I.WriteInteger("CONFIG", "SlowLow", 2000);
         I.WriteBoolean("CONFIG", "FastFirst", true);
         I.WriteString("FILES", "Firmware", "fw.bin");
       },
       Layout},
      {"one value changed", [](TIniFile& I) { I.WriteInteger("config", "slowlow", 1400); },
       QByteArray(Layout).replace("SlowLow =  2000 \r\n", "SlowLow=1400\r\n")},
      {"a key added goes before the section's closing blank lines",
       [](TIniFile& I) { I.WriteInteger("CONFIG", "FastHigh", 100); },
       QByteArray(Layout).replace("TRUE\r\n\r\n", "TRUE\r\nFastHigh=100\r\n\r\n")},
      {"a section added after the last", [](TIniFile& I) { I.WriteString("Main", "ShowCmd", "1"); },
       Layout + "\r\n[Main]\r\nShowCmd=1\r\n\r\n"},
  };
  for (const auto& c : Cases) {
    TIniFile Ini = Parsed(Layout);
    c.Writes(Ini);
    EXPECT_EQ(Ini.Bytes(), c.Expected) << c.Name;
    // What was read is unchanged by keeping the layout.
    EXPECT_FALSE(Ini.ValueExists("CONFIG", "stray")) << c.Name;
    EXPECT_EQ(Ini.SectionNames().first(), "CONFIG") << c.Name;
  }
  // The same through the file on disk.
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  WriteAll(Path, Layout);
  TIniFile Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "SlowLow", 0), 2000);
  Ini.WriteInteger("CONFIG", "SlowLow", 2000);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), Layout);
}

TEST(IniFile, EncodingsKeptFromReadingToWriting) {
  const QString Text = QString::fromUtf8("[FILES]\r\nFirmware=Grüße ✓.bin\r\n\r\n");
  const struct {
    TIniEncoding Enc;
    QByteArray Bytes;
  } Cases[] = {
      {TIniEncoding::Utf16LE,
       QByteArray("\xFF\xFE") +
           QByteArray(reinterpret_cast<const char*>(Text.utf16()), Text.size() * 2)},
      {TIniEncoding::Utf16BE, EncodeIniText(Text, TIniEncoding::Utf16BE)},
      {TIniEncoding::Utf8Bom, QByteArray("\xEF\xBB\xBF") + Text.toUtf8()},
      {TIniEncoding::Local, Text.toUtf8()},
  };
  ASSERT_TRUE(Cases[1].Bytes.startsWith("\xFE\xFF"));
  for (const auto& c : Cases) {
    TIniFile Ini;
    ASSERT_TRUE(Ini.SetBytes(c.Bytes));
    EXPECT_EQ(Ini.Encoding(), c.Enc);
    EXPECT_EQ(Ini.ReadString("files", "firmware", ""), QString::fromUtf8("Grüße ✓.bin"));
    EXPECT_EQ(Ini.Bytes(), c.Bytes);
  }
}

TEST(IniFile, SingleByteFileReadAsLatin1AndWrittenBackTheSame) {
  const QByteArray Data("[FILES]\r\nFirmware=caf\xE9.bin\r\n\r\n");
  TIniFile Ini;
  ASSERT_TRUE(Ini.SetBytes(Data));
  EXPECT_EQ(Ini.ReadString("FILES", "Firmware", ""), QString::fromUtf8("café.bin"));
  EXPECT_EQ(Ini.Bytes(), Data);
  // A character Latin-1 cannot hold moves the file to UTF-8 instead of losing it.
  Ini.WriteString("FILES", "Firmware", QString::fromUtf8("✓.bin"));
  EXPECT_EQ(Ini.Bytes(), QString::fromUtf8("[FILES]\r\nFirmware=✓.bin\r\n\r\n").toUtf8());
}

TEST(IniFile, NewFileWrittenAndReadBack) {
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  TIniFile Ini;
  Ini.SetFileName(Path);
  EXPECT_TRUE(Ini.LoadProblem().isEmpty());
  EXPECT_TRUE(Ini.SectionNames().isEmpty());
  Ini.WriteInteger("CONFIG", "ConnBaud", -1);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), QByteArray("[CONFIG]\r\nConnBaud=-1\r\n\r\n"));
  TIniFile Again;
  Again.SetFileName(Path);
  EXPECT_EQ(static_cast<uint32_t>(Again.ReadInteger("CONFIG", "ConnBaud", 0)), 4294967295u);
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList({"Quorvex.ini"}));
}

TEST(IniFile, ReadOnlyFileReadButNeverWritten) {
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  const QByteArray Old("[CONFIG]\r\nConnBaud=9600\r\n");
  WriteAll(Path, Old);
  QFile::setPermissions(Path, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
  TIniFile Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "ConnBaud", 0), 9600);
  Ini.WriteInteger("CONFIG", "ConnBaud", 115200);
  EXPECT_FALSE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), Old);
}

TEST(IniFile, OverLargeOrBinaryFileIgnoredAndLeftAlone) {
  const struct {
    const char* Name;
    QByteArray Data;
  } Cases[] = {
      {"over 1 MiB", QByteArray("[CONFIG]\r\nConnBaud=9600\r\n") + QByteArray(IniMaxFileSize, 'x')},
      {"NUL bytes", QByteArray("[CONFIG]\r\nConnBaud=9600\r\n\0\0\x01\x02", 30)},
      {"broken UTF-8 after its mark", QByteArray("\xEF\xBB\xBF[CONFIG]\r\nConnBaud=\xC3\r\n")},
      {"odd UTF-16", QByteArray("\xFF\xFE[\0C\0", 5)},
  };
  for (const auto& c : Cases) {
    QTemporaryDir Dir;
    const QString Path = Dir.filePath("Quorvex.ini");
    WriteAll(Path, c.Data);
    TIniFile Ini;
    Ini.SetFileName(Path);
    EXPECT_FALSE(Ini.LoadProblem().isEmpty()) << c.Name;
    EXPECT_TRUE(Ini.LoadProblem().contains("Quorvex.ini")) << c.Name;
    EXPECT_FALSE(Ini.ValueExists("CONFIG", "ConnBaud")) << c.Name;
    Ini.WriteInteger("CONFIG", "ConnBaud", 1);
    EXPECT_FALSE(Ini.UpdateFile()) << c.Name;
    EXPECT_EQ(ReadAll(Path), c.Data) << c.Name;
  }
  // Exactly at the limit the file is still taken.
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  QByteArray Big("[CONFIG]\r\nConnBaud=9600\r\n");
  Big += QByteArray(IniMaxFileSize - Big.size(), ' ');
  WriteAll(Path, Big);
  TIniFile Ini;
  Ini.SetFileName(Path);
  EXPECT_TRUE(Ini.LoadProblem().isEmpty());
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "ConnBaud", 0), 9600);
}

#ifndef _WIN32
// A write that fails part-way (here: the file size limit of the process, as a full disk
// would) leaves the old file exactly as it was and no temporary file behind.
TEST(IniFile, InterruptedWriteLeavesOldFileIntact) {
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  const QByteArray Old("[CONFIG]\r\nConnBaud=9600\r\n\r\n");
  WriteAll(Path, Old);
  TIniFile Ini;
  Ini.SetFileName(Path);
  for (int i = 0; i < 2000; ++i)
    Ini.WriteInteger("Big", QString("Key%1").arg(i), i);

  struct rlimit Saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
  struct rlimit Small = Saved;
  Small.rlim_cur = 4096;
  const auto OldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
  const bool Written = Ini.UpdateFile();
  setrlimit(RLIMIT_FSIZE, &Saved);
  signal(SIGXFSZ, OldHandler);

  EXPECT_FALSE(Written);
  EXPECT_EQ(ReadAll(Path), Old);
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"Quorvex.ini"}));
}
#endif

#ifndef _WIN32
// A settings file that is no regular file (a FIFO would block the reader until someone
// writes to it) is not taken in, and never written over.
TEST(IniFile, NonRegularFileIgnoredWithoutWaitingAndLeftAlone) {
  const struct {
    const char* Name;
    std::function<bool(const QString&)> Make;
  } Cases[] = {
      {"FIFO", [](const QString& P) { return ::mkfifo(P.toLocal8Bit().constData(), 0644) == 0; }},
      {"folder", [](const QString& P) { return QDir().mkdir(P); }},
      {"link to a device", [](const QString& P) { return QFile::link("/dev/zero", P); }},
  };
  for (const auto& c : Cases) {
    QTemporaryDir Dir;
    const QString Path = Dir.filePath("Quorvex.ini");
    ASSERT_TRUE(c.Make(Path)) << c.Name;
    TIniFile Ini;
    auto Load = std::async(std::launch::async, [&] { Ini.SetFileName(Path); });
    if (Load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << c.Name << ": loading waits for a writer";
      // Lets the blocked reader go: a writer that arrives and leaves gives it an end of file.
      const int Fd = ::open(Path.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK);
      if (Fd >= 0) ::close(Fd);
      Load.wait();
    }
    EXPECT_TRUE(Ini.LoadProblem().contains("Quorvex.ini")) << c.Name;
    EXPECT_TRUE(Ini.LoadProblem().contains("not a regular file")) << c.Name;
    Ini.WriteInteger("CONFIG", "ConnBaud", 1);
    EXPECT_FALSE(Ini.UpdateFile()) << c.Name;
    struct stat St {};
    ASSERT_EQ(::lstat(Path.toLocal8Bit().constData(), &St), 0) << c.Name;
    EXPECT_FALSE(S_ISREG(St.st_mode)) << c.Name << ": replaced by a regular file";
  }
}
#endif
