// getPacket fed arbitrary bytes: it must never write past the response record
// and must end once the input is exhausted (the fake answers -1 then).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FakeLink.h"
#include "protocol/uEsp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static TFakeLink Link;
  static TDebugLog Log;
  static auto Esp = std::make_unique<TEsp>(Link, Log);
  if (Size == 0) return 0;
  Link.In.assign(Data + 1, Data + Size);
  const bool ChkDir = Data[0] & 1;
  // Keep decoding frames until the input runs dry; each call must return.
  for (;;) {
    int r = Esp->getPacket(10, ChkDir);
    if (r > int(Esp->ResponseCapacity())) __builtin_trap();
    if (r == EspTimeout) break;
  }
  Link.Timeouts.clear();
  return 0;
}
