#include "XtSpi1.h"

#include "XtMemory.h"

#include <cmath>
#include <cstdio>

namespace xtsim {

namespace {
// Register offsets (TRM 7.7, register summary).
constexpr uint32_t RegCmd = 0x00, RegAddr = 0x04, RegCtrl = 0x08, RegClock = 0x18, RegUser = 0x1C,
                   RegUser1 = 0x20, RegUser2 = 0x24, RegMosiDlen = 0x28, RegMisoDlen = 0x2C,
                   RegPin = 0x34, RegW0 = 0x80, RegW15 = 0xBC;
constexpr uint32_t CmdUsr = 1u << 18;
// USER: COMMAND 31, ADDR 30, DUMMY 29, MISO 28, MOSI 27, CS_SETUP 5, CS_HOLD 4. Bits 26..10
// are the dummy-idle, high-part, hold, SIO, dual and quad write and byte-order options,
// bit 0 full duplex: none of them modelled. CK_OUT_EDGE (7) and CK_I_EDGE (6) move
// sampling edges only.
constexpr uint32_t UserCommand = 1u << 31, UserAddr = 1u << 30, UserDummy = 1u << 29,
                   UserMiso = 1u << 28, UserMosi = 1u << 27, UserCsSetup = 1u << 5,
                   UserCsHold = 1u << 4;
constexpr uint32_t UserUnmodelled = 0x07FFFC00u | 1u;
// CTRL: FREAD_DUAL 14, FREAD_QUAD 20, FREAD_DIO 23, FREAD_QIO 24 (the read phase on more
// lines), RD_BIT_ORDER 25, WR_BIT_ORDER 26 (LSB first).
constexpr uint32_t CtrlUnmodelled =
    (1u << 14) | (1u << 20) | (1u << 23) | (1u << 24) | (1u << 25) | (1u << 26);
constexpr uint32_t PinCs0Dis = 1u << 0;
constexpr uint32_t MaxSpiHz = 80000000;
// The controller's own set-up before the first clock, in APB cycles.
constexpr uint32_t SetupApbCycles = 2;

std::string RegName(uint32_t Off) {
  const char* Known = Off == RegCmd        ? "CMD"
                      : Off == RegAddr     ? "ADDR"
                      : Off == RegCtrl     ? "CTRL"
                      : Off == RegClock    ? "CLOCK"
                      : Off == RegUser     ? "USER"
                      : Off == RegUser1    ? "USER1"
                      : Off == RegUser2    ? "USER2"
                      : Off == RegMosiDlen ? "MOSI_DLEN"
                      : Off == RegMisoDlen ? "MISO_DLEN"
                      : Off == RegPin      ? "PIN"
                                           : nullptr;
  char B[40];
  if (Off >= RegW0 && Off <= RegW15)
    std::snprintf(B, sizeof B, "W%u", unsigned((Off - RegW0) / 4));
  else
    std::snprintf(B, sizeof B, "register 0x%02x%s%s", unsigned(Off), Known ? " " : "",
                  Known ? Known : "");
  return B;
}

// Appends N bits of V, most significant first.
struct TBits {
  uint8_t* P;
  uint32_t N = 0, Cap;
  void Put(uint32_t V, uint32_t Bits) {
    for (uint32_t i = Bits; i-- > 0;) {
      if (N < Cap && ((V >> i) & 1)) P[N / 8] |= uint8_t(0x80u >> (N % 8));
      ++N;
    }
  }
};
} // namespace

namespace {
uint32_t Bit(const uint8_t* P, uint32_t I) {
  return (P[I / 8] >> (7 - I % 8)) & 1;
}
} // namespace

bool DecodeNorCommand(const TSpiTransfer& T, TNorCommand& C) {
  C = TNorCommand{};
  const uint32_t Clocks = T.MosiBits + T.MisoBits;
  const uint8_t* M = T.Mosi.data();
  // What the part sees on its data input at clock I.
  auto In = [&](uint32_t I) { return I < T.MosiBits ? Bit(M, I) : 0u; };
  if (Clocks < 8) return false;
  for (uint32_t i = 0; i < 8; ++i)
    C.Op = uint8_t(C.Op << 1 | In(i));
  const uint8_t Op = C.Op;
  bool Ones = T.MosiBits >= 32;
  for (uint32_t i = 8; i < 32 && Ones; ++i)
    Ones = In(i);
  // FAST READ (0x0B) is framed as the SFDP read: 24 address bits, 8 dummy clocks, data.
  C.HasAddr = Op == 0x02 || Op == 0x03 || Op == 0x0B || Op == 0x20 || Op == 0x52 || Op == 0xD8 ||
              Op == 0x5A || (Op == 0xFF && Ones);
  C.Dummy = Op == 0x5A || Op == 0x0B;
  C.Answers = Op == 0x03 || Op == 0x05 || Op == 0x0B || Op == 0x35 || Op == 0x5A || Op == 0x9F;
  const uint32_t Framed = 8 + (C.HasAddr ? 24 : 0) + (C.Dummy ? 8 : 0);
  if (Clocks < Framed) return false;
  for (uint32_t i = 8; i < 8 + (C.HasAddr ? 24u : 0u); ++i)
    C.Addr = C.Addr << 1 | In(i);
  if (!C.Answers)
    for (uint32_t i = Framed; i + 8 <= T.MosiBits && C.DataLen < sizeof C.Data; i += 8, ++C.DataLen)
      for (uint32_t k = 0; k < 8; ++k)
        C.Data[C.DataLen] = uint8_t(C.Data[C.DataLen] << 1 | Bit(M, i + k));
  // The controller samples from the clock after its last MOSI bit.
  C.Skip = int32_t(T.MosiBits) - int32_t(Framed);
  return true;
}

uint32_t NorAnswerBytes(const TSpiTransfer& T, const TNorCommand& C) {
  const int32_t Bits = C.Skip + int32_t(T.MisoBits);
  return C.Answers && Bits > 0 ? uint32_t(Bits + 7) / 8 : 0;
}

void PutNorAnswer(TSpiTransfer& T, const TNorCommand& C, const uint8_t* In, uint32_t InLen) {
  for (uint32_t i = 0; i < T.MisoBits; ++i) {
    const int32_t From = C.Skip + int32_t(i); // the bit of the answer that clock i samples
    if (From >= 0 && uint32_t(From) / 8 < InLen && !Bit(In, uint32_t(From)))
      T.Miso[i / 8] = uint8_t(T.Miso[i / 8] & ~(0x80u >> (i % 8)));
  }
}

TSpi1::TSpi1(uint32_t ApbHz, ISpiFlash& F, const ISpiPads& P) : Apb(ApbHz), Flash(F), Pads(P) {
  // The clock equal to the APB clock until the program sets a divider; CS0 enabled.
  R(RegClock) = 1u << 31;
  R(RegPin) = 0x6;
}

bool TSpi1::Access(int64_t Now, uint32_t Offset, bool Write, uint8_t Width, uint32_t& Value,
                   std::string& Why) {
  const bool Known = Offset == RegCmd || Offset == RegAddr || Offset == RegCtrl ||
                     Offset == RegClock || Offset == RegUser || Offset == RegUser1 ||
                     Offset == RegUser2 || Offset == RegMosiDlen || Offset == RegMisoDlen ||
                     Offset == RegPin || (Offset >= RegW0 && Offset <= RegW15);
  if (!Known) {
    Why = RegName(Offset) + " is not modelled";
    return false;
  }
  if (Width != 4) {
    Why = RegName(Offset) + " takes only 32-bit accesses";
    return false;
  }
  const bool Busy = Now < BusyUntil;
  if (!Write) {
    if (Busy && Offset >= RegW0) {
      Why = "data buffer " + RegName(Offset) +
            " read while the user command is still running: its bits are not all in yet";
      return false;
    }
    Value = Offset == RegCmd ? (Busy ? CmdUsr : 0) : R(Offset);
    return true;
  }
  if (Busy) {
    // Setting the next command up counts as starting it.
    Why = (Offset == RegCmd ? "user command started"
                            : RegName(Offset) + " written for the next command") +
          " before the previous one finished";
    return false;
  }
  if (Offset != RegCmd) {
    R(Offset) = Value;
    return true;
  }
  if (Value == 0) return true;
  if (Value != CmdUsr) {
    Why = "CMD " + Hex32(Value) + ": only SPI_USR (bit 18) is modelled, not the flash operations";
    return false;
  }
  return Start(Now, Why);
}

bool TSpi1::Start(int64_t Now, std::string& Why) {
  const uint32_t User = R(RegUser), User1 = R(RegUser1), User2 = R(RegUser2), Ctrl = R(RegCtrl),
                 Clock = R(RegClock);
  if (User & UserUnmodelled) {
    Why = "USER " + Hex32(User) +
          ": dual, quad, hold, high-part, byte-order or full-duplex "
          "options are not modelled";
    return false;
  }
  if (Ctrl & CtrlUnmodelled) {
    Why = "CTRL " + Hex32(Ctrl) +
          ": reads on more than one line or LSB-first bit order are "
          "not modelled";
    return false;
  }
  // TRM 7.7, SPI_CLOCK_REG: the clock is the APB clock (CLK_EQU_SYSCLK, bit 31), or
  // APB / (CLKDIV_PRE + 1) / (CLKCNT_N + 1), with CLKCNT_H = floor((N + 1) / 2 - 1) and
  // CLKCNT_L = N.
  uint32_t Hz = Apb;
  if (!(Clock & (1u << 31))) {
    const uint32_t Pre = (Clock >> 18) & 0x1FFF, N = (Clock >> 12) & 0x3F, H = (Clock >> 6) & 0x3F,
                   L = Clock & 0x3F;
    if (N == 0 || L != N || H != (N + 1) / 2 - 1) {
      Why = "CLOCK " + Hex32(Clock) + ": CLKCNT_N " + std::to_string(N) + ", H " +
            std::to_string(H) + ", L " + std::to_string(L) +
            " do not make a clock (H must be (N + 1) / 2 - 1, L must be N)";
      return false;
    }
    Hz = uint32_t(uint64_t(Apb) / ((uint64_t(Pre) + 1) * (N + 1)));
  }
  if (Hz == 0 || Hz > MaxSpiHz) {
    Why = "CLOCK " + Hex32(Clock) + " gives " + std::to_string(Hz) + " Hz";
    return false;
  }
  const uint32_t CmdBits = (User & UserCommand) ? (User2 >> 28) + 1 : 0;
  const uint32_t AddrBits = (User & UserAddr) ? (User1 >> 26) + 1 : 0;
  const uint32_t Dummy = (User & UserDummy) ? (User1 & 0xFF) + 1 : 0;
  const uint32_t OutBits = (User & UserMosi) ? (R(RegMosiDlen) & 0xFFFFFF) + 1 : 0;
  const uint32_t InBits = (User & UserMiso) ? (R(RegMisoDlen) & 0xFFFFFF) + 1 : 0;
  if (OutBits > 512 || InBits > 512) {
    Why = "a data phase of " + std::to_string(OutBits > 512 ? OutBits : InBits) +
          " bits, more than W0..W15 hold (512)";
    return false;
  }

  TSpiTransfer T;
  TBits Out{T.Mosi.data(), 0, uint32_t(T.Mosi.size() * 8)};
  // Command: COMMAND_VALUE's low bits, most significant first. Address: ADDR from bit 31
  // down. Dummy clocks: the line held low. Data: W0's low byte first, each byte MSB first.
  Out.Put(User2 & 0xFFFF, CmdBits);
  for (uint32_t i = 0; i < AddrBits; ++i)
    Out.Put((R(RegAddr) >> (31 - i)) & 1, 1);
  Out.N += Dummy;
  for (uint32_t i = 0; i < OutBits; i += 8) {
    const uint32_t Byte = (Regs[RegW0 / 4 + i / 32] >> (8 * ((i / 8) % 4))) & 0xFF;
    const uint32_t Bits = OutBits - i < 8 ? OutBits - i : 8;
    Out.Put(Byte >> (8 - Bits), Bits);
  }
  T.MosiBits = Out.N;
  T.MisoBits = InBits;
  T.Miso.fill(0xFF);
  T.ClockHz = Hz;
  T.At = Now;
  const uint32_t Clocks =
      T.MosiBits + InBits + ((User & UserCsSetup) ? 1 : 0) + ((User & UserCsHold) ? 1 : 0);
  T.Ns = std::llround(1e9 * Clocks / Hz + 1e9 * SetupApbCycles / Apb);
  BusyUntil = Now + T.Ns;
  ++Count;

  LastUnheard = Pads.FlashPadsWrong();
  if (LastUnheard.empty() && (R(RegPin) & PinCs0Dis)) LastUnheard = "CS0 is disabled (PIN bit 0)";
  if (LastUnheard.empty()) Flash.Transfer(T);
  // The read data lands in W0.. from its low byte on.
  for (uint32_t i = 0; i * 8 < InBits; ++i) {
    uint32_t& W = Regs[RegW0 / 4 + i / 4];
    const uint32_t Shift = 8 * (i % 4);
    W = (W & ~(0xFFu << Shift)) | uint32_t(T.Miso[i]) << Shift;
  }
  return true;
}

} // namespace xtsim
