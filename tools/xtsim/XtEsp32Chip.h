#pragma once
// The ESP32 around the simulated core, as a program loaded by the ROM loader in download
// mode finds it: the memories (XtEsp32.h), UART0 (XtUart0.h), SPI1 and the flash behind it
// (XtSpi1.h), the flash pads' IO_MUX registers, the watchdogs (XtWatchdogs.h), the
// eFuse words holding the MAC and the chip id word in ROM. An access to any other
// address halts the run with a fault report: the model fails loudly rather than agreeing
// by accident.
//
// State at the program's entry, and where each fact comes from:
// - Clocks: the ROM loader runs the CPU from the crystal, 40 MHz (26 MHz on some
//   boards), and the APB clock equals the CPU clock while the CPU runs from it (TRM 3.2,
//   CPU_CLK source XTAL_CLK). CCOUNT counts CPU cycles.
// - UART0: 8N1 from the APB clock, its divider set for the rate the host last chose
//   (CHANGE_BAUDRATE, or the rate the loader detected), rounded to sixteenths (TRM
//   13.3.3). FIFOs empty.
// - Memories: RAM holds what it held before (garbage here, a fixed pattern), the loaded
//   code and data where MEM_DATA put them; ROM 0 holds only the chip id word at
//   0x40001000, and a jump into ROM faults (no ROM function is modelled).
// - Core: PS as the ROM's windowed code runs (WOE and UM set, interrupts unmasked at
//   level 0), a0 a return address into ROM, a1 the ROM's stack in SRAM 1, the other
//   registers garbage. No interrupt source is modelled, so none is pending.
// - Watchdogs: the TRM (19.3.1.3) arms MWDT0 and the RWDT during flash boot; whether the
//   ROM's download mode stops them is not documented. The model chooses the state in
//   which a program that does not stop them fails: both running, stage 0 resetting the
//   system (and the RTC for the RWDT) WatchdogMs after the entry, write protection on.
//   MWDT1 is off.
// - Flash pads (GPIO6..11, TRM 4.12 IO_MUX registers): on function 0, as if the loader
//   had not attached the flash; a program routes them to SPI1 (function 1) itself, or
//   the flash never sees its commands.
// - SPI1: the clock equal to the APB clock, CS0 enabled, the other registers zero.
//
// Time is the board's, in nanoseconds: the core's cycles advance it at the CPU clock. A
// polling loop that cannot see a change (the same MMIO accesses with the same values,
// period after period) skips ahead to the next event that could change what it reads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "XtCore.h"
#include "XtEsp32.h"
#include "XtMemory.h"
#include "XtSpi1.h"
#include "XtUart0.h"
#include "XtWatchdogs.h"

namespace xtsim {

struct TEsp32Config {
  uint32_t XtalHz = 40000000;
  uint32_t UartBaud = 115200; // the rate the host last set in the ROM loader
  uint32_t ChipIdWord = 0;    // the word at 0x40001000
  uint32_t MacWords[2] = {};  // eFuse BLK0 words 1 and 2 (EFUSE_BLK0_RDATA1/2)
  bool Watchdogs = true;      // MWDT0 and the RWDT running at the entry (see above)
  uint32_t WatchdogMs = 1000;
};

class TEsp32Chip : private ISpiPads {
public:
  TEsp32Chip(const TEsp32Config& C, ISpiFlash& Flash);
  ~TEsp32Chip() override;
  TEsp32Chip(const TEsp32Chip&) = delete;
  TEsp32Chip& operator=(const TEsp32Chip&) = delete;

  TMemory& Memory() { return Mem; }
  TCore& Core() { return FCore; }
  TUart0& Uart() { return FUart; }
  const TSpi1& Spi() const { return FSpi; }
  const TWatchdogs& Watchdogs() const { return FDogs; }
  // "" when the flash pads are routed to SPI1, else which one is not.
  std::string FlashPads() const { return FlashPadsWrong(); }

  // What MEM_DATA writes: false when a byte of it has no RAM behind it.
  bool Load(uint32_t Addr, const uint8_t* P, uint32_t Len);
  // The loader's jump to Entry at board time At: the core starts with the state above;
  // the loaded bytes on the data bus are guarded against the stack growing into them.
  void Start(uint32_t Entry, int64_t At);

  // A byte that arrived on RXD at At.
  void Receive(int64_t At, uint8_t Byte);
  std::vector<TUart0::TSent> TakeSent() { return FUart.TakeSent(); }

  enum class TState {
    Running, // the horizon was reached: run it on from Next
    Idle,    // polling with nothing to change before Next (-1: only input can wake it)
    Halted,  // a fault, a break: Why holds the report; the core runs no more
    Reset,   // a watchdog reset the chip at Next: Why says which
  };
  struct TRun {
    TState State = TState::Running;
    int64_t Next = -1;
    std::string Why;
    bool Quiet = false; // Idle, and nothing but input can change what it polls
  };
  // Runs the core until its time reaches Horizon, or until it idles, halts or resets.
  TRun RunUntil(int64_t Horizon);
  int64_t Now() const;
  // The board time of a cycle of the core's count (an MMIO access's, say).
  int64_t TimeOf(uint64_t Cycle) const { return NsOf(Cycle); }
  // Lets time pass to Ns while the core sits in a loop that RunUntil found idle.
  void IdleUntil(int64_t Ns) { SkipTo(Ns); }
  bool Halted() const { return Stopped; }

  // Names addresses in fault reports ("stub_service+0x1c"), when symbols are known.
  void SetSymbolise(std::function<std::string(uint32_t)> S) { Symbolise = std::move(S); }
  // What the chip did that a real one would not report but that explains a failure:
  // bytes lost to a full RX FIFO, writes the watchdogs ignored, SPI commands the flash
  // never saw. Taken once each.
  std::vector<std::string> TakeNotes();

private:
  // A loop that polls without seeing a change: the MMIO accesses between two
  // executions of the same load repeat with the same addresses and values.
  struct TIdle {
    bool Anchored = false;
    uint32_t AnchorPc = 0, Len = 0, PrevLen = 0, Repeats = 0, Misses = 0;
    uint32_t AvoidPc = 0, AvoidLeft = 0; // a load just given up as the anchor
    uint64_t Hash = 0, PrevHash = 0;
    // Where the period now running began, and the one before it (the last compared).
    uint64_t PeriodCycle = 0, LastPeriodCycle = 0;
    void Reset() { *this = TIdle{}; }
    bool Feed(const TMmioAccess& A);
  };

  std::string FlashPadsWrong() const override;
  void AddPeripheral(const std::string& Name, uint32_t Base, uint32_t Size,
                     std::function<bool(int64_t, TMmioAccess&, std::string&)> Access);
  bool IoMux(TMmioAccess& A, std::string& Why);
  int64_t NsOf(uint64_t Cycle) const;
  uint64_t CycleAt(int64_t Ns) const;
  int64_t NextEvent(int64_t Now, bool* Quantum = nullptr) const;
  void SkipTo(int64_t Ns);

  TEsp32Config Cfg;
  ISpiFlash& Flash;
  TMemory Mem;
  TEsp32Memories Ram;
  TCore FCore;
  TUart0 FUart;
  TSpi1 FSpi;
  TWatchdogs FDogs;
  uint32_t Pads[6] = {}; // IO_MUX of GPIO9, 10, 11, 6, 7, 8 (offsets 0x54..0x68)
  struct TLoaded {
    uint32_t Addr, Len;
  };
  std::vector<TLoaded> Loaded;
  int64_t StartNs = 0;
  uint64_t StartCycle = 0;
  TIdle Idle;
  bool Stopped = false;
  std::string HaltWhy, SpiUnheardNoted;
  std::function<std::string(uint32_t)> Symbolise;
  std::vector<std::string> Notes;
  uint64_t LostNoted = 0;
};

} // namespace xtsim
