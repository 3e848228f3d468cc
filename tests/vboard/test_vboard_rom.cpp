// The ROM loader's own flash path on the board: nothing before SPI_ATTACH, the erase
// inside FLASH_BEGIN on the flash's timing, whole 1 KiB blocks, FLASH_END, and the
// faults that make a stub upload fail.
#include <gtest/gtest.h>

#include <algorithm>

#include "VbTestServer.h"
#include "VbTestUtil.h"

using namespace vboard;
using namespace vbtest;

namespace {

struct TRom {
  TBoardOptions Opt;
  TFlash Flash;
  TChipEngine Chip{Opt, Flash};

  TRom() {
    Opt.TimeScale = 1.0;
    // Old contents everywhere, so every erase shows.
    TBytes zeros(0x40000, 0x00);
    Flash.Program(0, zeros.data(), uint32_t(zeros.size()));
  }
  // The answers to one request, and the time the chip was busy before them.
  std::vector<TAns> Ask(uint8_t Cmd, const TBytes& Payload, int64_t* BusyNs = nullptr) {
    Chip.Feed(Frame(Cmd, Payload, Cmd == opFlashData));
    std::vector<TAns> out;
    int64_t busy = 0;
    for (const TAction& a : Chip.TakeActions()) {
      if (a.Kind == TAction::TKind::Busy) busy += a.Ns;
      if (a.Kind == TAction::TKind::Send)
        for (const TBytes& f : Frames(a.Bytes))
          out.push_back(Ans(f));
    }
    if (BusyNs) *BusyNs = busy;
    return out;
  }
  TAns One(uint8_t Cmd, const TBytes& Payload, int64_t* BusyNs = nullptr) {
    auto a = Ask(Cmd, Payload, BusyNs);
    return a.size() == 1 ? a[0] : TAns{0xEE, 0, 0xEE, 0xEE};
  }
  void Attach() { ASSERT_EQ(One(opSpiAttach, Words({0, 0})).Status, 0); }
  uint8_t At(uint32_t a) const { return Flash.Bytes()[a]; }
};

TBytes KibBlock(uint8_t Fill) {
  return TBytes(1024, Fill);
}

TEST(VboardRom, FlashCommandsBeforeSpiAttachAreRefused) {
  TRom r;
  // Setting the flash's parameters touches no flash and is accepted.
  EXPECT_EQ(r.One(opSpiSetParams, Words({0, 0x400000, 0x10000, 0x1000, 0x100, 0xFFFF})).Status, 0);
  struct {
    const char* Name;
    uint8_t Cmd;
    TBytes Payload;
  } cases[] = {
      {"FLASH_BEGIN", opFlashBegin, Words({0x1000, 4, 1024, 0x8000})},
      {"FLASH_DATA", opFlashData, Block(0, KibBlock(0x5A))},
      {"FLASH_END", opFlashEnd, Words({1})},
  };
  for (int reset = 0; reset < 2; ++reset) {
    // A reset into the loader forgets the attach.
    if (reset) {
      r.Attach();
      r.Chip.EnterLoader();
    }
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (reset ? " after a reset" : ""));
      TAns a = r.One(c.Cmd, c.Payload);
      EXPECT_EQ(a.Cmd, c.Cmd);
      EXPECT_EQ(a.Status, 1);
      EXPECT_EQ(a.Err, errFailed);
      EXPECT_EQ(r.At(0x8000), 0x00);
      EXPECT_EQ(r.Chip.Mode(), TChipEngine::TMode::Loader);
    }
  }
  r.Attach();
  EXPECT_EQ(r.One(opFlashBegin, Words({0x1000, 4, 1024, 0x8000})).Status, 0);
  EXPECT_EQ(r.At(0x8000), 0xFF);
}

TEST(VboardRom, FlashBeginErasesTheTouchedSectorsBeforeItAnswers) {
  struct {
    uint32_t Off, Erase, From, To; // the erased range [From, To)
  } cases[] = {
      {0x1000, 0x1000, 0x1000, 0x2000}, {0x1000, 0x1801, 0x1000, 0x3000},
      {0x8000, 0x7000, 0x8000, 0xF000}, {0x1800, 0x1000, 0x1000, 0x3000},
      {0x10000, 0, 0x10000, 0x10000},   {0x20000, 0x10000, 0x20000, 0x30000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Off + c.Erase);
    TRom r;
    r.Attach();
    int64_t busy = 0;
    TAns a = r.One(opFlashBegin, Words({c.Erase, (c.Erase + 1023) / 1024, 1024, c.Off}), &busy);
    EXPECT_EQ(a.Status, 0);
    // The sector erase time of the flash for each sector, all before the answer.
    EXPECT_EQ(busy, int64_t((c.To - c.From) / 0x1000) * 45'000'000);
    EXPECT_EQ(r.At(c.From - 1), 0x00);
    EXPECT_EQ(r.At(c.To), 0x00);
    if (c.To > c.From) {
      EXPECT_EQ(r.At(c.From), 0xFF);
      EXPECT_EQ(r.At(c.To - 1), 0xFF);
      EXPECT_TRUE(std::all_of(r.Flash.Bytes().begin() + c.From, r.Flash.Bytes().begin() + c.To,
                              [](uint8_t b) { return b == 0xFF; }));
    }
  }
}

TEST(VboardRom, DataInWholeKibBlocksWithinTheErasedRegion) {
  TRom r;
  r.Attach();
  // Announced: 5 blocks, but only one sector erased.
  ASSERT_EQ(r.One(opFlashBegin, Words({0x1000, 5, 1024, 0x8000})).Status, 0);
  TBytes img;
  int64_t busy = 0;
  for (uint32_t seq = 0; seq < 4; ++seq) {
    TBytes d = KibBlock(uint8_t(0x11 * (seq + 1)));
    EXPECT_EQ(r.One(opFlashData, Block(seq, d), &busy).Status, 0) << seq;
    img.insert(img.end(), d.begin(), d.end());
  }
  EXPECT_EQ(busy, 4 * 700'000); // four page programs, no erase
  EXPECT_TRUE(std::equal(img.begin(), img.end(), r.Flash.Bytes().begin() + 0x8000));
  // Block 4 would land past the erased sector.
  TAns past = r.One(opFlashData, Block(4, KibBlock(0x77)));
  EXPECT_EQ(past.Err, errInvalid);
  EXPECT_EQ(r.At(0x9000), 0x00);

  ASSERT_EQ(r.One(opFlashBegin, Words({0x2000, 2, 1024, 0x10000})).Status, 0);
  TBytes d = KibBlock(0x42);
  struct {
    const char* Name;
    TBytes Payload;
    uint32_t Chk;
    uint8_t Err;
  } cases[] = {
      {"short block", Block(0, TBytes(100, 0x42)), DataChecksum(d.data(), 100), errInvalid},
      {"checksum", Block(0, d), DataChecksum(d.data(), d.size()) ^ 1, errChecksum},
      {"sequence", Block(1, d), DataChecksum(d.data(), d.size()), errInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    r.Chip.Feed(SlipEncode(MakeRequest(opFlashData, c.Payload, c.Chk)));
    auto f = Frames(r.Chip.TakeOutput());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Ans(f[0]).Status, 1);
    EXPECT_EQ(Ans(f[0]).Err, c.Err);
    EXPECT_EQ(r.At(0x10000), 0xFF);
  }
  EXPECT_EQ(r.One(opFlashData, Block(0, d)).Status, 0);
  EXPECT_EQ(r.One(opFlashData, Block(1, d)).Status, 0);
  EXPECT_EQ(r.One(opFlashData, Block(2, d)).Err, errInvalid); // two announced
  // The ROM's buffer holds 1 KiB: larger blocks are refused at FLASH_BEGIN.
  EXPECT_EQ(r.One(opFlashBegin, Words({0x4000, 1, 0x4000, 0x20000})).Err, errInvalid);
  EXPECT_EQ(r.At(0x20000), 0x00);
}

TEST(VboardRom, SetParamsBoundsTheFlash) {
  TRom r;
  r.Attach();
  EXPECT_EQ(r.One(opSpiSetParams, Words({0, 0x100000, 0x10000})).Err, errInvalid); // short
  ASSERT_EQ(r.One(opSpiSetParams, Words({0, 0x100000, 0x10000, 0x1000, 0x100, 0xFFFF})).Status, 0);
  EXPECT_EQ(r.One(opFlashBegin, Words({0x2000, 8, 1024, 0xFF000})).Err, errInvalid);
  EXPECT_EQ(r.One(opFlashBegin, Words({0x1000, 4, 1024, 0xFF000})).Status, 0);
  // The board's own 4 MiB still bound a larger size.
  ASSERT_EQ(r.One(opSpiSetParams, Words({0, 0x1000000, 0x10000, 0x1000, 0x100, 0xFFFF})).Status, 0);
  EXPECT_EQ(r.One(opFlashBegin, Words({0x1000, 4, 1024, 0x400000})).Err, errInvalid);
}

TEST(VboardRom, FlashEndLeavesTheLoader) {
  for (uint32_t flag : {0u, 1u}) {
    SCOPED_TRACE(flag);
    TRom r;
    r.Attach();
    EXPECT_EQ(r.One(opFlashEnd, Words({flag, 0})).Err, errInvalid);
    EXPECT_EQ(r.One(opFlashEnd, Words({flag})).Status, 0);
    EXPECT_EQ(r.Chip.Mode(), TChipEngine::TMode::Halted);
    EXPECT_TRUE(r.Ask(opReadReg, Words({0x40001000})).empty());
  }
}

TEST(VboardRom, ImagesCountOnlyFlashBeginsThatAnnounceData) {
  // Block 0 of image 2 fails: the whole-flash erase's FLASH_BEGINs (no blocks) come first.
  TRom r;
  r.Opt.FailImage = 2;
  r.Opt.FailBlock = 0;
  r.Attach();
  for (uint32_t off = 0; off < 0x40000; off += 0x10000)
    ASSERT_EQ(r.One(opFlashBegin, Words({0x10000, 0, 1024, off})).Status, 0);
  for (uint32_t image = 1; image <= 2; ++image) {
    ASSERT_EQ(r.One(opFlashBegin, Words({0x1000, 1, 1024, 0x8000 * image})).Status, 0);
    TAns a = r.One(opFlashData, Block(0, KibBlock(0x33)));
    EXPECT_EQ(a.Status, image == 2 ? 1 : 0);
    EXPECT_EQ(a.Err, image == 2 ? errFlashWrite : 0);
  }
  EXPECT_EQ(r.At(0x8000), 0x33);
  EXPECT_EQ(r.At(0x10000), 0xFF);
}

TEST(VboardRom, StubUploadFaults) {
  struct {
    const char* Name;
    bool NoGreeting;
    int Refuse;
    std::vector<uint8_t> Status; // of the five upload answers
    TChipEngine::TMode Mode;
  } cases[] = {
      {"no greeting", true, -1, {0, 0, 0, 0, 0}, TChipEngine::TMode::Halted},
      // A refused MEM_BEGIN leaves nothing to write into, and the jump goes nowhere.
      {"MEM_BEGIN refused", false, opMemBegin, {1, 1, 1, 1, 0}, TChipEngine::TMode::Halted},
      {"MEM_DATA refused", false, opMemData, {0, 1, 0, 1, 0}, TChipEngine::TMode::Halted},
      {"MEM_END refused", false, opMemEnd, {0, 0, 0, 0, 1}, TChipEngine::TMode::Loader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TRom r;
    r.Opt.NoGreeting = c.NoGreeting;
    r.Opt.RefuseOpcode = c.Refuse;
    r.Chip.Feed(StubUpload());
    auto f = Frames(r.Chip.TakeOutput());
    ASSERT_EQ(f.size(), 5u); // no greeting after the answers
    for (size_t i = 0; i < 5; ++i)
      EXPECT_EQ(Ans(f[i]).Status, c.Status[i]) << i;
    EXPECT_EQ(r.Chip.Mode(), c.Mode);
  }
}

TEST(VboardRom, TraceShowsErasesAndPrograms) {
  TBoardOptions opt;
  TFlash flash;
  TTrace trace;
  const std::string file = TempPath("rom_trace.jsonl");
  ASSERT_TRUE(trace.Open(file));
  TChipEngine chip(opt, flash, &trace);
  chip.Feed(Frame(opSpiAttach, Words({0, 0})));
  chip.Feed(Frame(opFlashBegin, Words({0x2000, 5, 1024, 0x8000})));
  chip.Feed(Frame(opFlashData, Block(0, KibBlock(1)), true));
  const std::string t = ReadText(file);
  std::remove(file.c_str());
  // Scaled by the default factor 0.1: two sectors of 45 ms.
  EXPECT_NE(t.find("\"ev\":\"erase\",\"addr\":32768,\"len\":8192,\"us\":9000"), std::string::npos)
      << t;
  EXPECT_NE(t.find("\"ev\":\"program\",\"addr\":32768,\"len\":1024"), std::string::npos) << t;
  // The erase comes before FLASH_BEGIN's answer.
  EXPECT_LT(t.find("\"ev\":\"erase\""), t.find("\"ev\":\"frame_out\",\"cmd\":2,"));
}

} // namespace
