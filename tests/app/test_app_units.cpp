// The pure pieces of the run and of start-up, driven by tables.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "uProgram.h"

TEST(AppUnits, MacTextTakesTheSixBytesHighestFirst) {
  struct {
    uint32_t w1, w2;
    const char* Text;
  } Cases[] = {
      {0x12345678, 0x0000ABCD, "AB:CD:12:34:56:78"}, // w1 bytes 78 56 34 12, w2 CD AB 00 00
      {0xC401A23C, 0xFFFF240A, "24:0A:C4:01:A2:3C"}, // the two high bytes of w2 are not shown
      {0x00000000, 0x00000000, "00:00:00:00:00:00"},
      {0x0000000F, 0x00000100, "01:00:00:00:00:0F"}, // every byte keeps two digits
  };
  for (const auto& C : Cases)
    EXPECT_EQ(MacText(C.w1, C.w2), C.Text) << C.Text;
}

TEST(AppUnits, ChipTableNamesOnlyTheTwoKnownWords) {
  struct {
    uint32_t Id;
    const char* Name;
    TController Kind;
  } Cases[] = {{0x00F01D83, "ESP32", cESP32},
               {0x000007C6, "ESP32-S2", cESP32S2},
               {0x00F01D82, "", cNONE},
               {0, "", cNONE}};
  for (const auto& C : Cases) {
    TController K = cESP32;
    EXPECT_EQ(ChipName(C.Id, K), C.Name);
    EXPECT_EQ(K, C.Kind);
  }
}

TEST(AppUnits, BootHeaderPatchOnlyForTheMagicByte) {
  struct {
    std::vector<uint8_t> In, Out;
    bool Patched;
  } Cases[] = {
      {{0xE9, 0x03, 0x00, 0x4F, 0x11}, {0xE9, 0x03, 0x02, 0x20, 0x11}, true},
      {{0xE9, 0x03, 0x02, 0x20}, {0xE9, 0x03, 0x02, 0x20}, true}, // already DIO 4 MB
      {{0xE8, 0x03, 0x00, 0x4F}, {0xE8, 0x03, 0x00, 0x4F}, false},
      {{0xE9, 0x03}, {0xE9, 0x03}, false}, // too short to hold the fields: left alone
      {{}, {}, false},
  };
  for (auto& C : Cases) {
    std::vector<uint8_t> Image = C.In;
    EXPECT_EQ(PatchBootHeader(Image), C.Patched);
    EXPECT_EQ(Image, C.Out);
  }
}

TEST(AppUnits, BlocksAreNeverPadded) {
  using V = std::vector<uint32_t>;
  struct {
    uint64_t Size;
    V Blocks;
  } Cases[] = {{0, {}},
               {1, {1}},
               {16384, {16384}},
               {16385, {16384, 1}},
               {3 * 16384 + 100, {16384, 16384, 16384, 100}}};
  for (const auto& C : Cases)
    EXPECT_EQ(BlockSizes(C.Size), C.Blocks) << C.Size;
}

TEST(AppUnits, DebugSwitchSpellings) {
  struct {
    QStringList Args;
    bool On;
  } Cases[] = {{{"-d"}, true},      {{"/D"}, true},  {{"-debug"}, true}, {{"/dx"}, true},
               {{"x", "-D"}, true}, {{}, false},     {{"-"}, false},     {{"d"}, false},
               {{"--d"}, false},    {{"-x"}, false}, {{"/e"}, false}};
  for (const auto& C : Cases)
    EXPECT_EQ(HasDebugSwitch(C.Args), C.On) << C.Args.join(' ').toStdString();
}

TEST(AppUnits, VersionedCopyName) {
  EXPECT_EQ(DistCopyName("/opt/q/quorvex", {1, 4, 4}), "dist/quorvex144");
  EXPECT_EQ(DistCopyName("/opt/q/tool.bin", {1, 4, 4}), "dist/tool144");
  EXPECT_EQ(DistCopyName("/opt/q/quorvex", {}), "dist/quorvex-1-1-1");
}

TEST(AppUnits, CopyToDistReplacesButNeverDeletesTheProgram) {
  QTemporaryDir Tmp;
  const QString Exe = Tmp.filePath("prog");
  auto Write = [](const QString& Path, const QByteArray& B) {
    QFile F(Path);
    ASSERT_TRUE(F.open(QIODevice::WriteOnly));
    F.write(B);
  };
  auto Read = [](const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
  };
  Write(Exe, "program");
  // No dist folder: nothing is made.
  EXPECT_FALSE(CopyToDist(Exe, Tmp.filePath("dist/prog144")));
  EXPECT_FALSE(QFileInfo::exists(Tmp.filePath("dist")));
  // An older copy is replaced.
  ASSERT_TRUE(QDir(Tmp.path()).mkdir("dist"));
  Write(Tmp.filePath("dist/prog144"), "old");
  EXPECT_TRUE(CopyToDist(Exe, Tmp.filePath("dist/prog144")));
  EXPECT_EQ(Read(Tmp.filePath("dist/prog144")), "program");
  // Started from the copy itself, also by another spelling of its path.
  EXPECT_FALSE(CopyToDist(Tmp.filePath("dist/prog144"), Tmp.filePath("dist/../dist/prog144")));
  EXPECT_EQ(Read(Tmp.filePath("dist/prog144")), "program");
}

TEST(AppUnits, BareFileName) {
  struct {
    const char* In;
    const char* Out;
  } Cases[] = {{"C:\\fw\\boot.bin", "boot.bin"},
               {"C:boot.bin", "boot.bin"},
               {"/tmp/x/part.bin", "part.bin"},
               {"firm.bin", "firm.bin"},
               {"", ""}};
  for (const auto& C : Cases)
    EXPECT_EQ(BareFileName(std::string(C.In)), C.Out) << C.In;
}

TEST(AppUnits, ProgramVersionIsTheProjectVersion) {
  const TVersion V = ProgramVersion();
  EXPECT_EQ(V.Major, 1);
  EXPECT_EQ(V.Minor, 4);
  EXPECT_EQ(V.Release, 4);
}
