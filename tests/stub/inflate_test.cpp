// The fast stub's inflater against streams zlib made (every block type and strategy,
// fed in pieces of every size, through rings and steps of every size) and against
// streams that break one rule of RFC 1951 each.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "InflateRun.h"

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Deflate(const TBytes& In, int Level, int Strategy) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, Level, Z_DEFLATED, -15, 8, Strategy), Z_OK);
  TBytes Out(deflateBound(&s, uLong(In.size())) + 16);
  s.next_in = const_cast<Bytef*>(In.data());
  s.avail_in = uInt(In.size());
  s.next_out = Out.data();
  s.avail_out = uInt(Out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  Out.resize(s.total_out);
  deflateEnd(&s);
  return Out;
}

// Kinds of data a flash image holds.
TBytes Sample(const std::string& Kind, size_t n, unsigned Seed) {
  std::mt19937 G(Seed);
  TBytes b(n);
  if (Kind == "random") {
    for (auto& c : b)
      c = uint8_t(G());
  } else if (Kind == "zeros") {
    std::fill(b.begin(), b.end(), 0);
  } else if (Kind == "erased") {
    std::fill(b.begin(), b.end(), 0xFF);
  } else if (Kind == "text") {
    static const char* Words[] = {"flash ", "sector ", "erase ", "0x1000 ", "stub\n", "OHAI "};
    for (size_t i = 0; i < n;) {
      const char* w = Words[G() % 6];
      for (size_t k = 0; w[k] && i < n; ++k)
        b[i++] = uint8_t(w[k]);
    }
  } else { // "code": short instruction-like words with far repeats, as machine code has
    TBytes Dict(4096);
    for (auto& c : Dict)
      c = uint8_t(G() % 40);
    for (size_t i = 0; i < n; ++i)
      b[i] = (G() % 5) ? Dict[(i * 7 + G() % 3) % Dict.size()] : uint8_t(G());
  }
  return b;
}

TEST(StubInflate, ZlibStreamsOfEveryKindComeOutWholeInAnyPiecesAndSteps) {
  struct TCase {
    const char* Kind;
    size_t Size;
    int Level, Strategy;
  } Cases[] = {
      {"random", 70000, 6, Z_DEFAULT_STRATEGY}, // mostly stored blocks
      {"random", 5000, 0, Z_DEFAULT_STRATEGY},  // stored only
      {"code", 200000, 9, Z_DEFAULT_STRATEGY},  // dynamic blocks, far matches
      {"code", 60000, 1, Z_DEFAULT_STRATEGY},   //
      {"text", 100000, 9, Z_FIXED},             // fixed codes
      {"text", 100000, 6, Z_HUFFMAN_ONLY},      // literals only
      {"zeros", 300000, 9, Z_RLE},              // runs: overlapping copies of distance 1
      {"erased", 100000, 9, Z_DEFAULT_STRATEGY},
      {"text", 1, 9, Z_DEFAULT_STRATEGY},
      {"text", 0, 9, Z_DEFAULT_STRATEGY}, // an empty stream: one empty final block
  };
  struct TFeed {
    size_t Piece;
    uint32_t Step, RingBits;
  } Feeds[] = {
      {1u << 30, 1u << 30, 16}, {16384, 256, 16}, {1, 1, 15}, {7, 300, 15}, {4093, 65536, 17}};
  for (const TCase& c : Cases) {
    const TBytes In = Sample(c.Kind, c.Size, unsigned(c.Size));
    const TBytes Z = Deflate(In, c.Level, c.Strategy);
    for (const TFeed& f : Feeds) {
      SCOPED_TRACE(std::string(c.Kind) + " " + std::to_string(c.Size) + " level " +
                   std::to_string(c.Level) + " strategy " + std::to_string(c.Strategy) + " piece " +
                   std::to_string(f.Piece) + " step " + std::to_string(f.Step));
      const TInflated R = InflateStream(Z, f.Piece, f.Step, f.RingBits);
      EXPECT_EQ(R.Result, uint32_t(STUB_Z_END));
      EXPECT_TRUE(R.Out == In) << "output differs (" << R.Out.size() << " bytes)";
      EXPECT_EQ(R.Used, Z.size()); // the stream's end is found to the byte
    }
  }
}

TEST(StubInflate, AStreamCutShortWantsMoreAndTrailingBytesAreLeftAlone) {
  const TBytes In = Sample("code", 50000, 3);
  const TBytes Z = Deflate(In, 9, Z_DEFAULT_STRATEGY);
  for (size_t Cut : {size_t(0), size_t(1), Z.size() / 2, Z.size() - 1}) {
    const TInflated R = InflateStream(TBytes(Z.begin(), Z.begin() + long(Cut)), 100, 512);
    EXPECT_EQ(R.Result, uint32_t(STUB_Z_MORE)) << Cut;
    EXPECT_TRUE(std::equal(R.Out.begin(), R.Out.end(), In.begin())) << Cut;
  }
  TBytes Tail = Z;
  Tail.insert(Tail.end(), {0x12, 0x34, 0x56});
  const TInflated R = InflateStream(Tail, 1u << 20, 1u << 20);
  EXPECT_EQ(R.Result, uint32_t(STUB_Z_END));
  EXPECT_EQ(R.Used, Z.size());
  EXPECT_TRUE(R.Out == In);
}

// Streams written bit by bit: each breaks one rule.
class TBits {
public:
  TBits& Put(uint32_t Value, uint32_t n) { // n bits, lowest first
    for (uint32_t i = 0; i < n; ++i, ++Bit) {
      if (Bit % 8 == 0) Bytes.push_back(0);
      Bytes.back() |= uint8_t(((Value >> i) & 1u) << (Bit % 8));
    }
    return *this;
  }
  TBytes Bytes;

private:
  uint32_t Bit = 0;
};

// A fixed-code block: literal 'A' (code 0x30 + 'A', 8 bits, sent first bit first),
// then a match of length 3 at Distance (5-bit code, no extra bits for 1..4), end of block.
TBytes FixedMatch(uint32_t DistCode) {
  auto Reversed = [](uint32_t Code, uint32_t n) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < n; ++i)
      r |= ((Code >> i) & 1u) << (n - 1 - i);
    return r;
  };
  TBits b;
  b.Put(1, 1).Put(1, 2);             // final, fixed
  b.Put(Reversed(0x30 + 'A', 8), 8); // 'A'
  b.Put(Reversed(1, 7), 7);          // length symbol 257: 3
  b.Put(Reversed(DistCode, 5), 5);   // distance
  b.Put(0, 7);                       // end of block (256: seven zero bits)
  return b.Bytes;
}

TEST(StubInflate, StreamsThatBreakARuleAreRefused) {
  struct TCase {
    const char* What;
    TBytes Stream;
  } Cases[] = {
      {"block type 3", TBits().Put(1, 1).Put(3, 2).Bytes},
      {"stored length and its complement disagree", {0x01, 0x05, 0x00, 0xFA, 0xF0, 1, 2, 3, 4, 5}},
      {"a distance back past the stream's start", FixedMatch(1)}, // distance 2 after 1 byte
      {"distance symbol 30 of the fixed code", FixedMatch(30)},
      {"more than 286 literal/length codes",
       TBits().Put(1, 1).Put(2, 2).Put(30, 5).Put(0, 5).Put(0, 4).Bytes},
      {"more than 30 distance codes",
       TBits().Put(1, 1).Put(2, 2).Put(0, 5).Put(30, 5).Put(0, 4).Bytes},
      // Code-length code with only one length-1 code: incomplete, which it may never be.
      {"an incomplete code-length code", TBits()
                                             .Put(1, 1)
                                             .Put(2, 2)
                                             .Put(0, 5)
                                             .Put(0, 5)
                                             .Put(0, 4)
                                             .Put(1, 3)
                                             .Put(0, 3)
                                             .Put(0, 3)
                                             .Put(0, 3)
                                             .Bytes},
      // Code-length code: three lengths of 1 over-subscribe the two one-bit codes.
      {"an over-subscribed code-length code", TBits()
                                                  .Put(1, 1)
                                                  .Put(2, 2)
                                                  .Put(0, 5)
                                                  .Put(0, 5)
                                                  .Put(0, 4)
                                                  .Put(1, 3)
                                                  .Put(1, 3)
                                                  .Put(1, 3)
                                                  .Put(0, 3)
                                                  .Bytes},
  };
  for (const TCase& c : Cases) {
    for (size_t Piece : {size_t(1), size_t(1) << 20}) {
      const TInflated R = InflateStream(c.Stream, Piece, 1u << 16);
      EXPECT_EQ(R.Result, uint32_t(STUB_Z_ERROR)) << c.What << ", piece " << Piece;
    }
  }
  // The same match at distance 1 after one byte is fine: "AAAA".
  const TInflated Ok = InflateStream(FixedMatch(0), 1, 1);
  EXPECT_EQ(Ok.Result, uint32_t(STUB_Z_END));
  EXPECT_EQ(std::string(Ok.Out.begin(), Ok.Out.end()), "AAAA");
}

TEST(StubInflate, ARingOfTheWindowSizeHoldsHistoryAcrossItsWrap) {
  // Matches reaching back 32000 bytes (zlib's encoder reaches nearly the whole
  // window) through a ring of exactly 32 KiB, taken out one byte at a time: the copy
  // source must still be there after each wrap.
  TBytes In = Sample("random", 32000, 9);
  for (int r = 0; r < 4; ++r)
    In.insert(In.end(), In.begin(), In.begin() + 32000);
  const TBytes Z = Deflate(In, 9, Z_DEFAULT_STRATEGY);
  EXPECT_LT(Z.size(), 40000u); // the repeats were found
  const TInflated R = InflateStream(Z, 999, 1, 15);
  EXPECT_EQ(R.Result, uint32_t(STUB_Z_END));
  EXPECT_TRUE(R.Out == In);
}

} // namespace
