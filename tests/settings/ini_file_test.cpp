// The INI store: reading rules, value encodings, layout as written, encodings kept,
// and the file on disk left intact when it must not or cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/uIniStore.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

// A fresh folder under the system's temporary one, removed with everything in it.
struct TTempDir {
  fs::path Path;
  TTempDir() {
    std::random_device Rd;
    do
      Path = fs::temp_directory_path() / ("ini_file_test_" + std::to_string(Rd()));
    while (!fs::create_directory(Path));
  }
  ~TTempDir() {
    std::error_code Ec;
    fs::permissions(Path, fs::perms::owner_all, fs::perm_options::add, Ec);
    fs::remove_all(Path, Ec);
  }
  fs::path File(const std::string& Name) const { return Path / Name; }
  Names Files() const {
    Names r;
    for (const auto& e : fs::directory_iterator(Path))
      r.push_back(e.path().filename().string());
    std::sort(r.begin(), r.end());
    return r;
  }
};

std::string ReadAll(const fs::path& Path) {
  std::ifstream f(Path, std::ios::binary);
  if (!f) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& Path, const std::string& Data) {
  std::ofstream f(Path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(f);
  f.write(Data.data(), std::streamsize(Data.size()));
  ASSERT_TRUE(f);
}

TIniStore Parsed(const std::string& Data) {
  TIniStore Ini;
  Ini.SetBytes(Data);
  return Ini;
}

std::string Replaced(std::string s, const std::string& From, const std::string& To) {
  const size_t i = s.find(From);
  EXPECT_NE(i, std::string::npos) << From;
  if (i != std::string::npos) s.replace(i, From.size(), To);
  return s;
}

// A text as UTF-16 little-endian bytes after their mark.
std::string Utf16Le(const std::u16string& Text) {
  std::string b = "\xFF\xFE";
  for (char16_t u : Text) {
    b.push_back(char(u & 0xFF));
    b.push_back(char(u >> 8));
  }
  return b;
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
  const TIniStore Ini = Parsed("[CONFIG]\nConnBaud=fast\nDoBeep=perhaps\n");
  const struct {
    const char* Key;
    const char* Message;
  } Cases[] = {{"ConnBaud", "'fast' ist kein gültiger Integerwert (ConnBaud)"},
               {"DoBeep", "'perhaps' ist kein gültiger Integerwert (DoBeep)"}};
  for (const auto& c : Cases) {
    try {
      if (std::string(c.Key) == "DoBeep")
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
    const TIniStore Ini = Parsed(std::string("[CONFIG]\r\nDoBeep=") + c.Text + "\r\n");
    EXPECT_EQ(Ini.ReadBoolean("CONFIG", "DoBeep", !c.Value), c.Value) << c.Text;
  }
  // Not stored: the default, either way.
  const TIniStore Empty = Parsed("[CONFIG]\r\n");
  EXPECT_TRUE(Empty.ReadBoolean("CONFIG", "DoBeep", true));
  EXPECT_FALSE(Empty.ReadBoolean("CONFIG", "DoBeep", false));
}

TEST(IniFile, LayoutAsRead) {
  const TIniStore Ini = Parsed("orphan=1\r\n"
                               "  [ config ]  \r\n"
                               "\tConnBaud =  $1C200 \t\r\n"
                               "; ConnBaud=1\r\n"
                               "FastBaud=\r\n"
                               "Expr = a=b\n"
                               "just a line\r"
                               "[Files]\n"
                               "Bootloader=C:\\a b\\boot.bin\n");
  EXPECT_EQ(Ini.SectionNames(), Names({"config", "Files"}));
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
  TIniStore Ini = Parsed("; settings\r\n"
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
  EXPECT_EQ(Ini.Bytes(), std::string("; settings\r\n"
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
  const std::string Layout = "; Quorvex settings, edited by hand\r\n"
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
    std::function<void(TIniStore&)> Writes;
    std::string Expected;
  } Cases[] = {
      {"nothing written", [](TIniStore&) {}, Layout},
      {"the same values written back",
       [](TIniStore& I) {
         I.WriteInteger("CONFIG", "SlowLow", 2000);
         I.WriteBoolean("CONFIG", "FastFirst", true);
         I.WriteString("FILES", "Firmware", "fw.bin");
       },
       Layout},
      {"one value changed", [](TIniStore& I) { I.WriteInteger("config", "slowlow", 1400); },
       Replaced(Layout, "SlowLow =  2000 \r\n", "SlowLow=1400\r\n")},
      {"a key added goes before the section's closing blank lines",
       [](TIniStore& I) { I.WriteInteger("CONFIG", "FastHigh", 100); },
       Replaced(Layout, "TRUE\r\n\r\n", "TRUE\r\nFastHigh=100\r\n\r\n")},
      {"a section added after the last",
       [](TIniStore& I) { I.WriteString("Main", "ShowCmd", "1"); },
       Layout + "\r\n[Main]\r\nShowCmd=1\r\n\r\n"},
  };
  for (const auto& c : Cases) {
    TIniStore Ini = Parsed(Layout);
    c.Writes(Ini);
    EXPECT_EQ(Ini.Bytes(), c.Expected) << c.Name;
    // What was read is unchanged by keeping the layout.
    EXPECT_FALSE(Ini.ValueExists("CONFIG", "stray")) << c.Name;
    EXPECT_EQ(Ini.SectionNames().front(), "CONFIG") << c.Name;
  }
  // The same through the file on disk.
  TTempDir Dir;
  const fs::path Path = Dir.File("Quorvex.ini");
  WriteAll(Path, Layout);
  TIniStore Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "SlowLow", 0), 2000);
  Ini.WriteInteger("CONFIG", "SlowLow", 2000);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), Layout);
}

TEST(IniFile, EncodingsKeptFromReadingToWriting) {
  const std::string Text = "[FILES]\r\nFirmware=Grüße ✓.bin\r\n\r\n";
  const struct {
    TIniEncoding Enc;
    std::string Bytes;
  } Cases[] = {
      {TIniEncoding::Utf16LE, Utf16Le(u"[FILES]\r\nFirmware=Grüße ✓.bin\r\n\r\n")},
      {TIniEncoding::Utf16BE, EncodeIniText(Text, TIniEncoding::Utf16BE)},
      {TIniEncoding::Utf8Bom, "\xEF\xBB\xBF" + Text},
#ifndef _WIN32
      {TIniEncoding::Local, Text}, // the 8-bit code page is UTF-8 here
#endif
  };
  ASSERT_EQ(Cases[1].Bytes.substr(0, 2), "\xFE\xFF");
  for (const auto& c : Cases) {
    TIniStore Ini;
    ASSERT_TRUE(Ini.SetBytes(c.Bytes));
    EXPECT_EQ(Ini.Encoding(), c.Enc);
    EXPECT_EQ(Ini.ReadString("files", "firmware", ""), "Grüße ✓.bin");
    EXPECT_EQ(Ini.Bytes(), c.Bytes);
  }
}

#ifndef _WIN32
TEST(IniFile, SingleByteFileReadAsLatin1AndWrittenBackTheSame) {
  const std::string Data("[FILES]\r\nFirmware=caf\xE9.bin\r\n\r\n");
  TIniStore Ini;
  ASSERT_TRUE(Ini.SetBytes(Data));
  EXPECT_EQ(Ini.ReadString("FILES", "Firmware", ""), "café.bin");
  EXPECT_EQ(Ini.Bytes(), Data);
  // A character Latin-1 cannot hold moves the file to UTF-8 instead of losing it.
  Ini.WriteString("FILES", "Firmware", "✓.bin");
  EXPECT_EQ(Ini.Bytes(), "[FILES]\r\nFirmware=✓.bin\r\n\r\n");
}
#endif

TEST(IniFile, NewFileWrittenAndReadBack) {
  TTempDir Dir;
  const fs::path Path = Dir.File("Quorvex.ini");
  TIniStore Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.LoadProblem(), TIniLoadProblem::None);
  EXPECT_TRUE(Ini.SectionNames().empty());
  Ini.WriteInteger("CONFIG", "ConnBaud", -1);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), "[CONFIG]\r\nConnBaud=-1\r\n\r\n");
  TIniStore Again;
  Again.SetFileName(Path);
  EXPECT_EQ(static_cast<uint32_t>(Again.ReadInteger("CONFIG", "ConnBaud", 0)), 4294967295u);
  EXPECT_EQ(Dir.Files(), Names({"Quorvex.ini"}));
}

TEST(IniFile, ReadOnlyFileReadButNeverWritten) {
  TTempDir Dir;
  const fs::path Path = Dir.File("Quorvex.ini");
  const std::string Old("[CONFIG]\r\nConnBaud=9600\r\n");
  WriteAll(Path, Old);
  fs::permissions(Path, fs::perms::owner_read | fs::perms::group_read);
  TIniStore Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "ConnBaud", 0), 9600);
  Ini.WriteInteger("CONFIG", "ConnBaud", 115200);
  EXPECT_FALSE(Ini.UpdateFile());
  EXPECT_EQ(ReadAll(Path), Old);
  fs::permissions(Path, fs::perms::owner_write, fs::perm_options::add);
}

// A file that is not taken in is not read and never written over; the store says why.
TEST(IniFile, OverLargeOrBinaryFileIgnoredAndLeftAlone) {
  const struct {
    const char* Name;
    std::string Data;
    TIniLoadProblem Problem;
  } Cases[] = {
      {"over 1 MiB", "[CONFIG]\r\nConnBaud=9600\r\n" + std::string(IniMaxFileSize, 'x'),
       TIniLoadProblem::TooLarge},
      {"NUL bytes", std::string("[CONFIG]\r\nConnBaud=9600\r\n\0\0\x01\x02", 30),
       TIniLoadProblem::NotText},
      {"broken UTF-8 after its mark", "\xEF\xBB\xBF[CONFIG]\r\nConnBaud=\xC3\r\n",
       TIniLoadProblem::NotText},
      {"odd UTF-16", std::string("\xFF\xFE[\0C\0", 5), TIniLoadProblem::NotText},
  };
  for (const auto& c : Cases) {
    TTempDir Dir;
    const fs::path Path = Dir.File("Quorvex.ini");
    WriteAll(Path, c.Data);
    TIniStore Ini;
    Ini.SetFileName(Path);
    EXPECT_EQ(Ini.LoadProblem(), c.Problem) << c.Name;
    EXPECT_FALSE(Ini.ValueExists("CONFIG", "ConnBaud")) << c.Name;
    Ini.WriteInteger("CONFIG", "ConnBaud", 1);
    EXPECT_FALSE(Ini.UpdateFile()) << c.Name;
    EXPECT_EQ(ReadAll(Path), c.Data) << c.Name;
  }
  // Exactly at the limit the file is still taken.
  TTempDir Dir;
  const fs::path Path = Dir.File("Quorvex.ini");
  std::string Big("[CONFIG]\r\nConnBaud=9600\r\n");
  Big += std::string(IniMaxFileSize - Big.size(), ' ');
  WriteAll(Path, Big);
  TIniStore Ini;
  Ini.SetFileName(Path);
  EXPECT_EQ(Ini.LoadProblem(), TIniLoadProblem::None);
  EXPECT_EQ(Ini.ReadInteger("CONFIG", "ConnBaud", 0), 9600);
}

// The UTF-16 reading: pairs make one character, and units that pair with nothing are
// carried through, so that such a file is written back exactly as it was read.
TEST(IniFile, Utf16SurrogatesReadAndWrittenBackAsTheyWere) {
  const std::u16string Pair = u"[FILES]\r\nFirmware=\U0001F600.bin\r\n";
  std::u16string Lone = u"[FILES]\r\nFirmware=a.bin\r\n";
  Lone[18] = char16_t(0xD800); // "a" replaced by half a pair
  TIniStore Ini;
  ASSERT_TRUE(Ini.SetBytes(Utf16Le(Pair)));
  EXPECT_EQ(Ini.ReadString("FILES", "Firmware", ""), "\xF0\x9F\x98\x80.bin");
  Ini.WriteString("FILES", "Bootloader", "\xF0\x9F\x98\x80");
  EXPECT_EQ(Ini.Bytes(), Utf16Le(Pair + u"Bootloader=\U0001F600\r\n"));
  ASSERT_TRUE(Ini.SetBytes(Utf16Le(Lone)));
  EXPECT_EQ(Ini.Bytes(), Utf16Le(Lone));
}

#ifndef _WIN32
// A write that fails part-way (here: the file size limit of the process, as a full disk
// would) leaves the old file exactly as it was and no temporary file behind.
TEST(IniFile, InterruptedWriteLeavesOldFileIntact) {
  TTempDir Dir;
  const fs::path Path = Dir.File("Quorvex.ini");
  const std::string Old("[CONFIG]\r\nConnBaud=9600\r\n\r\n");
  WriteAll(Path, Old);
  TIniStore Ini;
  Ini.SetFileName(Path);
  for (int i = 0; i < 2000; ++i)
    Ini.WriteInteger("Big", "Key" + std::to_string(i), i);

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
  EXPECT_EQ(Dir.Files(), Names({"Quorvex.ini"}));
}

// The new file keeps the old one's permissions, and a link is written through to the
// file it names rather than replaced.
TEST(IniFile, WriteKeepsPermissionsAndFollowsALink) {
  TTempDir Dir;
  const fs::path Real = Dir.File("real.ini"), Link = Dir.File("Quorvex.ini");
  WriteAll(Real, "[CONFIG]\r\n");
  ASSERT_EQ(::chmod(Real.c_str(), 0640), 0);
  fs::create_symlink(Real, Link);
  TIniStore Ini;
  Ini.SetFileName(Link);
  Ini.WriteInteger("CONFIG", "ConnBaud", 9600);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Link)));
  EXPECT_EQ(ReadAll(Real), "[CONFIG]\r\nConnBaud=9600\r\n");
  struct stat St {};
  ASSERT_EQ(::stat(Real.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, 0640u);
  EXPECT_EQ(Dir.Files(), Names({"Quorvex.ini", "real.ini"}));
}

// A settings file that is no regular file (a FIFO would block the reader until someone
// writes to it) is not taken in, and never written over.
TEST(IniFile, NonRegularFileIgnoredWithoutWaitingAndLeftAlone) {
  const struct {
    const char* Name;
    std::function<bool(const fs::path&)> Make;
  } Cases[] = {
      {"FIFO", [](const fs::path& P) { return ::mkfifo(P.c_str(), 0644) == 0; }},
      {"folder", [](const fs::path& P) { return fs::create_directory(P); }},
      {"link to a device",
       [](const fs::path& P) { return ::symlink("/dev/zero", P.c_str()) == 0; }},
  };
  for (const auto& c : Cases) {
    TTempDir Dir;
    const fs::path Path = Dir.File("Quorvex.ini");
    ASSERT_TRUE(c.Make(Path)) << c.Name;
    TIniStore Ini;
    auto Load = std::async(std::launch::async, [&] { Ini.SetFileName(Path); });
    if (Load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << c.Name << ": loading waits for a writer";
      // Lets the blocked reader go: a writer that arrives and leaves gives it an end of file.
      const int Fd = ::open(Path.c_str(), O_WRONLY | O_NONBLOCK);
      if (Fd >= 0) ::close(Fd);
      Load.wait();
    }
    EXPECT_EQ(Ini.LoadProblem(), TIniLoadProblem::NotRegular) << c.Name;
    Ini.WriteInteger("CONFIG", "ConnBaud", 1);
    EXPECT_FALSE(Ini.UpdateFile()) << c.Name;
    struct stat St {};
    ASSERT_EQ(::lstat(Path.c_str(), &St), 0) << c.Name;
    EXPECT_FALSE(S_ISREG(St.st_mode)) << c.Name << ": replaced by a regular file";
  }
}
#endif
