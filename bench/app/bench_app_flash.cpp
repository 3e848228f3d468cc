// Flashes a standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB
// of random data) into a paced virtual board with a real flash part's typical times,
// through the real window, offscreen: with and without AutoErase, at 921600 and at
// 2000000 baud. For each run it prints the total time against its floor: the wire time
// of every byte both ways, the run's fixed pauses, and the flash time nothing can hide
// (the chip erase with AutoErase; without it the first erase). It also checks the
// board's trace: no sector erased twice, nothing erased past an image's data.
// Then the CPU time and peak memory of the program, and the time from the start of
// main to the window shown.
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QWindow>
#include <cstdio>
#include <map>
#include <vector>

#include "uProgram.h"

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

struct TRun {
  uint32_t Baud;
  bool AutoErase;
};

struct TFigures {
  double TotalMs = 0, WireMs = 0, PauseMs = 0, ChipEraseMs = 0, FirstEraseMs = 0;
  int Blocks = 0, Erases = 0;
  QString Status;
  QStringList Problems; // what the trace check found
};

// Reads the board's trace: wire time, erase durations, and the check that no sector is
// erased twice and nothing past an image's data.
void ReadTrace(const QString& Name, double ConnBaud, double FastBaud, TFigures& F) {
  QFile File(Name);
  if (!File.open(QIODevice::ReadOnly)) {
    F.Problems << "no trace";
    return;
  }
  double Rate = ConnBaud;
  constexpr uint32_t Sector = 4096;
  std::map<uint32_t, int> ErasedSectors;           // sector -> times erased
  std::vector<std::pair<uint32_t, uint32_t>> Data; // each image: offset, bytes so far
  bool ChipErased = false;
  while (!File.atEnd()) {
    const QJsonObject O = QJsonDocument::fromJson(File.readLine()).object();
    const QString Ev = O["ev"].toString();
    if (Ev == "frame_in" || Ev == "frame_out") {
      const QByteArray P = QByteArray::fromHex(O["pkt"].toString().toLatin1());
      F.WireMs += double(WireBytes(O["pkt"].toString())) * 10 * 1000 / Rate;
      const int Cmd = O["cmd"].toInt();
      if (Ev == "frame_out" && Cmd == 0x0F) Rate = FastBaud;
      auto Word = [&P](int At) {
        return uint32_t(uchar(P[At])) | uint32_t(uchar(P[At + 1])) << 8 |
               uint32_t(uchar(P[At + 2])) << 16 | uint32_t(uchar(P[At + 3])) << 24;
      };
      if (Ev == "frame_in" && Cmd == 0x02 && P.size() >= 24) Data.push_back({Word(20), 0});
      if (Ev == "frame_in" && Cmd == 0x03 && P.size() >= 24 && !Data.empty()) {
        ++F.Blocks;
        Data.back().second += Word(8);
      }
    } else if (Ev == "keepalive") {
      F.WireMs += 10 * 1000 / Rate;
    } else if (Ev == "erase") {
      const uint32_t Addr = uint32_t(O["addr"].toInteger()), Len = uint32_t(O["len"].toInteger());
      const double Ms = O["us"].toDouble() / 1000;
      if (F.Erases++ == 0) F.FirstEraseMs = Ms;
      if (Len >= (4u << 20)) {
        F.ChipEraseMs += Ms;
        ChipErased = true;
        continue;
      }
      for (uint32_t S = Addr; S < Addr + Len; S += Sector) {
        if (++ErasedSectors[S] > 1 || ChipErased)
          F.Problems << QString("sector %1 erased twice").arg(S, 0, 16);
      }
    }
  }
  // An erase may run ahead of the data that has arrived, never past what the image
  // sends: every erased sector holds some of an image's data.
  for (const auto& [S, Times] : ErasedSectors) {
    bool Inside = false;
    for (const auto& [Off, Bytes] : Data)
      Inside = Inside || (S + Sector > Off && S < Off + Bytes);
    if (!Inside) F.Problems << QString("sector %1 lies past every image's data").arg(S, 0, 16);
  }
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
  P.Main.edBoot->setText(Dir.filePath("boot.bin"));
  P.Main.edPart->setText(Dir.filePath("part.bin"));
  P.Main.edFirm->setText(Dir.filePath("firm.bin"));

  const TRun Runs[] = {{921600, true}, {921600, false}, {2000000, true}, {2000000, false}};
  const double Cpu0 = CpuSeconds();
  double AllMs = 0;
  bool AllOk = true;
  for (const TRun& Run : Runs) {
    const QString Trace =
        Dir.filePath(QString("trace-%1-%2.jsonl").arg(Run.Baud).arg(Run.AutoErase));
    QProcess Board;
    Board.start(QUORVEX_VBOARD, {"--port", "0", "--flash", Dir.filePath("flash.bin"), "--trace",
                                 Trace, "--real-timing"});
    if (!Board.waitForStarted(5000) || !Board.waitForReadyRead(5000)) {
      std::fprintf(stderr, "the virtual board did not start\n");
      return 1;
    }
    const QString Url = QString::fromUtf8(Board.readLine()).trimmed();
    // Wait for the start-up timer, then point the window at the board.
    QElapsedTimer Settle;
    Settle.start();
    while (Settle.elapsed() < 200)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    P.Main.cbPort->addItem(Url);
    P.Main.cbPort->setCurrentText(Url);
    P.Main.chkAutoErase->setChecked(Run.AutoErase);
    P.Main.FConfig.FastBaud = Run.Baud;

    QElapsedTimer Clock;
    Clock.start();
    // The run goes on behind the click; the event loop sleeps until it has ended.
    QEventLoop Done;
    QObject::connect(&P.Main, &TMain::RunEnded, &Done, &QEventLoop::quit);
    P.Main.ButStartClick(P.Main.butUpdate);
    if (P.Main.Running()) Done.exec();
    TFigures F;
    F.TotalMs = double(Clock.nsecsElapsed()) / 1e6;
    F.Status = P.Main.sBar->PanelText(0);
    Board.terminate();
    Board.waitForFinished(5000);

    const TConfig& C = P.Main.FConfig;
    ReadTrace(Trace, C.ConnBaud, C.FastBaud, F);
    // Open wait, one fast reset, the input drain's 10 ms of silence, the pause after
    // it, 50 ms per block, 200 ms per image, and the final reset pulse (20 + 50 ms).
    F.PauseMs = 50 + C.FastLow + C.FastHigh + 10 + 100 + 50.0 * F.Blocks + 200 * 3 + 70;
    const double HiddenMs = Run.AutoErase ? F.ChipEraseMs : F.FirstEraseMs;
    const double FloorMs = F.WireMs + F.PauseMs + HiddenMs;
    std::printf("%7u baud, AutoErase %-3s  status %s\n", Run.Baud, Run.AutoErase ? "on" : "off",
                qPrintable(F.Status));
    std::printf("  total %.0f ms, floor %.0f ms (wire %.0f + pauses %.0f + %s %.0f), ratio %.3f\n",
                F.TotalMs, FloorMs, F.WireMs, F.PauseMs,
                Run.AutoErase ? "chip erase" : "first erase", HiddenMs, F.TotalMs / FloorMs);
    std::printf("  %d blocks, %d erases; trace check: %s\n", F.Blocks, F.Erases,
                F.Problems.isEmpty() ? "no sector erased twice, none past the data"
                                     : qPrintable(F.Problems.mid(0, 5).join("; ")));
    AllMs += F.TotalMs;
    AllOk = AllOk && F.Status == "OK" && F.Problems.isEmpty();
  }
  const double CpuMs = (CpuSeconds() - Cpu0) * 1000;
  std::printf("CPU time          %.0f ms (%.1f%% of the runs' %.0f ms)\n", CpuMs,
              100 * CpuMs / AllMs, AllMs);
  std::printf("peak memory       %.1f MiB\n", double(PeakRssKiB()) / 1024);
  std::printf("start to shown    %.0f ms\n", StartMs);
  P.Main.close();
  return AllOk ? 0 : 1;
}
