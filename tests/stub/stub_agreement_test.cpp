// The virtual board runs the stub's core behind its own UART, register map and
// NOR flash model; the tests' simulation runs it behind theirs. Both must give
// the same answers to the same requests and leave the same flash. The board is
// started the real way: the committed blob goes through its ROM loader
// (MEM_BEGIN, MEM_DATA, MEM_END), so its checks of the blob's layout run too.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "StubScript.h"
#include "StubSim.h"
#include "StubWire.h"
#include "VbEngine.h"
#include "stub_core.h"

namespace {

TEST(StubAgreement, HostCoreAndVirtualBoardAnswerTheSameScript) {
  const TBytes Blob = ReadBlob();
  ASSERT_EQ(Blob.size(), 3394u);
  const TBytes Code(Blob.begin() + 22, Blob.begin() + 22 + 3288);
  const TBytes Data(Blob.begin() + 3364, Blob.begin() + 3368);
  const uint32_t TextStart = Le32(Blob, 3330), Entry = Le32(Blob, 3347),
                 DataStart = Le32(Blob, 3388);

  vboard::TBoardOptions Opt;
  vboard::TFlash BoardFlash;
  vboard::TChipEngine Board(Opt, BoardFlash);
  Board.EnterLoader();
  for (const TBytes& Step :
       {Request(0x05, Words({3288, 0, 6144, TextStart})),
        Request(0x07, Cat(Words({3288, 0, 0, 0}), Code)),
        Request(0x05, Words({4, 1, 6144, DataStart})),
        Request(0x07, Cat(Words({4, 0, 0, 0}), Data)), Request(0x06, Words({0, Entry}))})
    Board.Feed(Step);
  auto Upload = Answers(Board.TakeOutput());
  ASSERT_EQ(Board.Mode(), vboard::TChipEngine::TMode::Stub) << Show(Upload);
  ASSERT_EQ(Upload.size(), 6u) << Show(Upload);

  TStubSim Sim;
  Sim.Regs[0x40001000] = vboard::ChipIdWord(Opt.Chip);
  // Both flashes start with the same old contents, so an erase of more than
  // the data covers shows as a difference from them.
  ASSERT_EQ(Sim.Flash.size(), size_t(vboard::TFlash::Size));
  const TAgreementScript Script = AgreementScript(Sim.Flash.size());
  Sim.Flash = Script.Old;
  BoardFlash.Program(0, Script.Old.data(), uint32_t(Script.Old.size()));
  auto Core = std::make_unique<stub>();
  stub_init(Core.get());
  stub_send_greeting();
  // Both greet with the same single frame.
  EXPECT_EQ(Answers(Sim.Out)[0].Data, Upload[5].Data);
  EXPECT_EQ(Upload[5].Data, (TBytes{'O', 'H', 'A', 'I'}));

  for (auto& Step : Script.Steps) {
    SCOPED_TRACE(Step.Name);
    Board.Feed(Step.In);
    auto B = Answers(Board.TakeOutput());
    Sim.Out.clear();
    Sim.In.assign(Step.In.begin(), Step.In.end());
    while (stub_service(Core.get())) {
    }
    auto H = Answers(Sim.Out);
    EXPECT_EQ(SameAnswer(H, B, Step.Value), "") << "host against board";
    EXPECT_EQ(Script.CheckAfter(Step.Name, Sim.Flash), "");
    if (std::string(Step.Name).rfind("FLASH_END", 0) == 0) {
      EXPECT_TRUE(std::equal(Sim.Flash.begin(), Sim.Flash.end(), BoardFlash.Bytes().begin()));
    }
  }
  for (const auto& f : Sim.Faults)
    ADD_FAILURE() << "flash misuse: " << f;
}

} // namespace
