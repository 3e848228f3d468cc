// The real program as a user starts it: a copy in a folder of its own with its settings
// file beside it, run as a process. Its demo mode under the offscreen platform, and its
// window's placement under a real window manager (Xvfb with openbox) over several starts.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <optional>
#include <sys/prctl.h>

#include "E2eBoard.h"

namespace {

// The program copied into a temporary folder: it reads and writes "Quorvex.ini" beside
// itself.
struct TProgramCopy {
  QTemporaryDir Dir;
  bool Ok = false;

  TProgramCopy() { Ok = Dir.isValid() && QFile::copy(QUORVEX_PROGRAM, Exe()); }
  QString Exe() const { return Dir.filePath("quorvex"); }
  QString IniPath() const { return Dir.filePath("Quorvex.ini"); }
  void SetIni(const QByteArray& Bytes) const {
    QFile F(IniPath());
    if (F.open(QIODevice::WriteOnly | QIODevice::Truncate)) F.write(Bytes);
  }
  QByteArray Ini() const {
    QFile F(IniPath());
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
  }
  // A child process that ends with the test, even when the test is killed for hanging.
  static void Prepare(QProcess& P, const QProcessEnvironment& Env) {
    P.setProcessEnvironment(Env);
    P.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
  }
  void Start(QProcess& P, const QStringList& Args, const QProcessEnvironment& Env) const {
    Prepare(P, Env);
    P.setWorkingDirectory(Dir.path());
    P.start(Exe(), Args);
  }
};

QProcessEnvironment BaseEnv() {
  QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
  Env.remove("QT_QPA_PLATFORM");
  return Env;
}

// Ends P within Ms, killing it if it will not end; whether it ended by itself.
bool Finish(QProcess& P, int Ms) {
  if (P.state() == QProcess::NotRunning) return true;
  if (P.waitForFinished(Ms)) return true;
  P.kill();
  P.waitForFinished(2000);
  return false;
}

} // namespace

// ---------------------------------------------------------------- the demo

namespace {

// The demo's settings as scripts/run.sh writes them: the board's port and the three
// images, with Main in front and Config added to the connection settings.
QByteArray DemoIni(const TBoard& B, const TImages& I, const QByteArray& Main,
                   const QByteArray& Config) {
  const QByteArray Url = B.Url.toUtf8();
  return Main + "[CONFIG]\r\nNetPorts=" + Url + "\r\nComPort=" + Url + "\r\n" + Config +
         "[FILES]\r\nBootloader=" + I.Path("boot.bin").toUtf8() +
         "\r\nPartitions=" + I.Path("part.bin").toUtf8() +
         "\r\nFirmware=" + I.Path("firm.bin").toUtf8() + "\r\n";
}

QProcessEnvironment Offscreen() {
  QProcessEnvironment Env = BaseEnv();
  Env.insert("QT_QPA_PLATFORM", "offscreen");
  return Env;
}

} // namespace

// The demo under the offscreen platform meets two message boxes at start-up (a
// placement value and a connection value that are no numbers, and a malformed NormPos
// besides): it answers each, presses Update only once start-up is over, and the run
// writes the images. Pressed while a start-up box was still open, the run never began
// and the demo waited for ever; three tries, since that depended on timing.
TEST(ProgramDemo, AnswersEveryStartUpBoxThenRuns) {
  TImages I;
  for (int Try = 1; Try <= 3; ++Try) {
    SCOPED_TRACE("try " + std::to_string(Try));
    TBoard B;
    ASSERT_TRUE(B.Start({"--mac", "24:0A:C4:01:A2:3C"}));
    TProgramCopy Copy;
    ASSERT_TRUE(Copy.Ok);
    Copy.SetIni(DemoIni(B, I, "[Main]\r\nFormVersion=abc\r\nNormPos=10,twenty,x\r\n",
                        "ConnBaud=fast\r\nAutoErase=1\r\n"));
    QProcess P;
    Copy.Start(P, {"--demo-autorun=" + Copy.Dir.filePath("shot.png")}, Offscreen());
    ASSERT_TRUE(P.waitForStarted(5000));
    ASSERT_TRUE(Finish(P, 60000)) << "the demo did not end: " << P.readAllStandardOutput().data();
    const QString Out = QString::fromUtf8(P.readAllStandardOutput());
    EXPECT_EQ(P.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(P.exitCode(), 0) << Out.toStdString();
    const QStringList Boxes = Out.split('\n').filter(QRegularExpression("^demo: message box"));
    EXPECT_EQ(Boxes, QStringList({QString::fromUtf8("demo: message box \"Error\": 'abc' ist kein "
                                                    "gültiger Integerwert (FormVersion)"),
                                  QString::fromUtf8("demo: message box \"Error\": 'fast' ist kein "
                                                    "gültiger Integerwert (ConnBaud)")}))
        << Out.toStdString();
    EXPECT_TRUE(Out.contains("demo: status \"OK\", MAC 24:0A:C4:01:A2:3C")) << Out.toStdString();
    const QByteArray F = B.Flash();
    ASSERT_EQ(F.size(), 4 << 20);
    EXPECT_EQ(F.mid(0x1000, I.Boot.size()), I.PatchedBoot());
    EXPECT_EQ(F.mid(0x8000, I.Part.size()), I.Part);
    EXPECT_EQ(F.mid(0x10000, I.Firm.size()), I.Firm);
  }
}

// Whatever happens, the demo ends within its own time limit: here a board that never
// answers keeps the run connecting far longer than the limit.
TEST(ProgramDemo, EndsWithinItsTimeLimit) {
  TImages I;
  TBoard B;
  ASSERT_TRUE(B.Start({"--mute"}));
  TProgramCopy Copy;
  ASSERT_TRUE(Copy.Ok);
  Copy.SetIni(
      DemoIni(B, I, "", "SlowLow=5000\r\nSlowHigh=5000\r\nFastLow=5000\r\nFastHigh=5000\r\n"));
  QProcess P;
  QElapsedTimer T;
  T.start();
  Copy.Start(P, {"--demo-autorun=" + Copy.Dir.filePath("shot.png"), "--demo-time-limit=3"},
             Offscreen());
  ASSERT_TRUE(P.waitForStarted(5000));
  ASSERT_TRUE(Finish(P, 30000)) << "the demo did not end";
  const QString Out = QString::fromUtf8(P.readAllStandardOutput());
  EXPECT_LT(T.elapsed(), 15000) << Out.toStdString();
  EXPECT_EQ(P.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(P.exitCode(), 1) << Out.toStdString();
  EXPECT_TRUE(Out.contains("demo: time limit of 3 s reached, ending")) << Out.toStdString();
}

// ---------------------------------------------------------------- a real window manager

namespace {

// An X server of its own (Xvfb picks a free display) with openbox managing it.
struct TDesktop {
  QProcess X, Wm;
  QString Display;
  QString Missing; // the tools not found; empty when all are there

  TDesktop() {
    for (const char* Tool : {"Xvfb", "openbox", "wmctrl", "xwininfo", "xprop"})
      if (QStandardPaths::findExecutable(Tool).isEmpty()) Missing += QString(" ") + Tool;
    if (!Missing.isEmpty()) return;
    TProgramCopy::Prepare(X, BaseEnv());
    // -displayfd 1: the display number it took, on its standard output.
    X.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (!X.waitForStarted(5000)) return;
    for (int i = 0; i < 100 && !X.canReadLine(); ++i)
      X.waitForReadyRead(100);
    const QString N = QString::fromUtf8(X.readLine()).trimmed();
    if (N.isEmpty()) return;
    Display = ":" + N;
    TProgramCopy::Prepare(Wm, Env());
    Wm.start("openbox", {"--sm-disable"});
    // Managing once it has announced itself on the root window.
    for (int i = 0; i < 100 && !Run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("#");
         ++i)
      QThread::msleep(50);
  }
  ~TDesktop() {
    for (QProcess* P : {&Wm, &X})
      if (P->state() != QProcess::NotRunning) {
        P->terminate();
        Finish(*P, 3000);
      }
  }
  QProcessEnvironment Env() const {
    QProcessEnvironment E = BaseEnv();
    E.insert("DISPLAY", Display);
    E.insert("QT_QPA_PLATFORM", "xcb");
    return E;
  }
  // Runs a tool on this display to its end; what it printed.
  QString Run(const QString& Tool, const QStringList& Args) const {
    QProcess P;
    TProgramCopy::Prepare(P, Env());
    P.start(Tool, Args);
    if (!P.waitForStarted(5000) || !Finish(P, 5000)) return QString();
    return QString::fromUtf8(P.readAllStandardOutput());
  }
  // The top-level window with this title, as "0x..."; empty when there is none.
  QString WindowId(const QString& Title) const {
    const QRegularExpression Line("^\\s*(0x[0-9a-f]+) \"" + QRegularExpression::escape(Title) +
                                  "\": .*\\b385x253\\+");
    for (const QString& L : Run("xwininfo", {"-root", "-tree"}).split('\n'))
      if (const auto M = Line.match(L); M.hasMatch()) return M.captured(1);
    return QString();
  }
  // The window's frame, top-left, on the screen: the client's position less the frame
  // extents the window manager put on it; nothing while it has put none yet.
  std::optional<QPoint> FrameTopLeft(const QString& Id) const {
    const QString Ext = Run("xprop", {"-id", Id, "_NET_FRAME_EXTENTS"});
    const auto E = QRegularExpression("= (\\d+), (\\d+), (\\d+), (\\d+)").match(Ext);
    if (!E.hasMatch()) return std::nullopt;
    const QString Info = Run("xwininfo", {"-id", Id});
    const auto X = QRegularExpression("Absolute upper-left X:\\s+(-?\\d+)").match(Info);
    const auto Y = QRegularExpression("Absolute upper-left Y:\\s+(-?\\d+)").match(Info);
    if (!X.hasMatch() || !Y.hasMatch()) return std::nullopt;
    return QPoint(X.captured(1).toInt() - E.captured(1).toInt(),
                  Y.captured(1).toInt() - E.captured(3).toInt());
  }
};

// The saved "NormPos" (the plain key): left, top, right, bottom.
QList<int> SavedNormPos(const QByteArray& Ini) {
  const auto M = QRegularExpression("\\r\\nNormPos=(-?\\d+),(-?\\d+),(-?\\d+),(-?\\d+)\\r\\n")
                     .match(QString::fromUtf8(Ini));
  if (!M.hasMatch()) return {};
  return {M.captured(1).toInt(), M.captured(2).toInt(), M.captured(3).toInt(),
          M.captured(4).toInt()};
}

// One start of the program on the desktop: waits for its window to settle where the
// window manager put it, closes it as the user does (through the window manager), and
// returns where its frame was; nothing when something did not happen in time.
std::optional<QPoint> StartAndClose(const TDesktop& D, const TProgramCopy& Copy,
                                    const QString& Title) {
  QProcess P;
  Copy.Start(P, {}, D.Env());
  if (!P.waitForStarted(5000)) return std::nullopt;
  QString Id;
  for (int i = 0; i < 200 && Id.isEmpty(); ++i) {
    QThread::msleep(50);
    Id = D.WindowId(Title);
  }
  // The frame arrives late: the same place twice, a quarter of a second apart, is where it is.
  std::optional<QPoint> At, Before;
  for (int i = 0; i < 40 && !(At && At == Before); ++i) {
    QThread::msleep(250);
    Before = At;
    At = Id.isEmpty() ? std::nullopt : D.FrameTopLeft(Id);
  }
  if (!Id.isEmpty()) D.Run("wmctrl", {"-i", "-c", Id});
  const bool Ended =
      Finish(P, 10000) && P.exitStatus() == QProcess::NormalExit && P.exitCode() == 0;
  if (!Ended || !(At && At == Before)) return std::nullopt;
  return At;
}

} // namespace

// Under a window manager that decorates windows, the window reopens exactly where it
// was closed: the placement stored and the placement restored measure the same thing
// (the frame). Each start used to find it one title bar higher than it was left.
TEST(ProgramWindowManager, WindowReopensWhereItWasClosed) {
  TDesktop D;
  ASSERT_TRUE(D.Missing.isEmpty())
      << "missing:" << D.Missing.toStdString() << " (scripts/setup.sh installs them)";
  ASSERT_FALSE(D.Display.isEmpty()) << "Xvfb did not start";
  TProgramCopy Copy;
  ASSERT_TRUE(Copy.Ok);
  const QString Title = "Quorvex v" + QString::number(QUORVEX_VERSION_MAJOR) + "." +
                        QString::number(QUORVEX_VERSION_MINOR) + "." +
                        QString::number(QUORVEX_VERSION_PATCH);

  // A first start where the window manager places it writes the placement for this
  // screen; the user then puts the window somewhere else.
  ASSERT_TRUE(StartAndClose(D, Copy, Title));
  const QByteArray Ini = Copy.Ini();
  const QList<int> First = SavedNormPos(Ini);
  ASSERT_EQ(First.size(), 4) << Ini.constData();
  const int W = First[2] - First[0], H = First[3] - First[1];
  const QPoint Put(200, 300);
  const QString Rect =
      QString("%1,%2,%3,%4").arg(Put.x()).arg(Put.y()).arg(Put.x() + W).arg(Put.y() + H);
  // Both position keys, the one for this desktop's size and the plain one.
  QString Text = QString::fromUtf8(Ini);
  Text.replace(QRegularExpression("(NormPos(\\([0-9x]+\\))?)=[-0-9,]+"), "\\1=" + Rect);
  Copy.SetIni(Text.toUtf8());

  for (int Start = 1; Start <= 3; ++Start) {
    SCOPED_TRACE("start " + std::to_string(Start));
    const std::optional<QPoint> At = StartAndClose(D, Copy, Title);
    ASSERT_TRUE(At) << "the window did not come up and close in time";
    EXPECT_EQ(*At, Put);
    EXPECT_EQ(SavedNormPos(Copy.Ini()), QList<int>({Put.x(), Put.y(), Put.x() + W, Put.y() + H}))
        << Copy.Ini().constData();
  }
}
