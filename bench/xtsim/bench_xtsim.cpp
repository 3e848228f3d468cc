// Simulated instructions per second: a cross-compiled workload (bench_prog.c: CRC-32,
// sorting, byte and halfword memory traffic, calls) run on the core with the ESP32's
// memories, best of three runs of 300 million instructions each.
//   bench_xtsim [INSTRUCTIONS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "xt_port_map.h"

int main(int argc, char** argv) {
  const uint64_t N = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 300000000ull;
  xtsim::TElf Elf;
  std::string Error;
  if (!Elf.Load(QUORVEX_XT_BENCH_ELF, Error)) {
    std::fprintf(stderr, "bench_xtsim: %s\n", Error.c_str());
    return 1;
  }
  double Best = 0;
  uint64_t Results = 0;
  for (int Round = 0; Round < 3; ++Round) {
    xtsim::TMemory Mem;
    xtsim::AddEsp32Memories(Mem);
    Mem.AddMmio("result port", XT_PORT_BASE, 0x20, xtsim::AllowWrite,
                [&](xtsim::TCore&, xtsim::TMmioAccess&) {
                  ++Results;
                  return true;
                });
    if (!Elf.LoadInto(Mem, Error)) {
      std::fprintf(stderr, "bench_xtsim: %s\n", Error.c_str());
      return 1;
    }
    xtsim::TCore Core(Mem);
    Core.Reset(Elf.Entry);
    const auto T0 = std::chrono::steady_clock::now();
    const xtsim::TStop S = Core.Run(N);
    const double Secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
    if (S.Reason != xtsim::TStopReason::Limit) {
      std::fprintf(stderr, "bench_xtsim: the workload stopped early: %s\n", S.Why.c_str());
      return 1;
    }
    const double Mips = double(Core.Instructions()) / Secs / 1e6;
    std::printf("run %d: %llu instructions, %llu cycles in %.3f s: %.1f million instructions/s\n",
                Round + 1, (unsigned long long)Core.Instructions(),
                (unsigned long long)Core.Cycles(), Secs, Mips);
    if (Mips > Best) Best = Mips;
  }
  std::printf("xtsim: %.1f million simulated instructions per second (best of 3; %llu results)\n",
              Best, (unsigned long long)Results);
  return 0;
}
