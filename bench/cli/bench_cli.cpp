// Flashes a standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB of
// random data) with quorvex-cli into one paced virtual board, then into four at once,
// every board with a real flash part's typical times (--real-timing) and the line paced
// at its baud rate. Prints both wall times, their ratio (the goal: at most 1.1) and the
// CPU time the program used in each run. Without AutoErase unless --auto-erase is given
// (a chip erase is about 10 s of the board's own time, the same on every board).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct TBoard {
  pid_t Pid = -1;
  std::string Url;
};

// Starts a board; its first line of output is its address.
TBoard StartBoard(const std::string& Dir, int i) {
  int Fd[2];
  if (pipe(Fd) != 0) std::exit(1);
  TBoard B;
  B.Pid = fork();
  if (B.Pid == 0) {
    dup2(Fd[1], 1);
    close(Fd[0]);
    freopen("/dev/null", "w", stderr);
    const std::string Flash = Dir + "/flash" + std::to_string(i) + ".bin";
    execl(QUORVEX_VBOARD_EXE, QUORVEX_VBOARD_EXE, "--real-timing", "--time-scale", "1", "--flash",
          Flash.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(Fd[1]);
  char c;
  while (read(Fd[0], &c, 1) == 1 && c != '\n')
    B.Url.push_back(c);
  close(Fd[0]);
  return B;
}

struct TRun {
  double Wall = 0, Cpu = 0;
  int Status = -1;
};

TRun RunCli(const std::vector<std::string>& Args) {
  std::vector<char*> Argv{const_cast<char*>(QUORVEX_CLI_EXE)};
  for (const std::string& A : Args)
    Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const auto Start = std::chrono::steady_clock::now();
  const pid_t Pid = fork();
  if (Pid == 0) {
    freopen("/dev/null", "w", stdout); // its progress lines would bury the figures
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  int St = 0;
  rusage U{};
  wait4(Pid, &St, 0, &U); // this child's own usage, not the boards'
  TRun R;
  R.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  R.Cpu = double(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
          double(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
  R.Status = WIFEXITED(St) ? WEXITSTATUS(St) : -1;
  return R;
}

void WriteRandom(const std::string& Path, size_t Size, unsigned Seed, bool Boot = false) {
  std::mt19937 G(Seed);
  std::string B(Size, '\0');
  for (char& c : B)
    c = char(G());
  if (Boot) B[0] = char(0xE9);
  std::ofstream(Path, std::ios::binary) << B;
}

} // namespace

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
    Boards.push_back(StartBoard(Dir, i));

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
