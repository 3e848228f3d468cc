// The stub's own machine code on the simulated ESP32 (XtEsp32Chip: UART0, SPI1, the flash
// pads, the watchdogs, as the TRM describes them): the committed blob's code and data
// loaded where the program uploads them (the addresses from the blob), started at the
// blob's entry with the state the ROM leaves, and the agreement script of tests/stub
// replayed against it and against the stub's core built for the host. Every answer byte
// must be the same, and so must the flash afterwards; any access the chip model refuses
// ends the run with its fault report.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>

#include "StubScript.h"
#include "StubSim.h"
#include "StubWire.h"
#include "XtElf.h"
#include "XtEsp32Chip.h"
#include "stub_core.h"

namespace {

// Where the program's upload (ESP32_InstallStub) takes each value from in the blob.
struct TBlob {
  TBytes Code, Data;
  uint32_t CodeAddr = 0, DataAddr = 0, Entry = 0;
};

TBlob Parse(const TBytes& B) {
  TBlob S;
  const uint32_t CodeLen = Le32(B, 18);
  S.CodeAddr = Le32(B, 3330);
  S.Entry = Le32(B, 3347);
  const uint8_t DataLen = B[3363];
  S.DataAddr = Le32(B, 3388);
  S.Code.assign(B.begin() + 22, B.begin() + 22 + uint16_t(CodeLen));
  S.Data.assign(B.begin() + 3364, B.begin() + 3364 + DataLen);
  return S;
}

constexpr uint32_t ChipId = 0x00F01D83; // the word READ_REG 0x40001000 reads on both

// tests/stub's NOR part behind SPI1, taking the transactions as a part frames them.
struct TSimFlash : xtsim::ISpiFlash {
  TStubSim& Sim;
  explicit TSimFlash(TStubSim& S) : Sim(S) {}
  void Transfer(xtsim::TSpiTransfer& T) override {
    xtsim::TNorCommand C;
    if (!xtsim::DecodeNorCommand(T, C)) return;
    uint8_t In[80];
    const uint32_t N = std::min<uint32_t>(xtsim::NorAnswerBytes(T, C), sizeof In);
    Sim.FlashCmd(C.Op | (C.HasAddr ? STUB_FLASH_ADDR : 0) | (C.Dummy ? STUB_FLASH_DUMMY : 0),
                 C.Addr, C.Data, C.DataLen, In, N);
    xtsim::PutNorAnswer(T, C, In, N);
  }
  int64_t NextChange(int64_t) const override { return -1; }
};

class TMachine {
public:
  TStubSim FlashModel; // made first, so the host's binding wins
  TSimFlash Flash{FlashModel};
  std::unique_ptr<xtsim::TEsp32Chip> Chip;
  xtsim::TElf Symbols; // the stub's ELF, for function names in reports
  std::vector<uint8_t> Out;

  explicit TMachine(const TBlob& Blob) {
    xtsim::TEsp32Config C;
    C.ChipIdWord = ChipId;
    C.UartBaud = 2000000; // the script's 10 KiB go through in 50 ms of chip time
    Chip = std::make_unique<xtsim::TEsp32Chip>(C, Flash);
    std::string Error;
    if (Symbols.Load(QUORVEX_XT_STUB_ELF, Error))
      Chip->SetSymbolise([this](uint32_t A) { return Symbols.Symbolise(A); });
    EXPECT_TRUE(Chip->Load(Blob.CodeAddr, Blob.Code.data(), uint32_t(Blob.Code.size())));
    EXPECT_TRUE(Chip->Load(Blob.DataAddr, Blob.Data.data(), uint32_t(Blob.Data.size())));
    Chip->Start(Blob.Entry, 0);
  }

  // Feeds the bytes and runs until the stub has taken them all, sent everything and sits
  // in its loop with nothing left to do (no SPI command for a few idle slices, as the
  // flash model's busy time counts status polls, not time); "" or how it went wrong.
  std::string Step(const TBytes& In) {
    for (uint8_t B : In)
      Chip->Receive(Chip->Now(), B);
    int Quiet = 0;
    for (int Slices = 0; Slices < 20000; ++Slices) {
      const uint64_t Commands = Chip->Spi().Commands();
      const xtsim::TEsp32Chip::TRun R = Chip->RunUntil(Chip->Now() + 1000000);
      const auto Sent = Chip->TakeSent();
      for (const auto& S : Sent)
        if (!S.RateOnly) Out.push_back(S.Byte);
      for (const std::string& N : Chip->TakeNotes())
        ADD_FAILURE() << "chip note: " << N;
      if (R.State == xtsim::TEsp32Chip::TState::Halted ||
          R.State == xtsim::TEsp32Chip::TState::Reset)
        return R.Why;
      if (R.State != xtsim::TEsp32Chip::TState::Idle || !Sent.empty() ||
          Chip->Spi().Commands() != Commands) {
        Quiet = 0;
        continue;
      }
      if (R.Next < 0) return "the core sleeps with nothing to wake it";
      Chip->IdleUntil(R.Next);
      if (Chip->Uart().NextChange(Chip->Now()) < 0 && ++Quiet > 2) return "";
    }
    return "the stub did not come back to its loop";
  }
};

TEST(XtStub, TheBlobAnswersTheAgreementScriptLikeTheHostBuild) {
  const TBytes Raw = ReadBlob();
  ASSERT_EQ(Raw.size(), 3394u);
  const TBlob Blob = Parse(Raw);
  TMachine M(Blob);
  TStubSim Host;
  Host.Regs[0x40001000] = ChipId;
  const TAgreementScript Script = AgreementScript(Host.Flash.size());
  Host.Flash = Script.Old;
  M.FlashModel.Flash = Script.Old;

  // Both greet with the same frame.
  ASSERT_EQ(M.Step({}), "");
  auto Core = std::make_unique<stub>();
  stub_init(Core.get());
  stub_send_greeting();
  EXPECT_EQ(M.Out, Host.Out);
  EXPECT_EQ(Answers(M.Out).size(), 1u);
  // What start.S and stub_main do before the core runs: interrupts masked, EXCM and WOE
  // clear; the watchdogs that run at the entry stopped; the flash pads on SPI1.
  EXPECT_EQ(M.Chip->Core().Ps() & 0x4001F, 0x0Fu);
  EXPECT_EQ(M.Chip->Core().ReadSpecial(xtsim::SrIntenable), 0u);
  for (auto W : {xtsim::TWatchdogs::Mwdt0, xtsim::TWatchdogs::Mwdt1, xtsim::TWatchdogs::Rwdt})
    EXPECT_FALSE(M.Chip->Watchdogs().Running(W)) << "watchdog " << W;
  EXPECT_EQ(M.Chip->FlashPads(), "");

  size_t Bytes = 0;
  for (const TScriptStep& Step : Script.Steps) {
    SCOPED_TRACE(Step.Name);
    M.Out.clear();
    ASSERT_EQ(M.Step(Step.In), "");
    Host.Out.clear();
    Host.In.assign(Step.In.begin(), Step.In.end());
    while (stub_service(Core.get())) {
    }
    const auto X = Answers(M.Out), H = Answers(Host.Out);
    EXPECT_EQ(SameAnswer(X, H, Step.Value), "") << "blob against host";
    Bytes += M.Out.size();
    EXPECT_EQ(Script.CheckAfter(Step.Name, M.FlashModel.Flash), "");
    EXPECT_TRUE(M.FlashModel.Flash == Host.Flash) << "the flashes differ";
  }
  for (const std::string& F : M.FlashModel.Faults)
    ADD_FAILURE() << "flash misuse by the blob: " << F;
  std::cout << "blob: " << Script.Steps.size() << " requests, " << Bytes << " answer bytes, "
            << M.Chip->Spi().Commands() << " SPI transactions, " << M.Chip->Core().Instructions()
            << " instructions, " << M.Chip->Core().Cycles() << " cycles\n";
}

} // namespace

namespace {

// A stub polling an empty UART for a second of the board's time: its loop cannot see a
// change, so the chip skips ahead instead of running 40 million cycles one by one; the
// second still passes on CCOUNT.
TEST(XtStub, AnIdleStubSkipsAheadInsteadOfRunningEveryCycle) {
  const TBlob Blob = Parse(ReadBlob());
  TMachine M(Blob);
  ASSERT_EQ(M.Step({}), "");
  const uint64_t Instructions = M.Chip->Core().Instructions();
  const uint32_t Ccount = M.Chip->Core().ReadSpecial(xtsim::SrCcount);
  const int64_t Until = M.Chip->Now() + 1000000000;
  while (M.Chip->Now() < Until) {
    const xtsim::TEsp32Chip::TRun R = M.Chip->RunUntil(Until);
    ASSERT_NE(R.State, xtsim::TEsp32Chip::TState::Halted) << R.Why;
    EXPECT_TRUE(M.Chip->TakeSent().empty()) << "nothing to say without a request";
    if (R.State == xtsim::TEsp32Chip::TState::Idle) M.Chip->IdleUntil(std::min(R.Next, Until));
  }
  EXPECT_LT(M.Chip->Core().Instructions() - Instructions, 200000u);
  EXPECT_GE(uint32_t(M.Chip->Core().ReadSpecial(xtsim::SrCcount) - Ccount), 40000000u);
}

} // namespace
