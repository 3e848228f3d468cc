// The file checks in the real window: colours, hints, the Update button, the debug lines,
// and the change handling that shortens and unquotes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <array>

#include "../settings/main_rig.h"

namespace {

const QColor LightRed(255, 192, 192);

QString MakeFile(const QString& Folder, const QString& Name, qint64 Size) {
  QDir().mkpath(Folder);
  const QString Path = Folder + "/" + Name;
  QFile f(Path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  EXPECT_TRUE(f.resize(Size));
  return Path;
}

QColor Colour(const QLineEdit* Ed) {
  return Ed->palette().color(QPalette::Base);
}

bool Passes(const QLineEdit* Ed) {
  return Colour(Ed) == QApplication::palette().color(QPalette::Base);
}

// One image per edit that passes its rule: bootloader, partition table, firmware.
std::array<QString, 3> GoodImages(const QString& Folder) {
  return {MakeFile(Folder, "boot.bin", 20000), MakeFile(Folder, "part.bin", 3072),
          MakeFile(Folder, "fw.bin", 100000)};
}

std::array<TFileEdit*, 3> Edits(const TMainRig& Rig) {
  return {Rig.Main->edBoot, Rig.Main->edPart, Rig.Main->edFirm};
}

// Restores the working directory however the test ends.
struct TCwd {
  QString Old = QDir::currentPath();
  ~TCwd() { QDir::setCurrent(Old); }
};

} // namespace

TEST(FileEdit, EachEditsRuleDecidesAndUpdateNeedsAllThree) {
  TMainRig Rig;
  Rig.Show();
  const QString Imgs = Rig.Dir.filePath("img");
  const std::array<QString, 3> Good = GoodImages(Imgs);
  const std::array<TFileEdit*, 3> Eds = Edits(Rig);
  const struct {
    int Edit;
    qint64 Size;      // -1: an empty text, -2: a name with no file
    const char* Hint; // nullptr: the text itself
  } Cases[] = {
      {0, 9999, "Filesize Error"},  {0, 10000, nullptr},          {0, 32768, nullptr},
      {0, 32769, "Filesize Error"}, {1, 3071, "Filesize Error"},  {1, 3072, nullptr},
      {1, 3073, "Filesize Error"},  {2, 65535, "Filesize Error"}, {2, 65536, nullptr},
      {0, -1, "No Filename"},       {2, -2, "File not found"},
  };
  int n = 0;
  for (const auto& c : Cases) {
    for (int i = 0; i < 3; ++i)
      Eds[i]->setText(Good[i]);
    ASSERT_TRUE(Rig.Main->butUpdate->isEnabled());
    const QString Text = c.Size == -1   ? QString()
                         : c.Size == -2 ? Imgs + "/missing.bin"
                                        : MakeFile(Imgs, QString("t%1.bin").arg(++n), c.Size);
    Eds[c.Edit]->setText(Text);
    const bool Pass = c.Hint == nullptr;
    EXPECT_EQ(Eds[c.Edit]->toolTip(), Pass ? Text : QString(c.Hint)) << c.Size;
    EXPECT_EQ(Passes(Eds[c.Edit]), Pass) << c.Size;
    if (!Pass) {
      EXPECT_EQ(Colour(Eds[c.Edit]), LightRed);
    }
    EXPECT_EQ(Rig.Main->butUpdate->isEnabled(), Pass) << c.Size;
    for (int i = 0; i < 3; ++i)
      if (i != c.Edit) {
        EXPECT_TRUE(Passes(Eds[i]));
      }
  }
}

TEST(FileEdit, AllFailingLeavesEraseEnabled) {
  TMainRig Rig; // first start: all three empty
  Rig.Show();
  Rig.Main->Timer1Timer();
  for (TFileEdit* Ed : {Rig.Main->edBoot, Rig.Main->edPart, Rig.Main->edFirm}) {
    EXPECT_EQ(Colour(Ed), LightRed);
    EXPECT_EQ(Ed->toolTip(), "No Filename");
  }
  EXPECT_FALSE(Rig.Main->butUpdate->isEnabled());
  EXPECT_TRUE(Rig.Main->butErase->isEnabled());
}

TEST(FileEdit, OneDebugLinePerExistingFileInEditOrder) {
  TMainRig Rig;
  const QString Imgs = Rig.Dir.filePath("img");
  const QByteArray Ini = "[FILES]\r\nBootloader=" + MakeFile(Imgs, "b.bin", 12345).toUtf8() +
                         "\r\nPartitions=" + MakeFile(Imgs, "p.bin", 100).toUtf8() +
                         "\r\nFirmware=" + Imgs.toUtf8() + "/none.bin\r\n";
  QFile f(Rig.IniPath());
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(Ini);
  f.close();
  Rig.Main->IniFile->SetFileName(Rig.IniPath());
  Rig.Show();
  const size_t Before = Rig.Log.Lines().size();
  Rig.Main->Timer1Timer(); // the one-shot run: one check of all three
  const std::vector<std::string> Added(Rig.Log.Lines().begin() + Before, Rig.Log.Lines().end());
  EXPECT_EQ(Added, (std::vector<std::string>{"12345", "100"}));
  EXPECT_EQ(Rig.Main->edFirm->toolTip(), "File not found");
}

TEST(FileEdit, FileInProgramFolderShownByBareName) {
  TCwd Cwd;
  TMainRig Rig;
  Rig.Show();
  const QString Path = MakeFile(Rig.Dir.path(), "boot.bin", 16384);
  ASSERT_TRUE(QDir::setCurrent(Rig.Dir.path()));
  const size_t Before = Rig.Log.Lines().size();
  Rig.Main->edBoot->setText(Path);
  EXPECT_EQ(Rig.Main->edBoot->text(), "boot.bin");
  EXPECT_EQ(Rig.Main->edBoot->toolTip(), "boot.bin");
  EXPECT_TRUE(Passes(Rig.Main->edBoot));
  // The inner run of the changed text and the outer one: two checks, two lines.
  EXPECT_EQ(Rig.Log.Lines().size() - Before, 2u);

  // With another working directory the bare name names no file.
  ASSERT_TRUE(QDir::setCurrent(QDir::rootPath()));
  Rig.Main->Timer1Timer();
  EXPECT_EQ(Rig.Main->edBoot->toolTip(), "File not found");
  EXPECT_FALSE(Passes(Rig.Main->edBoot));
}

TEST(FileEdit, OtherFolderOrOtherLetterCaseKeepsFullPath) {
  TMainRig Rig;
  Rig.Show();
  const QString Elsewhere = MakeFile(Rig.Dir.filePath("sub"), "boot.bin", 16384);
  Rig.Main->edBoot->setText(Elsewhere);
  EXPECT_EQ(Rig.Main->edBoot->text(), Elsewhere);
  EXPECT_EQ(Rig.Main->edBoot->toolTip(), Elsewhere);

  const QString Here = MakeFile(Rig.Dir.path(), "boot.bin", 16384);
  Rig.Main->ProgPath = Rig.Dir.path().toUpper() + "/";
  ASSERT_NE(Rig.Main->ProgPath, Rig.Dir.path() + "/");
  Rig.Main->edBoot->setText(Here);
  EXPECT_EQ(Rig.Main->edBoot->text(), Here);
  EXPECT_TRUE(Passes(Rig.Main->edBoot));
}

TEST(FileEdit, FileThatCannotBeOpenedIsReportedAndLeavesUpdateAsItWas) {
  // A regular file that even root may not read: a write-only sysfs attribute.
  const QString Unreadable = "/sys/bus/pci/rescan";
  {
    QFile Probe(Unreadable);
    if (!QFileInfo(Unreadable).isFile() || Probe.open(QIODevice::ReadOnly))
      GTEST_SKIP() << "no unreadable regular file on this machine";
  }
  TMainRig Rig;
  Rig.Show();
  const std::array<QString, 3> Good = GoodImages(Rig.Dir.filePath("img"));
  const std::array<TFileEdit*, 3> Eds = Edits(Rig);
  for (int i = 0; i < 3; ++i)
    Eds[i]->setText(Good[i]);
  ASSERT_TRUE(Rig.Main->butUpdate->isEnabled());
  ASSERT_TRUE(Rig.Boxes.isEmpty());

  Rig.Main->edPart->setText(Unreadable);
  ASSERT_EQ(Rig.Boxes.size(), 1);
  EXPECT_TRUE(Rig.Boxes[0].contains(Unreadable)) << Rig.Boxes[0].toStdString();
  // Checked before the failure: its outcome stands. The failing edit and the one after
  // it stay light red with no hint; the button keeps its state.
  EXPECT_TRUE(Passes(Rig.Main->edBoot));
  EXPECT_EQ(Rig.Main->edBoot->toolTip(), Good[0]);
  for (TFileEdit* Ed : {Rig.Main->edPart, Rig.Main->edFirm}) {
    EXPECT_EQ(Colour(Ed), LightRed);
    EXPECT_EQ(Ed->toolTip(), "");
  }
  EXPECT_TRUE(Rig.Main->butUpdate->isEnabled());
  EXPECT_EQ(Rig.Main->edPart->text(), Unreadable); // the text itself is not touched
}

TEST(FileEdit, QuotedPathWithBlankFromOldSettingsIsUsable) {
  TMainRig Rig;
  const QString Path = MakeFile(Rig.Dir.filePath("my images"), "fw.bin", 65536);
  QFile f(Rig.IniPath());
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[FILES]\r\nFirmware=\"" + Path.toUtf8() + "\"\r\n");
  f.close();
  Rig.Main->IniFile->SetFileName(Rig.IniPath());
  Rig.Show();
  EXPECT_EQ(Rig.Main->edFirm->text(), Path);
  EXPECT_EQ(Rig.Main->edFirm->toolTip(), Path);
  EXPECT_TRUE(Passes(Rig.Main->edFirm));
}

// Started from another working folder with its images in the program's folder, the
// window keeps their full paths: bare names would find nothing there, the fields would
// go red, and the settings file would be written back with the broken names.
TEST(FileEdit, StartedElsewhereKeepsWorkingFullPathsAndWritesThemBack) {
  TCwd Cwd;
  TMainRig Rig;
  const std::array<QString, 3> Good = GoodImages(Rig.Dir.path());
  QFile f(Rig.IniPath());
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[FILES]\r\nBootloader=" + Good[0].toUtf8() + "\r\nPartitions=" + Good[1].toUtf8() +
          "\r\nFirmware=" + Good[2].toUtf8() + "\r\n");
  f.close();
  QTemporaryDir Elsewhere;
  ASSERT_TRUE(QDir::setCurrent(Elsewhere.path()));
  Rig.Main->IniFile->SetFileName(Rig.IniPath());
  Rig.Show();
  Rig.Main->Timer1Timer();
  const std::array<TFileEdit*, 3> Eds = Edits(Rig);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Eds[i]->text().toStdString(), Good[i].toStdString());
    EXPECT_TRUE(Passes(Eds[i])) << Eds[i]->toolTip().toStdString();
  }
  EXPECT_TRUE(Rig.Main->butUpdate->isEnabled());
  Rig.CloseAndSave();
  const QByteArray Saved = Rig.IniBytes();
  for (const QString& g : Good)
    EXPECT_TRUE(Saved.contains("=" + g.toUtf8() + "\r\n")) << Saved.constData();
}

int main(int argc, char** argv) {
  return RunGuiTests(argc, argv);
}
