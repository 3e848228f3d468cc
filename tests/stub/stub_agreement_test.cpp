// The virtual board runs the stub's core behind its own UART, register map and
// NOR flash model; the tests' simulation runs it behind theirs. Both must give
// the same answers to the same requests and leave the same flash. The board is
// started the real way: the committed blob goes through its ROM loader
// (MEM_BEGIN, MEM_DATA, MEM_END), so its checks of the blob's layout run too.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "StubSim.h"
#include "StubWire.h"
#include "VbEngine.h"
#include "stub_core.h"

namespace {

TBytes ReadBlob() {
  std::ifstream f(QUORVEX_STUB_BLOB, std::ios::binary);
  return TBytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

uint32_t Le32(const TBytes& b, size_t At) {
  return uint32_t(b[At] | b[At + 1] << 8 | b[At + 2] << 16 | uint32_t(b[At + 3]) << 24);
}

std::string Show(const std::vector<TAnswer>& As) {
  std::ostringstream o;
  for (const TAnswer& a : As) {
    o << std::hex << "[dir " << int(a.Dir) << " cmd " << int(a.Cmd) << " size " << a.Size
      << " value " << a.Value << " data";
    for (uint8_t b : a.Data)
      o << ' ' << int(b);
    o << "] ";
  }
  return o.str();
}

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
  TBytes Old(Sim.Flash.size());
  for (size_t i = 0; i < Old.size(); ++i)
    Old[i] = uint8_t((i * 13) ^ (i >> 12));
  Sim.Flash = Old;
  BoardFlash.Program(0, Old.data(), uint32_t(Old.size()));
  auto Core = std::make_unique<stub>();
  stub_init(Core.get());
  stub_send_greeting();
  // Both greet with the same single frame.
  EXPECT_EQ(Answers(Sim.Out)[0].Data, Upload[5].Data);
  EXPECT_EQ(Upload[5].Data, (TBytes{'O', 'H', 'A', 'I'}));

  TBytes Image(10000);
  for (size_t i = 0; i < Image.size(); ++i)
    Image[i] = uint8_t(i * 7 + (i >> 8));
  auto Block = [&](uint32_t Seq) {
    size_t From = Seq * 4096u, n = std::min<size_t>(4096, Image.size() - From);
    return TBytes(Image.begin() + From, Image.begin() + From + n);
  };
  TBytes Table(3072); // a partition table: 16 KiB announced, settings follow at 0x9000
  for (size_t i = 0; i < Table.size(); ++i)
    Table[i] = uint8_t(0xA5 ^ i);
  TBytes BadSum = Slip(Packet(0x03, Cat(Words({4096, 1, 0, 0}), Block(1)),
                              ProgramChecksum(Cat(Words({4096, 1, 0, 0}), Block(1))) ^ 0x5A));
  struct {
    const char* Name;
    TBytes In;
    bool Value; // the answer's value word is defined and compared
  } Script[] = {
      {"FLASH_BEGIN", Request(0x02, Words({12288, 3, 4096, 0x10000})), false},
      {"block 0", FlashData(0, Block(0)), false},
      {"block 1, bad checksum", BadSum, false},
      {"block 2 before block 1", FlashData(2, Block(2)), false},
      {"block 1", FlashData(1, Block(1)), false},
      {"block 2", FlashData(2, Block(2)), false},
      {"FLASH_END", Request(0x04, Words({1})), false},
      {"block after the end", FlashData(3, Block(0)), false},
      {"FLASH_BEGIN partition table", Request(0x02, Words({16384, 1, 16384, 0x8000})), false},
      {"partition table", FlashData(0, Table), false},
      {"FLASH_END partition table", Request(0x04, Words({1})), false},
      {"READ_REG chip id", Request(0x0A, Words({0x40001000})), true},
      {"ERASE_FLASH", Request(0xD0, {}), false},
      {"unknown command", Request(0x77, Words({1, 2})), false},
  };
  for (auto& Step : Script) {
    SCOPED_TRACE(Step.Name);
    Board.Feed(Step.In);
    auto B = Answers(Board.TakeOutput());
    Sim.Out.clear();
    Sim.In.assign(Step.In.begin(), Step.In.end());
    while (stub_service(Core.get())) {
    }
    auto H = Answers(Sim.Out);
    ASSERT_EQ(B.size(), 1u) << "board: " << Show(B);
    ASSERT_EQ(H.size(), 1u) << "host: " << Show(H);
    EXPECT_EQ(H[0].Dir, B[0].Dir);
    EXPECT_EQ(H[0].Cmd, B[0].Cmd);
    EXPECT_EQ(H[0].Size, B[0].Size);
    EXPECT_EQ(H[0].Data, B[0].Data) << "host: " << Show(H) << " board: " << Show(B);
    if (Step.Value) {
      EXPECT_EQ(H[0].Value, B[0].Value);
    }
    auto Kept = [&](size_t From, size_t To) {
      return std::equal(Old.begin() + From, Old.begin() + To, Sim.Flash.begin() + From);
    };
    auto Erased = [&](size_t From, size_t To) {
      return std::all_of(Sim.Flash.begin() + From, Sim.Flash.begin() + To,
                         [](uint8_t b) { return b == 0xFF; });
    };
    if (std::string(Step.Name) == "FLASH_END") {
      // Both wrote the image into the sectors it covers and left the rest alone.
      EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Sim.Flash.begin() + 0x10000));
      EXPECT_TRUE(Erased(0x10000 + Image.size(), 0x13000));
      EXPECT_TRUE(Kept(0, 0x10000));
      EXPECT_TRUE(Kept(0x13000, Old.size()));
      EXPECT_TRUE(std::equal(Sim.Flash.begin(), Sim.Flash.end(), BoardFlash.Bytes().begin()));
    }
    if (std::string(Step.Name) == "FLASH_END partition table") {
      // The bytes after the table inside the announced 16 KiB survive on both.
      EXPECT_TRUE(std::equal(Table.begin(), Table.end(), Sim.Flash.begin() + 0x8000));
      EXPECT_TRUE(Erased(0x8000 + Table.size(), 0x9000));
      EXPECT_TRUE(Kept(0x9000, 0x10000));
      EXPECT_TRUE(std::equal(Sim.Flash.begin(), Sim.Flash.end(), BoardFlash.Bytes().begin()));
    }
  }
  for (const auto& f : Sim.Faults)
    ADD_FAILURE() << "flash misuse: " << f;
}

} // namespace
