#include "VbEngine.h"

#include <algorithm>
#include <cmath>

namespace vboard {

namespace {
constexpr double PageProgramMs = TFlashTiming::PageMs;
constexpr double SectorEraseMs = TFlashTiming::SectorMs;

constexpr uint32_t RomBlockMax = 1024; // the ROM loader's FLASH_DATA buffer

constexpr size_t MaxFrame = 8 + 16 + 16384 + 64;

bool InRam(uint32_t Addr, uint32_t Size) {
  uint64_t end = uint64_t(Addr) + Size;
  auto within = [&](uint64_t lo, uint64_t hi) { return Addr >= lo && end <= hi; };
  return within(0x3FFAE000, 0x40000000) || within(0x40070000, 0x400C0000);
}

} // namespace

const char* TChipEngine::ModeName(TMode m) {
  switch (m) {
  case TChipEngine::TMode::Loader:
    return "loader";
  case TChipEngine::TMode::Stub:
    return "stub";
  case TChipEngine::TMode::Halted:
    break;
  }
  return "halted";
}

TChipEngine::TChipEngine(const TBoardOptions& O, TFlash& F, TTrace* T)
    : Opt(O), Flash(F), Trace(T), FNor(F, O, T), Stub(O, FNor, Regs), Slip(MaxFrame),
      SpiTotal(F.Capacity()) {
  if (O.StubCore == TBoardOptions::TStubCore::Machine)
    Machine = std::make_unique<TMachineStub>(O, FNor, T);
}

void TChipEngine::TraceMode() {
  if (Trace) Trace->Write(TTraceLine("mode").Str("mode", ModeName(FMode)));
}

void TChipEngine::EnterLoader() {
  FMode = TMode::Loader;
  FSynced = false;
  Slip.Reset();
  Actions.clear();
  Regs.clear();
  Regions.clear();
  MemActive = FlashActive = false;
  ImageNo = 0;
  SpiAttached = false;
  SpiTotal = Flash.Capacity();
  UartBaud = 115200;
  Stub.Stop();
  if (Machine) Machine->Reset();
}

void TChipEngine::EnterStub(bool Fast) {
  FMode = TMode::Stub;
  Slip.Reset();
  FlashActive = false;
  OutInFrame = false;
  if (Trace)
    Trace->Write(TTraceLine("mode").Str("mode", "stub").Str("build", Fast ? "fast" : "standard"));
  Stub.Start(NowNs, UartBaud, Fast);
  PlayStub();
}

void TChipEngine::EnterMachine(uint32_t Entry) {
  FMode = TMode::Stub;
  Slip.Reset();
  FlashActive = false;
  OutInFrame = false;
  TraceMode();
  std::string Why;
  if (!Machine->Start(NowNs, UartBaud, Entry, Why)) {
    Halt(Why.c_str());
    return;
  }
  PlayMachine();
}

std::optional<int64_t> TChipEngine::WakeAt() const {
  if (FMode != TMode::Stub) return std::nullopt;
  return Machine ? Machine->WakeAt() : Stub.WakeAt();
}

void TChipEngine::Wake() {
  if (FMode != TMode::Stub) return;
  if (Machine) {
    Machine->Run(NowNs, nullptr, 0);
    PlayMachine();
    return;
  }
  Stub.Run(NowNs, nullptr, 0);
  PlayStub();
}

void TChipEngine::Settle(int64_t MaxNs) {
  if (!Machine) return;
  const int64_t Until = NowNs + MaxNs;
  while (FMode == TMode::Stub && !Machine->Waiting()) {
    const std::optional<int64_t> W = WakeAt();
    if (!W || *W > Until) break;
    NowNs = std::max(NowNs, *W);
    Wake();
  }
}

void TChipEngine::FeedStub(uint8_t b) {
  // The board decodes the requests too, for its trace and its faults; the
  // stub decodes them on its own.
  if (Slip.Put(b)) WatchStubRequest(Slip.Frame());
  if (Machine) {
    Machine->Run(NowNs, &b, 1);
    PlayMachine();
    return;
  }
  Stub.Run(NowNs, &b, 1);
  PlayStub();
}

void TChipEngine::WatchStubRequest(const TBytes& Pkt) {
  TraceIn(Pkt);
  if (Pkt.size() < 8 || Pkt[0] != 0x00) return;
  const uint8_t* p = Pkt.data() + 8;
  const size_t n = Pkt.size() - 8;
  if (Pkt[1] == opFlashBegin && n >= 16) {
    ++ImageNo;
    StubBlockSize = GetLe32(p + 8);
    StubOffset = GetLe32(p + 12);
  } else if (Pkt[1] == opFlashData && n >= 16) {
    uint32_t Seq = GetLe32(p + 4);
    // The part fails to program that block: the stub's read-back finds it.
    if (ImageNo == Opt.FailImage && int64_t(Seq) == Opt.FailBlock)
      FNor.FailPrograms(StubOffset + Seq * StubBlockSize, GetLe32(p));
  } else if (Pkt[1] == opChangeBaud && n == 8) {
    Stub.ExpectBaud(GetLe32(p));
    if (Machine) Machine->ExpectBaud(GetLe32(p));
  }
}

// Turns what the stub sent, with the chip time of each byte, into actions.
void TChipEngine::PlayStub() {
  int64_t At = NowNs;
  for (const TStub::TOut& o : Stub.TakeOut()) {
    if (o.At > At) {
      Actions.push_back({TAction::TKind::Busy, {}, o.At - At, 0});
      At = o.At;
    }
    if (Trace) Trace->SetNow(At); // when the stub sent it
    if (o.Baud)
      Actions.push_back({TAction::TKind::SetBaud, {}, 0, o.Baud});
    else
      StubByte(o.Byte);
  }
  if (Stub.Now() > At) Actions.push_back({TAction::TKind::Busy, {}, Stub.Now() - At, 0});
  // Fed directly (no board setting the time), the next request comes when this work ends.
  NowNs = std::max(NowNs, Stub.Now());
}

// The machine's bytes, with the time each started on the wire: the chip goes on
// receiving meanwhile. Then what its run came to: a crash halts it, a watchdog resets it.
void TChipEngine::PlayMachine() {
  int64_t At = NowNs;
  for (const TStub::TOut& o : Machine->TakeOut()) {
    if (o.At > At) {
      Actions.push_back({TAction::TKind::Delay, {}, o.At - At, 0});
      At = o.At;
    }
    if (Trace) Trace->SetNow(At);
    if (o.Baud)
      Actions.push_back({TAction::TKind::SetBaud, {}, 0, o.Baud});
    else
      StubByte(o.Byte);
  }
  if (Trace)
    for (const std::string& N : Machine->TakeNotes())
      Trace->Write(TTraceLine("chip_note").Str("note", N));
  const TMachineStub::TEnd E = Machine->Ended();
  if (E == TMachineStub::TEnd::None || FMode == TMode::Halted) return;
  if (Trace) Trace->SetNow(std::max(At, Machine->EndAt()));
  if (E == TMachineStub::TEnd::Crashed) {
    if (Trace) Trace->Write(TTraceLine("stub_fault").Str("report", Machine->EndWhy()));
    Halt("the stub crashed");
    return;
  }
  if (Trace) Trace->Write(TTraceLine("chip_reset").Str("why", Machine->EndWhy()));
  // The reset reason the ROM prints as the chip boots again.
  const std::string& W = Machine->EndWhy();
  const char* Rst = W.find("MWDT0") != std::string::npos   ? "0x7 (TG0WDT_SYS_RESET)"
                    : W.find("MWDT1") != std::string::npos ? "0x8 (TG1WDT_SYS_RESET)"
                                                           : "0x10 (RTCWDT_RTC_RESET)";
  Actions.push_back(
      {TAction::TKind::Reset, {}, std::max<int64_t>(0, Machine->EndAt() - At), 0, Rst});
  FMode = TMode::Halted;
}

void TChipEngine::StubByte(uint8_t c) {
  if (!OutInFrame) {
    if (c == 0xC0) {
      OutInFrame = true;
      OutFrame.clear();
      return;
    }
    // A keep-alive byte between frames.
    if (Trace) Trace->Write(TTraceLine("keepalive").Num("byte", c));
    Actions.push_back({TAction::TKind::Send, {c}, 0, 0});
    return;
  }
  if (c != 0xC0) {
    OutFrame.push_back(c);
    return;
  }
  if (OutFrame.empty()) return;
  OutInFrame = false;
  TBytes Pkt;
  for (size_t i = 0; i < OutFrame.size(); ++i) {
    uint8_t b = OutFrame[i];
    if (b == 0xDB && i + 1 < OutFrame.size()) b = OutFrame[++i] == 0xDC ? 0xC0 : 0xDB;
    Pkt.push_back(b);
  }
  if (Pkt == TBytes{'O', 'H', 'A', 'I'}) {
    if (Opt.BadGreeting) Pkt[3] = 'J';
    SendFrame(Pkt, 0xFF);
    return;
  }
  SendFrame(Pkt, Pkt.size() >= 2 ? Pkt[1] : 0xFF);
}

void TChipEngine::Halt(const char* Why) {
  FMode = TMode::Halted;
  if (Trace) Trace->Write(TTraceLine("mode").Str("mode", "halted").Str("why", Why));
}

std::vector<TAction> TChipEngine::TakeActions() {
  std::vector<TAction> a;
  a.swap(Actions);
  return a;
}

TBytes TChipEngine::TakeOutput() {
  TBytes out;
  for (const TAction& a : TakeActions())
    if (a.Kind == TAction::TKind::Send) out.insert(out.end(), a.Bytes.begin(), a.Bytes.end());
  return out;
}

void TChipEngine::Feed(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FMode == TMode::Stub)
      FeedStub(p[i]);
    else if (Slip.Put(p[i]))
      HandlePacket(Slip.Frame());
  }
}

int64_t TChipEngine::Scaled(double Ms) const {
  return std::llround(Ms * 1e6 * Opt.TimeScale);
}

void TChipEngine::Busy(int64_t Ns, const char* What) {
  if (Trace) Trace->Write(TTraceLine("busy").Str("what", What).Num("us", Ns / 1000));
  if (Ns > 0) Actions.push_back({TAction::TKind::Busy, {}, Ns, 0});
}

void TChipEngine::SendFrame(const TBytes& Pkt, uint8_t Cmd) {
  if (Opt.DropOpcode == Cmd && Pkt.size() >= 8) {
    if (Trace) Trace->Write(TTraceLine("answer_dropped").Num("cmd", Cmd).Str("pkt", Hex(Pkt)));
    return;
  }
  if (Trace) Trace->Write(TTraceLine("frame_out").Num("cmd", Cmd).Str("pkt", Hex(Pkt)));
  TAction a{TAction::TKind::Send, {}, 0, 0};
  if (Opt.Garbage) {
    // What a noisy line or a chatty ROM puts before a frame: no delimiter among it.
    static const uint8_t junk[] = {0x1B, 0x5B, 0x30, 0x6D, 0xDB, 0x0D, 0x0A, 0xFF, 0x00, 0x55};
    a.Bytes.assign(std::begin(junk), std::end(junk));
  }
  TBytes f = SlipEncode(Pkt);
  a.Bytes.insert(a.Bytes.end(), f.begin(), f.end());
  Actions.push_back(std::move(a));
}

void TChipEngine::Answer(uint8_t Cmd, uint32_t Value, uint8_t Status, uint8_t Err) {
  SendFrame(MakeAnswer(Cmd, Value, {Status, Err}), Cmd);
}

void TChipEngine::TraceIn(const TBytes& Pkt) {
  if (Trace) {
    TTraceLine l("frame_in");
    if (Pkt.size() >= 8)
      l.Num("cmd", Pkt[1]).Num("size", GetLe16(&Pkt[2])).Num("chk", GetLe32(&Pkt[4]));
    Trace->Write(l.Str("pkt", Hex(Pkt)));
  }
}

void TChipEngine::HandlePacket(const TBytes& Pkt) {
  if (FMode == TMode::Stub) {
    // A started stub takes its bytes through Feed; a whole packet goes the same way.
    Feed(SlipEncode(Pkt));
    return;
  }
  TraceIn(Pkt);
  if (FMode == TMode::Halted || Pkt.size() < 8 || Pkt[0] != 0x00)
    return; // a halted chip hears nothing; a short or non-request frame is line noise
  uint8_t cmd = Pkt[1];
  uint32_t n = uint32_t(Pkt.size() - 8);
  if (GetLe16(&Pkt[2]) != n) {
    Answer(cmd, 0, 1, errInvalid);
    return;
  }
  DoLoaderCommand(cmd, GetLe32(&Pkt[4]), Pkt.data() + 8, n);
}

void TChipEngine::DoLoaderCommand(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n) {
  if (Opt.RefuseOpcode == Cmd) {
    Answer(Cmd, 0, 1, errFailed);
    return;
  }
  if (RomFlashCommand(Cmd, Chk, p, n)) return;
  switch (Cmd) {
  case opSync: {
    bool ok = n == 36 && p[0] == 0x07 && p[1] == 0x07 && p[2] == 0x12 && p[3] == 0x20;
    for (uint32_t i = 4; ok && i < n; ++i)
      ok = p[i] == 0x55;
    if (!ok) {
      Answer(Cmd, 0, 1, errInvalid);
      return;
    }
    FSynced = true;
    // The ROM answers a good SYNC several times over.
    for (int i = 0; i < 8; ++i)
      Answer(Cmd, 0, 0, 0);
    return;
  }
  case opMemBegin:
    MemBegin(p, n);
    return;
  case opMemData:
    MemData(Chk, p, n);
    return;
  case opMemEnd:
    MemEnd(p, n);
    return;
  default:
    DoCommon(Cmd, Chk, p, n);
  }
}

void TChipEngine::DoCommon(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n) {
  switch (Cmd) {
  case opReadReg: {
    if (n != 4) {
      Answer(Cmd, 0, 1, errInvalid);
      return;
    }
    uint32_t adr = GetLe32(p), w1 = 0, w2 = 0;
    MacWords(Opt.Mac, w1, w2);
    uint32_t v = adr == 0x40001000   ? ChipIdWord(Opt.Chip)
                 : adr == 0x3FF5A004 ? w1
                 : adr == 0x3FF5A008 ? w2
                                     : Regs[adr];
    Answer(Cmd, v, 0, 0);
    return;
  }
  case opWriteReg: {
    if (n == 0 || n % 16 != 0) {
      Answer(Cmd, 0, 1, errInvalid);
      return;
    }
    for (uint32_t i = 0; i < n; i += 16) {
      uint32_t adr = GetLe32(p + i), val = GetLe32(p + i + 4), mask = GetLe32(p + i + 8);
      Regs[adr] = (Regs[adr] & ~mask) | (val & mask);
    }
    Answer(Cmd, 0, 0, 0);
    return;
  }
  case opSpiAttach:
    Answer(Cmd, 0, (n == 4 || n == 8) ? 0 : 1, (n == 4 || n == 8) ? 0 : errInvalid);
    return;
  case opChangeBaud: {
    uint32_t nb = n == 8 ? GetLe32(p) : 0;
    if (nb < 300 || nb > 5000000) {
      Answer(Cmd, 0, 1, errInvalid);
    } else if (Opt.RefuseBaud) {
      Answer(Cmd, 0, 1, errFailed);
    } else {
      const TBaudAnswer How = Opt.BaudAnswer;
      if (How == TBaudAnswer::Sent) Answer(Cmd, 0, 0, 0);
      Actions.push_back({TAction::TKind::SetBaud, {}, 0, nb});
      UartBaud = nb;
      if (How == TBaudAnswer::Garbled) Answer(Cmd, 0, 0, 0);
      if ((How == TBaudAnswer::Dropped || How == TBaudAnswer::Hang) && Trace)
        Trace->Write(TTraceLine("answer_dropped").Num("cmd", Cmd));
      if (How == TBaudAnswer::Hang) Halt("hung in the baud change");
    }
    return;
  }
  case opFlashBegin:
    FlashBegin(p, n);
    return;
  case opFlashData:
    FlashData(Chk, p, n);
    return;
  case opFlashEnd:
    FlashActive = false;
    Answer(Cmd, 0, n == 4 ? 0 : 1, n == 4 ? 0 : errInvalid);
    return;
  default:
    Answer(Cmd, 0, 1, errInvalid);
  }
}

void TChipEngine::MemBegin(const uint8_t* p, uint32_t n) {
  if (n != 16) {
    Answer(opMemBegin, 0, 1, errInvalid);
    return;
  }
  uint32_t size = GetLe32(p), block = GetLe32(p + 8), addr = GetLe32(p + 12);
  // The block count (second word) is not checked: the ROM does not rely on it either.
  if (block == 0 || !InRam(addr, size)) {
    MemActive = false;
    Answer(opMemBegin, 0, 1, errInvalid);
    return;
  }
  // RAM holds each address once: a region loaded again, or overlapped, is replaced, so
  // what the board keeps stays bounded by the size of its RAM however often it is loaded.
  const uint64_t End = uint64_t(addr) + size;
  std::erase_if(Regions, [&](const TRegion& r) {
    return r.Addr == addr || (r.Addr < End && addr < uint64_t(r.Addr) + r.Size);
  });
  Regions.push_back({addr, size, 0, TBytes(size, 0)});
  MemActive = true;
  MemSeq = 0;
  MemBlock = block;
  Answer(opMemBegin, 0, 0, 0);
}

void TChipEngine::MemData(uint32_t Chk, const uint8_t* p, uint32_t n) {
  if (!MemActive) {
    Answer(opMemData, 0, 1, errFailed);
    return;
  }
  if (n < 16 || GetLe32(p) != n - 16 || GetLe32(p + 4) != MemSeq || n - 16 > MemBlock) {
    Answer(opMemData, 0, 1, errInvalid);
    return;
  }
  uint32_t size = n - 16;
  TRegion& r = Regions.back();
  uint64_t at = uint64_t(MemSeq) * MemBlock;
  if (at + size > r.Size) {
    Answer(opMemData, 0, 1, errInvalid);
    return;
  }
  if (Chk != DataChecksum(p + 16, size)) {
    Answer(opMemData, 0, 1, errChecksum);
    return;
  }
  std::copy(p + 16, p + n, r.Data.begin() + static_cast<std::ptrdiff_t>(at));
  if (Machine) Machine->Load(r.Addr + uint32_t(at), p + 16, size);
  r.Written += size;
  ++MemSeq;
  Answer(opMemData, 0, 0, 0);
}

bool TChipEngine::StubLayoutOk(uint32_t Entry) const {
  bool code = false, data = false;
  for (const TRegion& r : Regions) {
    if (r.Addr == StubCodeAddr && r.Size == StubCodeLen && r.Written == StubCodeLen)
      code = Entry >= StubCodeAddr && Entry < StubCodeAddr + StubCodeLen;
    if (r.Addr == StubDataAddr && r.Size == StubDataLen && r.Written == StubDataLen) data = true;
  }
  return code && data;
}

bool TChipEngine::FastLayoutOk(uint32_t Entry) const {
  bool code = false, data = false;
  for (const TRegion& r : Regions) {
    if (r.Addr == FastCodeAddr && r.Size <= FastCodeMax && r.Written == r.Size)
      code = Entry >= FastCodeAddr && Entry < FastCodeAddr + r.Size;
    if (r.Addr == FastDataAddr && r.Size > 0 && r.Written == r.Size) data = true;
  }
  return code && data;
}

void TChipEngine::MemEnd(const uint8_t* p, uint32_t n) {
  if (n != 8) {
    Answer(opMemEnd, 0, 1, errInvalid);
    return;
  }
  MemActive = false;
  Answer(opMemEnd, 0, 0, 0);
  if (GetLe32(p) != 0) return; // no jump: the loader stays
  if (Machine && !Opt.NoGreeting) {
    EnterMachine(GetLe32(p + 4)); // whatever was loaded runs, wherever the entry is
    return;
  }
  const bool Fast = FastLayoutOk(GetLe32(p + 4));
  if (!Fast && !StubLayoutOk(GetLe32(p + 4))) {
    Halt("jump into memory that does not hold the stub");
    return;
  }
  if (Opt.NoGreeting || (Fast && Opt.FastStubHangs)) {
    Halt("the stub hangs before its greeting");
    return;
  }
  EnterStub(Fast); // the stub greets by itself
}

void TChipEngine::FlashBegin(const uint8_t* p, uint32_t n) {
  ++ImageNo;
  FlashActive = false;
  if (n != 16) {
    Answer(opFlashBegin, 0, 1, errInvalid);
    return;
  }
  uint32_t erase = GetLe32(p), blocks = GetLe32(p + 4), block = GetLe32(p + 8),
           off = GetLe32(p + 12);
  uint64_t end = uint64_t(off) + erase;
  bool fits = blocks == 0 || uint64_t(off) + uint64_t(blocks - 1) * block < Flash.Capacity();
  if (block == 0 || block > 0x10000 || end > Flash.Capacity() || !fits) {
    Answer(opFlashBegin, 0, 1, errInvalid);
    return;
  }
  // Like the stub: nothing is erased here. The announced size (the image rounded up
  // to whole blocks) only bounds the writes; each FLASH_DATA erases the sectors its
  // own data reaches, so bytes after a small image keep their contents.
  FlashActive = true;
  FOffset = off;
  FBlocks = blocks;
  FBlock = block;
  FSeq = 0;
  FEnd = (end + TFlash::SectorSize - 1) / TFlash::SectorSize * TFlash::SectorSize;
  FErased = off / TFlash::SectorSize * TFlash::SectorSize;
  Answer(opFlashBegin, 0, 0, 0);
}

void TChipEngine::FlashData(uint32_t Chk, const uint8_t* p, uint32_t n) {
  if (!FlashActive) {
    Answer(opFlashData, 0, 1, errFailed);
    return;
  }
  if (n < 16 || GetLe32(p) != n - 16 || GetLe32(p + 4) != FSeq || FSeq >= FBlocks ||
      n - 16 > FBlock) {
    Answer(opFlashData, 0, 1, errInvalid);
    return;
  }
  uint32_t size = n - 16;
  if (Chk != DataChecksum(p + 16, size)) {
    Answer(opFlashData, 0, 1, errChecksum);
    return;
  }
  uint64_t at = uint64_t(FOffset) + uint64_t(FSeq) * FBlock;
  if (at + size > FEnd) { // past the announced region (FEnd is within the flash)
    Answer(opFlashData, 0, 1, errInvalid);
    return;
  }
  // The sectors this block reaches that this FLASH_BEGIN has not erased yet; the
  // erased frontier only grows, and a sector no data reaches is left alone.
  uint64_t to = (at + size + TFlash::SectorSize - 1) / TFlash::SectorSize * TFlash::SectorSize;
  if (to > FErased) {
    uint64_t from = std::max<uint64_t>(FErased, at / TFlash::SectorSize * TFlash::SectorSize);
    Flash.EraseRange(uint32_t(from), uint32_t(to - from));
    Busy(Scaled(SectorEraseMs * double((to - from) / TFlash::SectorSize)), "erase");
    FErased = to;
  }
  if (ImageNo == Opt.FailImage && int64_t(FSeq) == Opt.FailBlock) {
    Answer(opFlashData, 0, 1, errFlashWrite);
    return;
  }
  Flash.Program(uint32_t(at), p + 16, size);
  ++FSeq;
  Busy(Scaled(PageProgramMs * ((size + 255) / 256)), "write");
  Answer(opFlashData, 0, 0, 0);
}

bool TChipEngine::RomFlashCommand(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n) {
  switch (Cmd) {
  case opSpiAttach: {
    const bool ok = n == 4 || n == 8;
    SpiAttached = SpiAttached || ok;
    Answer(Cmd, 0, ok ? 0 : 1, ok ? 0 : errInvalid);
    return true;
  }
  case opSpiSetParams:
    // id, total size, block, sector, page, status mask; the board's geometry is fixed,
    // only the total size bounds what the ROM will erase and write.
    if (n != 24 || GetLe32(p + 4) == 0) {
      Answer(Cmd, 0, 1, errInvalid);
      return true;
    }
    SpiTotal = std::min(GetLe32(p + 4), Flash.Capacity());
    Answer(Cmd, 0, 0, 0);
    return true;
  case opFlashBegin:
  case opFlashData:
  case opFlashEnd:
    break;
  default:
    return false;
  }
  if (!SpiAttached) {
    Answer(Cmd, 0, 1, errFailed);
    return true;
  }
  if (Cmd == opFlashBegin) {
    RomFlashBegin(p, n);
  } else if (Cmd == opFlashData) {
    RomFlashData(Chk, p, n);
  } else if (n != 4) {
    Answer(Cmd, 0, 1, errInvalid);
  } else {
    // The ROM leaves the loader: 0 reboots, anything else runs the application.
    FlashActive = false;
    Answer(Cmd, 0, 0, 0);
    Halt(GetLe32(p) == 0 ? "FLASH_END: reboot" : "FLASH_END: run the application");
  }
  return true;
}

void TChipEngine::RomFlashBegin(const uint8_t* p, uint32_t n) {
  FlashActive = false;
  if (n != 16) {
    Answer(opFlashBegin, 0, 1, errInvalid);
    return;
  }
  const uint32_t erase = GetLe32(p), blocks = GetLe32(p + 4), block = GetLe32(p + 8),
                 off = GetLe32(p + 12);
  // Only a FLASH_BEGIN that announces data counts as an image; the whole-flash erase
  // announces none.
  if (blocks) ++ImageNo;
  if (block == 0 || block > RomBlockMax || uint64_t(off) + erase > SpiTotal) {
    Answer(opFlashBegin, 0, 1, errInvalid);
    return;
  }
  // Every sector the announced region touches is erased before the answer.
  const uint64_t from = off / TFlash::SectorSize * uint64_t(TFlash::SectorSize);
  const uint64_t to = erase == 0 ? from
                                 : (uint64_t(off) + erase + TFlash::SectorSize - 1) /
                                       TFlash::SectorSize * TFlash::SectorSize;
  if (to > from) {
    Flash.EraseRange(uint32_t(from), uint32_t(to - from));
    const int64_t ns = Scaled(SectorEraseMs * double((to - from) / TFlash::SectorSize));
    if (Trace)
      Trace->Write(TTraceLine("erase")
                       .Num("addr", int64_t(from))
                       .Num("len", int64_t(to - from))
                       .Num("us", ns / 1000));
    Busy(ns, "erase");
  }
  FlashActive = true;
  FOffset = off;
  FBlocks = blocks;
  FBlock = block;
  FSeq = 0;
  FEnd = to;
  Answer(opFlashBegin, 0, 0, 0);
}

void TChipEngine::RomFlashData(uint32_t Chk, const uint8_t* p, uint32_t n) {
  if (!FlashActive) {
    Answer(opFlashData, 0, 1, errFailed);
    return;
  }
  // The ROM writes whole blocks: the host pads the last one.
  if (n < 16 || GetLe32(p) != n - 16 || n - 16 != FBlock || GetLe32(p + 4) != FSeq ||
      FSeq >= FBlocks) {
    Answer(opFlashData, 0, 1, errInvalid);
    return;
  }
  const uint32_t size = n - 16;
  if (Chk != DataChecksum(p + 16, size)) {
    Answer(opFlashData, 0, 1, errChecksum);
    return;
  }
  const uint64_t at = uint64_t(FOffset) + uint64_t(FSeq) * FBlock;
  if (at + size > FEnd) { // past what FLASH_BEGIN erased
    Answer(opFlashData, 0, 1, errInvalid);
    return;
  }
  if (ImageNo == Opt.FailImage && int64_t(FSeq) == Opt.FailBlock) {
    Answer(opFlashData, 0, 1, errFlashWrite);
    return;
  }
  Flash.Program(uint32_t(at), p + 16, size);
  if (Trace) Trace->Write(TTraceLine("program").Num("addr", int64_t(at)).Num("len", size));
  ++FSeq;
  Busy(Scaled(PageProgramMs * ((size + 255) / 256)), "write");
  Answer(opFlashData, 0, 0, 0);
}

} // namespace vboard
