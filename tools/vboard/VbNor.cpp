#include "VbNor.h"

#include <bit>
#include <cmath>
#include <cstdio>

#include "VbSfdp.h"

namespace vboard {

namespace {
constexpr uint32_t AddrFlag = 0x100, DummyFlag = 0x200;

std::string HexOf(const uint8_t* p, uint32_t n) {
  std::string s;
  char b[4];
  for (uint32_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += b;
  }
  return s;
}

// What sets one part apart from the others, from its datasheet.
struct TPartInfo {
  uint8_t Id[3] = {};
  uint8_t Protect = 0;      // status register 1 bits that protect (coarsely: all of) the array
  bool Sr2 = false;         // status register 2 at 0x35 (W25Q layout: QE bit 1, CMP bit 6)
  bool Sr2ReadsFF = false;  // 0x35 reads 0xFF, though the part keeps a QE bit there
  bool Qpi35 = false;       // 0x35 switches the part to four-line (QPI) commands
  bool QeInSr1 = false;     // QE is bit 6 of status register 1
  bool TwoByteWrsr = false; // 0x01 takes register 2 as its second byte (else it ignores that form)
  bool OneByteClearsSr2 = false; // a one-byte 0x01 clears QE and SRP1 in register 2
  bool Wrsr2 = false;            // 0x31 writes register 2
  uint32_t Erase52 = 0x8000;     // what 0x52 erases
  uint8_t Sfdp52Log2 = 15;       // the size the SFDP table lists for 0x52 (2^n bytes)
  bool Sfdp = true;              // it answers 0x5A with a table
};

const TPartInfo& InfoOf(TFlashPart P) {
  static const TPartInfo Winbond{.Id = {0xEF, 0x40, 0x16},
                                 .Protect = 0x7C,
                                 .Sr2 = true,
                                 .TwoByteWrsr = true,
                                 .OneByteClearsSr2 = true};
  static const TPartInfo GigaDevice{
      .Id = {0xC8, 0x40, 0x16}, .Protect = 0x7C, .Sr2 = true, .TwoByteWrsr = true};
  static const TPartInfo GigaDevice31{
      .Id = {0xC8, 0x40, 0x16}, .Protect = 0x7C, .Sr2 = true, .Wrsr2 = true};
  static const TPartInfo Macronix{
      .Id = {0xC2, 0x20, 0x16}, .Protect = 0x3C, .Qpi35 = true, .QeInSr1 = true};
  static const TPartInfo MacronixOld{.Id = {0xC2, 0x20, 0x16},
                                     .Protect = 0x3C,
                                     .Qpi35 = true,
                                     .QeInSr1 = true,
                                     .Erase52 = 0x10000,
                                     .Sfdp = false};
  static const TPartInfo MacronixOldSfdp{.Id = {0xC2, 0x20, 0x16},
                                         .Protect = 0x3C,
                                         .Qpi35 = true,
                                         .QeInSr1 = true,
                                         .Erase52 = 0x10000,
                                         .Sfdp52Log2 = 16};
  static const TPartInfo Issi{
      .Id = {0x9D, 0x60, 0x16}, .Protect = 0x3C, .Qpi35 = true, .QeInSr1 = true};
  static const TPartInfo Sr2ReadsFF{.Id = {0xEF, 0x40, 0x16},
                                    .Protect = 0x7C,
                                    .Sr2 = true,
                                    .Sr2ReadsFF = true,
                                    .TwoByteWrsr = true};
  static const TPartInfo Unknown{
      .Id = {0x1C, 0x30, 0x16}, .Protect = 0x3C, .Erase52 = 0x10000, .Sfdp = false};
  switch (P) {
  case TFlashPart::Winbond:
  case TFlashPart::WinbondCmp:
    return Winbond;
  case TFlashPart::GigaDevice:
    return GigaDevice;
  case TFlashPart::GigaDevice31:
    return GigaDevice31;
  case TFlashPart::Macronix:
    return Macronix;
  case TFlashPart::MacronixOld:
    return MacronixOld;
  case TFlashPart::MacronixOldSfdp:
    return MacronixOldSfdp;
  case TFlashPart::Issi:
    return Issi;
  case TFlashPart::Sr2ReadsFF:
    return Sr2ReadsFF;
  case TFlashPart::Unknown:
    break;
  }
  return Unknown;
}
} // namespace

TNorFlash::TNorFlash(TFlash& F, const TBoardOptions& O, TTrace* T) : Flash(F), Opt(O), Trace(T) {
  const TPartInfo& P = InfoOf(O.FlashPart);
  // Quad enable set, as boards booting in QIO mode have it.
  FSr1 = uint8_t((O.FlashProtected ? 0x1C : 0x00) | (P.QeInSr1 ? Sr1Qe : 0));
  FSr2 = Sr2Qe;
  if (P.Sr2 && (O.FlashCmp || O.FlashPart == TFlashPart::WinbondCmp)) FSr2 |= Sr2Cmp;
  FContinuous = O.FlashContinuousRead;
  if (O.BadSector >= 0) BadFrom = uint32_t(O.BadSector) & ~(TFlash::SectorSize - 1);
}

void TNorFlash::SetSpiHz(uint32_t Hz) {
  FByteNs = Hz ? int64_t(8000000000LL / Hz) : DefaultByteNs;
}

void TNorFlash::FailPrograms(uint32_t Addr, uint32_t Len) {
  FailFrom = Addr;
  FailLen = Len;
}

bool TNorFlash::Protected() const {
  // Coarse: any block-protect bit covers the whole part. With CMP set the
  // bits name what stays writable: all of it only with BP2..BP0 all set.
  const TPartInfo& P = InfoOf(Opt.FlashPart);
  if (P.Sr2 && (FSr2 & Sr2Cmp)) return (FSr1 & 0x1C) != 0x1C;
  return (FSr1 & P.Protect) != 0;
}

bool TNorFlash::Qe() const {
  return InfoOf(Opt.FlashPart).QeInSr1 ? (FSr1 & Sr1Qe) != 0 : (FSr2 & Sr2Qe) != 0;
}

void TNorFlash::StatusWritten(int64_t Now) {
  const int64_t Ns = StartBusy(Now, 10);
  if (Trace)
    Trace->Write(TTraceLine("status_write").Num("sr1", FSr1).Num("sr2", FSr2).Num("us", Ns / 1000));
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
  uint32_t From = Addr & ~(Unit - 1) & (Flash.Capacity() - 1);
  Flash.EraseRange(From, Unit);
  TraceWork("erase", From, Unit, StartBusy(Now, Ms));
}

int64_t TNorFlash::Command(int64_t Now, uint32_t Op, uint32_t Addr, const uint8_t* Out,
                           uint32_t OutLen, uint8_t* In, uint32_t InLen) {
  if (Trace) Trace->SetNow(Now);
  const TPartInfo& P = InfoOf(Opt.FlashPart);
  const int64_t Took = SetupNs + FByteNs * (1 + ((Op & AddrFlag) ? 3 : 0) +
                                            ((Op & DummyFlag) ? 1 : 0) + int64_t(OutLen) + InLen);
  const uint8_t Code = uint8_t(Op);
  const bool Busy = Now < FBusyUntil;
  for (uint32_t i = 0; i < InLen; ++i)
    In[i] = 0xFF; // nothing drives the data line: it reads high
  // Status polls, write enables, programs and reads come by the thousand: not kept.
  if (Code != 0x05 && Code != 0x06 && Code != 0x02 && Code != 0x03 && Code != 0x0B)
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
    if (P.Qpi35) {
      FQpi = true; // EQIO / QPIEN on these parts
    } else if (P.Sr2 && !P.Sr2ReadsFF) {
      if (InLen) In[0] = FSr2;
    }
    break;
  case 0x01:
    if (!Wel) {
      FFaults.push_back("WRSR without write enable");
      break;
    }
    if (OutLen == 0) break;
    if (OutLen > 1 && !P.Sr2) {
      // Macronix: the second byte goes to the configuration register (its TB bit is OTP).
      FFaults.push_back("two-byte WRSR to a part with one status register");
      break;
    }
    if (OutLen > 1 && !P.TwoByteWrsr) break; // not carried out; the latch stays set
    Wel = false;
    FSr1 = uint8_t(Out[0] & 0xFC);
    if (OutLen > 1)
      FSr2 = Out[1]; // lock bits and CMP included: a 0xFF here protects the whole part
    else if (P.OneByteClearsSr2)
      FSr2 &= uint8_t(~(Sr2Qe | 0x01)); // QE and SRP1, as on the W25Q..BV parts
    StatusWritten(Now);
    break;
  case 0x31:
    if (!P.Sr2) {
      FFaults.push_back("0x31 to a part without status register 2");
      break;
    }
    if (!P.Wrsr2 || OutLen == 0) break; // not a command of this part
    if (!Wel) {
      FFaults.push_back("0x31 without write enable");
      break;
    }
    Wel = false;
    FSr2 = Out[0];
    StatusWritten(Now);
    break;
  case 0x5A: {
    if (!P.Sfdp) break; // nothing drives the data line
    if (!(Op & AddrFlag)) {
      FFaults.push_back("SFDP read without an address");
      break;
    }
    const std::vector<uint8_t> Table = SfdpImage({{12, 0x20}, {P.Sfdp52Log2, 0x52}, {16, 0xD8}});
    // Without the 8 dummy clocks the first byte read is the one that would
    // have been the dummy: everything arrives a byte late.
    const uint32_t Late = (Op & DummyFlag) ? 0 : 1;
    for (uint32_t i = Late; i < InLen; ++i) {
      uint32_t a = (Addr & 0xFFFFFF) + i - Late;
      In[i] = a < Table.size() ? Table[a] : 0xFF;
    }
    break;
  }
  case 0x9F: {
    // Maker and memory type of the part; the capacity byte is the size as a power of two.
    const uint8_t Id[3] = {P.Id[0], P.Id[1], uint8_t(std::bit_width(Flash.Capacity()) - 1)};
    for (uint32_t i = 0; i < InLen && i < 3; ++i)
      In[i] = Id[i];
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
  case 0x0B: {
    // FAST READ wants 8 dummy clocks after the address; without them the first byte
    // read is the part's dummy phase and the data arrives a byte late.
    const uint32_t Early = (Code == 0x0B && !(Op & DummyFlag)) ? 1 : 0;
    for (uint32_t i = 0; i < InLen; ++i)
      In[i] = i < Early ? 0xFF : Flash.Bytes()[(Addr + i - Early) & (Flash.Capacity() - 1)];
    break;
  }
  case 0x20:
    if (Latched("sector erase")) Erase(Now, Addr, 0x1000, TFlashTiming::SectorMs);
    break;
  case 0x52:
    if (Latched("32 KiB erase"))
      Erase(Now, Addr, P.Erase52,
            P.Erase52 == 0x8000 ? TFlashTiming::Block32Ms : TFlashTiming::Block64Ms);
    break;
  case 0xD8:
    if (Latched("64 KiB erase")) Erase(Now, Addr, 0x10000, TFlashTiming::Block64Ms);
    break;
  case 0x60:
  case 0xC7:
    if (Latched("chip erase")) {
      Flash.EraseAll();
      TraceWork("erase", 0, Flash.Capacity(), StartBusy(Now, TFlashTiming::ChipMs));
    }
    break;
  case 0x02: {
    if (!Latched("page program") || OutLen == 0) break;
    uint32_t Page = Addr & ~0xFFu & (Flash.Capacity() - 1);
    for (uint32_t i = 0; i < OutLen; ++i) {
      // The address counter wraps inside the page.
      uint32_t a = Page | ((Addr + i) & 0xFFu);
      if (a >= FailFrom && a - FailFrom < FailLen) continue;
      if (a >= BadFrom && a - BadFrom < TFlash::SectorSize) continue;
      Flash.Program(a, Out + i, 1);
    }
    double Ms = TFlashTiming::FirstByteMs +
                (TFlashTiming::PageMs - TFlashTiming::FirstByteMs) * (OutLen - 1) / 255.0;
    TraceWork("program", Addr & (Flash.Capacity() - 1), OutLen, StartBusy(Now, Ms));
    break;
  }
  default:
    break;
  }
  return Took;
}

} // namespace vboard
