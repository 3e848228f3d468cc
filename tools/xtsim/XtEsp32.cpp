#include "XtEsp32.h"

namespace xtsim {

using namespace esp32;

TEsp32Memories AddEsp32Memories(TMemory& Mem) {
  TEsp32Memories M;
  // Instruction bus: fetch, and loads and stores only as aligned words. The ROM's code is
  // not ours to have, so nothing runs there: a jump or call into it is a fault.
  M.Rom0 = Mem.AddRam("internal ROM 0", Rom0Base, Rom0Size, AllowRead, true);
  Mem.SetNoFetch(Rom0Base, "a call into the ROM, whose code is not modelled (no ROM function is)");
  M.Sram0 =
      Mem.AddRam("SRAM 0 (instruction bus)", Sram0Base, Sram0Size, AllowRw | AllowFetch, true);
  M.Sram1 =
      Mem.AddRam("SRAM 1 (instruction bus)", Sram1IBase, Sram1Size, AllowRw | AllowFetch, true);
  Mem.AddAlias("SRAM 1 (data bus)", Sram1DBase, Sram1Size, AllowRw, false, M.Sram1, 0, true);
  M.RtcFast = Mem.AddRam("RTC FAST (instruction bus)", RtcFastIBase, RtcFastSize,
                         AllowRw | AllowFetch, true);
  Mem.AddAlias("RTC FAST (data bus)", RtcFastDBase, RtcFastSize, AllowRw, false, M.RtcFast, 0,
               false);
  // Data bus: any width, not executable.
  M.Rom1 = Mem.AddRam("internal ROM 1", Rom1Base, Rom1Size, AllowRead);
  M.Sram2 = Mem.AddRam("SRAM 2", Sram2Base, Sram2Size, AllowRw);
  // Shared by both buses.
  M.RtcSlow = Mem.AddRam("RTC SLOW", RtcSlowBase, RtcSlowSize, AllowRw | AllowFetch);
  return M;
}

} // namespace xtsim
