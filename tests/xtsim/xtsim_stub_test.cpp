// The stub's own machine code on the simulated core: the committed blob's code and data
// loaded where the program uploads them (the addresses from the blob), started at the
// blob's entry with the ROM's state left behind (no stack, garbage in RAM), and the
// agreement script of tests/stub replayed against it and against the stub's core built
// for the host. Every answer byte must be the same, and so must the flash afterwards.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>

#include "StubScript.h"
#include "StubSim.h"
#include "StubWire.h"
#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "XtStubBoard.h"
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

class TMachine {
public:
  TStubSim FlashModel; // the NOR part behind SPI1; made first, so the host's binding wins
  xtsim::TMemory Mem;
  xtsim::TEsp32Memories Ram = xtsim::AddEsp32Memories(Mem);
  TStubBoard Board{Mem, FlashModel};
  xtsim::TCore Core{Mem};
  xtsim::TElf Symbols; // the stub's ELF, for function names in reports

  explicit TMachine(const TBlob& Blob) {
    std::string Error;
    Symbols.Load(QUORVEX_XT_STUB_ELF, Error);
    // What the ROM leaves: RAM holding old data, not zeros; its own stack pointer, which
    // is not the stub's; PS with the windowed ABI's WOE and interrupts unmasked.
    const std::vector<uint8_t> Garbage(xtsim::esp32::Sram2Size, 0xA5);
    EXPECT_TRUE(Mem.Write(xtsim::esp32::Sram2Base, Garbage.data(), uint32_t(Garbage.size())));
    EXPECT_TRUE(Mem.Write(0x40001000, &ChipId, 4));
    EXPECT_TRUE(Mem.Write(Blob.CodeAddr, Blob.Code.data(), uint32_t(Blob.Code.size())));
    EXPECT_TRUE(Mem.Write(Blob.DataAddr, Blob.Data.data(), uint32_t(Blob.Data.size())));
    Core.SetClockHz(40000000);
    Core.Reset(Blob.Entry, 0x00040020);
    Core.A[1] = 0xDEADBEE0;
  }

  // Runs until the stub is idle again; "" or how it went wrong.
  std::string RunUntilIdle() {
    const xtsim::TStop S = Core.Run(50000000);
    if (S.Reason == xtsim::TStopReason::Stopped && S.Why == "idle") return "";
    if (S.Reason == xtsim::TStopReason::Fault)
      return xtsim::FaultReport(Core.Fault(), [&](uint32_t A) { return Symbols.Symbolise(A); });
    return "the stub did not come back to idle: " + S.Why;
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
  ASSERT_EQ(M.RunUntilIdle(), "");
  auto Core = std::make_unique<stub>();
  stub_init(Core.get());
  stub_send_greeting();
  EXPECT_EQ(M.Board.Out, Host.Out);
  EXPECT_EQ(Answers(M.Board.Out).size(), 1u);
  // What start.S and stub_main do before the core runs.
  EXPECT_EQ(M.Core.Ps() & 0x4001F, 0x0Fu) << "PS: interrupts masked, EXCM and WOE clear";
  EXPECT_EQ(M.Core.ReadSpecial(xtsim::SrIntenable), 0u);
  EXPECT_EQ(M.Board.WatchdogsOff, 3u);
  EXPECT_GE(M.Board.PadsSet, 6u);

  size_t Bytes = 0;
  for (const TScriptStep& Step : Script.Steps) {
    SCOPED_TRACE(Step.Name);
    M.Board.Out.clear();
    M.Board.In.assign(Step.In.begin(), Step.In.end());
    ASSERT_EQ(M.RunUntilIdle(), "");
    Host.Out.clear();
    Host.In.assign(Step.In.begin(), Step.In.end());
    while (stub_service(Core.get())) {
    }
    const auto X = Answers(M.Board.Out), H = Answers(Host.Out);
    EXPECT_EQ(SameAnswer(X, H, Step.Value), "") << "blob against host";
    Bytes += M.Board.Out.size();
    EXPECT_EQ(Script.CheckAfter(Step.Name, M.FlashModel.Flash), "");
    EXPECT_TRUE(M.FlashModel.Flash == Host.Flash) << "the flashes differ";
  }
  for (const std::string& F : M.FlashModel.Faults)
    ADD_FAILURE() << "flash misuse by the blob: " << F;
  for (const std::string& F : M.Board.Misuse)
    ADD_FAILURE() << "hardware misuse by the blob: " << F;
  std::cout << "blob: " << Script.Steps.size() << " requests, " << Bytes << " answer bytes, "
            << M.Board.Transactions << " SPI transactions, " << M.Core.Instructions()
            << " instructions, " << M.Core.Cycles() << " cycles\n";
}

} // namespace
