// The fast stub's core (stub_core.c built with STUB_FAST=1) on the host against the
// simulated UART and flash: the part's id, digests, compressed and plain writes of
// chosen sectors, reading back, and the refusals of each command.
#define STUB_FAST 1
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <random>

#include "StubSim.h"
#include "StubWire.h"
#include "stub_core.h"

namespace {

constexpr uint8_t INFO = 0xE0, DIGEST = 0xE1, BEGIN = 0xE2, DATA = 0xE3, END = 0xE4, READ = 0xE5,
                  READ_ACK = 0xE6, READ_DATA = 0xE7, FLASH_BEGIN = 0x02, ERASE_FLASH = 0xD0;
constexpr uint32_t Sector = 4096;

TBytes Random(size_t n, unsigned Seed) {
  std::mt19937 G(Seed);
  TBytes b(n);
  for (auto& c : b)
    c = uint8_t(G() % 7 == 0 ? G() : G() % 16); // compressible, not trivially so
  return b;
}

TBytes Deflate(const TBytes& In) {
  z_stream s{};
  deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  TBytes Out(deflateBound(&s, uLong(In.size())) + 16);
  s.next_in = const_cast<Bytef*>(In.data());
  s.avail_in = uInt(In.size());
  s.next_out = Out.data();
  s.avail_out = uInt(Out.size());
  deflate(&s, Z_FINISH);
  Out.resize(s.total_out);
  deflateEnd(&s);
  return Out;
}

// The digest of bytes, as the stub computes it over flash.
uint64_t DigestOf(const uint8_t* p, size_t n) {
  stub_digest d;
  stub_digest_init(&d);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t w = uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 |
                 uint32_t(p[i + 3]) << 24;
    stub_digest_words(&d, &w, 1);
  }
  if (i < n) {
    uint32_t w = 0;
    for (size_t k = 0; i + k < n; ++k)
      w |= uint32_t(p[i + k]) << (8 * k);
    stub_digest_tail(&d, w, uint32_t(n - i));
  }
  uint32_t o[2];
  stub_digest_final(&d, o);
  return uint64_t(o[1]) << 32 | o[0];
}

uint64_t Word64(const TBytes& b, size_t At) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = v << 8 | b[At + size_t(i)];
  return v;
}

// One write session as the program sends it.
struct TWrite {
  uint32_t Offset;
  TBytes Image;
  std::vector<bool> Write; // per sector of the image
  bool Deflated = true;
  size_t Piece = 16384;

  TBytes Stream() const {
    TBytes s;
    for (size_t k = 0; k < Write.size(); ++k)
      if (Write[k]) {
        const size_t From = k * Sector, To = std::min(Image.size(), From + Sector);
        s.insert(s.end(), Image.begin() + long(From), Image.begin() + long(To));
      }
    return Deflated ? Deflate(s) : s;
  }
  TBytes Begin(uint32_t StreamLen) const {
    TBytes Map((Write.size() + 7) / 8, 0);
    for (size_t k = 0; k < Write.size(); ++k)
      if (Write[k]) Map[k / 8] |= uint8_t(1u << (k % 8));
    return Request(BEGIN, Cat(Words({Offset, uint32_t(Image.size()), StreamLen,
                                     Deflated ? uint32_t(STUB_WRITE_DEFLATE) : 0u}),
                              Map));
  }
  TBytes Data(const TBytes& S) const {
    TBytes r;
    for (uint32_t Seq = 0; size_t(Seq) * Piece < S.size(); ++Seq) {
      const size_t From = Seq * Piece, n = std::min(Piece, S.size() - From);
      r = Cat(r, Request(DATA, Cat(Words({uint32_t(n), Seq, 0, 0}),
                                   TBytes(S.begin() + long(From), S.begin() + long(From + n)))));
    }
    return r;
  }
  TBytes All() const {
    const TBytes S = Stream();
    return Cat(Cat(Begin(uint32_t(S.size())), Data(S)), Request(END, {}));
  }
};

class FastCore : public ::testing::Test {
protected:
  TStubSim Sim;
  std::unique_ptr<stub> S = std::make_unique<stub>();

  void SetUp() override {
    stub_init(S.get());
    Sim.Out.clear();
  }
  void TearDown() override {
    for (const auto& f : Sim.Faults)
      ADD_FAILURE() << "flash misuse: " << f;
  }
  std::vector<TAnswer> Run(const TBytes& Bytes) {
    Sim.Out.clear();
    Sim.In.assign(Bytes.begin(), Bytes.end());
    while (stub_service(S.get())) {
    }
    return Answers(Sim.Out);
  }
  TAnswer One(const TBytes& Bytes) {
    auto a = Run(Bytes);
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? TAnswer{} : a.back();
  }
  std::vector<uint64_t> Digests(uint32_t Addr, uint32_t Len, uint32_t Unit) {
    const TAnswer a = One(Request(DIGEST, Words({Addr, Len, Unit})));
    std::vector<uint64_t> d;
    EXPECT_EQ(a.Status(), 0);
    EXPECT_EQ(a.Data.size(), 4 + 8 * size_t(a.Value));
    for (uint32_t i = 0; i < a.Value && 12 + 8 * i <= a.Data.size(); ++i)
      d.push_back(Word64(a.Data, 4 + 8 * i));
    return d;
  }
  // Every sector erase, block erase and program address the session left in the log.
  std::vector<std::string> Erases() const {
    std::vector<std::string> e;
    for (const std::string& Op : Sim.Ops)
      if (Op.rfind("SE ", 0) == 0 || Op.rfind("BE", 0) == 0) e.push_back(Op);
    return e;
  }
};

TEST_F(FastCore, InfoNamesThePartAndTheStubRunsItsClockAtTheBusClock) {
  const TAnswer a = One(Request(INFO, {}));
  EXPECT_EQ(a.Cmd, INFO);
  EXPECT_EQ(a.Status(), 0);
  EXPECT_EQ(a.Value, 0x1640EFu); // Winbond, type 0x40, 2^22 bytes
  ASSERT_EQ(a.Data.size(), 12u);
  EXPECT_EQ(Word64(a.Data, 4) & 0xFFFFFFFF, 4u << 20);
  EXPECT_EQ(a.Data[8], 0xEF); // the maker byte of the facts word
  EXPECT_EQ(Sim.Clocks, std::vector<uint32_t>{1});
  EXPECT_EQ(One(Request(INFO, Words({0}))).Error(), STUB_ERR_INVALID);
}

TEST_F(FastCore, DigestsAreThoseOfTheFlashBytesPerSectorOrWhole) {
  const TBytes Old = Random(5 * Sector + 100, 1);
  std::copy(Old.begin(), Old.end(), Sim.Flash.begin() + 0x20000);
  const std::vector<uint64_t> Per = Digests(0x20000, uint32_t(Old.size()), Sector);
  ASSERT_EQ(Per.size(), 6u);
  for (size_t k = 0; k < Per.size(); ++k) {
    const size_t n = std::min<size_t>(Sector, Old.size() - k * Sector);
    EXPECT_EQ(Per[k], DigestOf(Old.data() + k * Sector, n)) << k;
  }
  EXPECT_EQ(Digests(0x20000, uint32_t(Old.size()), 0),
            std::vector<uint64_t>{DigestOf(Old.data(), Old.size())});
  // Any length, not only whole words; each byte counts.
  EXPECT_EQ(Digests(0x20000, 7, 0), std::vector<uint64_t>{DigestOf(Old.data(), 7)});
  EXPECT_NE(Digests(0x20000, 7, 0), Digests(0x20000, 6, 0));
  // Read at the flash's read command, every byte once.
  EXPECT_EQ(Sim.Reads, 2 * Old.size() + 7 + 7 + 6);

  struct {
    const char* What;
    TBytes Words;
  } Bad[] = {{"no length", Words({0x20000, 0, 0})},
             {"a unit other than 0 or 4096", Words({0x20000, 8192, 100})},
             {"past the flash", Words({0x3FF000, 0x2000, Sector})},
             {"an address off a word", Words({0x20001, 8, 0})},
             {"a word short", Words({0x20000, 8})}};
  for (const auto& b : Bad)
    EXPECT_EQ(One(Request(DIGEST, b.Words)).Error(), STUB_ERR_INVALID) << b.What;
}

TEST_F(FastCore, AWriteSessionWritesExactlyTheChosenSectorsAndKeepsTheRest) {
  struct TCase {
    const char* What;
    uint32_t Offset;
    size_t Size;
    std::vector<int> Skip; // sectors of the image that already hold it
    bool Deflated;
    size_t Piece;
    std::vector<std::string> WantErases;
  } Cases[] = {
      {"whole image, deflated",
       0x10000,
       20 * Sector + 300,
       {},
       true,
       16384,
       {"BE 10000", "SE 20000", "SE 21000", "SE 22000", "SE 23000", "SE 24000"}},
      {"plain bytes, small pieces",
       0x10000,
       3 * Sector,
       {},
       false,
       1000,
       {"SE 10000", "SE 11000", "SE 12000"}},
      // One sector of the first 64 KiB keeps its bytes: no block erase may take it; the
      // second half of that block is erased in one.
      {"one sector skipped",
       0x10000,
       17 * Sector,
       {5},
       true,
       4096,
       {"SE 10000", "SE 11000", "SE 12000", "SE 13000", "SE 14000", "SE 16000", "SE 17000",
        "BE32 18000", "SE 20000"}},
      {"only the partial last sector", 0x8000, 2 * Sector + 5, {0, 1}, true, 16384, {"SE A000"}},
  };
  for (const TCase& c : Cases) {
    SCOPED_TRACE(c.What);
    // The board holds other bytes everywhere; the skipped sectors already hold the image.
    const TBytes Other = Random(Sim.Flash.size(), 99);
    Sim.Flash = Other;
    Sim.Ops.clear();
    TWrite W{c.Offset, Random(c.Size, 7), std::vector<bool>((c.Size + Sector - 1) / Sector, true),
             c.Deflated, c.Piece};
    for (int k : c.Skip) {
      W.Write[size_t(k)] = false;
      const size_t From = size_t(k) * Sector, n = std::min<size_t>(Sector, c.Size - From);
      std::copy_n(W.Image.begin() + long(From), n, Sim.Flash.begin() + c.Offset + long(From));
    }
    const TBytes Before = Sim.Flash;
    const auto a = Run(W.All());
    ASSERT_FALSE(a.empty());
    for (const TAnswer& x : a)
      EXPECT_EQ(x.Status(), 0) << int(x.Cmd) << " error " << int(x.Error());
    EXPECT_EQ(a.back().Cmd, END);
    EXPECT_TRUE(std::equal(W.Image.begin(), W.Image.end(), Sim.Flash.begin() + c.Offset));
    EXPECT_EQ(Erases(), c.WantErases);
    // Outside the erased units nothing changed; inside them past the image only the
    // rest of its last sector (erased, as the standard stub leaves it).
    const size_t End = (c.Offset + c.Size + Sector - 1) / Sector * Sector;
    for (size_t i = 0; i < Sim.Flash.size(); ++i)
      if (i < c.Offset || i >= End) {
        ASSERT_EQ(Sim.Flash[i], Before[i]) << std::hex << i;
      }
    EXPECT_EQ(Digests(c.Offset, uint32_t(c.Size), 0),
              std::vector<uint64_t>{DigestOf(W.Image.data(), W.Image.size())});
  }
}

TEST_F(FastCore, AfterAChipEraseNothingIsErasedAgainAndErasedBytesAreNotProgrammed) {
  const TAnswer Erased = One(Request(ERASE_FLASH, {}));
  EXPECT_EQ(Erased.Status(), 0) << int(Erased.Error());
  Sim.Ops.clear();
  Sim.Cmds.clear();
  TWrite W{0x10000, TBytes(4 * Sector, 0xFF), {true, true, true, true}};
  std::fill_n(W.Image.begin() + 100, 10, 0x12);
  for (const TAnswer& x : Run(W.All()))
    EXPECT_EQ(x.Status(), 0) << int(x.Cmd) << " error " << int(x.Error());
  EXPECT_TRUE(Erases().empty());
  // One 64-byte program for the ten bytes; the rest is 0xFF and stays as erased.
  EXPECT_EQ(
      std::count_if(Sim.Cmds.begin(), Sim.Cmds.end(), [](auto& c) { return c.Opcode == 0x02; }), 1);
  EXPECT_TRUE(std::equal(W.Image.begin(), W.Image.end(), Sim.Flash.begin() + 0x10000));
}

TEST_F(FastCore, AProgramThatDoesNotLandShowsInTheDigestAfterTheWrite) {
  // The fast stub leaves the check to the digest of the whole image afterwards.
  Sim.DropPrograms = true;
  TWrite W{0x10000, Random(3 * Sector, 4), {true, true, true}};
  for (const TAnswer& x : Run(W.All()))
    EXPECT_EQ(x.Status(), 0);
  EXPECT_NE(Digests(0x10000, 3 * Sector, 0),
            std::vector<uint64_t>{DigestOf(W.Image.data(), W.Image.size())});
}

TEST_F(FastCore, BadSessionsAreRefusedAndEndTheSession) {
  const TWrite W{0x10000, Random(3 * Sector, 5), {true, true, true}};
  const TBytes S = W.Stream();
  TBytes Broken = S;
  Broken[Broken.size() / 2] ^= 0x5A;
  const TBytes Plain = TWrite{0x10000, W.Image, W.Write, false}.Stream();
  struct TCase {
    const char* What;
    TBytes Requests;
    uint8_t Cmd, Error;
  } Cases[] = {
      {"a corrupted stream",
       Cat(Cat(W.Begin(uint32_t(S.size())), W.Data(Broken)), Request(END, {})), 0, STUB_ERR_STREAM},
      {"a stream announced longer than it is",
       Cat(Cat(W.Begin(uint32_t(S.size() + 1)), W.Data(Cat(S, TBytes{0}))), Request(END, {})), 0,
       STUB_ERR_STREAM},
      {"a stream giving more than the sectors",
       Cat(Cat(TWrite{0x10000, W.Image, {true, true, false}}.Begin(uint32_t(S.size())), W.Data(S)),
           Request(END, {})),
       0, STUB_ERR_STREAM},
      {"a stream giving less than the sectors",
       [&] {
         TWrite Less = W;
         Less.Image.resize(2 * Sector);
         Less.Write = {true, true};
         const TBytes Short = Less.Stream();
         return Cat(Cat(W.Begin(uint32_t(Short.size())), W.Data(Short)), Request(END, {}));
       }(),
       END, STUB_ERR_STREAM},
      {"data out of sequence",
       Cat(W.Begin(uint32_t(S.size())), Request(DATA, Cat(Words({4, 1, 0, 0}), TBytes(4, 0)))),
       DATA, STUB_ERR_INVALID},
      {"a bad checksum",
       Cat(W.Begin(uint32_t(S.size())),
           Slip(Packet(DATA, Cat(Words({4, 0, 0, 0}), TBytes(4, 1)), 0x42))),
       DATA, STUB_ERR_CHECKSUM},
      {"data before a begin", Request(DATA, Cat(Words({4, 0, 0, 0}), TBytes(4, 0))), DATA,
       STUB_ERR_FAILED},
      {"a sector bit past the region",
       Request(BEGIN, Cat(Words({0x10000, 3 * Sector, 10, 1}), TBytes{0x0F})), BEGIN,
       STUB_ERR_INVALID},
      {"a region off a sector", Request(BEGIN, Cat(Words({0x10001, 3 * Sector, 10, 1}), TBytes{7})),
       BEGIN, STUB_ERR_INVALID},
      {"a region past the flash",
       Request(BEGIN, Cat(Words({0x3FF000, 2 * Sector, 10, 1}), TBytes{3})), BEGIN,
       STUB_ERR_INVALID},
      {"no sector to write", Request(BEGIN, Cat(Words({0x10000, 3 * Sector, 10, 1}), TBytes{0})),
       BEGIN, STUB_ERR_INVALID},
      {"plain bytes of the wrong length",
       Request(BEGIN, Cat(Words({0x10000, 3 * Sector, uint32_t(Plain.size() - 1), 0}), TBytes{7})),
       BEGIN, STUB_ERR_INVALID},
  };
  for (const TCase& c : Cases) {
    const auto a = Run(c.Requests);
    ASSERT_FALSE(a.empty()) << c.What;
    // The first refusal names the failure; Cmd 0 means "whichever answer".
    auto Bad = std::find_if(a.begin(), a.end(), [](const TAnswer& x) { return x.Status() != 0; });
    ASSERT_NE(Bad, a.end()) << c.What;
    if (c.Cmd) {
      EXPECT_EQ(Bad->Cmd, c.Cmd) << c.What;
    }
    EXPECT_EQ(Bad->Error(), c.Error) << c.What;
    // The session is over: more data is refused.
    EXPECT_EQ(One(Request(DATA, Cat(Words({4, 0, 0, 0}), TBytes(4, 0)))).Error(), STUB_ERR_FAILED)
        << c.What;
  }
}

TEST_F(FastCore, ReadStreamsTheFlashInAWindowAndEndsWithItsDigest) {
  const TBytes Old = Random(10000, 3);
  std::copy(Old.begin(), Old.end(), Sim.Flash.begin() + 0x30000);
  // The host's side: each packet received is acknowledged; the stub runs until it
  // has nothing to do but wait for the host.
  TBytes In = Request(READ, Words({0x30000, 10000, 1024, 3})), Got;
  std::vector<size_t> Burst; // packets sent between two looks of the host
  TAnswer Last;
  for (int Round = 0; Round < 50 && Last.Cmd != READ; ++Round) {
    const auto a = Run(In);
    In.clear();
    Burst.push_back(0);
    for (const TAnswer& x : a) {
      if (x.Cmd == READ) {
        Last = x;
        continue;
      }
      EXPECT_EQ(x.Cmd, READ_DATA);
      EXPECT_EQ(x.Value, 0x30000 + Got.size());
      EXPECT_EQ(x.Status(), 0);
      Got.insert(Got.end(), x.Data.begin() + 4, x.Data.end());
      In = Cat(In, Request(READ_ACK, Words({uint32_t(Got.size())})));
      ++Burst.back();
    }
  }
  EXPECT_TRUE(Got == Old);
  // The window: three packets before the first acknowledgement, then one for each.
  ASSERT_GE(Burst.size(), 3u);
  EXPECT_EQ(Burst[0], 3u);
  EXPECT_EQ(Burst[1], 3u);
  EXPECT_EQ(Last.Cmd, READ);
  EXPECT_EQ(Last.Value, 10000u);
  ASSERT_EQ(Last.Data.size(), 12u);
  EXPECT_EQ(Word64(Last.Data, 4), DigestOf(Old.data(), Old.size()));

  // With no acknowledgement the stub sends the window and no more, then gives up.
  Sim.Out.clear();
  const TBytes Req = Request(READ, Words({0x30000, 10000, 1024, 3}));
  Sim.In.assign(Req.begin(), Req.end());
  // (It waits for the host between its steps; the clock runs as it looks at it.)
  for (int i = 0; i < 100000 && Answers(Sim.Out).size() < 4; ++i)
    stub_service(S.get());
  const auto b = Answers(Sim.Out);
  ASSERT_EQ(b.size(), 4u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(b[i].Cmd, READ_DATA);
  EXPECT_EQ(b[3].Cmd, READ);
  EXPECT_EQ(b[3].Error(), STUB_ERR_FAILED);
  // And acknowledging more than was sent ends the read.
  const auto c =
      Run(Cat(Request(READ, Words({0x30000, 10000, 1024, 1})), Request(READ_ACK, Words({2048}))));
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c.back().Error(), STUB_ERR_INVALID);
  for (auto Bad :
       {Words({0x30000, 0, 1024, 1}), Words({0x30000, 10, 1026, 1}), Words({0x30000, 10, 8192, 1}),
        Words({0x30000, 10, 1024, 9}), Words({0x3FFFF0, 0x20, 1024, 1})})
    EXPECT_EQ(One(Request(READ, Bad)).Error(), STUB_ERR_INVALID);
}

TEST_F(FastCore, TheStandardCommandsStillWorkAndReadBackAtTheFastReadCommand) {
  const TBytes Image = Random(20000, 8);
  TBytes In = Request(FLASH_BEGIN, Words({32768, 2, 16384, 0x40000}));
  In = Cat(In, FlashData(0, TBytes(Image.begin(), Image.begin() + 16384)));
  In = Cat(In, FlashData(1, TBytes(Image.begin() + 16384, Image.end())));
  for (const TAnswer& x : Run(In))
    EXPECT_EQ(x.Status(), 0);
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Sim.Flash.begin() + 0x40000));
  EXPECT_EQ(
      std::count_if(Sim.Cmds.begin(), Sim.Cmds.end(), [](auto& c) { return c.Opcode == 0x03; }), 0);
}

} // namespace
