#pragma once
// The board's serial NOR flash as the SPI bus sees it: status registers and
// the write-enable latch, erase and program times from a real part's
// datasheet (typical values), the JEDEC id and SFDP table, reset, and the
// ways parts of other makers differ (TFlashPart). The bytes themselves live
// in TFlash.
#include <cstdint>
#include <string>
#include <vector>

#include "VbFlash.h"
#include "VbOptions.h"
#include "VbTrace.h"

namespace vboard {

// Typical times of a W25Q32-class part, in milliseconds before TimeScale.
struct TFlashTiming {
  static constexpr double SectorMs = 45;   // 4 KiB erase
  static constexpr double Block32Ms = 120; // 32 KiB erase
  static constexpr double Block64Ms = 150; // 64 KiB erase
  static constexpr double ChipMs = 10000;  // whole part
  static constexpr double PageMs = 0.7;    // 256-byte page program
  static constexpr double FirstByteMs =
      0.03; // a program's first byte; the rest share the page time
};

class TNorFlash {
public:
  // Status register 2 bits of the W25Q family; QE of the parts that keep it in register 1.
  enum : uint8_t { Sr2Qe = 0x02, Sr2Cmp = 0x40, Sr1Qe = 0x40 };

  TNorFlash(TFlash& F, const TBoardOptions& O, TTrace* T);

  // One SPI transaction at Now (ns), as TStub's hardware seam hands it over
  // (opcode in the low byte, 0x100 for a 24-bit address, 0x200 for 8 dummy
  // clocks after it). Returns how long the transaction keeps the bus.
  int64_t Command(int64_t Now, uint32_t Op, uint32_t Addr, const uint8_t* Out, uint32_t OutLen,
                  uint8_t* In, uint32_t InLen);
  int64_t BusyUntil() const { return FBusyUntil; }
  // The SPI clock: 20 MHz unless a stub sets another (0 goes back to that). Each
  // transaction costs SetupNs of controller set-up on top of its bytes.
  void SetSpiHz(uint32_t Hz);
  static constexpr int64_t SetupNs = 1000;

  // Programs into this range leave the bytes as they are (a worn or faulty part).
  void FailPrograms(uint32_t Addr, uint32_t Len);

  uint8_t Sr1() const { return FSr1; }
  uint8_t Sr2() const { return FSr2; }
  // The quad-enable bit, wherever this part keeps it.
  bool Qe() const;
  // Whether program and erase are refused (the block-protect bits, and CMP where there is one).
  bool Protected() const;
  bool Qpi() const { return FQpi; }
  bool ContinuousRead() const { return FContinuous; }
  // Opcodes seen, in order, as hex ("9F", "01:1C02" with the bytes written),
  // leaving out the frequent ones (status polls, write enables, programs,
  // reads); a status write the part carried out also goes to the trace as
  // status_write. And misuse a real part would punish (a command while busy,
  // a program without the latch, a second status byte into a configuration
  // register).
  const std::vector<std::string>& Log() const { return FLog; }
  const std::vector<std::string>& Faults() const { return FFaults; }

private:
  int64_t StartBusy(int64_t Now, double Ms);
  void StatusWritten(int64_t Now);
  void TraceWork(const char* What, uint32_t Addr, uint32_t Len, int64_t Ns);
  void Erase(int64_t Now, uint32_t Addr, uint32_t Unit, double Ms);

  TFlash& Flash;
  const TBoardOptions& Opt;
  TTrace* Trace;
  uint8_t FSr1 = 0, FSr2 = 0;
  bool Wel = false, ResetEnabled = false, FQpi = false, FContinuous = false;
  int64_t FBusyUntil = 0;
  static constexpr int64_t DefaultByteNs = 400; // 20 MHz: the standard stub's divider of 80 MHz
  int64_t FByteNs = DefaultByteNs;
  uint32_t FailFrom = 0, FailLen = 0;
  uint32_t BadFrom = 0xFFFFFFFFu; // the sector where no program lands, if any
  std::vector<std::string> FLog, FFaults;
};

} // namespace vboard
