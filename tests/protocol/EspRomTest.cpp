// The ROM loader's own flash path: the set-up commands, FLASH_BEGIN's sector-rounded
// erase and its time limit, 1 KiB data blocks with the last one padded, and the
// whole-flash erase in steps.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "EspFixture.h"

namespace {

struct EspRom : TEspFixture {
  Bytes Request(size_t i) const { return Unslip(Link.Writes.at(i)); }
  // The FLASH_DATA request the ROM expects for block Seq holding Data.
  static Bytes DataRequest(uint32_t Seq, const Bytes& Data) {
    Bytes p = Words({uint32_t(Data.size()), Seq, 0, 0});
    p.insert(p.end(), Data.begin(), Data.end());
    return RequestPacket(0x03, p);
  }
  static Bytes Image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
      b[i] = uint8_t(i * 7 + (i >> 10)); // 0xC0 and 0xDB among them
    return b;
  }
};

TEST_F(EspRom, SetupCommandsOnTheWire) {
  ReplyOk(0x0D);
  Esp->romSpiAttach();
  ReplyOk(0x0B);
  Esp->spiSetParams();
  ASSERT_EQ(Link.Writes.size(), 2u);
  // SPI_ATTACH: 8 bytes, the default pins (0) and 0.
  EXPECT_EQ(Link.Writes[0], (Bytes{0xC0, 0x00, 0x0D, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}));
  // SPI_SET_PARAMS: id 0, 4 MiB, 64 KiB block, 4 KiB sector, 256-byte page, mask 0xFFFF.
  EXPECT_EQ(Link.Writes[1],
            Slip(RequestPacket(0x0B, Words({0, 0x400000, 0x10000, 0x1000, 0x100, 0xFFFF}))));
  for (int t : Link.Timeouts)
    EXPECT_EQ(t, 1000);
}

TEST_F(EspRom, SetupFailuresRaiseTheirMessages) {
  struct Case {
    const char* Name;
    std::function<void(TEsp&)> Call;
    uint8_t Com;
    const char* Message;
  } Cases[] = {
      {"attach", [](TEsp& e) { e.romSpiAttach(); }, 0x0D, "Error SPI_ATTACH"},
      {"parameters", [](TEsp& e) { e.spiSetParams(); }, 0x0B, "Error SPI_SET_PARAMS"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Link.Replies.push_back({}); // silence
    EXPECT_EQ(Raised([&] { c.Call(*Esp); }), c.Message);
    Reply(ResponsePacket(c.Com, 0, 1, 6)); // refused
    EXPECT_EQ(Raised([&] { c.Call(*Esp); }), c.Message);
    ReplyOk(c.Com);
    EXPECT_EQ(Raised([&] { c.Call(*Esp); }), "");
  }
}

TEST_F(EspRom, FlashStartErasesWholeSectorsAndWaitsForThem) {
  // Erase size: the image rounded up to 4 KiB, never further; block count in 1 KiB
  // blocks; the answer's limit: 3 s plus 400 ms for each sector erased.
  struct Case {
    uint32_t Offset, Size, Erase, Blocks;
    int Timeout;
  } Cases[] = {
      {0x10000, 0, 0, 0, 3000},
      {0x1000, 1, 0x1000, 1, 3400},
      {0x8000, 3072, 0x1000, 3, 3400},
      {0x8000, 4096, 0x1000, 4, 3400},
      {0x10000, 4097, 0x2000, 5, 3800},
      {0x1000, 0x6FE0, 0x7000, 28, 3000 + 7 * 400},
      {0x10000, 1000000, 1003520, 977, 3000 + 245 * 400},
      {0, 0x400000, 0x400000, 4096, 3000 + 1024 * 400},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Size);
    Link.Writes.clear();
    Link.Timeouts.clear();
    Log.C();
    ReplyOk(0x02);
    Esp->romFlashStart(c.Offset, c.Size);
    ASSERT_EQ(Link.Writes.size(), 1u);
    EXPECT_EQ(Request(0), RequestPacket(0x02, Words({c.Erase, c.Blocks, 1024, c.Offset})));
    ASSERT_FALSE(Link.Timeouts.empty());
    for (int t : Link.Timeouts)
      EXPECT_EQ(t, c.Timeout);
    ASSERT_EQ(Log.Lines().size(), 4u);
    EXPECT_EQ(Log.Lines()[2], "ERA: " + std::to_string(c.Erase));
  }
}

TEST_F(EspRom, FlashStartRefusals) {
  // What cannot be erased exactly is refused before anything is sent.
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0x1800, 16); }),
            "Flash address 1800 is not on a 4 KiB sector boundary");
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0x3FF000, 4097); }),
            "4097 bytes at 3FF000 do not fit the 4 MiB flash");
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0xFFFFF000, 0x2000); }),
            "8192 bytes at FFFFF000 do not fit the 4 MiB flash");
  EXPECT_TRUE(Link.Writes.empty());
  // The last sector still fits.
  ReplyOk(0x02);
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0x3FF000, 4096); }), "");
  // The ROM's status counts: a refused or unanswered FLASH_BEGIN fails, and no data
  // may follow it.
  Reply(ResponsePacket(0x02, 0, 1, 6));
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0x8000, 100); }), "Error Flash Start");
  uint8_t b = 1;
  EXPECT_EQ(Raised([&] { Esp->romFlashWrite(&b, 1); }), "Error Flash Write");
  Link.Replies.push_back({});
  EXPECT_EQ(Raised([&] { Esp->romFlashStart(0x8000, 100); }), "Error Flash Start");
  EXPECT_EQ(Link.Writes.size(), 3u);
}

TEST_F(EspRom, DataGoesOutInPaddedKibBlocks) {
  // Images driven the way the job drives the stub path: 16 KiB pieces, the last short.
  struct Case {
    const char* Name;
    size_t Size;
    size_t Piece;
  } Cases[] = {
      {"one short block", 100, 16384},
      {"exact blocks", 3072, 16384},
      {"two pieces, padded end", 16384 + 2500, 16384},
      {"block by block", 2500, 1024},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Link.Writes.clear();
    const Bytes Img = Image(c.Size);
    ReplyOk(0x02);
    Esp->romFlashStart(0x10000, uint32_t(Img.size()));
    const size_t Blocks = (c.Size + 1023) / 1024;
    for (size_t i = 0; i < Blocks; ++i)
      ReplyOk(0x03);
    for (size_t Done = 0; Done < Img.size(); Done += c.Piece)
      Esp->romFlashWrite(Img.data() + Done, uint32_t(std::min(c.Piece, Img.size() - Done)));
    ASSERT_EQ(Link.Writes.size(), 1 + Blocks);
    for (size_t i = 0; i < Blocks; ++i) {
      Bytes Want(Img.begin() + long(i * 1024),
                 Img.begin() + long(std::min(c.Size, i * 1024 + 1024)));
      Want.resize(1024, 0xFF);
      EXPECT_EQ(Request(1 + i), DataRequest(uint32_t(i), Want)) << i;
    }
    // Nothing more than the image announced.
    uint8_t b = 0;
    EXPECT_EQ(Raised([&] { Esp->romFlashWrite(&b, 1); }), "Error Flash Write");
    EXPECT_EQ(Link.Writes.size(), 1 + Blocks);
  }
}

TEST_F(EspRom, MisplacedPiecesAndFailedBlocks) {
  const Bytes Img = Image(5000);
  ReplyOk(0x02);
  Esp->romFlashStart(0x8000, 5000);
  Link.Writes.clear();
  // A piece ending inside a block before the image's end would shift the rest.
  EXPECT_EQ(Raised([&] { Esp->romFlashWrite(Img.data(), 1000); }), "Error Flash Write");
  EXPECT_EQ(Raised([&] { Esp->romFlashWrite(Img.data(), 5001); }), "Error Flash Write");
  EXPECT_TRUE(Link.Writes.empty());

  // Block 1 refused with the ROM's flash write error: the block's log line and
  // message; the same bytes can be sent again as block 1.
  ReplyOk(0x03);
  Reply(ResponsePacket(0x03, 0, 1, 8));
  Log.C();
  EXPECT_EQ(Raised([&] { Esp->romFlashWrite(Img.data(), 2048); }), "Error Flash");
  EXPECT_EQ(Log.Lines().at(0), "  1: 1 = 08");
  ASSERT_EQ(Link.Writes.size(), 2u);
  for (int i = 0; i < 4; ++i)
    ReplyOk(0x03);
  Esp->romFlashWrite(Img.data() + 1024, 3976);
  ASSERT_EQ(Link.Writes.size(), 6u);
  Bytes Last(Img.begin() + 4096, Img.end());
  Last.resize(1024, 0xFF);
  EXPECT_EQ(Request(2), DataRequest(1, Bytes(Img.begin() + 1024, Img.begin() + 2048)));
  EXPECT_EQ(Request(5), DataRequest(4, Last));
}

TEST_F(EspRom, WholeFlashEraseInStepsWithProgress) {
  std::vector<std::pair<uint32_t, size_t>> Seen; // progress value, requests sent before it
  auto Progress = [&](uint32_t Done, uint32_t Total) {
    EXPECT_EQ(Total, 0x400000u);
    Seen.emplace_back(Done, Link.Writes.size());
  };
  for (int i = 0; i < 64; ++i)
    ReplyOk(0x02);
  Esp->romEraseFlash(Progress);
  ASSERT_EQ(Link.Writes.size(), 64u);
  ASSERT_EQ(Seen.size(), 64u);
  for (uint32_t i = 0; i < 64; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Request(i), RequestPacket(0x02, Words({0x10000, 0, 1024, i * 0x10000})));
    EXPECT_EQ(Seen[i], std::make_pair((i + 1) * 0x10000, size_t(i)));
  }
  for (int t : Link.Timeouts)
    EXPECT_EQ(t, 3000 + 16 * 400);

  // A refused step ends the erase there.
  Link.Writes.clear();
  ReplyOk(0x02);
  ReplyOk(0x02);
  Reply(ResponsePacket(0x02, 0, 1, 6));
  ReplyOk(0x02);
  EXPECT_EQ(Raised([&] { Esp->romEraseFlash(); }), "Error ERASE_FLASH");
  EXPECT_EQ(Link.Writes.size(), 3u);
}

} // namespace
