#pragma once
// What the window's end-to-end tests run against: one virtual board as a child process,
// the three images in a temporary folder, and the window pointed at both.
#include <QByteArray>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <ostream>
#include <sys/prctl.h>

#include "uProgram.h"

inline QByteArray RandomBytes(int Size, quint32 Seed) {
  QRandomGenerator R(Seed);
  QByteArray B(Size, '\0');
  for (auto& c : B)
    c = char(R.generate() & 0xFF);
  return B;
}

// The two boards every stub-path run goes against: firmware/stub's core built for the
// host, and the uploaded machine code on the simulated ESP32.
enum class TBoardKind { Host, Machine };
// How a test's name shows the board kind it ran against.
inline void PrintTo(TBoardKind K, std::ostream* Os) {
  *Os << (K == TBoardKind::Machine ? "machine" : "host");
}

// One virtual board as a child process, with its flash file and trace in a temp folder.
struct TBoard {
  QTemporaryDir Dir;
  QProcess Proc;
  QString Url;
  TBoardKind Kind;

  explicit TBoard(TBoardKind K = TBoardKind::Host) : Kind(K) {}

  QString FlashFile() const { return Dir.filePath("flash.bin"); }
  QString TraceFile() const { return Dir.filePath("trace.jsonl"); }

  bool Start(const QStringList& Extra) {
    QStringList Args = {"--port",  "0",         "--flash",    FlashFile(),
                        "--trace", TraceFile(), "--no-pacing"};
    if (Kind == TBoardKind::Machine)
      Args << "--stub-core"
           << "machine";
    // The board ends with the test, even when the test is killed for hanging.
    Proc.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    Proc.start(QUORVEX_VBOARD, Args + Extra);
    if (!Proc.waitForStarted(5000) || !Proc.waitForReadyRead(5000)) return false;
    Url = QString::fromUtf8(Proc.readLine()).trimmed();
    return Url.startsWith("rfc2217://");
  }
  // The flash file and the trace are complete once the board has ended.
  void Stop() {
    if (Proc.state() == QProcess::NotRunning) return;
    Proc.terminate();
    if (!Proc.waitForFinished(5000)) {
      Proc.kill();
      Proc.waitForFinished(2000);
    }
  }
  ~TBoard() { Stop(); }

  QByteArray Flash() {
    Stop();
    QFile F(FlashFile());
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
  }
  QList<QJsonObject> Trace() {
    Stop();
    QList<QJsonObject> Lines;
    QFile F(TraceFile());
    if (!F.open(QIODevice::ReadOnly)) return Lines;
    while (!F.atEnd())
      Lines.append(QJsonDocument::fromJson(F.readLine()).object());
    return Lines;
  }
  // Requests the board received, by opcode.
  QList<QJsonObject> FramesIn(int Cmd = -1) {
    QList<QJsonObject> R;
    for (const QJsonObject& O : Trace())
      if (O["ev"].toString() == "frame_in" && (Cmd < 0 || O["cmd"].toInt() == Cmd)) R.append(O);
    return R;
  }
};

// The three images with sizes the file checks accept; the bootloader starts with 0xE9.
struct TImages {
  QTemporaryDir Dir;
  QByteArray Boot, Part, Firm;
  TImages(int FirmSize = 65536 + 100) {
    Boot = RandomBytes(16385, 1);
    Boot[0] = char(0xE9);
    Boot[2] = 0x00;
    Boot[3] = 0x4F;
    Part = RandomBytes(3072, 2);
    Part[0] = char(0xE9); // only the bootloader is ever patched
    Firm = RandomBytes(FirmSize, 3);
    Write("boot.bin", Boot);
    Write("part.bin", Part);
    Write("firm.bin", Firm);
  }
  QString Path(const char* Name) const { return Dir.filePath(Name); }
  void Write(const char* Name, const QByteArray& B) {
    QFile F(Path(Name));
    F.open(QIODevice::WriteOnly);
    F.write(B);
  }
  QByteArray PatchedBoot() const {
    QByteArray B = Boot;
    B[2] = 0x02;
    B[3] = 0x20;
    return B;
  }
};

// Shows the window, lets its start-up checks run, and points it at the board and the
// images.
inline void ShowOnBoard(TMain& Main, const TBoard& B, const TImages& I) {
  Main.show();
  QEventLoop L;
  QTimer::singleShot(150, &L, &QEventLoop::quit);
  L.exec();
  Main.cbPort->clear();
  Main.cbPort->addItem(B.Url);
  Main.cbPort->setCurrentText(B.Url);
  Main.edBoot->setText(I.Path("boot.bin"));
  Main.edPart->setText(I.Path("part.bin"));
  Main.edFirm->setText(I.Path("firm.bin"));
}
