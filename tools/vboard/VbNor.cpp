#include "VbNor.h"

#include <cmath>
#include <cstdio>

namespace vboard {

namespace {
constexpr uint32_t AddrFlag = 0x100;
// 20 MHz SPI clock: 400 ns a byte, and a microsecond to set the controller up.
constexpr int64_t SpiByteNs = 400, SpiSetupNs = 1000;

std::string HexOf(const uint8_t* p, uint32_t n) {
  std::string s;
  char b[4];
  for (uint32_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += b;
  }
  return s;
}

struct TId {
  uint8_t Bytes[3];
};
TId IdOf(TFlashPart P) {
  switch (P) {
  case TFlashPart::Winbond:
  case TFlashPart::Sr2ReadsFF:
    return {{0xEF, 0x40, 0x16}}; // W25Q32
  case TFlashPart::GigaDevice:
    return {{0xC8, 0x40, 0x16}}; // GD25Q32
  case TFlashPart::Macronix:
    return {{0xC2, 0x20, 0x16}}; // MX25L32
  case TFlashPart::Unknown:
    break;
  }
  return {{0x9D, 0x60, 0x16}}; // a maker outside the stub's table
}
} // namespace

TNorFlash::TNorFlash(TFlash& F, const TBoardOptions& O, TTrace* T) : Flash(F), Opt(O), Trace(T) {
  FSr1 = O.FlashProtected ? 0x1C : 0x00;
  FSr2 = Sr2Qe; // quad enable set, as boards booting in QIO mode have it
  FContinuous = O.FlashContinuousRead;
}

void TNorFlash::FailPrograms(uint32_t Addr, uint32_t Len) {
  FailFrom = Addr;
  FailLen = Len;
}

bool TNorFlash::Protected() const {
  // Coarse: any block-protect bit covers the whole part; CMP turns that round.
  return ((FSr1 & 0x7C) != 0) != ((FSr2 & Sr2Cmp) != 0);
}

int64_t TNorFlash::StartBusy(int64_t Now, double Ms) {
  int64_t Ns = std::llround(Ms * 1e6 * Opt.TimeScale);
  FBusyUntil = Now + Ns;
  return Ns;
}

void TNorFlash::TraceWork(const char* What, uint32_t Addr, uint32_t Len, int64_t Ns) {
  if (Trace) Trace->Write(TTraceLine(What).Num("addr", Addr).Num("len", Len).Num("us", Ns / 1000));
}

void TNorFlash::Erase(int64_t Now, uint32_t Addr, uint32_t Unit, double Ms) {
  uint32_t From = Addr & ~(Unit - 1) & (TFlash::Size - 1);
  Flash.EraseRange(From, Unit);
  TraceWork("erase", From, Unit, StartBusy(Now, Ms));
}

int64_t TNorFlash::Command(int64_t Now, uint32_t Op, uint32_t Addr, const uint8_t* Out,
                           uint32_t OutLen, uint8_t* In, uint32_t InLen) {
  if (Trace) Trace->SetNow(Now);
  const int64_t Took =
      SpiSetupNs + SpiByteNs * (1 + ((Op & AddrFlag) ? 3 : 0) + int64_t(OutLen) + InLen);
  const uint8_t Code = uint8_t(Op);
  const bool Busy = Now < FBusyUntil;
  for (uint32_t i = 0; i < InLen; ++i)
    In[i] = 0xFF; // nothing drives the data line: it reads high
  // Status polls, write enables, programs and reads come by the thousand: not kept.
  if (Code != 0x05 && Code != 0x06 && Code != 0x02 && Code != 0x03)
    FLog.push_back(HexOf(&Code, 1) + (OutLen ? ":" + HexOf(Out, OutLen) : std::string()));

  if (FQpi) return Took; // the part now reads four lines per clock: single-line commands are noise
  if (FContinuous) {
    // The part takes the first bytes as the next read's address; a run of ones ends the mode.
    if (Code == 0xFF && (Op & AddrFlag) && (Addr & 0xFFFFFF) == 0xFFFFFF) FContinuous = false;
    return Took;
  }
  if (Code != 0x05 && Code != 0x35 && Code != 0x9F && Busy) {
    FFaults.push_back("opcode " + HexOf(&Code, 1) + " while busy");
    return Took;
  }
  auto Latched = [&](const char* Name) {
    if (!Wel) {
      FFaults.push_back(std::string(Name) + " without write enable");
      return false;
    }
    Wel = false;
    return !Protected();
  };
  if (Code != 0x99) ResetEnabled = false;
  switch (Code) {
  case 0x06:
    Wel = true;
    break;
  case 0x04:
    Wel = false;
    break;
  case 0x05:
    if (InLen) In[0] = uint8_t(FSr1 | (Wel ? 0x02 : 0) | (Busy ? 0x01 : 0));
    break;
  case 0x35:
    if (Opt.FlashPart == TFlashPart::Macronix) {
      FQpi = true; // EQIO on these parts
    } else if (Opt.FlashPart != TFlashPart::Sr2ReadsFF && Opt.FlashPart != TFlashPart::Unknown) {
      if (InLen) In[0] = FSr2;
    }
    break;
  case 0x01:
    if (!Wel) {
      FFaults.push_back("WRSR without write enable");
      break;
    }
    Wel = false;
    if (OutLen > 0) FSr1 = uint8_t(Out[0] & 0xFC);
    if (OutLen > 1 && Opt.FlashPart != TFlashPart::Macronix && Opt.FlashPart != TFlashPart::Unknown)
      FSr2 = Out[1]; // lock bits and CMP included: a 0xFF here protects the whole part
    if (Trace)
      Trace->Write(TTraceLine("status_write")
                       .Num("sr1", FSr1)
                       .Num("sr2", FSr2)
                       .Num("us", StartBusy(Now, 10) / 1000));
    break;
  case 0x9F: {
    TId Id = IdOf(Opt.FlashPart);
    for (uint32_t i = 0; i < InLen && i < 3; ++i)
      In[i] = Id.Bytes[i];
    break;
  }
  case 0x66:
    ResetEnabled = true;
    break;
  case 0x99:
    if (ResetEnabled) Wel = false;
    ResetEnabled = false;
    break;
  case 0xAB: // out of deep power-down: the model never sleeps
    break;
  case 0x03:
    for (uint32_t i = 0; i < InLen; ++i)
      In[i] = Flash.Bytes()[(Addr + i) & (TFlash::Size - 1)];
    break;
  case 0x20:
    if (Latched("sector erase")) Erase(Now, Addr, 0x1000, TFlashTiming::SectorMs);
    break;
  case 0x52:
    if (Latched("32 KiB erase")) Erase(Now, Addr, 0x8000, TFlashTiming::Block32Ms);
    break;
  case 0xD8:
    if (Latched("64 KiB erase")) Erase(Now, Addr, 0x10000, TFlashTiming::Block64Ms);
    break;
  case 0x60:
  case 0xC7:
    if (Latched("chip erase")) {
      Flash.EraseAll();
      TraceWork("erase", 0, TFlash::Size, StartBusy(Now, TFlashTiming::ChipMs));
    }
    break;
  case 0x02: {
    if (!Latched("page program") || OutLen == 0) break;
    uint32_t Page = Addr & ~0xFFu & (TFlash::Size - 1);
    for (uint32_t i = 0; i < OutLen; ++i) {
      // The address counter wraps inside the page.
      uint32_t a = Page | ((Addr + i) & 0xFFu);
      if (a >= FailFrom && a - FailFrom < FailLen) continue;
      Flash.Program(a, Out + i, 1);
    }
    double Ms = TFlashTiming::FirstByteMs +
                (TFlashTiming::PageMs - TFlashTiming::FirstByteMs) * (OutLen - 1) / 255.0;
    TraceWork("program", Addr & (TFlash::Size - 1), OutLen, StartBusy(Now, Ms));
    break;
  }
  default:
    break;
  }
  return Took;
}

} // namespace vboard
