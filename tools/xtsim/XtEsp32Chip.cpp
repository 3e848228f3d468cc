#include "XtEsp32Chip.h"

#include <algorithm>
#include <cstdio>

namespace xtsim {

namespace {
constexpr uint32_t IoMuxBase = 0x3FF49000, EfuseBase = 0x3FF5A000, BlockSize = 0x1000;
// The flash pads' IO_MUX registers (TRM 4.12): GPIO9 SD_DATA2, GPIO10 SD_DATA3, GPIO11
// SD_CMD, GPIO6 SD_CLK, GPIO7 SD_DATA0, GPIO8 SD_DATA1, one word each from 0x54, and
// their function 1, the SPI flash signals.
constexpr uint32_t PadsFirst = 0x54;
constexpr const char* PadNames[6] = {"GPIO9 (SPIHD)",  "GPIO10 (SPIWP)", "GPIO11 (SPICS0)",
                                     "GPIO6 (SPICLK)", "GPIO7 (SPIQ)",   "GPIO8 (SPID)"};
constexpr unsigned PadSpiq = 4;
// IO_MUX_x_REG: MCU_SEL 14:12, FUN_IE 9, FUN_WPU 8.
constexpr uint32_t PadFunIe = 1u << 9, PadFunWpu = 1u << 8;
// Where the ROM's code would come back to, and its stack, at the jump into the program.
constexpr uint32_t RomReturn = 0x40007F00, RomStack = 0x3FFE3F20;
// PS as the ROM's windowed code runs: WOE (bit 18) and UM (bit 5), INTLEVEL 0.
constexpr uint32_t RomPs = 0x00040020;
// A polling loop with nothing to change is looked at again at least this often, so that
// what it times by CCOUNT happens within this of when it would.
constexpr int64_t IdleQuantumNs = 1000000;

void FillGarbage(TStorage& S, uint32_t Seed) {
  uint32_t X = Seed;
  for (uint32_t i = 0; i < S.Size(); ++i) {
    X = X * 1664525u + 1013904223u;
    S.Data()[i] = uint8_t(X >> 24);
  }
}
} // namespace

TEsp32Chip::TEsp32Chip(const TEsp32Config& C, ISpiFlash& F)
    : Cfg(C), Flash(F), Ram(AddEsp32Memories(Mem)), FCore(Mem), FUart(C.XtalHz),
      FSpi(C.XtalHz, F, *this), FDogs(C.XtalHz) {
  FCore.SetClockHz(C.XtalHz);
  FUart.SetDivider16(TUart0::DividerFor(C.XtalHz, C.UartBaud));
  FillGarbage(*Ram.Sram0, 0x5EED0);
  FillGarbage(*Ram.Sram1, 0x5EED1);
  FillGarbage(*Ram.Sram2, 0x5EED2);
  FillGarbage(*Ram.RtcFast, 0x5EED3);
  FillGarbage(*Ram.RtcSlow, 0x5EED4);
  Mem.Write(0x40001000, &Cfg.ChipIdWord, 4);
  for (uint32_t& P : Pads)
    P = PadFunIe | PadFunWpu; // function 0
  AddPeripheral("UART0", TUart0::Base, BlockSize,
                [this](int64_t Now, TMmioAccess& A, std::string& Why) {
                  return FUart.Access(Now, false, A.Offset, A.Write, A.Width, A.Value, Why);
                });
  AddPeripheral("UART0 (AHB)", TUart0::AhbFifo, BlockSize,
                [this](int64_t Now, TMmioAccess& A, std::string& Why) {
                  if (A.Offset != 0) {
                    Why = "only the FIFO is modelled at the AHB address";
                    return false;
                  }
                  return FUart.Access(Now, true, 0, A.Write, A.Width, A.Value, Why);
                });
  AddPeripheral("SPI1", TSpi1::Base, TSpi1::Size,
                [this](int64_t Now, TMmioAccess& A, std::string& Why) {
                  return FSpi.Access(Now, A.Offset, A.Write, A.Width, A.Value, Why);
                });
  AddPeripheral("IO_MUX", IoMuxBase, BlockSize,
                [this](int64_t, TMmioAccess& A, std::string& Why) { return IoMux(A, Why); });
  const struct {
    const char* Name;
    uint32_t Base;
    TWatchdogs::TWhich Which;
  } Dogs[] = {{"TIMG0", TWatchdogs::Timg0Base, TWatchdogs::Mwdt0},
              {"TIMG1", TWatchdogs::Timg1Base, TWatchdogs::Mwdt1},
              {"RTC_CNTL", TWatchdogs::RtcCntlBase, TWatchdogs::Rwdt}};
  for (const auto& D : Dogs)
    AddPeripheral(D.Name, D.Base, TWatchdogs::BlockSize,
                  [this, W = D.Which](int64_t Now, TMmioAccess& A, std::string& Why) {
                    return FDogs.Access(Now, W, A.Offset, A.Write, A.Width, A.Value, Why);
                  });
  AddPeripheral("EFUSE", EfuseBase, BlockSize, [this](int64_t, TMmioAccess& A, std::string& Why) {
    // EFUSE_BLK0_RDATA0..6 (TRM 20.5): words 1 and 2 hold the MAC; read-only.
    if (A.Offset > 0x18 || A.Width != 4 || A.Write) {
      Why = A.Write ? "the eFuse read registers are read-only"
                    : "only the read registers of block 0 are modelled";
      return false;
    }
    A.Value = A.Offset == 4 ? Cfg.MacWords[0] : A.Offset == 8 ? Cfg.MacWords[1] : 0;
    return true;
  });
}

TEsp32Chip::~TEsp32Chip() = default;

void TEsp32Chip::AddPeripheral(const std::string& Name, uint32_t Base, uint32_t Size,
                               std::function<bool(int64_t, TMmioAccess&, std::string&)> Access) {
  Mem.AddMmio(Name, Base, Size, AllowRw,
              [this, Access = std::move(Access)](TCore& C, TMmioAccess& A) {
                std::string Why;
                if (!Access(NsOf(A.Cycle), A, Why)) {
                  C.Refuse(Why);
                  return false;
                }
                if (Idle.Feed(A)) C.Stop("idle");
                return true;
              });
}

bool TEsp32Chip::IoMux(TMmioAccess& A, std::string& Why) {
  const uint32_t I = (A.Offset - PadsFirst) / 4;
  if (A.Offset < PadsFirst || I >= 6 || (A.Offset & 3)) {
    char B[96];
    std::snprintf(B, sizeof B, "register 0x%02x: only the flash pads (GPIO6..11) are modelled",
                  unsigned(A.Offset));
    Why = B;
    return false;
  }
  if (A.Width != 4) {
    Why = "IO_MUX registers take only 32-bit accesses";
    return false;
  }
  if (A.Write)
    Pads[I] = A.Value & 0x7FFF;
  else
    A.Value = Pads[I];
  return true;
}

std::string TEsp32Chip::FlashPadsWrong() const {
  for (unsigned i = 0; i < 6; ++i) {
    const uint32_t Sel = (Pads[i] >> 12) & 7;
    if (Sel != 1)
      return std::string(PadNames[i]) + " is on IO_MUX function " + std::to_string(Sel) +
             ", not 1 (the SPI flash signal)";
  }
  if (!(Pads[PadSpiq] & PadFunIe))
    return std::string(PadNames[PadSpiq]) + " has its input disabled";
  return "";
}

bool TEsp32Chip::Load(uint32_t Addr, const uint8_t* P, uint32_t Len) {
  if (!Mem.Write(Addr, P, Len)) return false;
  Loaded.push_back({Addr, Len});
  return true;
}

void TEsp32Chip::Start(uint32_t Entry, int64_t At) {
  StartNs = At;
  StartCycle = FCore.Cycles();
  FCore.Reset(Entry, RomPs);
  for (unsigned i = 2; i < 16; ++i)
    FCore.A[i] = 0xDEAD0000u | i;
  FCore.A[0] = RomReturn;
  FCore.A[1] = RomStack;
  FCore.ClearStackGuards();
  for (const TLoaded& L : Loaded)
    if (L.Addr < 0x40000000 && L.Len)
      FCore.GuardFromStack(L.Addr, L.Len,
                           "the loaded data at " + Hex32(L.Addr) + " (" + std::to_string(L.Len) +
                               " bytes)");
  if (Cfg.Watchdogs) FDogs.ArmFlashBootProtection(At, Cfg.WatchdogMs);
  Idle.Reset();
  Stopped = false;
}

int64_t TEsp32Chip::NsOf(uint64_t Cycle) const {
  const uint64_t C = Cycle - StartCycle, Hz = FCore.ClockHz();
  return StartNs + int64_t(C / Hz * 1000000000 + C % Hz * 1000000000 / Hz);
}

uint64_t TEsp32Chip::CycleAt(int64_t Ns) const {
  if (Ns <= StartNs) return StartCycle;
  const uint64_t D = uint64_t(Ns - StartNs), Hz = FCore.ClockHz();
  // Rounded up: the core reaches Ns at that cycle, not before it.
  return StartCycle + D / 1000000000 * Hz + (D % 1000000000 * Hz + 999999999) / 1000000000;
}

int64_t TEsp32Chip::Now() const {
  return NsOf(FCore.Cycles());
}

void TEsp32Chip::Receive(int64_t At, uint8_t Byte) {
  FUart.Receive(At, Byte);
}

void TEsp32Chip::SkipTo(int64_t Ns) {
  const uint64_t C = CycleAt(Ns);
  if (C > FCore.Cycles()) FCore.SkipCycles(C - FCore.Cycles());
  Idle.Reset();
}

int64_t TEsp32Chip::NextEvent(int64_t Now, bool* Quantum) const {
  // Quantum: no event at all is due, only the periodic look.
  int64_t Next = Now + IdleQuantumNs;
  bool Q = true;
  for (int64_t T :
       {FUart.NextChange(Now), FSpi.NextChange(Now), Flash.NextChange(Now), FDogs.NextDeadline()})
    if (T > Now) {
      Q = false;
      Next = std::min(Next, T);
    }
  if (Quantum) *Quantum = Q;
  return Next;
}

TEsp32Chip::TRun TEsp32Chip::RunUntil(int64_t Horizon) {
  TRun R;
  if (Stopped) {
    R.State = TState::Halted;
    R.Why = HaltWhy;
    return R;
  }
  for (;;) {
    const int64_t Now = this->Now();
    FUart.Advance(Now);
    if (FDogs.Advance(Now)) {
      Stopped = true;
      HaltWhy = FDogs.Reason();
      R.State = TState::Reset;
      R.Next = FDogs.ResetAt();
      R.Why = HaltWhy;
      return R;
    }
    if (Now >= Horizon) {
      R.State = TState::Running;
      R.Next = Now;
      return R;
    }
    uint64_t Budget = CycleAt(Horizon) - FCore.Cycles();
    const int64_t Dog = FDogs.NextDeadline();
    if (Dog >= 0 && Dog < Horizon) {
      const uint64_t C = CycleAt(Dog);
      Budget = C > FCore.Cycles() ? C - FCore.Cycles() : 1;
    }
    const TStop S = FCore.Run(~0ull, Budget ? Budget : 1);
    switch (S.Reason) {
    case TStopReason::Limit:
      continue;
    case TStopReason::Stopped: {
      // Polling with nothing to change: on to the next event that could change it. An
      // event since the last period began may not have been seen yet: run on to it.
      bool Quiet = false;
      const int64_t T = this->Now(), Seen = NsOf(Idle.LastPeriodCycle);
      int64_t Next = NextEvent(Seen, &Quiet);
      if (!Quiet && Next <= T) {
        Idle.Reset();
        continue;
      }
      if (Quiet) Next = T + IdleQuantumNs;
      if (Next <= Horizon) {
        SkipTo(Next);
        continue;
      }
      Idle.Reset();
      R.State = TState::Idle;
      R.Next = Next;
      R.Quiet = Quiet;
      return R;
    }
    case TStopReason::Waiting:
      // WAITI: no interrupt source is modelled, so only a watchdog ends the sleep.
      R.State = TState::Idle;
      R.Next = FDogs.NextDeadline();
      return R;
    case TStopReason::Fault:
      HaltWhy = FaultReport(FCore.Fault(), Symbolise);
      break;
    case TStopReason::Break:
      HaltWhy = "the core stopped: " + S.Why + " (no debugger is attached to take it)\n";
      break;
    case TStopReason::Interrupt:
      HaltWhy = "the core took an interrupt, but no interrupt source is modelled: " + S.Why + "\n";
      break;
    }
    Stopped = true;
    R.State = TState::Halted;
    R.Why = HaltWhy;
    return R;
  }
}

std::vector<std::string> TEsp32Chip::TakeNotes() {
  std::vector<std::string> N = FDogs.TakeIgnored();
  if (FUart.Overflows() > LostNoted) {
    N.push_back("UART0 RX FIFO full: " + std::to_string(FUart.Overflows() - LostNoted) +
                " received bytes lost");
    LostNoted = FUart.Overflows();
  }
  if (FSpi.Unheard() != SpiUnheardNoted) {
    SpiUnheardNoted = FSpi.Unheard();
    if (!SpiUnheardNoted.empty())
      N.push_back("SPI1 command the flash did not see: " + SpiUnheardNoted);
  }
  return N;
}

bool TEsp32Chip::TIdle::Feed(const TMmioAccess& A) {
  const uint64_t X = (uint64_t(A.Addr) << 32 | A.Value) ^ (uint64_t(A.Pc) * 0x9E3779B97F4A7C15ull) ^
                     (A.Write ? 0xA5A5u : 0u);
  if (AvoidLeft && --AvoidLeft == 0) AvoidPc = 0;
  if (!A.Write && Anchored && A.Pc == AnchorPc) {
    // One period ends: it repeats the one before, or the loop changed.
    if (Len && Len == PrevLen && Hash == PrevHash) {
      ++Repeats;
    } else {
      Repeats = 0;
      // A load that keeps seeing changes is not the loop's poll: look for another.
      if (++Misses > 8) {
        Anchored = false;
        AvoidPc = A.Pc;
        AvoidLeft = 64;
      }
    }
    PrevLen = Len;
    PrevHash = Hash;
    Len = 0;
    Hash = 0;
    LastPeriodCycle = PeriodCycle;
    PeriodCycle = A.Cycle;
  } else if (!Anchored && !A.Write && A.Pc != AvoidPc) {
    *this = TIdle{};
    Anchored = true;
    AnchorPc = A.Pc;
    PrevLen = ~0u;
    PeriodCycle = A.Cycle;
  } else if (Anchored && Len > 512) {
    Anchored = false; // the anchor's load is not in a loop at all
  }
  Hash = (Hash ^ X) * 0x100000001B3ull;
  ++Len;
  return Repeats >= 2;
}

} // namespace xtsim
