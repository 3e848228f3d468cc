// The chip engine in process: loader and stub answers, the stub upload checks,
// flash semantics, error statuses and the protocol faults.
#include <gtest/gtest.h>

#include <algorithm>

#include "VbMemory.h"
#include "VbTestUtil.h"

using namespace vboard;
using namespace vbtest;

namespace {

struct TChipFixture {
  TBoardOptions Opt;
  TFlash Flash;
  TChipEngine Chip{Opt, Flash};
  std::vector<TBytes> Send(const TBytes& Wire) {
    Chip.Feed(Wire);
    return Frames(Chip.TakeOutput());
  }
  void StartStub() {
    auto f = Send(StubUpload());
    ASSERT_EQ(f.size(), 6u);
    ASSERT_EQ(f.back(), (TBytes{'O', 'H', 'A', 'I'}));
    ASSERT_EQ(Chip.Mode(), TChipEngine::TMode::Stub);
  }
  TAns One(uint8_t Cmd, const TBytes& Payload, bool Chk = false) {
    auto f = Send(Frame(Cmd, Payload, Chk));
    return f.size() == 1 ? Ans(f[0]) : TAns{0xEE, 0, 0xEE, 0xEE};
  }
};

TEST(VboardEngine, SyncIsAnsweredSeveralTimesAndABadOneFails) {
  TChipFixture c;
  auto f = c.Send(SyncFrame());
  ASSERT_EQ(f.size(), 8u);
  for (const TBytes& a : f)
    EXPECT_EQ(a, (TBytes{0x01, 0x08, 0x02, 0x00, 0, 0, 0, 0, 0, 0}));
  TBytes bad = SyncFrame();
  bad[20] = 0x54;
  f = c.Send(bad);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(Ans(f[0]).Status, 1);
}

TEST(VboardEngine, ReadRegGivesChipIdAndMacWords) {
  struct {
    TChip Chip;
    const char* Mac;
    uint32_t Id;
  } cases[] = {{TChip::Esp32, "24:0A:C4:01:A2:3C", 0x00F01D83},
               {TChip::Esp32S2, "AB:CD:12:34:56:78", 0x000007C6},
               {TChip::Unknown, "FF:C0:DB:00:01:FE", 0}};
  for (const auto& k : cases) {
    TChipFixture c;
    c.Opt.Chip = k.Chip;
    ASSERT_TRUE(ParseMac(k.Mac, c.Opt.Mac));
    uint32_t id = c.One(opReadReg, Words({0x40001000})).Value;
    if (k.Id)
      EXPECT_EQ(id, k.Id);
    else
      EXPECT_TRUE(id != 0x00F01D83 && id != 0x000007C6);
    TAns w1 = c.One(opReadReg, Words({0x3FF5A004})), w2 = c.One(opReadReg, Words({0x3FF5A008}));
    ASSERT_EQ(w1.Status, 0);
    ASSERT_EQ(w2.Status, 0);
    // Display order: w1 then w2 as little-endian bytes b0..b7, shown b5 b4 b3 b2 b1 b0.
    uint8_t b[8];
    for (int i = 0; i < 4; ++i) {
      b[i] = uint8_t(w1.Value >> (8 * i));
      b[4 + i] = uint8_t(w2.Value >> (8 * i));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[5], b[4], b[3], b[2], b[1],
                  b[0]);
    EXPECT_STREQ(text, k.Mac);
  }
}

TEST(VboardEngine, WriteRegIsReadBackThroughItsMask) {
  TChipFixture c;
  EXPECT_EQ(c.One(opWriteReg, Words({0x3FF00010, 0xFFFFFFFF, 0x0000FF00, 0})).Status, 0);
  EXPECT_EQ(c.One(opReadReg, Words({0x3FF00010})).Value, 0x0000FF00u);
  EXPECT_EQ(c.One(opSpiAttach, Words({0})).Status, 0);
}

TEST(VboardEngine, StubStartsOnlyFromTheBlobLayout) {
  struct {
    const char* Name;
    uint32_t CodeLen, Entry, Flag;
    TChipEngine::TMode Mode;
    bool Greets;
  } cases[] = {
      {"blob layout, entry inside the code", StubCodeLen, 0x400BE598, 0, TChipEngine::TMode::Stub,
       true},
      {"short code", 3000, 0x400BE598, 0, TChipEngine::TMode::Halted, false},
      {"entry outside the code", StubCodeLen, 0x400C0000, 0, TChipEngine::TMode::Halted, false},
      {"MEM_END without the jump", StubCodeLen, 0x400BE598, 1, TChipEngine::TMode::Loader, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.Name);
    TChipFixture c;
    TBytes up = StubUpload(k.CodeLen, k.Entry);
    if (k.Flag) {
      // Swap the last frame for one with the no-jump flag.
      TBytes tail = Frame(opMemEnd, Words({k.Flag, k.Entry}));
      up.resize(up.size() - Frame(opMemEnd, Words({0, k.Entry})).size());
      up.insert(up.end(), tail.begin(), tail.end());
    }
    auto f = c.Send(up);
    ASSERT_GE(f.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
      EXPECT_EQ(Ans(f[i]).Status, 0) << i;
    EXPECT_EQ(f.size() == 6 && f[5] == TBytes({'O', 'H', 'A', 'I'}), k.Greets);
    EXPECT_EQ(c.Chip.Mode(), k.Mode);
  }
}

TEST(VboardEngine, FlashDataErasesOnlyTheSectorsItsDataCovers) {
  TChipFixture c;
  c.StartStub();
  // Old contents everywhere around: 0x00 from 0x0FFF to 0x5000.
  TBytes old(0x4002, 0x00);
  c.Flash.Program(0x0FFF, old.data(), uint32_t(old.size()));
  // A 0x1801-byte image announced as one 16 KiB block: 0x1000-0x4FFF.
  TBytes a(0x1801, 0xF0);
  EXPECT_EQ(c.One(opFlashBegin, Words({0x4000, 1, 0x4000, 0x1000})).Status, 0);
  // FLASH_BEGIN erases no further than the data certainly reaches: with one
  // block, the sector of its first byte.
  EXPECT_EQ(c.Flash.Bytes()[0x1000], 0xFF);
  EXPECT_EQ(c.Flash.Bytes()[0x2000], 0x00);
  EXPECT_EQ(c.One(opFlashData, Block(0, a), true).Status, 0);
  EXPECT_EQ(c.Flash.Bytes()[0x1000], 0xF0);
  EXPECT_EQ(c.Flash.Bytes()[0x2800], 0xF0); // the image's last byte
  EXPECT_EQ(c.Flash.Bytes()[0x2801], 0xFF); // rest of its last sector: erased
  EXPECT_EQ(c.Flash.Bytes()[0x3000], 0x00); // announced but past the image: kept
  EXPECT_EQ(c.Flash.Bytes()[0x4FFF], 0x00);
  EXPECT_EQ(c.Flash.Bytes()[0x0FFF], 0x00); // just below
  EXPECT_EQ(c.One(opEraseFlash, {}).Status, 0);
  EXPECT_EQ(c.Flash.Bytes()[0x1000], 0xFF);
  EXPECT_EQ(c.Flash.Bytes()[0x0FFF], 0xFF);

  // The part itself is NOR: a program over old contents only clears bits.
  const uint8_t v = 0x3C, w = 0xF0;
  c.Flash.Program(0x1000, &w, 1);
  c.Flash.Program(0x1000, &v, 1);
  EXPECT_EQ(c.Flash.Bytes()[0x1000], 0x30);
}

TEST(VboardEngine, BlocksEraseEachNewSectorOnceAndInOrder) {
  // Blocks smaller than a sector: the first block in a sector erases it, the
  // others write into the already erased sector.
  TChipFixture c;
  c.StartStub();
  TBytes old(0x4000, 0x00);
  c.Flash.Program(0x20000, old.data(), uint32_t(old.size()));
  ASSERT_EQ(c.One(opFlashBegin, Words({0x4000, 4, 0xC00, 0x20000})).Status, 0);
  TBytes img;
  for (uint32_t seq = 0; seq < 4; ++seq) {
    TBytes d(seq == 3 ? 0x10 : 0xC00, uint8_t(0x11 * (seq + 1)));
    EXPECT_EQ(c.One(opFlashData, Block(seq, d), true).Status, 0) << seq;
    img.insert(img.end(), d.begin(), d.end());
  }
  EXPECT_TRUE(std::equal(img.begin(), img.end(), c.Flash.Bytes().begin() + 0x20000));
  EXPECT_EQ(c.Flash.Bytes()[0x20000 + img.size()], 0xFF); // rest of the last sector
  EXPECT_EQ(c.Flash.Bytes()[0x23000], 0x00);              // announced, never reached
}

TEST(VboardEngine, BadRequestsGetAStatusAndChangeNothing) {
  TChipFixture c;
  EXPECT_EQ(c.One(opEraseFlash, {}).Err, errInvalid); // the ROM has no chip erase
  c.StartStub();
  EXPECT_EQ(c.One(opFlashData, Block(0, {1, 2}), true).Err, errFailed); // before FLASH_BEGIN
  EXPECT_EQ(c.One(opFlashBegin, Words({0x1000, 1, 0x4000, 0x3FF800})).Err,
            errInvalid); // past the end
  ASSERT_EQ(c.One(opFlashBegin, Words({0x8000, 2, 0x4000, 0x10000})).Status, 0);
  TBytes data(0x4000, 0x12);
  struct {
    const char* Name;
    TBytes Payload;
    uint32_t Chk;
    uint8_t Err;
  } cases[] = {
      {"checksum", Block(0, data), DataChecksum(data.data(), data.size()) ^ 1, errChecksum},
      {"sequence", Block(1, data), DataChecksum(data.data(), data.size()), errInvalid},
      {"size word",
       [&] {
         TBytes b = Block(0, data);
         b[0] = 0xFF;
         return b;
       }(),
       DataChecksum(data.data(), data.size()), errInvalid},
      {"larger than a block", Block(0, TBytes(0x4001, 0x12)), 0x12 ^ 0xEF ^ 0x12, errInvalid},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.Name);
    auto f = c.Send(SlipEncode(MakeRequest(opFlashData, k.Payload, k.Chk)));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Ans(f[0]).Status, 1);
    EXPECT_EQ(Ans(f[0]).Err, k.Err);
    EXPECT_EQ(c.Flash.Bytes()[0x10000], 0xFF);
  }
  // The rejected blocks did not advance the sequence: block 0 is still expected.
  EXPECT_EQ(c.One(opFlashData, Block(0, data), true).Status, 0);
  EXPECT_EQ(c.One(opFlashData, Block(1, data), true).Status, 0);
  EXPECT_EQ(c.One(opFlashData, Block(2, data), true).Err, errInvalid); // only 2 blocks begun
  // A block count the announced size cannot hold is refused before anything is erased.
  const uint8_t zero = 0;
  c.Flash.Program(0x30000, &zero, 1);
  EXPECT_EQ(c.One(opFlashBegin, Words({0, 1, 0x4000, 0x30000})).Err, errInvalid);
  EXPECT_EQ(c.One(opFlashData, Block(0, {1, 2}), true).Err, errFailed);
  EXPECT_EQ(c.Flash.Bytes()[0x30000], 0x00);
  EXPECT_EQ(c.One(0x42, {}).Err, errInvalid); // unknown opcode
  // A frame whose size field disagrees with its length is refused.
  TBytes req = MakeRequest(opReadReg, Words({0x40001000}));
  req[2] = 8;
  EXPECT_EQ(Ans(c.Send(SlipEncode(req)).at(0)).Err, errInvalid);
}

TEST(VboardEngine, ChangeBaudAnswersThenSwitches) {
  TChipFixture c;
  c.Chip.Feed(Frame(opChangeBaud, Words({921600, 115200})));
  auto acts = c.Chip.TakeActions();
  ASSERT_EQ(acts.size(), 2u);
  EXPECT_EQ(acts[0].Kind, TAction::TKind::Send);
  EXPECT_EQ(acts[1].Kind, TAction::TKind::SetBaud);
  EXPECT_EQ(acts[1].Baud, 921600u);
  EXPECT_EQ(c.One(opChangeBaud, Words({0, 115200})).Err, errInvalid);
}

// A switch whose answer is lost: the rate changes all the same, and the answer never
// goes out, or goes out after the switch (at the new rate, garbled for the host); a
// chip that hangs in the switch hears nothing more until it is reset.
TEST(VboardEngine, ChangeBaudWithItsAnswerLost) {
  using K = TAction::TKind;
  const struct {
    const char* Name;
    TBaudAnswer How;
    std::vector<K> Acts;
    bool HearsAfter;
  } Cases[] = {
      {"dropped", TBaudAnswer::Dropped, {K::SetBaud}, true},
      {"garbled", TBaudAnswer::Garbled, {K::SetBaud, K::Send}, true},
      {"hang", TBaudAnswer::Hang, {K::SetBaud}, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TChipFixture c;
    c.Opt.BaudAnswer = C.How;
    c.Chip.Feed(Frame(opChangeBaud, Words({921600, 115200})));
    const auto Acts = c.Chip.TakeActions();
    std::vector<K> Kinds;
    for (const TAction& a : Acts)
      Kinds.push_back(a.Kind);
    EXPECT_EQ(Kinds, C.Acts);
    EXPECT_EQ(Acts.front().Baud, 921600u);
    if (Acts.size() == 2) {
      EXPECT_EQ(Ans(Frames(Acts[1].Bytes).at(0)).Cmd, opChangeBaud);
    }
    c.Chip.Feed(Frame(opReadReg, Words({0x40001000})));
    EXPECT_EQ(c.Chip.TakeOutput().empty(), !C.HearsAfter);
    c.Chip.EnterLoader();
    EXPECT_EQ(c.One(opReadReg, Words({0x40001000})).Value, 0x00F01D83u);
  }
}

// Chip time before the first answer frame among the actions.
int64_t BusyBeforeAnswer(const std::vector<TAction>& Acts) {
  int64_t Ns = 0;
  for (const TAction& a : Acts) {
    if (a.Kind == TAction::TKind::Send &&
        std::find(a.Bytes.begin(), a.Bytes.end(), 0xC0) != a.Bytes.end())
      return Ns;
    if (a.Kind == TAction::TKind::Busy) Ns += a.Ns;
  }
  ADD_FAILURE() << "no answer";
  return Ns;
}

TEST(VboardEngine, EraseAndWriteTakeTheTypicalTimesOfARealPart) {
  TChipFixture c;
  c.Opt.TimeScale = 1.0;
  c.StartStub();
  constexpr int64_t Ms = 1'000'000;
  // FLASH_BEGIN and a block that is not the last are answered at once; the
  // erasing and writing go on behind the answers.
  c.Chip.Feed(Frame(opFlashBegin, Words({0x8000, 2, 0x4000, 0x10000})));
  int64_t Begin = BusyBeforeAnswer(c.Chip.TakeActions());
  EXPECT_LT(Begin, 1 * Ms);
  c.Chip.Feed(Frame(opFlashData, Block(0, TBytes(0x4000, 0x5A)), true));
  int64_t First = BusyBeforeAnswer(c.Chip.TakeActions());
  EXPECT_LT(First, 1 * Ms);
  // The last block's answer waits for the rest: in all, six 4 KiB erases
  // (45 ms each) and 81 pages of 0.7 ms, written in 64-byte pieces that each
  // cost a little more than their share. Fed with no time between requests,
  // nothing of it overlaps.
  c.Chip.Feed(Frame(opFlashData, Block(1, TBytes(0x1001, 0x5A)), true));
  int64_t All = Begin + First + BusyBeforeAnswer(c.Chip.TakeActions());
  EXPECT_GE(All, 6 * 45 * Ms + 80 * 7 * Ms / 10);
  EXPECT_LE(All, (6 * 45 * Ms + 81 * 7 * Ms / 10) * 115 / 100);
  // A chip erase: about 10 s.
  c.Chip.Feed(Frame(opEraseFlash, {}));
  int64_t Chip = BusyBeforeAnswer(c.Chip.TakeActions());
  EXPECT_GE(Chip, 10'000 * Ms);
  EXPECT_LE(Chip, 10'100 * Ms);
}

TEST(VboardEngine, ProtocolFaults) {
  {
    SCOPED_TRACE("drop the answer to one opcode");
    TChipFixture c;
    c.Opt.DropOpcode = opReadReg;
    EXPECT_TRUE(c.Send(Frame(opReadReg, Words({0x40001000}))).empty());
    EXPECT_EQ(c.Send(SyncFrame()).size(), 8u);
  }
  {
    SCOPED_TRACE("garbage before answers");
    TChipFixture c;
    c.Opt.Garbage = true;
    c.Chip.Feed(Frame(opReadReg, Words({0x40001000})));
    TBytes out = c.Chip.TakeOutput();
    ASSERT_GT(out.size(), 14u);
    EXPECT_NE(out[0], 0xC0);
    auto f = Frames(out);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Ans(f[0]).Value, 0x00F01D83u);
  }
  {
    SCOPED_TRACE("wrong greeting");
    TChipFixture c;
    c.Opt.BadGreeting = true;
    auto f = c.Send(StubUpload());
    ASSERT_EQ(f.size(), 6u);
    EXPECT_EQ(f[5], (TBytes{'O', 'H', 'A', 'J'}));
  }
  {
    SCOPED_TRACE("refuse CHANGE_BAUDRATE");
    TChipFixture c;
    c.Opt.RefuseBaud = true;
    c.Chip.Feed(Frame(opChangeBaud, Words({921600, 115200})));
    auto acts = c.Chip.TakeActions();
    ASSERT_EQ(acts.size(), 1u);
    EXPECT_EQ(Ans(Frames(acts[0].Bytes).at(0)).Status, 1);
  }
  {
    SCOPED_TRACE("FLASH_DATA block 1 of image 2 fails");
    TChipFixture c;
    c.Opt.FailImage = 2;
    c.Opt.FailBlock = 1;
    c.StartStub();
    TBytes d(16, 0xAA);
    for (int image = 1; image <= 2; ++image) {
      ASSERT_EQ(c.One(opFlashBegin, Words({0x20, 2, 16, 0x8000u * image})).Status, 0);
      EXPECT_EQ(c.One(opFlashData, Block(0, d), true).Status, 0);
      TAns a = c.One(opFlashData, Block(1, d), true);
      EXPECT_EQ(a.Status, image == 2 ? 1 : 0);
      EXPECT_EQ(a.Err, image == 2 ? errFlashWrite : 0);
    }
    EXPECT_EQ(c.Flash.Bytes()[0x10010], 0xFF); // the failed block was not written
  }
}

TEST(VboardEngine, SlipDecoderDropsBrokenAndOversizedFrames) {
  TSlipDecoder d(4);
  TBytes in{0x41, 0xC0, 0xDB, 0x41, 0x01, 0xC0, 0xC0, 1,    2,   3,
            4,    5,    0xC0, 0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0};
  std::vector<TBytes> got;
  for (uint8_t b : in)
    if (d.Put(b)) got.push_back(d.Frame());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (TBytes{0xC0, 0xDB}));
  EXPECT_EQ(d.Dropped(), 2u);
}

} // namespace

// A client that loads RAM again and again (3000 MEM_BEGIN of the largest size) leaves
// the board holding no more than its RAM: a region loaded again replaces the old one.
// The stub still starts afterwards.
TEST(VboardEngine, RepeatedMemBeginKeepsMemoryBoundedByTheRam) {
  TChipFixture c;
  const size_t Before = LiveHeapBytes();
  size_t Peak = Before;
  for (int i = 0; i < 3000; ++i) {
    const uint32_t Addr = i % 2 ? 0x40070000 : 0x3FFAE000;
    const uint32_t Size = i % 2 ? 0x50000 : 0x52000;
    ASSERT_EQ(c.One(opMemBegin, Words({Size, 1, 6144, Addr})).Status, 0) << i;
    Peak = std::max(Peak, LiveHeapBytes());
  }
  // Both RAM areas once, and a little besides.
  EXPECT_LT(Peak - Before, size_t(2) << 20) << "grew by " << ((Peak - Before) >> 10) << " KiB";
  c.StartStub();
}
