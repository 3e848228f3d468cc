// Image file checks without the window: size rules and hints, folder parts, shortening.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "uFileCheck.h"

namespace {

QString MakeFile(const QTemporaryDir& Dir, const QString& Name, qint64 Size) {
  const QString Path = Dir.filePath(Name);
  QFile f(Path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  EXPECT_TRUE(f.resize(Size));
  return Path;
}

} // namespace

TEST(FileCheck, SizeRulesAndHints) {
  QTemporaryDir Dir;
  const struct {
    TImageKind Kind;
    qint64 Size;
    bool Pass;
  } Cases[] = {
      {TImageKind::Boot, 9999, false},
      {TImageKind::Boot, 10000, true},
      {TImageKind::Boot, 32768, true},
      {TImageKind::Boot, 32769, false},
      {TImageKind::Boot, 0, false},
      {TImageKind::Part, 3071, false},
      {TImageKind::Part, 3072, true},
      {TImageKind::Part, 3073, false},
      {TImageKind::Firm, 65535, false},
      {TImageKind::Firm, 65536, true},
      // The firmware must fit the 4 MiB flash from 0x10000.
      {TImageKind::Firm, 4128768, true},
      {TImageKind::Firm, 4128769, false},
      {TImageKind::Firm, 5242880, false},
  };
  for (const auto& c : Cases) {
    const QString Path = MakeFile(Dir, QString("f%1.bin").arg(c.Size), c.Size);
    const TFileCheck r = CheckImageFile(c.Kind, Path);
    EXPECT_EQ(r.Pass, c.Pass) << c.Size;
    EXPECT_EQ(r.Size, c.Size);
    EXPECT_EQ(r.Hint, c.Pass ? Path : QString("Filesize Error")) << c.Size;
  }
}

// Any image must fit the flash from its offset, in the whole blocks its write announces.
TEST(FileCheck, ImagesFitTheFlashFromTheirOffset) {
  const struct {
    TImageKind Kind;
    int64_t Size;
    uint32_t Offset;
    bool Pass;
  } Cases[] = {
      {TImageKind::Raw, 1, 0, true},
      {TImageKind::Raw, 0, 0, false}, // nothing to write
      {TImageKind::Raw, 4194304, 0, true},
      {TImageKind::Raw, 4194305, 0, false},
      {TImageKind::Raw, 16384, 0x3FC000, true},
      {TImageKind::Raw, 4096, 0x3FF000, false}, // its 16 KiB block passes the end
      {TImageKind::Raw, 1, 0x400000, false},
      {TImageKind::Raw, 1, 0xFFFFFFFF, false},
      {TImageKind::Raw, int64_t{1} << 40, 0, false},
      {TImageKind::Firm, 65536, 0x3F0000, true},
      {TImageKind::Firm, 65536, 0x3F0001, false},
      {TImageKind::Boot, 32768, 0x3F8000, true},
      {TImageKind::Boot, 32768, 0x3FC000, false},
  };
  for (const auto& c : Cases)
    EXPECT_EQ(ImageSizeFits(c.Kind, c.Size, c.Offset), c.Pass) << c.Size << " at " << c.Offset;
}

TEST(FileCheck, MissingNamesAndFolders) {
  QTemporaryDir Dir;
  QDir(Dir.path()).mkdir("boot.bin");
  const struct {
    QString Text;
    const char* Hint;
  } Cases[] = {
      {"", "No Filename"},
      {Dir.filePath("none.bin"), "File not found"},
      {Dir.filePath("boot.bin"), "File not found"}, // a folder of that name
  };
  for (const auto& c : Cases) {
    const TFileCheck r = CheckImageFile(TImageKind::Boot, c.Text);
    EXPECT_FALSE(r.Pass);
    EXPECT_EQ(r.Hint, c.Hint) << c.Text.toStdString();
    EXPECT_EQ(r.Size, -1);
  }
}

TEST(FileCheck, BlankInPathAndQuotedText) {
  QTemporaryDir Dir;
  QDir(Dir.path()).mkdir("my images");
  const QString Path = MakeFile(Dir, "my images/part.bin", 3072);
  EXPECT_TRUE(CheckImageFile(TImageKind::Part, Path).Pass);
  const TFileCheck q = CheckImageFile(TImageKind::Part, '"' + Path + '"');
  EXPECT_TRUE(q.Pass);
  EXPECT_EQ(Unquoted(('"' + Path + '"').toStdString()), Path.toStdString());
  EXPECT_EQ(Unquoted("\""), "\"");
  EXPECT_EQ(Unquoted("a\"b"), "a\"b");
}

TEST(FileCheck, BareNameLookedUpInWorkingDirectory) {
  QTemporaryDir Dir;
  MakeFile(Dir, "fw.bin", 70000);
  const QString Old = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(Dir.path()));
  const TFileCheck Here = CheckImageFile(TImageKind::Firm, "fw.bin");
  ASSERT_TRUE(QDir::setCurrent(QDir::tempPath()));
  const TFileCheck Elsewhere = CheckImageFile(TImageKind::Firm, "fw.bin");
  QDir::setCurrent(Old);
  EXPECT_TRUE(Here.Pass);
  EXPECT_EQ(Here.Hint, "fw.bin");
  EXPECT_EQ(Elsewhere.Hint, "File not found");
}

TEST(FileCheck, FolderPartAndBareName) {
  const struct {
    TPathStyle Style;
    const char* Path;
    const char* Folder;
    const char* Name;
  } Cases[] = {
      {TPathStyle::Windows, "C:\\boot.bin", "C:\\", "boot.bin"},
      {TPathStyle::Windows, "C:\\fw\\boot.bin", "C:\\fw", "boot.bin"},
      {TPathStyle::Windows, "C:boot.bin", "C:", "boot.bin"},
      {TPathStyle::Windows, "boot.bin", "", "boot.bin"},
      {TPathStyle::Windows, "\\\\srv\\share\\boot.bin", "\\\\srv\\share", "boot.bin"},
      {TPathStyle::Windows, "\\boot.bin", "\\", "boot.bin"},
      {TPathStyle::Windows, "C:\\Tools\\", "C:\\Tools", ""},
      {TPathStyle::Posix, "/home/u/fw/boot.bin", "/home/u/fw", "boot.bin"},
      {TPathStyle::Posix, "/boot.bin", "/", "boot.bin"},
      {TPathStyle::Posix, "boot.bin", "", "boot.bin"},
      {TPathStyle::Posix, "C:boot.bin", "", "C:boot.bin"},
      {TPathStyle::Posix, "/opt/quorvex/", "/opt/quorvex", ""},
      {TPathStyle::Posix, "", "", ""},
  };
  for (const auto& c : Cases) {
    EXPECT_EQ(FolderPart(c.Path, c.Style), c.Folder) << c.Path;
    EXPECT_EQ(BareName(c.Path, c.Style), c.Name) << c.Path;
  }
}

TEST(FileCheck, ShortenedOnlyInsideTheProgramFolder) {
  const struct {
    TPathStyle Style;
    const char* Text;
    const char* ProgPath;
    const char* Result; // nullptr: the text stays
  } Cases[] = {
      {TPathStyle::Windows, "C:\\Tools\\boot.bin", "C:\\Tools\\", "boot.bin"},
      {TPathStyle::Windows, "C:\\Tools\\boot.bin", "c:\\tools\\", nullptr}, // letter case
      {TPathStyle::Windows, "C:\\Tools\\fw\\boot.bin", "C:\\Tools\\", nullptr},
      {TPathStyle::Windows, "C:\\boot.bin", "C:\\", "boot.bin"}, // drive root
      {TPathStyle::Windows, "D:\\boot.bin", "C:\\", nullptr},
      {TPathStyle::Windows, "boot.bin", "C:\\Tools\\", nullptr}, // already bare
      {TPathStyle::Posix, "/opt/q/boot.bin", "/opt/q/", "boot.bin"},
      {TPathStyle::Posix, "/opt/Q/boot.bin", "/opt/q/", nullptr},
      {TPathStyle::Posix, "/opt/q/sub/boot.bin", "/opt/q/", nullptr},
      {TPathStyle::Posix, "/opt/qq/boot.bin", "/opt/q/", nullptr},
      {TPathStyle::Posix, "/boot.bin", "/", "boot.bin"}, // root folder
      {TPathStyle::Posix, "/opt/q/my boot.bin", "/opt/q/", "my boot.bin"},
  };
  for (const auto& c : Cases) {
    const QString r = ShortenedName(c.Text, c.ProgPath, c.Style);
    if (c.Result)
      EXPECT_EQ(r, c.Result) << c.Text << " in " << c.ProgPath;
    else
      EXPECT_TRUE(r.isNull()) << c.Text << " in " << c.ProgPath << " gave " << r.toStdString();
  }
}

namespace {
// Restores the working directory however the test ends.
struct TCwd {
  QString Old = QDir::currentPath();
  ~TCwd() { QDir::setCurrent(Old); }
};
} // namespace

// A bare name is looked up in the working directory, so a path is shortened only where
// the bare name finds that same file from there; a working path never becomes one that
// finds nothing, or another file.
TEST(FileCheck, ShortenedOnlyWhereTheBareNameFindsTheSameFile) {
  TCwd Cwd;
  QTemporaryDir Prog, Other;
  const QString Boot = MakeFile(Prog, "boot.bin", 16384);
  MakeFile(Other, "part.bin", 3072); // a namesake in the other folder
  const QString Part = MakeFile(Prog, "part.bin", 3072);
  const QString ProgPath = Prog.path() + "/";
  const struct {
    const char* Name;
    QString Cwd;
    QString Text;
    bool Shortened;
  } Cases[] = {
      {"working directory is the program folder", Prog.path(), Boot, true},
      {"working directory elsewhere", Other.path(), Boot, false},
      {"a namesake in the working directory", Other.path(), Part, false},
      {"no such file anywhere", Prog.path(), Prog.filePath("none.bin"), false},
      {"outside the program folder", Prog.path(), Other.filePath("part.bin"), false},
  };
  for (const auto& c : Cases) {
    ASSERT_TRUE(QDir::setCurrent(c.Cwd)) << c.Name;
    const QString r = WorkingShortName(c.Text, ProgPath);
    if (c.Shortened)
      EXPECT_EQ(r.toStdString(), BareName(c.Text.toStdString())) << c.Name;
    else
      EXPECT_TRUE(r.isNull()) << c.Name << " gave " << r.toStdString();
  }
}
