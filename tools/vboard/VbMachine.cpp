#include "VbMachine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "XtElf.h"

namespace vboard {

namespace {
// How far the core runs ahead of the board's clock before it looks at the line again: a
// byte that arrives meanwhile is seen this much late at most, as if the core had been
// busy for that long.
constexpr int64_t AheadNs = 20000;
// The part's highest clock for the plain read (0x03); other commands are specified up to
// 104 MHz (W25Q32 datasheet, AC characteristics).
constexpr uint32_t ReadMaxHz = 50000000, MaxHz = 104000000;

// The board's trace of the chip's MMIO accesses, for a reader to compare with the TRM:
// one line per access ("t_us pc R32 addr value"). The data that flows through the UART
// FIFO and the SPI data buffer is counted rather than listed; an access that repeats one
// of the last 32 (a poll that sees no change, a register set to what it held) is left
// out; a run of accesses by the same instruction to the same register (a poll whose
// value moves) is shown by its first line and a count.
class TMmioFile : public xtsim::ITrace {
public:
  TMmioFile(FILE* F, std::function<int64_t(uint64_t)> NsOf) : Out(F), Ns(std::move(NsOf)) {}
  ~TMmioFile() override { Flush(); }
  void Mmio(const xtsim::TMmioAccess& A) override {
    // The data: the FIFO at either of its addresses, the SPI data buffer.
    const unsigned Kind = A.Addr == 0x3FF40000                            ? 0
                          : A.Addr == 0x60000000                          ? 1
                          : (A.Addr >= 0x3FF42080 && A.Addr < 0x3FF420C0) ? 2
                                                                          : 3;
    if (Kind < 3) {
      ++Folded[Kind * 2 + (A.Write ? 1 : 0)];
      return;
    }
    const uint64_t Key = (uint64_t(A.Pc) * 0x9E3779B97F4A7C15ull) ^
                         (uint64_t(A.Addr) << 32 | A.Value) ^ (A.Write ? 1u : 0u);
    if (std::find(std::begin(Recent), std::end(Recent), Key) != std::end(Recent)) return;
    Recent[Next++ % 32] = Key;
    if (Run && A.Pc == RunPc && A.Addr == RunAddr && A.Write == RunWrite) {
      ++Run;
      RunLast = A.Value;
      return;
    }
    Flush();
    std::fprintf(Out, "%12.3f 0x%08x %c%u 0x%08x 0x%08x\n", double(Ns(A.Cycle)) / 1000,
                 unsigned(A.Pc), A.Write ? 'W' : 'R', unsigned(A.Width) * 8, unsigned(A.Addr),
                 unsigned(A.Value));
    Run = 1;
    RunPc = A.Pc;
    RunAddr = A.Addr;
    RunWrite = A.Write;
  }
  void Call(uint32_t, uint32_t, uint32_t, uint64_t) override {}
  void Return(uint32_t, uint32_t, uint64_t) override {}

private:
  void Flush() {
    if (Run > 1)
      std::fprintf(Out, "             ... %llu more alike, the last 0x%08x\n",
                   (unsigned long long)(Run - 1), unsigned(RunLast));
    static const char* const Names[6] = {"UART0 FIFO reads at 0x3ff40000",
                                         "UART0 FIFO writes at 0x3ff40000",
                                         "UART0 FIFO reads at 0x60000000",
                                         "UART0 FIFO writes at 0x60000000",
                                         "SPI1 W0..W15 reads",
                                         "SPI1 W0..W15 writes"};
    for (unsigned i = 0; i < 6; ++i)
      if (Folded[i]) {
        std::fprintf(Out, "             (data: %llu %s)\n", (unsigned long long)Folded[i],
                     Names[i]);
        Folded[i] = 0;
      }
    Run = 0;
  }
  FILE* Out;
  std::function<int64_t(uint64_t)> Ns;
  uint64_t Recent[32] = {};
  uint64_t Next = 0, Folded[6] = {}, Run = 0;
  uint32_t RunPc = 0, RunAddr = 0, RunLast = 0;
  bool RunWrite = false;
};
} // namespace

bool ParseStubBlob(const std::vector<uint8_t>& B, TStubBlob& Blob, std::string& Why) {
  // The subset of the pickle format the program's blob uses: PROTO, EMPTY_DICT, MARK,
  // BINPUT, BINUNICODE keys, BINBYTES and SHORT_BINBYTES values, BININT integers,
  // SETITEMS, STOP.
  size_t i = 0;
  std::string Key;
  bool HaveCode = false, HaveData = false, HaveAddr[3] = {};
  auto Need = [&](size_t N) { return i + N <= B.size(); };
  auto U32 = [&](size_t At) {
    return uint32_t(B[At]) | uint32_t(B[At + 1]) << 8 | uint32_t(B[At + 2]) << 16 |
           uint32_t(B[At + 3]) << 24;
  };
  auto Bytes = [&](size_t N, std::vector<uint8_t>& To) {
    To.assign(B.begin() + std::ptrdiff_t(i), B.begin() + std::ptrdiff_t(i + N));
    i += N;
  };
  while (i < B.size()) {
    const uint8_t Op = B[i++];
    switch (Op) {
    case 0x80: // PROTO n
    case 0x71: // BINPUT n
      if (!Need(1)) break;
      ++i;
      continue;
    case 0x7D: // EMPTY_DICT
    case 0x28: // MARK
    case 0x75: // SETITEMS
      continue;
    case 0x2E: // STOP
      if (!HaveCode || !HaveData || !HaveAddr[0] || !HaveAddr[1] || !HaveAddr[2]) {
        Why = "the blob lacks one of text, text_start, entry, data, data_start";
        return false;
      }
      return true;
    case 0x58: { // BINUNICODE: a key
      if (!Need(4) || !Need(4 + size_t(U32(i)))) break;
      const size_t N = U32(i);
      Key.assign(B.begin() + std::ptrdiff_t(i + 4), B.begin() + std::ptrdiff_t(i + 4 + N));
      i += 4 + N;
      continue;
    }
    case 0x42:   // BINBYTES
    case 0x43: { // SHORT_BINBYTES
      const size_t L = Op == 0x42 ? 4 : 1;
      if (!Need(L)) break;
      const size_t N = Op == 0x42 ? U32(i) : B[i];
      i += L;
      if (!Need(N)) break;
      if (Key == "text") {
        Bytes(N, Blob.Code);
        HaveCode = true;
      } else if (Key == "data") {
        Bytes(N, Blob.Data);
        HaveData = true;
      } else {
        i += N;
      }
      continue;
    }
    case 0x4A: { // BININT
      if (!Need(4)) break;
      const uint32_t V = U32(i);
      i += 4;
      if (Key == "text_start") Blob.CodeAddr = V, HaveAddr[0] = true;
      if (Key == "entry") Blob.Entry = V, HaveAddr[1] = true;
      if (Key == "data_start") Blob.DataAddr = V, HaveAddr[2] = true;
      continue;
    }
    default:
      Why = "pickle opcode " + std::to_string(Op) + " at byte " + std::to_string(i - 1) +
            " is not one the stub blob uses";
      return false;
    }
    Why = "the blob ends inside a field (" + std::to_string(B.size()) + " bytes)";
    return false;
  }
  Why = "the blob has no STOP";
  return false;
}

TMachineStub::TMachineStub(const TBoardOptions& O, TNorFlash& N, TTrace* T)
    : Opt(O), Nor(N), Trace(T) {
  if (!Opt.MmioTrace.empty()) MmioFile = std::fopen(Opt.MmioTrace.c_str(), "w");
  Reset();
}

TMachineStub::~TMachineStub() {
  EndRun();
  Chip.reset();
  Mmio.reset();
  if (MmioFile) std::fclose(MmioFile);
}

void TMachineStub::EndRun() {
  if (!Chip) return;
  if (Started && Trace)
    Trace->Write(TTraceLine("machine_run")
                     .Num("instructions", int64_t(Chip->Core().Instructions()))
                     .Num("cycles", int64_t(Chip->Core().Cycles()))
                     .Num("host_us", (HostNs - RunStartHostNs) / 1000));
  RunStartHostNs = HostNs;
  Chip->Core().SetTrace(nullptr);
  Mmio.reset();
  if (MmioFile) std::fflush(MmioFile); // whole for a reader once the stub has stopped
  DoneInstructions += Chip->Core().Instructions();
  Started = false;
}

uint64_t TMachineStub::Instructions() const {
  return DoneInstructions + (Chip && Started ? Chip->Core().Instructions() : 0);
}

void TMachineStub::Reset() {
  EndRun();
  xtsim::TEsp32Config C;
  C.XtalHz = Opt.CpuMhz * 1000000u;
  C.ChipIdWord = ChipIdWord(Opt.Chip);
  MacWords(Opt.Mac, C.MacWords[0], C.MacWords[1]);
  C.Watchdogs = Opt.MachineWatchdogs;
  Chip = std::make_unique<xtsim::TEsp32Chip>(C, static_cast<xtsim::ISpiFlash&>(*this));
  Started = Idle = false;
  IdleNext = -1;
  Wake.reset();
  Out.clear();
  End = TEnd::None;
  FEndWhy.clear();
}

void TMachineStub::Load(uint32_t Addr, const uint8_t* P, uint32_t Len) {
  if (Opt.StubBlob.empty()) Chip->Load(Addr, P, Len);
}

bool TMachineStub::Start(int64_t Now, uint32_t Baud, uint32_t Entry, std::string& Why) {
  if (!Opt.StubBlob.empty()) {
    std::ifstream F(Opt.StubBlob, std::ios::binary);
    const std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(F)),
                                     std::istreambuf_iterator<char>());
    TStubBlob B;
    if (!F.good() && !F.eof()) {
      Why = "cannot read the stub blob " + Opt.StubBlob;
      return false;
    }
    if (!ParseStubBlob(Bytes, B, Why)) {
      Why = Opt.StubBlob + ": " + Why;
      return false;
    }
    if (!Chip->Load(B.CodeAddr, B.Code.data(), uint32_t(B.Code.size())) ||
        !Chip->Load(B.DataAddr, B.Data.data(), uint32_t(B.Data.size()))) {
      Why = Opt.StubBlob + ": its code or data lies outside the chip's RAM";
      return false;
    }
    Entry = B.Entry;
  }
  if (!Opt.StubElf.empty()) {
    auto Elf = std::make_shared<xtsim::TElf>();
    std::string Error;
    if (Elf->Load(Opt.StubElf, Error))
      Chip->SetSymbolise([Elf](uint32_t A) { return Elf->Symbolise(A); });
  }
  if (MmioFile) {
    std::fprintf(MmioFile, "# the stub starts at 0x%08x, %.3f ms after power-on\n", unsigned(Entry),
                 double(Now) / 1e6);
    Mmio = std::make_unique<TMmioFile>(MmioFile,
                                       [this](uint64_t Cycle) { return Chip->TimeOf(Cycle); });
    Chip->Core().SetTrace(Mmio.get());
  }
  Chip->Uart().SetDivider16(xtsim::TUart0::DividerFor(Opt.CpuMhz * 1000000u, Baud));
  Asked = Reported = Baud;
  Chip->Start(Entry, Now);
  Started = true;
  Run(Now, nullptr, 0);
  return true;
}

void TMachineStub::Handle(const xtsim::TEsp32Chip::TRun& R) {
  using S = xtsim::TEsp32Chip::TState;
  Idle = R.State == S::Idle;
  Quiet = R.Quiet;
  IdleNext = R.Next;
  if (R.State == S::Halted) {
    End = TEnd::Crashed;
    FEndWhy = R.Why;
    FEndAt = Chip->Now();
  } else if (R.State == S::Reset) {
    End = TEnd::Reset;
    FEndWhy = R.Why;
    FEndAt = R.Next;
  }
}

void TMachineStub::CatchUp(int64_t Now) {
  // A core that sat in a loop that could see no change lets the time pass; one that
  // was busy runs through it.
  while (End == TEnd::None && Chip->Now() < Now) {
    if (Idle && (IdleNext < 0 || IdleNext >= Now)) {
      Chip->IdleUntil(Now);
      break;
    }
    if (Idle) Chip->IdleUntil(IdleNext);
    Handle(Chip->RunUntil(Now));
  }
}

void TMachineStub::Run(int64_t Now, const uint8_t* p, size_t n) {
  if (!Running()) return;
  const auto T0 = std::chrono::steady_clock::now();
  CatchUp(Now);
  for (size_t i = 0; i < n; ++i)
    Chip->Receive(Now, p[i]);
  if (End == TEnd::None) Handle(Chip->RunUntil(std::max(Now, Chip->Now()) + AheadNs));
  Collect();
  Wake.reset();
  if (End == TEnd::None) {
    if (!Idle)
      Wake = Chip->Now();
    else if (IdleNext >= 0)
      Wake = IdleNext;
  }
  HostNs +=
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - T0)
          .count();
}

void TMachineStub::Collect() {
  for (const xtsim::TUart0::TSent& S : Chip->TakeSent()) {
    // The rate the divider gives. Within 2 % of the rate the line runs at, or of the one
    // the program last asked for, the two ends of a real line understand each other, and
    // the board takes it for that one.
    uint32_t Rate = uint32_t(std::lround(S.Baud));
    auto Near = [Rate](uint32_t Nominal) {
      return Nominal && std::llabs(int64_t(Rate) - int64_t(Nominal)) * 50 <= int64_t(Nominal);
    };
    if (Near(Reported))
      Rate = Reported;
    else if (Near(Asked))
      Rate = Asked;
    if (Rate != Reported) {
      Out.push_back({S.At, 0, Rate});
      Reported = Rate;
    }
    if (!S.RateOnly) Out.push_back({S.At, S.Byte, 0});
  }
}

std::vector<TStub::TOut> TMachineStub::TakeOut() {
  std::vector<TStub::TOut> O;
  O.swap(Out);
  return O;
}

std::vector<std::string> TMachineStub::TakeNotes() {
  return Chip ? Chip->TakeNotes() : std::vector<std::string>{};
}

int64_t TMachineStub::NextChange(int64_t Now) const {
  return Nor.BusyUntil() > Now ? Nor.BusyUntil() : -1;
}

void TMachineStub::Transfer(xtsim::TSpiTransfer& T) {
  xtsim::TNorCommand C;
  if (!xtsim::DecodeNorCommand(T, C)) return;
  uint8_t In[80];
  const uint32_t InLen = std::min<uint32_t>(xtsim::NorAnswerBytes(T, C), sizeof In);
  Nor.Command(T.At, C.Op | (C.HasAddr ? 0x100u : 0u) | (C.Dummy ? 0x200u : 0u), C.Addr, C.Data,
              C.DataLen, In, InLen);
  if (!InLen) return;
  if (T.ClockHz > (C.Op == 0x03 ? ReadMaxHz : MaxHz)) {
    if (Trace)
      Trace->Write(TTraceLine("chip_note")
                       .Str("note", "flash read at " + std::to_string(T.ClockHz) +
                                        " Hz, above the part's limit: its data are not valid")
                       .Num("op", C.Op));
    return; // the bits sampled are noise; the line is left high
  }
  xtsim::PutNorAnswer(T, C, In, InLen);
}

} // namespace vboard
