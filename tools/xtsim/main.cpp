// quorvex-xtsim: runs an Xtensa ELF (or raw images) on the simulated core with the
// ESP32's memories, and prints how the run ended: a fault report, or the bound reached.
//   quorvex-xtsim [options] [PROGRAM.elf]
//     --load FILE@ADDR   also load a raw image at ADDR (repeatable)
//     --entry ADDR       start here instead of the ELF's entry
//     --max N            stop after N instructions (default 100000000)
//     --clock HZ         CPU clock for CCOUNT and the time printed (default 40000000)
//     --port ADDR        a 16-byte console port: a word written at ADDR is printed,
//                        one written at ADDR+4 ends the run with it as exit status
//     --set SYMBOL=VALUE a 32-bit word written at the ELF symbol's address (repeatable)
//     --trace            MMIO accesses and calls on stderr
// Exit status: the port's value, 0 when WAITI ends the run, 3 for a fault, 4 when the
// bound is reached, 2 for bad arguments or files.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "XtTrace.h"

namespace {

bool Number(const std::string& S, uint64_t& V) {
  if (S.empty()) return false;
  char* End = nullptr;
  V = std::strtoull(S.c_str(), &End, 0);
  return End && *End == 0 && S[0] != '-';
}

int Usage(const char* Why) {
  std::fprintf(stderr, "quorvex-xtsim: %s\n", Why);
  std::fprintf(stderr, "usage: quorvex-xtsim [--load FILE@ADDR]... [--entry ADDR] [--max N] "
                       "[--clock HZ] [--port ADDR] [--trace] [PROGRAM.elf]\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  std::string ElfPath;
  std::vector<std::pair<std::string, uint32_t>> Raw, Sets;
  uint64_t Max = 100000000, Clock = 40000000, Entry = 0, Port = 0;
  bool HaveEntry = false, HavePort = false, Tracing = false;
  for (int i = 1; i < argc; ++i) {
    const std::string A = argv[i];
    auto Value = [&](uint64_t& V, uint64_t Most) {
      return i + 1 < argc && Number(argv[++i], V) && V <= Most;
    };
    if (A == "--load" && i + 1 < argc) {
      const std::string L = argv[++i];
      const size_t At = L.rfind('@');
      uint64_t Addr = 0;
      if (At == std::string::npos || !Number(L.substr(At + 1), Addr) || Addr > 0xFFFFFFFFu)
        return Usage("--load wants FILE@ADDR");
      Raw.emplace_back(L.substr(0, At), uint32_t(Addr));
    } else if (A == "--set" && i + 1 < argc) {
      const std::string L = argv[++i];
      const size_t At = L.find('=');
      uint64_t V = 0;
      if (At == std::string::npos || At == 0 || !Number(L.substr(At + 1), V) || V > 0xFFFFFFFFu)
        return Usage("--set wants SYMBOL=VALUE");
      Sets.emplace_back(L.substr(0, At), uint32_t(V));
    } else if (A == "--entry") {
      if (!Value(Entry, 0xFFFFFFFFu)) return Usage("--entry wants an address");
      HaveEntry = true;
    } else if (A == "--max") {
      if (!Value(Max, ~0ull) || Max == 0) return Usage("--max wants a positive count");
    } else if (A == "--clock") {
      if (!Value(Clock, 0xFFFFFFFFu) || Clock == 0) return Usage("--clock wants a frequency in Hz");
    } else if (A == "--port") {
      if (!Value(Port, 0xFFFFFFF0u)) return Usage("--port wants an address");
      HavePort = true;
    } else if (A == "--trace") {
      Tracing = true;
    } else if (!A.empty() && A[0] != '-' && ElfPath.empty()) {
      ElfPath = A;
    } else {
      return Usage(("unknown argument " + A).c_str());
    }
  }
  if (ElfPath.empty() && Raw.empty()) return Usage("nothing to run");
  if (ElfPath.empty() && !HaveEntry) return Usage("raw images need --entry");

  xtsim::TMemory Mem;
  xtsim::AddEsp32Memories(Mem);
  int ExitValue = -1;
  if (HavePort) {
    try {
      Mem.AddMmio("console port", uint32_t(Port), 16, xtsim::AllowWrite,
                  [&](xtsim::TCore& Core, xtsim::TMmioAccess& M) {
                    if (M.Width != 4 || M.Offset > 4) return false;
                    if (M.Offset == 0) {
                      std::printf("port: 0x%08x\n", unsigned(M.Value));
                    } else {
                      ExitValue = int(M.Value & 0xFF);
                      Core.Stop("exit " + std::to_string(M.Value));
                    }
                    return true;
                  });
    } catch (const std::exception& E) {
      return Usage(E.what());
    }
  }
  xtsim::TElf Elf;
  std::string Error;
  if (!ElfPath.empty() && (!Elf.Load(ElfPath, Error) || !Elf.LoadInto(Mem, Error))) {
    std::fprintf(stderr, "quorvex-xtsim: %s\n", Error.c_str());
    return 2;
  }
  for (const auto& [File, Addr] : Raw) {
    std::ifstream F(File, std::ios::binary);
    const std::vector<char> B((std::istreambuf_iterator<char>(F)),
                              std::istreambuf_iterator<char>());
    if (!F.eof() && !F) {
      std::fprintf(stderr, "quorvex-xtsim: %s: cannot be read\n", File.c_str());
      return 2;
    }
    if (!Mem.Write(Addr, B.data(), uint32_t(B.size()))) {
      std::fprintf(stderr, "quorvex-xtsim: %s does not fit the memory at 0x%08x\n", File.c_str(),
                   unsigned(Addr));
      return 2;
    }
  }

  for (const auto& [Name, Value] : Sets) {
    const xtsim::TElfSymbol* S = Elf.FindSymbol(Name);
    if (!S || !Mem.Write(S->Value, &Value, 4)) {
      std::fprintf(stderr, "quorvex-xtsim: --set: no symbol %s in memory\n", Name.c_str());
      return 2;
    }
  }

  xtsim::TCore Core(Mem);
  Core.SetClockHz(uint32_t(Clock));
  Core.Reset(HaveEntry ? uint32_t(Entry) : Elf.Entry);
  auto Symbolise = [&](uint32_t Addr) { return Elf.Symbolise(Addr); };
  xtsim::TTraceLog Trace(stderr, Symbolise);
  if (Tracing) Core.SetTrace(&Trace);
  const xtsim::TStop Stop = Core.Run(Max);
  std::fflush(stdout);
  std::fprintf(stderr, "quorvex-xtsim: %llu instructions, %llu cycles (%.6f s at %llu Hz)\n",
               (unsigned long long)Core.Instructions(), (unsigned long long)Core.Cycles(),
               Core.Seconds(), (unsigned long long)Clock);
  switch (Stop.Reason) {
  case xtsim::TStopReason::Fault:
    std::fprintf(stderr, "%s", xtsim::FaultReport(Core.Fault(), Symbolise).c_str());
    return 3;
  case xtsim::TStopReason::Limit:
    std::fprintf(stderr,
                 "quorvex-xtsim: stopped at pc 0x%08x after the bound of %llu instructions\n",
                 unsigned(Core.Pc), (unsigned long long)Max);
    return 4;
  case xtsim::TStopReason::Stopped:
    return ExitValue < 0 ? 0 : ExitValue;
  default:
    std::fprintf(stderr, "quorvex-xtsim: %s at pc 0x%08x\n", Stop.Why.c_str(), unsigned(Core.Pc));
    return Stop.Reason == xtsim::TStopReason::Waiting ? 0 : 3;
  }
}
