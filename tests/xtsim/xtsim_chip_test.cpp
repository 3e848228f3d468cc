// The ESP32's peripherals as the chip model has them, through their registers: UART0's
// rate, FIFOs and status; SPI1's phases, timing and busy rules; the NOR framing a flash
// model takes the transactions by; the watchdogs' protection, feeding and reset.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "XtSpi1.h"
#include "XtUart0.h"
#include "XtWatchdogs.h"

using namespace xtsim;

namespace {

constexpr uint32_t Apb = 40000000;

// One register access; "" or the refusal.
std::string Do(TUart0& U, int64_t Now, uint32_t Off, bool Write, uint32_t& V, bool Ahb = false,
               uint8_t Width = 4) {
  std::string Why;
  return U.Access(Now, Ahb, Off, Write, Width, V, Why) ? "" : Why;
}

uint32_t Read(TUart0& U, int64_t Now, uint32_t Off) {
  uint32_t V = 0;
  EXPECT_EQ(Do(U, Now, Off, false, V), "");
  return V;
}

void Send(TUart0& U, int64_t Now, uint8_t B) {
  uint32_t V = B;
  EXPECT_EQ(Do(U, Now, 0, true, V, true), "");
}

} // namespace

// The bit rate is the APB clock over the divider; the divider the loader leaves is the
// nearest in sixteenths; bytes leave one frame (10 bits) apart, and a new divider counts
// from the next byte on the line.
TEST(XtUart0, RateFromTheDividerAndBytesAFrameApart) {
  const struct {
    uint32_t Hz, Baud, Div16;
  } Cases[] = {{40000000, 115200, 5556},
               {40000000, 921600, 694},
               {26000000, 921600, 451},
               {40000000, 2000000, 320}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Hz) + " Hz, " + std::to_string(C.Baud));
    EXPECT_EQ(TUart0::DividerFor(C.Hz, C.Baud), C.Div16);
    TUart0 U(C.Hz);
    U.SetDivider16(C.Div16);
    EXPECT_NEAR(U.Baud(), C.Baud, C.Baud * 0.01);
    // CLKDIV 19:0 and CLKDIV_FRAG 23:20 hold the divider.
    EXPECT_EQ(Read(U, 0, 0x14), (C.Div16 >> 4) | (C.Div16 & 15) << 20);
    for (uint8_t B : {0x11, 0x22, 0x33})
      Send(U, 1000, B);
    U.Advance(1000000000);
    const auto S = U.TakeSent();
    ASSERT_EQ(S.size(), 3u);
    const double Frame = 10e9 / U.Baud();
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(double(S[i].At), 1000 + i * Frame, 2.0);
      EXPECT_NEAR(S[i].Baud, U.Baud(), 1e-6);
    }
  }
  // A divider written while the first byte is on the line: the second goes at the new rate.
  TUart0 U(Apb);
  Send(U, 0, 1);
  Send(U, 0, 2);
  uint32_t Div = 43 | 6u << 20; // 921600 from 40 MHz
  EXPECT_EQ(Do(U, 10, 0x14, true, Div), "");
  U.Advance(1000000000);
  const auto S = U.TakeSent();
  ASSERT_EQ(S.size(), 3u);
  EXPECT_NEAR(S[0].Baud, 115200, 100);
  EXPECT_TRUE(S[1].RateOnly) << "the new rate from the write on";
  EXPECT_EQ(S[1].At, 10);
  EXPECT_NEAR(S[2].Baud, 40e6 * 16 / (43 * 16 + 6), 1);
}

// STATUS: RXFIFO_CNT, TXFIFO_CNT and the transmitter's state; MEM_RX_STATUS's pointers
// apart by the bytes waiting. The receiver takes no more than its rate allows, and a
// full RX FIFO drops bytes.
TEST(XtUart0, StatusCountsAndTheReceiver) {
  TUart0 U(Apb);
  U.SetDivider16(TUart0::DividerFor(Apb, 921600));
  const int64_t Frame = int64_t(10e9 / U.Baud());
  EXPECT_EQ(Read(U, 0, 0x1C), 0x80008000u) << "idle: TXD and RXD high, FIFOs empty";
  uint32_t M = Read(U, 0, 0x60);
  EXPECT_EQ((M >> 2) & 0x7FF, (M >> 13) & 0x7FF);
  for (int i = 0; i < 3; ++i)
    Send(U, 0, uint8_t(i));
  uint32_t S = Read(U, 1, 0x1C);
  EXPECT_EQ((S >> 16) & 0xFF, 2u) << "one byte on the line, two waiting";
  EXPECT_NE((S >> 24) & 0xF, 0u);
  S = Read(U, 3 * Frame + 10, 0x1C);
  EXPECT_EQ(S & 0xFFFF0000u, 0x80000000u) << "all sent, transmitter idle";

  // Three bytes delivered at once arrive one receive time apart.
  for (uint8_t B : {7, 8, 9})
    U.Receive(100, B);
  EXPECT_EQ(Read(U, 100, 0x1C) & 0xFF, 1u);
  EXPECT_EQ(Read(U, 100 + Frame, 0x1C) & 0xFF, 2u);
  EXPECT_EQ(Read(U, 100 + 2 * Frame, 0x1C) & 0xFF, 3u);
  M = Read(U, 100 + 2 * Frame, 0x60);
  EXPECT_EQ((((M >> 13) & 0x7FF) - ((M >> 2) & 0x7FF)) & 0x7F, 3u);
  for (uint32_t B : {7u, 8u, 9u})
    EXPECT_EQ(Read(U, 100 + 2 * Frame, 0), B);
  // 130 bytes paced by the line while nobody reads: the last two have no room.
  for (int i = 0; i < 130; ++i)
    U.Receive(10000000 + i * Frame, uint8_t(i));
  EXPECT_EQ(Read(U, 10000000 + 131 * Frame, 0x1C) & 0xFF, 128u);
  EXPECT_EQ(U.Overflows(), 2u);
}

// What the hardware leaves undefined, and what is not modelled, is refused with why.
TEST(XtUart0, RefusalsNameTheirCause) {
  TUart0 U(Apb);
  for (int i = 0; i < 129; ++i) // the first goes onto the line at once
    Send(U, 0, 0);
  const struct {
    const char* Name;
    uint32_t Off;
    bool Write, Ahb;
    uint8_t Width;
    const char* Why;
  } Cases[] = {
      {"TX through DPORT", 0x00, true, false, 4, "TX FIFO written through the DPORT address"},
      {"RX through AHB", 0x00, false, true, 4, "RX FIFO read through the AHB address"},
      {"RX while empty", 0x00, false, false, 4, "RX FIFO read while it is empty"},
      {"TX while full", 0x00, true, true, 4, "TX FIFO written while it holds 128 bytes"},
      {"CONF0", 0x20, false, false, 4, "register 0x20 CONF0 is not modelled"},
      {"AUTOBAUD", 0x18, false, false, 4, "register 0x18 AUTOBAUD is not modelled"},
      {"STATUS written", 0x1C, true, false, 4, "register 0x1c is read-only"},
      {"a byte of CLKDIV", 0x14, false, false, 1, "takes only 32-bit accesses"},
      {"CLKDIV 0", 0x14, true, false, 4, "integer part of 0"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    uint32_t V = 0;
    const std::string Why = Do(U, 0, C.Off, C.Write, V, C.Ahb, C.Width);
    EXPECT_NE(Why.find(C.Why), std::string::npos) << Why;
  }
}

namespace {

// A flash that records what it saw and answers with fixed bytes.
struct TRecorder : ISpiFlash {
  std::vector<TSpiTransfer> Seen;
  uint8_t Answer[8] = {0xEF, 0x40, 0x16, 0x00};
  void Transfer(TSpiTransfer& T) override {
    Seen.push_back(T);
    TNorCommand C;
    if (DecodeNorCommand(T, C)) PutNorAnswer(T, C, Answer, sizeof Answer);
  }
  int64_t NextChange(int64_t) const override { return -1; }
};
struct TPads : ISpiPads {
  std::string Wrong;
  std::string FlashPadsWrong() const override { return Wrong; }
};

struct TSpiRig {
  TRecorder Flash;
  TPads Pads;
  TSpi1 Spi{Apb, Flash, Pads};
  std::string Set(int64_t Now, uint32_t Off, uint32_t V) {
    std::string Why;
    return Spi.Access(Now, Off, true, 4, V, Why) ? "" : Why;
  }
  uint32_t Get(int64_t Now, uint32_t Off, std::string* Why = nullptr) {
    uint32_t V = 0;
    std::string W;
    if (!Spi.Access(Now, Off, false, 4, V, W) && Why) *Why = W;
    return V;
  }
  // A command as the stub sets one up: USER2 with the 8-bit opcode, USER's phases.
  std::string Command(int64_t Now, uint32_t Op, uint32_t User, uint32_t MisoBits = 0) {
    std::string W = Set(Now, 0x24, 7u << 28 | Op);
    if (MisoBits) W += Set(Now, 0x2C, MisoBits - 1);
    W += Set(Now, 0x1C, User);
    return W + Set(Now, 0x00, 1u << 18);
  }
};

} // namespace

// The phases go out as USER enables them: the opcode's low bits, the address from
// ADDR's bit 31 down, the dummy clocks, W0's bytes; the read data lands in W0 from its
// low byte. The command takes its clocks at the rate CLOCK sets, CMD's USR bit set
// meanwhile.
TEST(XtSpi1, PhasesTimingAndTheDataBuffer) {
  TSpiRig R;
  // 10 MHz from 40 MHz: CLKCNT_N 3, H 1, L 3.
  EXPECT_EQ(R.Set(0, 0x18, 3u << 12 | 1u << 6 | 3u), "");
  // JEDEC id: 8 command bits, 24 read; CS set-up and hold one clock each.
  EXPECT_EQ(R.Command(0, 0x9F, 1u << 31 | 1u << 28 | 1u << 5 | 1u << 4, 24), "");
  ASSERT_EQ(R.Flash.Seen.size(), 1u);
  EXPECT_EQ(R.Flash.Seen[0].MosiBits, 8u);
  EXPECT_EQ(R.Flash.Seen[0].Mosi[0], 0x9F);
  EXPECT_EQ(R.Flash.Seen[0].ClockHz, 10000000u);
  const int64_t Ns = R.Flash.Seen[0].Ns;
  EXPECT_EQ(Ns, (8 + 24 + 2) * 100 + 50) << "34 clocks of 100 ns and the set-up";
  EXPECT_EQ(R.Get(Ns - 1, 0x00), 1u << 18);
  EXPECT_EQ(R.Get(Ns, 0x00), 0u);
  EXPECT_EQ(R.Get(Ns, 0x80) & 0xFFFFFF, 0x1640EFu);

  // A read at 0x123456: the address phase is ADDR's top 24 bits. SFDP: 8 dummy clocks.
  EXPECT_EQ(R.Set(Ns, 0x20, 23u << 26 | 7u), "");
  EXPECT_EQ(R.Set(Ns, 0x04, 0x123456u << 8), "");
  EXPECT_EQ(R.Command(Ns, 0x5A, 1u << 31 | 1u << 30 | 1u << 29 | 1u << 28, 32), "");
  ASSERT_EQ(R.Flash.Seen.size(), 2u);
  const TSpiTransfer& T = R.Flash.Seen[1];
  EXPECT_EQ(T.MosiBits, 8u + 24 + 8);
  EXPECT_EQ((std::vector<uint8_t>(T.Mosi.begin(), T.Mosi.begin() + 4)),
            (std::vector<uint8_t>{0x5A, 0x12, 0x34, 0x56}));
  // Page program: W0's bytes in order after the address.
  const int64_t T2 = 1000000;
  EXPECT_EQ(R.Set(T2, 0x80, 0x44332211), "");
  EXPECT_EQ(R.Set(T2, 0x28, 31), "");
  EXPECT_EQ(R.Command(T2, 0x02, 1u << 31 | 1u << 30 | 1u << 27), "");
  const TSpiTransfer& P = R.Flash.Seen[2];
  EXPECT_EQ(P.MosiBits, 8u + 24 + 32);
  EXPECT_EQ((std::vector<uint8_t>(P.Mosi.begin() + 4, P.Mosi.begin() + 8)),
            (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

// While a command runs the controller takes nothing new; what it does not model, and a
// clock whose fields disagree, are refused; unrouted pads or a disabled CS0 leave the
// flash out and the data line high.
TEST(XtSpi1, BusyRulesRefusalsAndUnheardCommands) {
  TSpiRig R;
  EXPECT_EQ(R.Command(0, 0x05, 1u << 31 | 1u << 28, 8), "");
  std::string Why;
  R.Get(1, 0x80, &Why);
  EXPECT_NE(Why.find("read while the user command is still running"), std::string::npos) << Why;
  EXPECT_NE(R.Set(1, 0x24, 0)
                .find("USER2 written for the next command before the previous one "
                      "finished"),
            std::string::npos);
  EXPECT_NE(R.Set(1, 0x00, 1u << 18)
                .find("user command started before the previous one "
                      "finished"),
            std::string::npos);
  const int64_t Later = 1000000;
  const struct {
    const char* Name;
    uint32_t Off, Value;
    const char* Why;
  } Cases[] = {
      {"H not (N + 1) / 2 - 1", 0x18, 3u << 12 | 2u << 6 | 3u, "do not make a clock"},
      {"dual write", 0x1C, 1u << 31 | 1u << 12, "dual, quad"},
      {"quad read", 0x08, 1u << 20, "reads on more than one line"},
      {"LSB first", 0x08, 1u << 26, "LSB-first"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSpiRig Q;
    EXPECT_EQ(Q.Set(0, C.Off, C.Value), "");
    const std::string W = Q.Set(0, 0x00, 1u << 18);
    EXPECT_NE(W.find(C.Why), std::string::npos) << W;
  }
  EXPECT_NE(R.Set(Later, 0x00, 1u << 31).find("only SPI_USR"), std::string::npos);
  EXPECT_NE(R.Set(Later, 0x0C, 0).find("register 0x0c is not modelled"), std::string::npos);

  for (const char* Case : {"pads", "CS0"}) {
    SCOPED_TRACE(Case);
    TSpiRig Q;
    if (std::string(Case) == "pads")
      Q.Pads.Wrong = "GPIO6 (SPICLK) is on IO_MUX function 0";
    else
      Q.Set(0, 0x34, 0x7);
    EXPECT_EQ(Q.Set(0, 0x80, 0), "");
    EXPECT_EQ(Q.Command(0, 0x9F, 1u << 31 | 1u << 28, 24), "");
    EXPECT_TRUE(Q.Flash.Seen.empty());
    EXPECT_NE(Q.Spi.Unheard(), "");
    EXPECT_EQ(Q.Get(Later, 0x80) & 0xFFFFFF, 0xFFFFFFu);
  }
}

// How a part takes a transaction: its opcode, the address and dummy clocks the opcode
// has (the read phase's clocks count too), write data in whole bytes; the answer bit the
// controller's first sampled clock gets.
TEST(XtSpiNor, FramingOfTransactions) {
  auto Make = [](std::vector<uint8_t> Bytes, uint32_t MosiBits, uint32_t MisoBits) {
    TSpiTransfer T;
    std::copy(Bytes.begin(), Bytes.end(), T.Mosi.begin());
    T.MosiBits = MosiBits;
    T.MisoBits = MisoBits;
    return T;
  };
  const struct {
    const char* Name;
    TSpiTransfer T;
    bool Taken;
    uint8_t Op;
    bool Addr;
    uint32_t A, DataLen;
    int32_t Skip;
  } Cases[] = {
      {"write enable", Make({0x06}, 8, 0), true, 0x06, false, 0, 0, 0},
      {"status read", Make({0x05}, 8, 8), true, 0x05, false, 0, 0, 0},
      {"page program of 3 bytes and a bit", Make({0x02, 1, 2, 3, 9, 8, 7, 0xFF}, 8 + 24 + 25, 0),
       true, 0x02, true, 0x010203, 3, 25},
      {"SFDP read with its dummy clocks", Make({0x5A, 0, 0, 8, 0}, 40, 64), true, 0x5A, true, 8, 0,
       0},
      {"SFDP read without: a byte late", Make({0x5A, 0, 0, 8}, 32, 64), true, 0x5A, true, 8, 0, -8},
      {"fast read with its dummy clocks", Make({0x0B, 0x01, 0x00, 0x40, 0}, 40, 512), true, 0x0B,
       true, 0x010040, 0, 0},
      {"sector erase cut short", Make({0x20, 0x01}, 16, 0), false, 0x20, false, 0, 0, 0},
      {"32 clocks of ones", Make({0xFF, 0xFF, 0xFF, 0xFF}, 32, 0), true, 0xFF, true, 0xFFFFFF, 0,
       0},
      {"a lone 0xFF", Make({0xFF}, 8, 0), true, 0xFF, false, 0, 0, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TNorCommand N;
    ASSERT_EQ(DecodeNorCommand(C.T, N), C.Taken);
    if (!C.Taken) continue;
    EXPECT_EQ(N.Op, C.Op);
    EXPECT_EQ(N.HasAddr, C.Addr);
    EXPECT_EQ(N.Addr, C.A);
    EXPECT_EQ(N.DataLen, C.DataLen);
    EXPECT_EQ(N.Skip, C.Skip);
  }
  // The late SFDP answer: the first byte sampled is the undriven line, then the table.
  TSpiTransfer T = Make({0x5A, 0, 0, 0}, 32, 16);
  T.Miso.fill(0xFF);
  TNorCommand N;
  ASSERT_TRUE(DecodeNorCommand(T, N));
  const uint8_t Table[2] = {0x53, 0x46};
  EXPECT_EQ(NorAnswerBytes(T, N), 1u);
  PutNorAnswer(T, N, Table, 2);
  EXPECT_EQ(T.Miso[0], 0xFF);
  EXPECT_EQ(T.Miso[1], 0x53);
}

namespace {
std::string Dog(TWatchdogs& W, int64_t Now, TWatchdogs::TWhich Which, uint32_t Off, uint32_t V) {
  std::string Why;
  return W.Access(Now, Which, Off, true, 4, V, Why) ? "" : Why;
}
} // namespace

// Flash boot protection runs MWDT0 and the RWDT into a reset; without the key in
// WPROTECT every other write is ignored; with it, a feed restarts the stage and a zero
// CONFIG0 stops the watchdog. The RWDT is fed by FEED's bit 31 only.
TEST(XtWatchdogs, ProtectionFeedingAndTheReset) {
  const int64_t Ms = 1000000;
  {
    TWatchdogs W(Apb);
    W.ArmFlashBootProtection(0, 1000);
    EXPECT_EQ(W.NextDeadline(), 1000 * Ms);
    EXPECT_FALSE(W.Advance(1000 * Ms - 1));
    EXPECT_TRUE(W.Advance(1000 * Ms));
    EXPECT_EQ(W.Reason(), "TIMG0 watchdog (MWDT0) stage 0 expired: system reset");
  }
  {
    TWatchdogs W(Apb);
    W.ArmFlashBootProtection(0, 1000);
    EXPECT_EQ(Dog(W, Ms, TWatchdogs::Mwdt0, 0x48, 0), "");
    EXPECT_TRUE(W.Running(TWatchdogs::Mwdt0)) << "no key: ignored";
    EXPECT_EQ(W.TakeIgnored().size(), 1u);
    EXPECT_EQ(Dog(W, Ms, TWatchdogs::Mwdt0, 0x64, 0x50D83AA1), "");
    EXPECT_EQ(Dog(W, 900 * Ms, TWatchdogs::Mwdt0, 0x60, 1), "");
    EXPECT_EQ(Dog(W, 900 * Ms, TWatchdogs::Rwdt, 0xA4, 0x50D83AA1), "");
    EXPECT_EQ(Dog(W, 900 * Ms, TWatchdogs::Rwdt, 0xA0, 1), "") << "bit 31 clear: no feed";
    EXPECT_TRUE(W.Advance(1000 * Ms));
    EXPECT_EQ(W.Reason(), "RTC watchdog (RWDT) stage 0 expired: RTC and system reset");
  }
  {
    TWatchdogs W(Apb);
    W.ArmFlashBootProtection(0, 1000);
    for (auto [Which, Base] : {std::pair{TWatchdogs::Mwdt0, 0x48u}, {TWatchdogs::Rwdt, 0x8Cu}}) {
      const uint32_t Protect = Which == TWatchdogs::Rwdt ? 0xA4 : 0x64;
      EXPECT_EQ(Dog(W, Ms, Which, Protect, 0x50D83AA1), "");
      EXPECT_EQ(Dog(W, Ms, Which, Base, 0), "");
      EXPECT_EQ(Dog(W, Ms, Which, Protect, 0), "");
      EXPECT_FALSE(W.Running(Which));
    }
    EXPECT_FALSE(W.Advance(100000 * Ms));
    EXPECT_EQ(W.NextDeadline(), -1);
    std::string Why;
    uint32_t V = 0;
    EXPECT_FALSE(W.Access(0, TWatchdogs::Mwdt0, 0x00, false, 4, V, Why));
    EXPECT_NE(Why.find("only the watchdog's"), std::string::npos);
  }
  {
    // Stage 0 an interrupt nothing takes, stage 1 a CPU reset: the reset comes after both.
    TWatchdogs W(Apb);
    EXPECT_EQ(Dog(W, 0, TWatchdogs::Mwdt1, 0x64, 0x50D83AA1), "");
    EXPECT_EQ(Dog(W, 0, TWatchdogs::Mwdt1, 0x4C, 40000u << 16), "");
    EXPECT_EQ(Dog(W, 0, TWatchdogs::Mwdt1, 0x50, 10), "");
    EXPECT_EQ(Dog(W, 0, TWatchdogs::Mwdt1, 0x54, 20), "");
    EXPECT_EQ(Dog(W, 0, TWatchdogs::Mwdt1, 0x48, 1u << 31 | 1u << 29 | 2u << 27), "");
    EXPECT_FALSE(W.Advance(30 * Ms - 1));
    EXPECT_TRUE(W.Advance(30 * Ms));
    EXPECT_EQ(W.ResetAt(), 30 * Ms);
    EXPECT_EQ(W.Reason(), "TIMG1 watchdog (MWDT1) stage 1 expired: CPU reset");
  }
}
