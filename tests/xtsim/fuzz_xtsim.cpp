// Fuzz target: arbitrary bytes as an ELF file and as machine code. The reader must refuse
// or accept without reading outside the file; the core must run any code to a fault or its
// bound without touching host memory it does not own; the disassembler must take any
// encoding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string Error;
  xtsim::TElf Elf;
  if (Elf.Parse(std::vector<uint8_t>(Data, Data + Size), Error)) {
    for (const auto& S : Elf.Symbols)
      (void)Elf.Symbolise(S.Value);
  }
  // The same bytes as code at the start of SRAM 0, with registers from the first bytes.
  static xtsim::TMemory Mem;
  static const bool Mapped = (xtsim::AddEsp32Memories(Mem), true);
  (void)Mapped;
  static xtsim::TCore Core(Mem);
  static std::vector<uint8_t> Zero(4096);
  Mem.Write(0x40080000, Zero.data(), uint32_t(Zero.size()));
  const uint32_t N = uint32_t(Size < Zero.size() ? Size : Zero.size());
  Mem.Write(0x40080000, Data, N);
  Core.Reset(0x40080000);
  for (unsigned i = 0; i < 16 && 4 * i + 3 < N; ++i)
    Core.A[i] = uint32_t(Data[4 * i] | Data[4 * i + 1] << 8 | Data[4 * i + 2] << 16 |
                         uint32_t(Data[4 * i + 3]) << 24);
  const xtsim::TStop S = Core.Run(20000, 200000);
  if (S.Reason == xtsim::TStopReason::Fault) (void)xtsim::FaultReport(Core.Fault());
  for (uint32_t i = 0; i + 3 <= N; ++i)
    (void)xtsim::Disassemble(xtsim::Decode(Data[i] | Data[i + 1] << 8 | Data[i + 2] << 16, i));
  return 0;
}
