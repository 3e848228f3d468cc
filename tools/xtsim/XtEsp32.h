#pragma once
// The ESP32's embedded memories on a core's map (TRM 1.3.2, Embedded Memory, and the
// embedded memory address mapping table), with the rules of the bus each address range
// is on. Peripherals are not here: a caller adds the ones it models as MMIO regions, and
// an access to any other address faults.
#include <cstdint>
#include <memory>

#include "XtMemory.h"

namespace xtsim {

struct TEsp32Memories {
  std::shared_ptr<TStorage> Rom0, Rom1, Sram0, Sram1, Sram2, RtcFast, RtcSlow;
};

namespace esp32 {
constexpr uint32_t Rom0Base = 0x40000000, Rom0Size = 0x60000;   // instruction bus
constexpr uint32_t Rom1Base = 0x3FF90000, Rom1Size = 0x10000;   // data bus
constexpr uint32_t Sram0Base = 0x40070000, Sram0Size = 0x30000; // instruction bus
constexpr uint32_t Sram1IBase = 0x400A0000, Sram1DBase = 0x3FFE0000, Sram1Size = 0x20000;
constexpr uint32_t Sram2Base = 0x3FFAE000, Sram2Size = 0x32000; // data bus
constexpr uint32_t RtcFastIBase = 0x400C0000, RtcFastDBase = 0x3FF80000, RtcFastSize = 0x2000;
constexpr uint32_t RtcSlowBase = 0x50000000, RtcSlowSize = 0x2000; // both buses
} // namespace esp32

// Adds the ROMs (zero-filled: the chip's ROM code is not ours to have; callers put the few
// words they need there, and a jump into ROM 0 faults as a call of an unmodelled ROM
// function), SRAM 0, 1 and 2, and the RTC memories. SRAM 1 appears on the data bus in
// reverse word order.
TEsp32Memories AddEsp32Memories(TMemory& Mem);

} // namespace xtsim
