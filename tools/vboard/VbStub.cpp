#include "VbStub.h"

#include <algorithm>
#include <cmath>

#include "stub_map_esp32.h"

namespace vboard {

namespace {
// A status poll that finds the part busy stands for the stub's polling loop
// until the next one: at most this long.
constexpr int64_t BusyPollNs = 10000;
// How far the stub's CPU work may run ahead of the board's clock before the
// board gets a turn (the bytes that arrive meanwhile wait in the UART's FIFO,
// which holds 128: at 2 Mbaud 640 us).
constexpr int64_t WorkSliceNs = 200000;
} // namespace

TStub::TStub(const TBoardOptions& O, TNorFlash& N, std::map<uint32_t, uint32_t>& R)
    : Opt(O), Nor(N), Regs(R) {}

TStub::~TStub() = default;

uint32_t TStub::UartHz() const {
  // The UART runs from the APB clock: the crystal in the ROM loader, 80 MHz at most.
  return std::min<uint32_t>(Opt.CpuMhz, 80) * 1000000u;
}

void TStub::Start(int64_t Now, uint32_t Baud, bool Fast) {
  FFast = Fast;
  S = Fast ? MakeFastCore() : MakeStandardCore();
  Nor.SetSpiHz(0); // the ROM's set-up until the stub sets its own
  Rx.clear();
  Out.clear();
  Wake.reset();
  ChipNs = StartNs = Now;
  Div16 = uint32_t((uint64_t(UartHz()) * 16 + Baud / 2) / Baud);
  Asked = Baud;
  stubhost::TBind Bind(*this);
  S->Init();
  S->Greet();
}

void TStub::Stop() {
  S.reset();
  Rx.clear();
  Wake.reset();
}

void TStub::Run(int64_t Now, const uint8_t* p, size_t n) {
  if (!S) return;
  ChipNs = std::max(ChipNs, Now);
  Rx.insert(Rx.end(), p, p + n);
  Wake.reset();
  stubhost::TBind Bind(*this);
  const int64_t Began = ChipNs;
  for (;;) {
    const bool Polling = Rx.empty(); // then the call below is one step of flash work
    PollSkip = 0;
    Worked = false;
    if (!S->Service()) break;
    if (Worked) {
      // The step did CPU work (the fast stub inflates while the part is busy): a poll
      // it made was one look, not a polling loop. Past a slice the board gets a turn.
      ChipNs -= PollSkip;
      if (Rx.empty() && ChipNs - Began > WorkSliceNs) {
        Wake = ChipNs;
        break;
      }
      continue;
    }
    // Work left and nothing to read: the flash is busy, come back when it is done.
    if (Rx.empty() && Nor.BusyUntil() > ChipNs) {
      // A step between bytes polls once and goes back to the UART: it does not
      // sit in a polling loop, so the time a busy poll stands for is not spent.
      if (Polling) ChipNs -= PollSkip;
      Wake = Nor.BusyUntil();
      break;
    }
  }
}

std::vector<TStub::TOut> TStub::TakeOut() {
  std::vector<TOut> o;
  o.swap(Out);
  return o;
}

int TStub::Getc() {
  if (Rx.empty()) return -1;
  int c = Rx.front();
  Rx.pop_front();
  return c;
}

void TStub::Putc(uint8_t c) {
  Out.push_back({ChipNs, c, 0});
}

void TStub::SetBaudDiv16(uint32_t D) {
  Div16 = D;
  uint32_t Rate = uint32_t((uint64_t(UartHz()) * 16 + D / 2) / D);
  // Within 2 %, the two ends of a real line understand each other.
  if (Asked && std::llabs(int64_t(Rate) - int64_t(Asked)) * 50 <= int64_t(Asked)) Rate = Asked;
  Out.push_back({ChipNs, 0, Rate});
}

int TStub::ReadReg(uint32_t Addr, uint32_t* Value) {
  if (!stub_esp32_mapped(Addr)) return -1;
  uint32_t W1 = 0, W2 = 0;
  MacWords(Opt.Mac, W1, W2);
  *Value = Addr == 0x40001000   ? ChipIdWord(Opt.Chip)
           : Addr == 0x3FF5A004 ? W1
           : Addr == 0x3FF5A008 ? W2
                                : Regs[Addr];
  return 0;
}

int TStub::WriteReg(uint32_t Addr, uint32_t Value) {
  if (!stub_esp32_mapped(Addr)) return -1;
  Regs[Addr] = Value;
  return 0;
}

void TStub::DelayUs(uint32_t Us) {
  // The stub counts its delays for the fastest clock; at a slower one they last longer.
  ChipNs += int64_t(Us) * 1000 * STUB_CLOCK_FAST_KHZ / 1000 / Opt.CpuMhz;
}

uint32_t TStub::Ticks() {
  // CPU cycles since the start, in the stub's ticks.
  uint64_t Cycles = uint64_t(ChipNs - StartNs) * Opt.CpuMhz / 1000;
  return uint32_t(Cycles / STUB_TICK_CYCLES);
}

void TStub::FlashReadStart(uint32_t Op, uint32_t Addr, uint32_t InLen) {
  // The controller set-up is the CPU's; the bytes shift in on their own meanwhile.
  ReadLen = std::min<uint32_t>(InLen, sizeof ReadBuf);
  const int64_t Took = Nor.Command(ChipNs, Op, Addr, nullptr, 0, ReadBuf, ReadLen);
  ChipNs += TNorFlash::SetupNs;
  ReadDoneNs = ChipNs + Took - TNorFlash::SetupNs;
}

void TStub::FlashReadEnd(uint8_t* In, uint32_t InLen) {
  ChipNs = std::max(ChipNs, ReadDoneNs);
  std::copy_n(ReadBuf, std::min(InLen, ReadLen), In);
}

void TStub::FlashClock(uint32_t Div) {
  // SPI1 runs from the APB clock, which is the UART's.
  Nor.SetSpiHz(UartHz() / std::max<uint32_t>(Div, 1));
}

void TStub::Cycles(uint32_t N) {
  ChipNs += int64_t(N) * 1000 / Opt.CpuMhz;
  Worked = true;
}

void TStub::FlashCmd(uint32_t Op, uint32_t Addr, const uint8_t* OutP, uint32_t OutLen, uint8_t* In,
                     uint32_t InLen) {
  ChipNs += Nor.Command(ChipNs, Op, Addr, OutP, OutLen, In, InLen);
  if ((Op & 0xFF) == 0x05 && InLen && (In[0] & 1) && Nor.BusyUntil() > ChipNs) {
    int64_t To = std::min(Nor.BusyUntil(), ChipNs + BusyPollNs);
    PollSkip += To - ChipNs;
    ChipNs = To;
  }
}

} // namespace vboard
