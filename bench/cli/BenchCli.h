#pragma once
// What the command line's benchmarks share: paced boards as child processes, quorvex-cli
// timed with its own CPU use, random images.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace benchcli {

struct TBoard {
  pid_t Pid = -1;
  std::string Url;
};

// Starts a paced board with a real part's flash times and Extra options; its first line
// of output is its address.
inline TBoard StartBoard(const std::string& Dir, int i, const std::vector<std::string>& Extra) {
  int Fd[2];
  if (pipe(Fd) != 0) std::exit(1);
  TBoard B;
  B.Pid = fork();
  if (B.Pid == 0) {
    dup2(Fd[1], 1);
    close(Fd[0]);
    freopen("/dev/null", "w", stderr);
    const std::string Flash = Dir + "/flash" + std::to_string(i) + ".bin";
    std::vector<std::string> Args = {
        QUORVEX_VBOARD_EXE, "--real-timing", "--time-scale", "1", "--flash", Flash};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    std::vector<char*> Argv;
    for (std::string& A : Args)
      Argv.push_back(A.data());
    Argv.push_back(nullptr);
    execv(Argv[0], Argv.data());
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

inline TRun RunCli(const std::vector<std::string>& Args) {
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

inline void WriteRandom(const std::string& Path, size_t Size, unsigned Seed, bool Boot = false) {
  std::mt19937 G(Seed);
  std::string B(Size, '\0');
  for (char& c : B)
    c = char(G());
  if (Boot) B[0] = char(0xE9);
  std::ofstream(Path, std::ios::binary) << B;
}

} // namespace benchcli
