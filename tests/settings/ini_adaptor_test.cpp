// The window's settings storage, the core's INI store seen through QString: a file that
// is not taken in is named in a message for the window, and left alone.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <future>

#ifndef _WIN32
#include <fcntl.h>
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

} // namespace

TEST(IniAdaptor, OverLargeOrBinaryFileIgnoredAndLeftAlone) {
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
// A settings file that is no regular file (a FIFO would block the reader until someone
// writes to it) is not taken in, and never written over.
TEST(IniAdaptor, NonRegularFileIgnoredWithoutWaitingAndLeftAlone) {
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
