// The board's decoder and command handlers fed arbitrary wire bytes, in the loader and
// in the stub: no out-of-bounds access, no crash, whatever a client sends.
#include <cstddef>
#include <cstdint>

#include "VbEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  static vboard::TFlash Flash; // 4 MiB: made once, the engines write into it
  vboard::TBoardOptions Options;
  vboard::TChipEngine Engine(Options, Flash);
  // The first byte picks the mode, so both command sets are reached.
  if (Data[0] & 1)
    Engine.EnterStub();
  else
    Engine.EnterLoader();
  Engine.Feed(Data + 1, Size - 1);
  Engine.TakeActions();
  return 0;
}
