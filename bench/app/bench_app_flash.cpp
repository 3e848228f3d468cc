// Flashes a standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB
// of random data, AutoErase) into a paced virtual board at 921600 baud through the real
// window, offscreen, and prints the total time against its floor: the wire time of
// every byte both ways, the board's modelled busy time and the fixed pauses of the run.
// Also prints the CPU time and peak memory of the program, and the time from the start
// of main to the window shown.
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QWindow>
#include <cstdio>

#include "uMain.h"

namespace {

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return double(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
         double(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_maxrss;
}

void WriteFile(const QString& Name, const QByteArray& B) {
  QFile F(Name);
  if (F.open(QIODevice::WriteOnly)) F.write(B);
}

// Bytes of one SLIP frame on the wire for a decoded packet given as hex.
qint64 WireBytes(const QString& Hex) {
  const QByteArray P = QByteArray::fromHex(Hex.toLatin1());
  qint64 N = 2;
  for (char c : P)
    N += (uchar(c) == 0xC0 || uchar(c) == 0xDB) ? 2 : 1;
  return N;
}

} // namespace

int main(int argc, char** argv) {
  QElapsedTimer Start;
  Start.start();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TQuorvexApplication App(argc, argv);
  TProgram P;
  P.Main.show();
  while (!P.Main.windowHandle() || !P.Main.windowHandle()->isExposed())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  const double StartMs = double(Start.nsecsElapsed()) / 1e6;

  QTemporaryDir Dir;
  QRandomGenerator R(42);
  auto Random = [&R](int Size) {
    QByteArray B(Size, '\0');
    for (auto& c : B)
      c = char(R.generate());
    return B;
  };
  QByteArray Boot = Random(26000);
  Boot[0] = char(0xE9);
  const QByteArray Part = Random(3072), Firm = Random(1 << 20);
  WriteFile(Dir.filePath("boot.bin"), Boot);
  WriteFile(Dir.filePath("part.bin"), Part);
  WriteFile(Dir.filePath("firm.bin"), Firm);

  QProcess Board;
  const QString Trace = Dir.filePath("trace.jsonl");
  Board.start(QUORVEX_VBOARD,
              {"--port", "0", "--flash", Dir.filePath("flash.bin"), "--trace", Trace});
  if (!Board.waitForStarted(5000) || !Board.waitForReadyRead(5000)) {
    std::fprintf(stderr, "the virtual board did not start\n");
    return 1;
  }
  const QString Url = QString::fromUtf8(Board.readLine()).trimmed();

  // Wait for the start-up timer, then point the window at the board and the images.
  QElapsedTimer Settle;
  Settle.start();
  while (Settle.elapsed() < 200)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  P.Main.cbPort->addItem(Url);
  P.Main.cbPort->setCurrentText(Url);
  P.Main.edBoot->setText(Dir.filePath("boot.bin"));
  P.Main.edPart->setText(Dir.filePath("part.bin"));
  P.Main.edFirm->setText(Dir.filePath("firm.bin"));
  P.Main.chkAutoErase->setChecked(true);
  P.Main.FConfig.FastBaud = 921600;

  const double Cpu0 = CpuSeconds();
  QElapsedTimer Run;
  Run.start();
  P.Main.ButStartClick(P.Main.butUpdate);
  const double TotalMs = double(Run.nsecsElapsed()) / 1e6;
  const double CpuMs = (CpuSeconds() - Cpu0) * 1000;
  const QString Status = P.Main.sBar->PanelText(0);

  Board.terminate();
  Board.waitForFinished(5000);

  // The floor from what the board saw: frames both ways at the rate of the moment (the
  // connect rate until the baud change has been answered), and its busy time.
  const double Conn = P.Main.FConfig.ConnBaud, Fast = P.Main.FConfig.FastBaud;
  double WireMs = 0, BusyMs = 0, Rate = Conn;
  QFile F(Trace);
  if (!F.open(QIODevice::ReadOnly)) return 1;
  int Blocks = 0;
  while (!F.atEnd()) {
    const QJsonObject O = QJsonDocument::fromJson(F.readLine()).object();
    const QString Ev = O["ev"].toString();
    if (Ev == "frame_in" || Ev == "frame_out") {
      WireMs += double(WireBytes(O["pkt"].toString())) * 10 * 1000 / Rate;
      if (Ev == "frame_out" && O["cmd"].toInt() == 0x0F) Rate = Fast;
      if (Ev == "frame_in" && O["cmd"].toInt() == 0x03) ++Blocks;
    } else if (Ev == "busy") {
      BusyMs += O["us"].toDouble() / 1000;
    }
  }
  const TConfig& C = P.Main.FConfig;
  // Open wait, one fast reset, the input drain's 10 ms of silence, the pause after it,
  // 50 ms per block, 200 ms per image, and the final reset pulse (20 + 50 ms).
  const double PauseMs = 50 + C.FastLow + C.FastHigh + 10 + 100 + 50.0 * Blocks + 200 * 3 + 70;
  const double FloorMs = WireMs + BusyMs + PauseMs;

  std::printf("run status        %s (MAC %s)\n", qPrintable(Status),
              qPrintable(P.Main.LabMac->text()));
  std::printf("total time        %.0f ms\n", TotalMs);
  std::printf("floor             %.0f ms (wire %.0f + board busy %.0f + pauses %.0f, %d blocks)\n",
              FloorMs, WireMs, BusyMs, PauseMs, Blocks);
  std::printf("ratio             %.3f\n", TotalMs / FloorMs);
  std::printf("CPU time          %.0f ms (%.1f%% of the total)\n", CpuMs, 100 * CpuMs / TotalMs);
  std::printf("peak memory       %.1f MiB\n", double(PeakRssKiB()) / 1024);
  std::printf("start to shown    %.0f ms\n", StartMs);
  P.Main.close();
  return Status == "OK" ? 0 : 1;
}
