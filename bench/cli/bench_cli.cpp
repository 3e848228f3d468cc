// Flashes a standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB of
// random data) with quorvex-cli into one paced virtual board, then into four at once,
// every board with a real flash part's typical times (--real-timing) and the line paced
// at its baud rate. Prints both wall times, their ratio (the goal: at most 1.1) and the
// CPU time the program used in each run. Without AutoErase unless --auto-erase is given
// (a chip erase is about 10 s of the board's own time, the same on every board).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "BenchCli.h"

using namespace benchcli;

int main(int argc, char** argv) {
  const bool AutoErase = argc > 1 && std::strcmp(argv[1], "--auto-erase") == 0;
  char Tmpl[] = "/tmp/bench_cli_XXXXXX";
  const std::string Dir = mkdtemp(Tmpl);
  WriteRandom(Dir + "/boot.bin", 26000, 1, true);
  WriteRandom(Dir + "/part.bin", 3072, 2);
  WriteRandom(Dir + "/firm.bin", 1 << 20, 3);
  std::ofstream(Dir + "/Quorvex.ini") << "[CONFIG]\r\n"; // the window's defaults
  std::vector<TBoard> Boards;
  for (int i = 0; i < 4; ++i)
    Boards.push_back(StartBoard(Dir, i, {}));

  std::vector<std::string> Base = {"flash",
                                   "--settings",
                                   Dir + "/Quorvex.ini",
                                   "--boot",
                                   Dir + "/boot.bin",
                                   "--part",
                                   Dir + "/part.bin",
                                   "--firm",
                                   Dir + "/firm.bin",
                                   AutoErase ? "--auto-erase" : "--no-auto-erase"};
  auto Args = [&](size_t n) {
    std::vector<std::string> A = Base;
    for (size_t i = 0; i < n; ++i) {
      A.push_back("--port");
      A.push_back(Boards[i].Url);
    }
    return A;
  };
  std::printf("quorvex-cli flash, 26000 + 3072 + 1048576 bytes, 921600 baud, real flash "
              "timing, AutoErase %s\n",
              AutoErase ? "on" : "off");
  std::fflush(stdout);
  const TRun One = RunCli(Args(1));
  const TRun Four = RunCli(Args(4));
  for (TBoard& B : Boards) {
    kill(B.Pid, SIGTERM);
    waitpid(B.Pid, nullptr, 0);
  }
  std::system(("rm -rf '" + Dir + "'").c_str());

  std::printf("one board:   %6.2f s wall, %5.2f s CPU (exit %d)\n", One.Wall, One.Cpu, One.Status);
  std::printf("four boards: %6.2f s wall, %5.2f s CPU (exit %d)\n", Four.Wall, Four.Cpu,
              Four.Status);
  const double Ratio = Four.Wall / One.Wall;
  std::printf("ratio four/one: %.3f (goal: at most 1.1) %s\n", Ratio,
              Ratio <= 1.1 ? "met" : "NOT met");
  return One.Status == 0 && Four.Status == 0 ? 0 : 1;
}
