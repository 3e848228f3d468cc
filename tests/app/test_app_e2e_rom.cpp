// Whole runs of the real window without the stub: the ROM loader writes the flash after
// the stub failed to start, or from the start when the settings file turns the stub off.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "BoxAnswer.h"
#include "E2eBoard.h"
#include "uIniFile.h"
#include "uProgram.h"

namespace {

// The window on a board, with every status text and the bar's positions recorded.
struct TRomRun {
  TProgram P;
  QStringList Status, Bar;
  int ConnectStarts = 0; // connect attempts begun ("Connect fast ", "Connect slow ")
  std::shared_ptr<TBoxSeen> Box = std::make_shared<TBoxSeen>();

  TRomRun(const TBoard& B, const TImages& I, const QByteArray& Ini, bool AutoErase) {
    P.Main.IniFile->SetBytes(Ini);
    ShowOnBoard(P.Main, B, I);
    P.Main.chkAutoErase->setChecked(AutoErase);
    QObject::connect(P.Main.sBar, &TStatusBar::PanelTextSet, &P.Main,
                     [this](int Index, const QString& T) {
                       if (Index != 0) return;
                       if (T == "Connect fast " || T == "Connect slow ")
                         ++ConnectStarts;
                       else if (!T.startsWith("Connect "))
                         Status.append(T);
                     });
    QObject::connect(P.Main.pBar, &QProgressBar::valueChanged, &P.Main,
                     [this](int V) { Bar << QString("%1/%2").arg(V).arg(P.Main.pBar->maximum()); });
  }
  // Presses the button and lets the window work until the run has ended.
  void Press(QPushButton* Button, const QString& Answer) {
    AnswerBoxes(Answer, Box, &P.Main);
    Button->click();
    QDeadlineTimer Deadline(120000);
    while (P.Main.Running() && !Deadline.hasExpired()) {
      QEventLoop L;
      QTimer::singleShot(20, &L, &QEventLoop::quit);
      L.exec();
    }
    EXPECT_FALSE(P.Main.Running());
    EXPECT_FALSE(P.ComIo->cPort.Connected());
    EXPECT_FALSE(P.Main.pBar->isVisible());
    EXPECT_TRUE(P.Main.butUpdate->isEnabled());
  }
};

const QByteArray NoStubIni = "[CONFIG]\r\nUseStub=FALSE\r\n";

// The bar of one image: each 16 KiB piece counted before it is sent, then 0.
QStringList ImageBar(int Size) {
  QStringList B;
  for (int Done = 0; Done < Size;) {
    Done += std::min(Size - Done, 16384);
    B << QString("%1/%2").arg(Done).arg(Size);
  }
  return B << QString("0/%1").arg(Size);
}

} // namespace

// A stub that greets wrongly, and the settings' UseStub=FALSE (with AutoErase, and the
// Erase button): the ROM loader does the work, the board's trace shows how.
TEST(AppE2ERom, WithoutTheStubTheFlashIsWrittenAndErased) {
  struct {
    const char* Name;
    QStringList Board;
    QByteArray Ini;
    bool Erase;     // the Erase button instead of Update
    bool AutoErase; // ticked
    const char* Mode;
  } Cases[] = {
      {"wrong greeting", {"--bad-greeting"}, "", false, false, "Stub failed, without the stub"},
      {"UseStub=FALSE, AutoErase", {}, NoStubIni, false, true, "Without the stub"},
      {"UseStub=FALSE, Erase", {}, NoStubIni, true, false, "Without the stub"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoard B;
    // Flash times of a real part at a hundredth: the whole-flash erase takes half a second.
    ASSERT_TRUE(B.Start(C.Board + QStringList{"--time-scale", "0.01"}));
    TImages I;
    TRomRun R(B, I, C.Ini, C.AutoErase);
    R.P.Main.FConfig.DoBeep = false;
    const bool StubTried = C.Ini.isEmpty();
    EXPECT_EQ(R.P.Main.Config().UseStub, StubTried);
    R.Press(C.Erase ? R.P.Main.butErase : R.P.Main.butUpdate, C.Erase ? "YES" : "CLOSE");
    EXPECT_EQ(R.Box->Count, C.Erase ? 1 : 0) << R.Box->Text.toStdString();
    EXPECT_EQ(R.P.Main.sBar->PanelText(0), "OK");
    EXPECT_EQ(R.ConnectStarts, StubTried ? 2 : 1);

    QStringList Want = {"Connected", C.Mode};
    QStringList WantBar;
    if (C.Erase || C.AutoErase) {
      Want << "Erasing, please wait...";
      for (int At = 65536; At <= 4 * 1024 * 1024; At += 65536)
        WantBar << QString("%1/4194304").arg(At);
      WantBar << "0/4194304";
    }
    if (C.Erase)
      Want << "OK";
    else {
      Want << "boot.bin"
           << "OK"
           << "part.bin"
           << "OK"
           << "firm.bin"
           << "OK";
      WantBar << ImageBar(I.Boot.size()) << ImageBar(I.Part.size()) << ImageBar(I.Firm.size());
    }
    EXPECT_EQ(R.Status, Want << "OK");
    EXPECT_EQ(R.Bar, WantBar);

    // On the wire: the stub's upload only when it was tried, and then a reset into the
    // loader after it; SPI_ATTACH before any flash command; data in 1 KiB blocks.
    const QList<QJsonObject> T = B.Trace();
    int Upload = -1, ResetAfterUpload = -1, Attach = -1, FirstBegin = -1, Blocks = 0;
    for (int i = 0; i < T.size(); ++i) {
      const QString Ev = T[i]["ev"].toString();
      const int Cmd = Ev == "frame_in" ? T[i]["cmd"].toInt() : -1;
      if (Cmd == 0x05 && Upload < 0) Upload = i;
      if (Ev == "reset" && Upload >= 0 && ResetAfterUpload < 0) ResetAfterUpload = i;
      if (Cmd == 0x0D && Attach < 0) Attach = i;
      if (Cmd == 0x02 && FirstBegin < 0) FirstBegin = i;
      if (Cmd == 0x03) {
        ++Blocks;
        EXPECT_EQ(T[i]["size"].toInt(), 16 + 1024) << i;
      }
      EXPECT_NE(Cmd, 0xD0) << "the ROM has no chip erase";
    }
    EXPECT_EQ(Upload >= 0, StubTried);
    if (StubTried) {
      EXPECT_GT(ResetAfterUpload, Upload);
      EXPECT_GT(Attach, ResetAfterUpload);
    }
    ASSERT_GE(Attach, 0);
    EXPECT_GT(FirstBegin, Attach);
    EXPECT_EQ(Blocks, C.Erase ? 0 : 17 + 3 + 65);

    const QByteArray F = B.Flash();
    ASSERT_EQ(F.size(), 4 * 1024 * 1024);
    if (C.Erase) {
      EXPECT_EQ(F, QByteArray(F.size(), char(0xFF)));
    } else {
      EXPECT_EQ(F.mid(0x1000, I.Boot.size()), I.PatchedBoot());
      EXPECT_EQ(F.mid(0x8000, I.Part.size()), I.Part);
      EXPECT_EQ(F.mid(0x10000, I.Firm.size()), I.Firm);
    }
  }
}

// A block the ROM refuses ends the run with that block's message; the first image stays.
TEST(AppE2ERom, BlockFailureWithoutTheStubEndsTheRun) {
  TBoard B;
  ASSERT_TRUE(B.Start({"--fail-flash-data", "2:1"}));
  TImages I;
  TRomRun R(B, I, NoStubIni, false);
  R.Press(R.P.Main.butUpdate, "CLOSE");
  EXPECT_EQ(R.Box->Count, 1);
  EXPECT_EQ(R.Box->Title, "Error");
  EXPECT_EQ(R.Box->Text, "Error Flash");
  EXPECT_EQ(R.Status,
            (QStringList{"Connected", "Without the stub", "boot.bin", "OK", "part.bin", "Error"}));
  EXPECT_EQ(B.FramesIn(0x03).size(), 17 + 2); // nothing after the refused block
  const QByteArray F = B.Flash();
  EXPECT_EQ(F.mid(0x1000, I.Boot.size()), I.PatchedBoot());
  EXPECT_EQ(F.mid(0x10000, 16), QByteArray(16, char(0xFF))); // the third was never begun
}
