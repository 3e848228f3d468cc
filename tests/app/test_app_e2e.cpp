// Whole runs of the real window, offscreen, against the virtual board over RFC 2217.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <sys/prctl.h>
#include <utility>

#include "BoxAnswer.h"
#include "E2eBoard.h"
#include "protocol/uEsp.h"
#include "uIniFile.h"
#include "uProgram.h"

namespace {

// The program with its window shown and pointed at a board and at the images.
struct TRun {
  TProgram P;
  QStringList Status;  // every assignment to panel 0 that is not a connect attempt
  QStringList Connect; // the connect texts as they stood when the next one began
  std::shared_ptr<TBoxSeen> Box = std::make_shared<TBoxSeen>();

  std::shared_ptr<TBoxSeen> StartBox = std::make_shared<TBoxSeen>(); // boxes at start-up

  // Ini: settings to start with instead of the program folder's file.
  TRun(const TBoard& B, const TImages& I, const QByteArray& Ini = QByteArray()) {
    if (!Ini.isNull()) {
      P.Main.IniFile->SetBytes(Ini);
      AnswerBoxes("CLOSE", StartBox, &P.Main);
    }
    ShowOnBoard(P.Main, B, I);
    P.Main.chkAutoErase->setChecked(true); // as on a first start
    QObject::connect(P.Main.sBar, &TStatusBar::PanelTextSet, &P.Main,
                     [this](int Index, const QString& T) {
                       if (Index != 0) return;
                       if (!Connect.isEmpty() && T == Connect.last() + "#")
                         Connect.last() = T; // the next try of the same attempt
                       else if (T.startsWith("Connect "))
                         Connect.append(T);
                       else
                         Status.append(T);
                     });
  }
  void Press(QPushButton* B, const QString& Answer = "CLOSE") {
    AnswerBoxes(Answer, Box, &P.Main);
    B->click();
    WaitForRun();
  }
  // The run goes on behind the click: the event loop runs until it has ended.
  void WaitForRun() {
    if (!P.Main.Running()) return;
    QEventLoop L;
    QObject::connect(&P.Main, &TMain::RunEnded, &L, &QEventLoop::quit);
    QTimer::singleShot(60000, &L, &QEventLoop::quit); // a hung run fails below, not here
    L.exec();
  }
  // What every finished run leaves: port closed, lamp off, bar hidden, buttons enabled.
  void ExpectIdle() {
    EXPECT_FALSE(P.ComIo->cPort.Connected());
    EXPECT_FALSE(P.Main.LED1->Active());
    EXPECT_FALSE(P.Main.pBar->isVisible());
    EXPECT_TRUE(P.Main.butErase->isEnabled());
    EXPECT_TRUE(P.Main.butUpdate->isEnabled());
    EXPECT_FALSE(P.Main.Running());
  }
};

const QStringList UpdateTail = {"boot.bin", "OK", "part.bin", "OK", "firm.bin", "OK", "OK"};

} // namespace

// The runs of the stub path, on both kinds of board.
class AppE2EOnBoard : public ::testing::TestWithParam<TBoardKind> {};
INSTANTIATE_TEST_SUITE_P(Boards, AppE2EOnBoard,
                         ::testing::Values(TBoardKind::Host, TBoardKind::Machine),
                         [](const ::testing::TestParamInfo<TBoardKind>& I) {
                           return I.param == TBoardKind::Machine ? "machine" : "host";
                         });

TEST_P(AppE2EOnBoard, UpdateWithAndWithoutAutoErase) {
  for (bool AutoErase : {true, false}) {
    SCOPED_TRACE(AutoErase ? "AutoErase" : "no AutoErase");
    TBoard B(GetParam());
    ASSERT_TRUE(B.Start({"--mac", "24:0A:C4:01:A2:3C"}));
    TImages I;
    TRun R(B, I);
    R.P.Main.chkAutoErase->setChecked(AutoErase);
    // The bar's positions with its maximum, and whether it was shown at the time.
    QStringList Bar;
    QObject::connect(R.P.Main.pBar, &QProgressBar::valueChanged, &R.P.Main, [&](int V) {
      Bar << QString("%1/%2%3")
                 .arg(V)
                 .arg(R.P.Main.pBar->maximum())
                 .arg(R.P.Main.pBar->isVisible() ? "" : " hidden");
    });
    R.Press(R.P.Main.butUpdate);

    EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
    QStringList Want = {"Connected"};
    if (AutoErase) Want << "Erasing, please wait...";
    EXPECT_EQ(R.Status, Want + UpdateTail);
    EXPECT_EQ(R.Connect, QStringList{"Connect fast #"});
    EXPECT_EQ(R.P.Main.LabMac->text(), "24:0A:C4:01:A2:3C");
    EXPECT_EQ(R.P.Main.sBar->PanelText(0), "OK");
    R.ExpectIdle();
    // Each block counts as done before it is sent; after each image the bar drops to 0.
    EXPECT_EQ(Bar, (QStringList{"16384/16385", "16385/16385", "0/16385", "3072/3072", "0/3072",
                                "16384/65636", "32768/65636", "49152/65636", "65536/65636",
                                "65636/65636", "0/65636"}));

    // The fixed pauses, as lower bounds: 100 ms after the connection, 50 ms after each
    // block, 200 ms more after each image.
    double LastSync = -1, FirstRead = -1, Prev = -1;
    int PrevCmd = -1;
    QList<double> BlockGaps, ImageGaps;
    for (const QJsonObject& O : B.Trace()) {
      if (O["ev"].toString() != "frame_in") continue;
      const int Cmd = O["cmd"].toInt();
      const double T = O["t"].toDouble();
      if (Cmd == 0x08) LastSync = T;
      if (Cmd == 0x0A && FirstRead < 0) FirstRead = T;
      if (PrevCmd == 0x03 && Cmd == 0x03) BlockGaps << T - Prev;
      if (PrevCmd == 0x03 && Cmd == 0x02) ImageGaps << T - Prev;
      PrevCmd = Cmd;
      Prev = T;
    }
    EXPECT_GE(FirstRead - LastSync, 100);
    EXPECT_EQ(BlockGaps.size(), 5);
    for (double G : BlockGaps)
      EXPECT_GE(G, 50);
    EXPECT_EQ(ImageGaps.size(), 2);
    for (double G : ImageGaps)
      EXPECT_GE(G, 250);

    EXPECT_EQ(B.FramesIn(0xD0).size(), AutoErase ? 1 : 0);
    // Blocks of 16384 bytes and the remainder, never padded: 16 + data in each payload.
    QList<int> Sizes;
    for (const QJsonObject& O : B.FramesIn(0x03))
      Sizes << O["size"].toInt() - 16;
    EXPECT_EQ(Sizes, (QList<int>{16384, 1, 3072, 16384, 16384, 16384, 16384, 100}));
    const QByteArray F = B.Flash();
    ASSERT_EQ(F.size(), 4 * 1024 * 1024);
    EXPECT_EQ(F.mid(0x1000, I.Boot.size()), I.PatchedBoot());
    EXPECT_EQ(F.mid(0x8000, I.Part.size()), I.Part);
    EXPECT_EQ(F.mid(0x10000, I.Firm.size()), I.Firm);
  }
}

TEST_P(AppE2EOnBoard, EraseAnsweredYesAndNo) {
  for (const QString Answer : {"YES", "NO"}) {
    SCOPED_TRACE(Answer.toStdString());
    TBoard B(GetParam());
    ASSERT_TRUE(B.Start({}));
    TImages I;
    TRun R(B, I);
    R.P.Main.FConfig.DoBeep = false;
    R.Press(R.P.Main.butErase, Answer);

    EXPECT_EQ(R.Box->Count, 1);
    EXPECT_EQ(R.Box->Title, "ERASE");
    EXPECT_EQ(R.Box->Text, "Erase Flash?");
    QStringList Want = {"Connected"};
    if (Answer == "YES")
      Want << "Erasing, please wait..."
           << "OK";
    EXPECT_EQ(R.Status, Want << "OK");
    R.ExpectIdle();
    EXPECT_EQ(B.FramesIn(0xD0).size(), Answer == "YES" ? 1 : 0);
    EXPECT_EQ(B.FramesIn(0x02).size(), 0); // an erase writes nothing
  }
}

// Every failure ends the same way: one box with the message, status "Error", port
// closed, buttons enabled; the MAC is shown only when it was read.
TEST(AppE2E, FailuresEndTheRunCleanly) {
  struct {
    const char* Name;
    QStringList Board;
    const char* Message;
    const char* Mac;
  } Cases[] = {
      {"ESP32-S2", {"--chip", "esp32s2"}, "Controller Error: ESP32-S2", "---"},
      // The identification word read is named, not left out.
      {"unknown chip", {"--chip", "unknown"}, "Controller Error: 0x0BAD0C1D", "---"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoard B;
    ASSERT_TRUE(B.Start(C.Board));
    TImages I;
    TRun R(B, I);
    R.Press(R.P.Main.butUpdate);
    EXPECT_EQ(R.Box->Count, 1);
    EXPECT_EQ(R.Box->Title, "Error");
    EXPECT_EQ(R.Box->Text, C.Message);
    EXPECT_EQ(R.P.Main.LabMac->text(), C.Mac);
    EXPECT_EQ(R.P.Main.sBar->PanelText(0), "Error");
    EXPECT_EQ(B.FramesIn(0x02).size(), 0);
    R.ExpectIdle();
  }
}

TEST(AppE2E, NoDeviceAfterSixAttempts) {
  TBoard B;
  ASSERT_TRUE(B.Start({"--mute"}));
  TImages I;
  TRun R(B, I);
  TConfig& C = R.P.Main.FConfig;
  // Shortened holds the board still takes as a reset into the loader.
  C.SlowLow = C.SlowHigh = C.FastLow = C.FastHigh = 30;
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Text, "No Device Found!");
  EXPECT_EQ(R.Connect,
            (QStringList{"Connect fast #####", "Connect slow #####", "Connect fast #####",
                         "Connect slow #####", "Connect fast #####", "Connect slow #####"}));
  EXPECT_EQ(R.Status, QStringList{"Error"});
  EXPECT_EQ(B.FramesIn(0x08).size(), 30);
  R.ExpectIdle();
}

TEST(AppE2E, BoardThatNeedsTheSlowTimings) {
  TBoard B;
  ASSERT_TRUE(B.Start({"--slow-only"}));
  TImages I;
  TRun R(B, I);
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
  EXPECT_EQ(R.Connect, (QStringList{"Connect fast #####", "Connect slow #"}));
  EXPECT_EQ(R.Status.last(), "OK");
  R.ExpectIdle();
}

// Reset holds that once kept the connect sequence asleep for ever are refused at start-up;
// the run then connects with the default holds and ends.
TEST(AppE2E, OutOfRangeResetHoldsRefusedAndTheRunEnds) {
  const struct {
    const char* Ini;
    const char* Key;
  } Cases[] = {
      {"[CONFIG]\r\nFastHigh=99999999\r\n", "FastHigh"},
      {"[CONFIG]\r\nFastLow=-1\r\n", "FastLow"},
      {"[CONFIG]\r\nFastFirst=FALSE\r\nSlowLow=-1\r\n", "SlowLow"},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Key);
    TBoard B;
    ASSERT_TRUE(B.Start({}));
    TImages I;
    TRun R(B, I, c.Ini);
    EXPECT_EQ(R.StartBox->Count, 1);
    EXPECT_TRUE(R.StartBox->Text.endsWith(QString("(%1)").arg(c.Key)))
        << R.StartBox->Text.toStdString();
    R.Press(R.P.Main.butUpdate);
    EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
    ASSERT_FALSE(R.Status.isEmpty());
    EXPECT_EQ(R.Status.last(), "OK");
    EXPECT_EQ(B.Flash().mid(0x10000, I.Firm.size()), I.Firm);
    R.ExpectIdle();
  }
}

// Images in the program's folder, the program started from another working folder: the
// edits keep the full paths that find the images, and the update writes them.
TEST(AppE2E, ImagesInTheProgramFolderStartedElsewhereKeepFullPathsAndFlash) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  ASSERT_NE(QDir::currentPath(), I.Dir.path());
  R.P.Main.ProgPath = I.Dir.path() + "/";
  for (auto [Ed, Name] : {std::pair{R.P.Main.edBoot, "boot.bin"},
                          {R.P.Main.edPart, "part.bin"},
                          {R.P.Main.edFirm, "firm.bin"}}) {
    Ed->clear();
    Ed->setText(I.Path(Name)); // as chosen in the file dialog
    EXPECT_EQ(Ed->text().toStdString(), I.Path(Name).toStdString());
  }
  ASSERT_TRUE(R.P.Main.butUpdate->isEnabled());
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
  ASSERT_FALSE(R.Status.isEmpty());
  EXPECT_EQ(R.Status.last(), "OK");
  EXPECT_EQ(B.Flash().mid(0x10000, I.Firm.size()), I.Firm);
}

TEST_P(AppE2EOnBoard, BlockFailureInTheSecondImageKeepsTheFirst) {
  TBoard B(GetParam());
  ASSERT_TRUE(B.Start({"--fail-flash-data", "2:0"}));
  TImages I;
  TRun R(B, I);
  R.P.Main.chkAutoErase->setChecked(false);
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Text, "Error Flash");
  EXPECT_EQ(R.Status, (QStringList{"Connected", "boot.bin", "OK", "part.bin", "Error"}));
  R.ExpectIdle();
  const QByteArray F = B.Flash();
  EXPECT_EQ(F.mid(0x1000, I.Boot.size()), I.PatchedBoot());
  EXPECT_EQ(F.mid(0x10000, 16), QByteArray(16, char(0xFF))); // the third was never begun
}

// The adapter is pulled out in the middle of the firmware: the reset of the error path
// fails as well, yet the run ends with the first error shown and the port closed.
TEST_P(AppE2EOnBoard, ConnectionDroppedMidImage) {
  TBoard B(GetParam());
  ASSERT_TRUE(B.Start({"--drop-after", "30000"}));
  TImages I(8 * 16384);
  TRun R(B, I);
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Count, 1);
  EXPECT_FALSE(R.Box->Text.isEmpty());
  EXPECT_EQ(R.P.Main.sBar->PanelText(0), "Error");
  R.ExpectIdle();
}

// An image file that is gone when the run starts stops the run before the board is
// touched: the message names the file, nothing is erased or written.
TEST(AppE2E, MissingImageNamesTheFile) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  const QString Gone = I.Path("gone.bin");
  R.P.Main.edFirm->setText(Gone);
  AnswerBoxes("CLOSE", R.Box, &R.P.Main);
  R.P.Main.ButStartClick(R.P.Main.butUpdate); // the file checks have disabled the button
  R.WaitForRun();
  EXPECT_EQ(R.Box->Count, 1);
  EXPECT_EQ(R.Box->Text, "File not found: " + Gone);
  EXPECT_EQ(R.Status, QStringList{"Error"});
  R.ExpectIdle();
  EXPECT_TRUE(B.FramesIn().isEmpty());
}

// The fields passed, then an image changed on disk before Update was pressed (a
// rebuild in progress, a wrong file copied over): the run checks every image again
// and refuses before anything is erased or written.
TEST(AppE2E, ImageChangedAfterItsFieldPassed) {
  const struct {
    const char* Name;
    const char* File;
    QByteArray Bytes;
  } Cases[] = {
      {"firmware emptied", "firm.bin", QByteArray()},
      {"bootloader cut to 100 bytes", "boot.bin", RandomBytes(100, 7)},
      {"firmware of 5 MiB", "firm.bin", RandomBytes(5 * 1024 * 1024, 8)},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoard B;
    ASSERT_TRUE(B.Start({}));
    TImages I;
    TRun R(B, I);
    R.P.Main.CheckFiles();
    ASSERT_TRUE(R.P.Main.butUpdate->isEnabled()); // all three fields pass
    I.Write(C.File, C.Bytes);
    R.Press(R.P.Main.butUpdate);
    EXPECT_EQ(R.Box->Count, 1);
    EXPECT_EQ(R.Box->Text, "Filesize Error: " + I.Path(C.File));
    EXPECT_EQ(R.P.Main.sBar->PanelText(0), "Error");
    R.ExpectIdle();
    EXPECT_TRUE(B.FramesIn().isEmpty()); // no erase, no flash write: nothing at all
    const QByteArray F = B.Flash();
    EXPECT_TRUE(F.isEmpty() || F == QByteArray(F.size(), char(0xFF)));
  }
}

// A click and a close that arrive while a run processes messages: the click is ignored,
// the close waits for the end of the run and then goes through.
TEST(AppE2E, NoReentryAndDeferredClose) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  int Nested = 0;
  QObject::connect(R.P.Main.sBar, &TStatusBar::PanelTextSet, &R.P.Main, [&](int, const QString& T) {
    if (T != "part.bin") return;
    ++Nested;
    R.P.Main.ButStartClick(R.P.Main.butErase);
    R.P.Main.close();
    EXPECT_TRUE(R.P.Main.isVisible());
    EXPECT_TRUE(R.P.ComIo->cPort.Connected());
  });
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(Nested, 1);
  EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
  EXPECT_EQ(R.Status, (QStringList{"Connected", "Erasing, please wait..."} + UpdateTail));
  EXPECT_FALSE(R.P.Main.isVisible());
  R.ExpectIdle();
  EXPECT_EQ(B.FramesIn(0x08).size(), 1); // one connection only
}

// What the board saw of the connection: the line sequence of a fast attempt, the sync
// frame byte for byte, and the reset pulse after the last image.
TEST(AppE2E, ConnectSequenceSyncFrameAndFinalReset) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  R.Press(R.P.Main.butUpdate);
  ASSERT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
  const QList<QJsonObject> T = B.Trace();

  QList<QJsonObject> Lines;
  int FirstSync = -1, LastData = -1;
  for (int i = 0; i < T.size(); ++i) {
    const QString Ev = T[i]["ev"].toString();
    if (Ev == "frame_in" && T[i]["cmd"].toInt() == 0x08 && FirstSync < 0) FirstSync = i;
    if (Ev == "frame_in" && T[i]["cmd"].toInt() == 0x03) LastData = i;
    if (Ev == "line" && FirstSync < 0) Lines.append(T[i]);
  }
  ASSERT_GE(FirstSync, 0);
  ASSERT_GE(Lines.size(), 7);
  Lines = Lines.mid(Lines.size() - 7);
  // DTR off, RTS on, DTR off again; DTR on, RTS off, DTR on again; DTR off.
  const bool Want[7][2] = {{false, false}, {false, true}, {false, true}, {true, true},
                           {true, false},  {true, false}, {false, false}};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Lines[i]["dtr"].toBool(), Want[i][0]) << i;
    EXPECT_EQ(Lines[i]["rts"].toBool(), Want[i][1]) << i;
  }
  // The two holds of a fast attempt (150 ms and 100 ms), measured loosely.
  EXPECT_GE(Lines[3]["t"].toDouble() - Lines[2]["t"].toDouble(), 140);
  EXPECT_GE(Lines[6]["t"].toDouble() - Lines[5]["t"].toDouble(), 90);

  EXPECT_EQ(T[FirstSync]["pkt"].toString(),
            "0008240078013a0007071220" + QString("55").repeated(32));

  ASSERT_GE(LastData, 0);
  bool ResetAfter = false;
  for (int i = LastData + 1; i < T.size(); ++i)
    if (T[i]["ev"].toString() == "reset") ResetAfter = true;
  EXPECT_TRUE(ResetAfter);
}

// A close requested while a run goes on, or just as it ends, ends the program once the
// run is over, with the settings file written; twenty programs in a row for each moment.
// An Erase answered "NO" keeps each run short; the check box is changed just before the
// close, so the file shows the settings as they stood at the close.
TEST(AppE2E, CloseDuringOrAtTheEndOfARunEndsTheProgramWithSettingsWritten) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  QTemporaryDir Dir;
  enum TWhen { AtConnected, AsThePortCloses, AsTheRunEnds };
  const struct {
    const char* Name;
    TWhen When;
  } Cases[] = {
      {"during the run", AtConnected},
      {"as the port closes", AsThePortCloses},
      {"as the run ends", AsTheRunEnds},
  };
  for (const auto& C : Cases) {
    for (int i = 0; i < 20; ++i) {
      SCOPED_TRACE(QString("%1, program %2").arg(C.Name).arg(i).toStdString());
      const QString Ini = Dir.filePath(QString("%1-%2.ini").arg(int(C.When)).arg(i));
      const bool Ticked = i % 2 == 0;
      int Exit = -1, Closes = 0;
      QStringList Status;
      auto Box = std::make_shared<TBoxSeen>();
      {
        TProgram P;
        P.MsgBox->Beeper = [] {};
        P.Main.IniFile->SetFileName(Ini);
        TMain& M = P.Main;
        auto Close = [&] {
          ++Closes;
          M.chkAutoErase->setChecked(Ticked);
          M.close();
        };
        QObject::connect(M.sBar, &TStatusBar::PanelTextSet, &M, [&](int Index, const QString& T) {
          if (Index != 0) return;
          Status << T;
          if (C.When == AtConnected && T == "Connected") Close();
        });
        QObject::connect(M.LED1, &TLed::ActiveChanged, &M, [&](bool On) {
          if (C.When == AsThePortCloses && !On && M.Running()) Close();
        });
        QObject::connect(&M, &TMain::RunEnded, &M, [&] {
          if (C.When == AsTheRunEnds) Close();
        });
        AnswerBoxes("NO", Box, &M);
        QTimer::singleShot(150, &M, [&] {
          M.cbPort->clear();
          M.cbPort->addItem(B.Url);
          M.cbPort->setCurrentText(B.Url);
          M.FConfig.DoBeep = false;
          M.FConfig.FastLow = M.FConfig.FastHigh = 30; // the board takes these holds too
          M.chkAutoErase->setChecked(!Ticked);
          M.butErase->click();
        });
        // A close that is lost leaves the program running: it is ended here instead.
        QTimer Lost;
        Lost.setSingleShot(true);
        QObject::connect(&Lost, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        Lost.start(30000);
        Exit = P.Exec();
        EXPECT_FALSE(P.ComIo->cPort.Connected());
      }
      EXPECT_EQ(Exit, 0) << "the program did not end";
      EXPECT_EQ(Closes, 1);
      EXPECT_EQ(Box->Count, 1);
      EXPECT_EQ(Status.mid(Status.indexOf("Connected")), (QStringList{"Connected", "OK"}));
      TIniFile Written;
      Written.SetFileName(Ini);
      EXPECT_EQ(Written.ReadString("CONFIG", "ComPort", QString()), B.Url);
      EXPECT_EQ(Written.ReadBoolean("CONFIG", "AutoErase", !Ticked), Ticked);
      if (HasFailure()) return; // one program's failure tells it all
    }
  }
}

// While the run waits (here in the first reset hold of the connection, made long), the
// window's thread goes on: a timer due early in the hold fires before the hold is over.
TEST(AppE2E, WindowHandlesItsEventsWhileTheRunWaits) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  R.P.Main.FConfig.FastLow = 2000;
  QStringList SeenByTimer;
  bool Armed = false;
  QObject::connect(R.P.Main.sBar, &TStatusBar::PanelTextSet, &R.P.Main,
                   [&](int Index, const QString& T) {
                     if (Index != 0 || T != "Connect fast " || Armed) return;
                     Armed = true;
                     QTimer::singleShot(100, &R.P.Main, [&] {
                       SeenByTimer = R.Connect;
                       SeenByTimer << (R.P.Main.Running() ? "running" : "idle");
                     });
                   });
  R.Press(R.P.Main.butErase, "NO");
  // The hold ends with the first sync try's "#": the timer came before it.
  EXPECT_EQ(SeenByTimer, (QStringList{"Connect fast ", "running"}));
  EXPECT_EQ(R.Connect, QStringList{"Connect fast #"});
  EXPECT_EQ(R.Status.last(), "OK");
  R.ExpectIdle();
}

// The debug log during a run: the run's packet lines and the USB watcher's lines (here
// the selected adapter pulled out, which only notes "CLOSE COM") both reach the window's
// log, and the run is not disturbed.
TEST(AppE2E, RunAndUsbWatcherBothLogDuringARun) {
  TBoard B;
  ASSERT_TRUE(B.Start({}));
  TImages I;
  TRun R(B, I);
  const std::string Adapter = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-9";
  R.P.Main.TUsb()->RememberPort(Adapter, B.Url.toStdString());
  const size_t Before = R.P.Log.Lines().size();
  QObject::connect(R.P.Main.sBar, &TStatusBar::PanelTextSet, &R.P.Main,
                   [&](int Index, const QString& T) {
                     if (Index == 0 && T == "part.bin")
                       R.P.Main.TUsb()->DeliverEvent(false, Adapter);
                   });
  R.Press(R.P.Main.butUpdate);
  EXPECT_EQ(R.Box->Count, 0) << R.Box->Text.toStdString();
  EXPECT_EQ(R.Status.last(), "OK");
  const std::vector<std::string> Lines(R.P.Log.Lines().begin() + long(Before),
                                       R.P.Log.Lines().end());
  const auto Find = [&Lines](const std::string& L) {
    return std::find(Lines.begin(), Lines.end(), L) - Lines.begin();
  };
  const long Remove = Find("REMOVE: " + Adapter);
  ASSERT_LT(Remove + 1, long(Lines.size()));
  EXPECT_EQ(Lines[size_t(Remove) + 1], "CLOSE COM");
  // The run logged before and after the removal: its sync answer's dump, and more.
  EXPECT_GT(Remove, 0);
  EXPECT_LT(Remove + 2, long(Lines.size()));
  R.ExpectIdle();
}
