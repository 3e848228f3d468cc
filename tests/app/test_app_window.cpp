// What the user sees of the main window, offscreen: sizes, places, captions, tags,
// keyboard order, title, and the start-up state.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "BoxAnswer.h"
#include "support/uDebug.h"
#include "uProgram.h"

namespace {

void Wait(int Ms) {
  QEventLoop L;
  QTimer::singleShot(Ms, &L, &QEventLoop::quit);
  L.exec();
}

struct Shown {
  TProgram P;
  Shown() {
    P.Main.show();
    Wait(150); // Timer1 has fired
  }
  ~Shown() {
    P.Main.close();
    QApplication::processEvents();
  }
};

} // namespace

TEST(AppWindow, LayoutTable) {
  Shown S;
  TMain& M = S.P.Main;
  EXPECT_EQ(M.size(), QSize(385, 253));
  EXPECT_EQ(M.minimumSize(), M.maximumSize()); // not resizable by dragging
  struct {
    QWidget* W;
    QRect Geometry;
    const char* Text;
    int Tag; // -1: none
  } Rows[] = {
      {M.Panel1, {0, 0, 385, 139}, nullptr, -1},
      {M.Label14, {16, 0, 146, 13}, "[0x0000] Bootloader", -1},
      {M.edBoot, {16, 14, 355, 26}, nullptr, 0},
      {M.Label1, {16, 44, 146, 13}, "[0x8000] Partitions", -1},
      {M.edPart, {16, 58, 355, 26}, nullptr, 1},
      {M.Label2, {16, 88, 146, 13}, "[0x10000] Firmware", -1},
      {M.edFirm, {16, 102, 355, 26}, nullptr, 2},
      {M.Panel3, {0, 139, 385, 32}, nullptr, -1},
      {M.Label7, {0, 6, 51, 16}, "MAC:", -1},
      {M.LabMac, {57, 6, 128, 16}, "---", -1},
      {M.pBar, {215, 8, 156, 17}, nullptr, -1},
      {M.JvFooter1, {0, 171, 385, 62}, nullptr, -1},
      {M.Label15, {16, 6, 80, 15}, "COM-Port", -1},
      {M.cbPort, {16, 22, 80, 26}, nullptr, -1},
      {M.LED1, {102, 27, 17, 17}, nullptr, -1},
      {M.butErase, {215, 6, 75, 33}, "Erase", 1},
      {M.butUpdate, {296, 6, 75, 34}, "Update", 2},
      {M.chkAutoErase, {296, 42, 97, 17}, "AutoErase", -1},
      {M.sBar, {0, 233, 385, 20}, nullptr, -1},
  };
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.W->objectName().toStdString());
    EXPECT_EQ(R.W->geometry(), R.Geometry);
    if (R.Tag >= 0) {
      EXPECT_EQ(TagOf(R.W), R.Tag);
    }
    if (auto* L = qobject_cast<QLabel*>(R.W); L && R.Text) {
      EXPECT_EQ(L->text(), R.Text);
    }
    if (auto* B = qobject_cast<QAbstractButton*>(R.W); B && R.Text) {
      EXPECT_EQ(B->text(), R.Text);
    }
  }
  EXPECT_EQ(TagOf(&M), 0);
  EXPECT_EQ(M.sBar->Panel(0)->geometry(), QRect(0, 0, 250, 20));
  EXPECT_EQ(M.sBar->Panel(1)->geometry(), QRect(250, 0, 80, 20));
  EXPECT_TRUE(M.sBar->Panel(1)->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(M.Label7->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  for (TFileEdit* E : {M.edBoot, M.edPart, M.edFirm})
    EXPECT_TRUE(E->isReadOnly());
  EXPECT_FALSE(M.butErase->icon().isNull());
  EXPECT_FALSE(M.butUpdate->icon().isNull());
}

TEST(AppWindow, FontsAndColours) {
  Shown S;
  TMain& M = S.P.Main;
  EXPECT_EQ(M.font().family(), "Calibri");
  EXPECT_EQ(M.font().pixelSize(), 15);
  for (QLabel* L : {M.Label14, M.Label1, M.Label2}) {
    EXPECT_TRUE(L->font().bold());
    EXPECT_EQ(L->font().pixelSize(), 13);
  }
  EXPECT_EQ(M.Label7->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(M.LabMac->palette().color(QPalette::WindowText), QColor(128, 0, 0));
  EXPECT_FALSE(M.chkAutoErase->font().bold());
  EXPECT_EQ(M.chkAutoErase->font().pixelSize(), 13);
  EXPECT_TRUE(M.butUpdate->font().bold());
  EXPECT_TRUE(M.cbPort->font().bold());
  EXPECT_EQ(M.sBar->font().pixelSize(), 16);
  EXPECT_TRUE(M.sBar->font().bold());
}

TEST(AppWindow, KeyboardOrder) {
  Shown S;
  TMain& M = S.P.Main;
  const QList<QWidget*> Want = {M.edBoot,    M.edPart, M.edFirm,      M.butErase,
                                M.butUpdate, M.cbPort, M.chkAutoErase};
  QList<QWidget*> Seen;
  QWidget* W = M.edBoot;
  for (int i = 0; i < 200 && Seen.size() < Want.size(); ++i, W = W->nextInFocusChain())
    if (Want.contains(W) && !Seen.contains(W)) Seen.append(W);
  EXPECT_EQ(Seen, Want);
}

TEST(AppWindow, StartUpState) {
  Shown S;
  TMain& M = S.P.Main;
  EXPECT_EQ(M.windowTitle(), "Quorvex v1.4.4");
  EXPECT_EQ(QApplication::applicationName(), "Quorvex v1.4.4");
  EXPECT_FALSE(M.pBar->isVisible());
  EXPECT_EQ(M.LabMac->text(), "---");
  EXPECT_EQ(M.sBar->PanelText(0), "");
  EXPECT_EQ(M.sBar->PanelText(1), "ESP32");
  EXPECT_EQ(M.UsedCpu, cESP32);
  EXPECT_FALSE(M.LED1->Active());
  EXPECT_FALSE(M.Timer1->isActive());
  EXPECT_NE(M.Esp(), nullptr);
  EXPECT_TRUE(M.ProgPath.endsWith(QDir::separator()));
  EXPECT_FALSE(S.P.Debug->isVisible()); // no d switch
  M.SetLed(true);
  EXPECT_TRUE(M.LED1->Active());
  M.SetLed(false);
  EXPECT_FALSE(M.LED1->Active());
}

TEST(AppWindow, ActionList) {
  Shown S;
  TMain& M = S.P.Main;
  ASSERT_EQ(M.Action.size(), 4);
  EXPECT_TRUE(M.ActionList1.isEmpty());
  struct {
    QAction* A;
    const char* Caption;
    const char* Hint;
  } Rows[] = {{M.ActExit, "Exit", "Exit"},
              {M.ActFiles, "Files setup", "Files setup"},
              {M.ActComm, "", "Communication setup"},
              {M.ActDevice, "", "Device setup"}};
  for (const auto& R : Rows) {
    EXPECT_EQ(R.A->text(), R.Caption);
    EXPECT_EQ(R.A->toolTip(), R.Hint);
    EXPECT_FALSE(R.A->icon().isNull());
  }
  M.ActExit->trigger();
  EXPECT_FALSE(M.isVisible());
}

TEST(AppWindow, BrowseStartsInTheNamedFilesFolder) {
  Shown S;
  TFileEdit* E = S.P.Main.edBoot;
  QTemporaryDir Tmp;
  QString Dir, File;
  E->setText(Tmp.path() + "/boot.bin"); // the file need not exist, its folder must
  E->BrowseStart(Dir, File);
  EXPECT_EQ(Dir, Tmp.path());
  EXPECT_EQ(File, "boot.bin");
  E->setText(Tmp.path() + "/gone/boot.bin");
  E->BrowseStart(Dir, File);
  EXPECT_EQ(Dir, QDir::currentPath());
  EXPECT_EQ(File, "");
  EXPECT_EQ(TFileEdit::ChosenText("/a b/c.bin"), "\"/a b/c.bin\"");
  EXPECT_EQ(TFileEdit::ChosenText("/ab/c.bin"), "/ab/c.bin");
}

// An error escaping an event handler is shown in the message box; the program goes on.
TEST(AppWindow, TopLevelHandlerShowsTheMessage) {
  Shown S;
  struct Thrower : QObject {
    bool event(QEvent* E) override {
      if (E->type() == QEvent::User) throw Exception("boom in a handler");
      return QObject::event(E);
    }
  } T;
  auto Seen = std::make_shared<TBoxSeen>();
  AnswerBoxes("CLOSE", Seen, &S.P.Main);
  QEvent Ev(QEvent::User);
  QApplication::sendEvent(&T, &Ev);
  EXPECT_EQ(Seen->Count, 1);
  EXPECT_EQ(Seen->Text, "boom in a handler");
  EXPECT_TRUE(S.P.Main.isVisible());
}

// The d switch shows the debug window beside the main window and leaves a versioned
// copy of the program in "dist" under the working directory when that folder exists.
TEST(AppWindow, DebugSwitch) {
  for (const bool DistExists : {true, false}) {
    QTemporaryDir Tmp;
    const QString Old = QDir::currentPath();
    if (DistExists) QDir(Tmp.path()).mkdir("dist");
    QDir::setCurrent(Tmp.path());
    {
      TProgram P;
      P.Main.CommandLine = {"/Dx"};
      P.Main.move(40, 30);
      P.Main.show();
      Wait(50);
      const QRect F = P.Main.frameGeometry();
      EXPECT_TRUE(P.Debug->isVisible());
      const QRect D = P.Debug->frameGeometry();
      EXPECT_EQ(D.x(), F.x() + F.width());
      EXPECT_EQ(D.y(), F.y());
      P.Main.close();
    }
    const QString Copy = DistCopyName(QCoreApplication::applicationFilePath(), ProgramVersion());
    EXPECT_EQ(QFileInfo::exists(Copy), DistExists);
    EXPECT_FALSE(QFileInfo::exists("dist") && !DistExists); // the folder is never made
    if (DistExists) {
      EXPECT_EQ(QFileInfo(Copy).size(), QFileInfo(QCoreApplication::applicationFilePath()).size());
    }
    QDir::setCurrent(Old);
  }
}
