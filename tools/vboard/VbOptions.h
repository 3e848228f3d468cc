#pragma once
// Everything that shapes one simulated board: the chip, its timings and the faults
// it should show. Filled from the command line or directly by tests.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

enum class TChip { Esp32, Esp32S2, Unknown };

// The flash part: its JEDEC id and the ways parts differ that the stub must
// respect (status registers, where QE sits, what 0x35 and 0x52 do, SFDP).
enum class TFlashPart {
  Winbond,         // W25Q32BV: status register 2 at 0x35, written as WRSR's second byte; a
                   //   one-byte WRSR clears its QE; SFDP lists 4, 32 and 64 KiB erases
  WinbondCmp,      // the same with CMP set: the block-protect bits work the other way round
  GigaDevice,      // GD25Q32B: like the Winbond part, but a one-byte WRSR keeps register 2
  GigaDevice31,    // GD25Q32C: ignores a two-byte WRSR; register 2 is written with 0x31
  Macronix,        // MX25L3233F: QE is bit 6 of the one status register; 0x35 enters QPI
  MacronixOld,     // MX25L3206E, same id: 0x52 erases 64 KiB; no SFDP
  MacronixOldSfdp, // the same with an SFDP table that lists 0x52 as 64 KiB
  Issi,            // IS25LP032: QE is bit 6 of the one status register; 0x35 enters QPI
  Sr2ReadsFF,      // Winbond id, but 0x35 reads 0xFF; writing that back locks the part
  Unknown          // EN25Q32 (EON, a maker the stub does not know): 0x52 erases 64 KiB; no SFDP
};

// What becomes of the ROM loader's answer to a baud change it carries out.
enum class TBaudAnswer {
  Sent,    // the answer at the old rate, then the switch
  Dropped, // the switch, but the answer is never sent
  Garbled, // the switch first, so the answer goes out at the new rate
  Hang,    // the switch, no answer, and the chip hears nothing more until a reset
};

struct TBoardOptions {
  TChip Chip = TChip::Esp32;
  std::array<uint8_t, 6> Mac{0x24, 0x0A, 0xC4, 0x01, 0xA2, 0x3C}; // in display order
  // Reset circuit: the shortest EN-low pulse that resets the chip, and how long IO0
  // must stay low after the chip samples it (the sample comes RcDelayMs after EN rises).
  uint32_t MinResetMs = 10;
  uint32_t MinHoldMs = 2;
  uint32_t RcDelayMs = 10;
  bool Pacing = true;
  // Factor on the flash chip's erase and program times (1 = a real part's typical
  // times). Scaled down by default so test runs stay short; benchmarks use 1.
  double TimeScale = 0.1;
  // CPU clock while the stub runs (the ROM loader leaves it on the crystal).
  uint32_t CpuMhz = 40;
  TFlashPart FlashPart = TFlashPart::Winbond;
  bool FlashProtected = false;      // block-protect bits set at power-up
  bool FlashCmp = false;            // CMP set at power-up (parts with status register 2)
  bool FlashContinuousRead = false; // left in continuous-read mode by a previous program
  uint32_t FlashMiB = 4;            // the part's size: 4, 8 or 16 MiB (its JEDEC id says so)

  // What runs once the stub is started: firmware/stub's core built for the host, or the
  // uploaded machine code on the simulated ESP32 (tools/xtsim).
  enum class TStubCore { Host, Machine } StubCore = TStubCore::Host;
  // Machine mode: a stub blob run in place of the uploaded one; the stub's ELF, for
  // function names in fault reports; a file for the chip's MMIO trace; whether the
  // watchdogs run at the stub's entry (see XtEsp32Chip.h).
  std::string StubBlob, StubElf, MmioTrace;
  bool MachineWatchdogs = true;

  // Faults, one flag each.
  bool Mute = false;           // the chip never sends a byte
  bool SlowOnly = false;       // needs the slow reset timings (sets the two minimums)
  int FailImage = -1;          // FLASH_DATA block FailBlock of image FailImage (1-based)
  int FailBlock = -1;          //   answers with a non-zero status
  int DropOpcode = -1;         // answers to this opcode are never sent
  bool Garbage = false;        // stray bytes go out before every answer frame
  bool BadGreeting = false;    // the stub greets with OHAJ instead of OHAI
  bool NoGreeting = false;     // the started stub never greets (it hangs)
  int RefuseOpcode = -1;       // the ROM loader refuses this opcode (status 1) and skips it
  int64_t DropAfterBytes = -1; // the connection is cut after this many bytes from the host
  bool RefuseBaud = false;     // CHANGE_BAUDRATE fails
  bool FastStubHangs = false;  // the fast stub, once started, hangs before its greeting
  int64_t BadSector = -1;      // programs into the 4 KiB sector at this address do not land
  TBaudAnswer BaudAnswer = TBaudAnswer::Sent;
};

// Parses "AA:BB:CC:DD:EE:FF". False on anything else.
bool ParseMac(const std::string& s, std::array<uint8_t, 6>& Mac);
// The identification word at 0x40001000 and the two eFuse words holding the MAC.
uint32_t ChipIdWord(TChip c);
void MacWords(const std::array<uint8_t, 6>& Mac, uint32_t& W1, uint32_t& W2);

} // namespace vboard
