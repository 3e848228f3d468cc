// Fuzz target: arbitrary bytes on the stub's UART. The core must neither
// crash, nor write past its buffer, nor misuse the flash (no program or erase
// without the write-enable latch, no command while busy, no page wrap).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "StubSim.h"
#include "stub_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TStubSim Sim(1u << 20);
  Sim.Regs[0x40001000] = 0x00F01D83;
  auto S = std::make_unique<stub>();
  stub_init(S.get());
  Sim.In.assign(Data, Data + Size);
  while (stub_service(S.get())) {
  }
  if (!Sim.Faults.empty()) std::abort();
  return 0;
}
