// Flashes the standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB of
// random data) with quorvex-cli into a paced board with a real flash part's typical times,
// once with the stub's core built for the host and once with the uploaded machine code on
// the simulated ESP32 (--stub-core machine). Prints both wall times and their ratio (the
// goal: at most 1.5), and how many instructions the simulated core ran in how much of
// the board's CPU time. Without AutoErase unless --auto-erase is given.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "BenchCli.h"

using namespace benchcli;

namespace {

// The sums of a numeric field over the trace's lines of one event.
double SumOf(const std::string& Trace, const std::string& Event, const std::string& Field) {
  std::ifstream In(Trace);
  double Sum = 0;
  for (std::string L; std::getline(In, L);) {
    if (L.find("\"ev\":\"" + Event + "\"") == std::string::npos) continue;
    const size_t At = L.find("\"" + Field + "\":");
    if (At != std::string::npos) Sum += std::stod(L.substr(At + Field.size() + 3));
  }
  return Sum;
}

} // namespace

int main(int argc, char** argv) {
  const bool AutoErase = argc > 1 && std::strcmp(argv[1], "--auto-erase") == 0;
  char Tmpl[] = "/tmp/bench_machine_XXXXXX";
  const std::string Dir = mkdtemp(Tmpl);
  WriteRandom(Dir + "/boot.bin", 26000, 1, true);
  WriteRandom(Dir + "/part.bin", 3072, 2);
  WriteRandom(Dir + "/firm.bin", 1 << 20, 3);
  std::ofstream(Dir + "/Quorvex.ini") << "[CONFIG]\r\n"; // the window's defaults
  std::printf("quorvex-cli flash, 26000 + 3072 + 1048576 bytes, 921600 baud, real flash "
              "timing, AutoErase %s\n",
              AutoErase ? "on" : "off");
  std::fflush(stdout);

  const std::string Trace = Dir + "/machine.jsonl";
  const struct {
    const char* Name;
    std::vector<std::string> Extra;
  } Kinds[] = {{"host-core board", {}},
               {"machine-code board", {"--stub-core", "machine", "--trace", Trace}}};
  TRun Runs[2];
  for (int k = 0; k < 2; ++k) {
    TBoard B = StartBoard(Dir, k, Kinds[k].Extra);
    Runs[k] = RunCli({"flash", "--settings", Dir + "/Quorvex.ini", "--boot", Dir + "/boot.bin",
                      "--part", Dir + "/part.bin", "--firm", Dir + "/firm.bin",
                      AutoErase ? "--auto-erase" : "--no-auto-erase", "--port", B.Url});
    kill(B.Pid, SIGTERM); // the board writes its last trace lines as it ends
    waitpid(B.Pid, nullptr, 0);
    std::printf("%-19s %6.2f s wall (exit %d)\n", Kinds[k].Name, Runs[k].Wall, Runs[k].Status);
    std::fflush(stdout);
  }
  const double Instructions = SumOf(Trace, "machine_run", "instructions");
  const double HostSeconds = SumOf(Trace, "machine_run", "host_us") / 1e6;
  std::system(("rm -rf '" + Dir + "'").c_str());

  const double Ratio = Runs[1].Wall / Runs[0].Wall;
  std::printf("ratio machine/host: %.3f (goal: at most 1.5) %s\n", Ratio,
              Ratio <= 1.5 ? "met" : "NOT met");
  std::printf("simulated: %.0f instructions in %.2f s of the board's time for them: %.1f "
              "million instructions per second\n",
              Instructions, HostSeconds, HostSeconds > 0 ? Instructions / HostSeconds / 1e6 : 0);
  return Runs[0].Status == 0 && Runs[1].Status == 0 ? 0 : 1;
}
