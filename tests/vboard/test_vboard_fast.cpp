// The fast stub on the board through the program's own client (TEspFast over the
// RFC 2217 backend): its upload and greeting, the part it finds on boards of each
// flash size, digests that agree with the program's, writes of chosen sectors, the
// windowed read, a fast stub that hangs; and on the engine alone, what the board
// charges for a digest and for inflating at the chip's clocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "VbSession.h"
#include "VbTestUtil.h"
#include "protocol/uDigest.h"
#include "protocol/uEspFast.h"
#include "stub_digest.h"

using namespace vbtest;

namespace {

TBytes Data(size_t n, unsigned Seed) {
  std::mt19937 G(Seed);
  TBytes b(n);
  for (auto& c : b)
    c = uint8_t(G() % 5 ? G() % 32 : G()); // compresses, but not to nothing
  return b;
}

// A session on a board with the fast stub started at 921600 baud.
struct TFastSession : TSession {
  TEspFast Fast{esp, comIo, debug};
  explicit TFastSession(const std::string& Url) : TSession(Url) {}
  void Start() {
    ASSERT_NO_FATAL_FAILURE(ConnectAndIdentify());
    esp.changeBaud(921600, 115200);
    Fast.Install();
  }
};

TEST(VboardFast, TheFastStubStartsAndNamesThePartOnBoardsOfEachSize) {
  for (uint32_t MiB : {4u, 8u, 16u}) {
    TBoardServer board;
    board.Flash = vboard::TFlash(MiB << 20);
    board.Start();
    TFastSession s(board.Url());
    ASSERT_NO_FATAL_FAILURE(s.Start());
    const TFlashPart Part = s.Fast.Info();
    EXPECT_EQ(Part.Maker(), 0xEF) << MiB;
    EXPECT_EQ(Part.Jedec >> 16, uint32_t(std::bit_width(MiB << 20) - 1)) << MiB;
    EXPECT_EQ(Part.Size, MiB << 20);
    EXPECT_EQ(FlashSizeOfJedec(Part.Jedec), MiB << 20);
    EXPECT_EQ(FlashPartText(Part), "Winbond EF40" +
                                       std::string(MiB == 4   ? "16"
                                                   : MiB == 8 ? "17"
                                                              : "18") +
                                       ", " + std::to_string(MiB) + " MiB");
    s.ResetAndLeave(board);
    EXPECT_NE(ReadText(board.TraceFile).find("\"mode\",\"mode\":\"stub\",\"build\":\"fast\""),
              std::string::npos);
    EXPECT_EQ(ReadText(board.FlashFile).size(), size_t(MiB) << 20);
  }
}

TEST(VboardFast, TheProgramsDigestIsTheStubsOnDataOfEveryShape) {
  // The program's digest and the stub's C over the same bytes, on the data a flash
  // holds and at every length a word can end on.
  std::vector<TBytes> Samples = {TBytes(4096, 0x00), TBytes(4096, 0xFF), Data(4096, 1),
                                 Data(9999, 2),      TBytes(1, 0xAB),    TBytes{}};
  for (size_t n = 1; n <= 9; ++n)
    Samples.push_back(Data(n, unsigned(n)));
  for (const TBytes& S : Samples) {
    stub_digest d;
    stub_digest_init(&d);
    size_t i = 0;
    for (; i + 4 <= S.size(); i += 4) {
      const uint32_t w = vboard::GetLe32(&S[i]);
      stub_digest_words(&d, &w, 1);
    }
    if (i < S.size()) {
      uint32_t w = 0;
      for (size_t k = 0; i + k < S.size(); ++k)
        w |= uint32_t(S[i + k]) << (8 * k);
      stub_digest_tail(&d, w, uint32_t(S.size() - i));
    }
    uint32_t o[2];
    stub_digest_final(&d, o);
    EXPECT_EQ(TDigest64::Of(S), uint64_t(o[1]) << 32 | o[0]) << S.size();
  }
  // The program's digest in pieces is the digest of the whole.
  const TBytes B = Data(10007, 3);
  TDigest64 D;
  for (size_t At = 0; At < B.size(); At += 333)
    D.Add(std::span(B).subspan(At, std::min<size_t>(333, B.size() - At)));
  EXPECT_EQ(D.Final(), TDigest64::Of(B));
}

TEST(VboardFast, DigestsWritesOfChosenSectorsAndTheReadAgreeWithTheFlash) {
  TBoardServer board;
  const TBytes Old = Data(board.Flash.Capacity(), 9);
  board.Flash.Program(0, Old.data(), uint32_t(Old.size()));
  board.Start();
  TFastSession s(board.Url());
  ASSERT_NO_FATAL_FAILURE(s.Start());

  // The board's sector digests are the program's of the bytes it holds.
  const uint32_t At = 0x10000, Len = 10 * 4096 + 1234;
  EXPECT_EQ(s.Fast.SectorDigests(At, Len), TDigest64::PerUnit(std::span(Old).subspan(At, Len)));
  EXPECT_EQ(s.Fast.Digest(At, Len), TDigest64::Of(std::span(Old).subspan(At, Len)));

  // A new image; sectors 3 and 7 are written first, on their own and in plain bytes,
  // then the other nine from one deflated stream, which leaves those two alone.
  TBytes Image = Data(Len, 10);
  std::vector<bool> Write(11, true);
  Write[3] = Write[7] = false;
  TBytes Selected;
  for (size_t k = 0; k < Write.size(); ++k)
    if (Write[k])
      Selected.insert(Selected.end(), Image.begin() + long(k * 4096),
                      Image.begin() + long(std::min<size_t>(Len, (k + 1) * 4096)));
  TBytes Two(Image.begin() + 3 * 4096, Image.begin() + 4 * 4096);
  Two.insert(Two.end(), Image.begin() + 7 * 4096, Image.begin() + 8 * 4096);
  std::vector<bool> Only(11, false);
  Only[3] = Only[7] = true;
  s.Fast.Write(At, Len, Only, Two, false);
  const auto Before = board.Flash.Bytes();
  size_t Sent = 0;
  const TBytes Stream = DeflateRaw(Selected);
  s.Fast.Write(At, Len, Write, Stream, true, [&](size_t n) { Sent = n; });
  EXPECT_EQ(Sent, Stream.size());
  EXPECT_LT(Stream.size(), Selected.size());
  const auto& F = board.Flash.Bytes();
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), F.begin() + At));
  EXPECT_TRUE(std::equal(Before.begin() + At + 3 * 4096, Before.begin() + At + 4 * 4096,
                         F.begin() + At + 3 * 4096));
  EXPECT_EQ(s.Fast.Digest(At, Len), TDigest64::Of(Image));
  // The rest of the image's last sector was erased with it; past it, nothing changed.
  EXPECT_TRUE(std::equal(Old.begin() + At + 11 * 4096, Old.end(), F.begin() + At + 11 * 4096));
  EXPECT_TRUE(std::equal(Old.begin(), Old.begin() + At, F.begin()));

  // The read returns what the board holds, checked against the stub's digest.
  size_t Got = 0;
  const TBytes Back = s.Fast.Read(0x3F0000, 0x10000 - 4, [&](size_t n) { Got = n; });
  EXPECT_TRUE(std::equal(Back.begin(), Back.end(), F.begin() + 0x3F0000));
  EXPECT_EQ(Got, 0x10000u - 4);
  EXPECT_GT(s.esp.WireBytes(), Stream.size());
  s.ResetAndLeave(board);
}

TEST(VboardFast, AFastStubThatHangsFailsItsUploadAtTheGreeting) {
  TBoardServer board;
  board.Opt.FastStubHangs = true;
  board.Start();
  TFastSession s(board.Url());
  ASSERT_NO_FATAL_FAILURE(s.ConnectAndIdentify());
  s.esp.changeBaud(921600, 115200);
  try {
    s.Fast.Install();
    ADD_FAILURE() << "the upload succeeded";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Error ENTRY");
  }
  s.ResetAndLeave(board);
}

// The fast stub on the engine alone, uploaded from the program's own blob.
struct TFastEngine {
  vboard::TBoardOptions Opt;
  vboard::TFlash Flash;
  std::unique_ptr<vboard::TChipEngine> Chip;
  void Start() {
    Chip = std::make_unique<vboard::TChipEngine>(Opt, Flash);
    Chip->EnterLoader();
    const std::span<const uint8_t> B = StubEsp32FastBlob();
    size_t At = 12;
    for (uint32_t i = 0; i < vboard::GetLe32(&B[8]); ++i) {
      const uint32_t Addr = vboard::GetLe32(&B[At]), Len = vboard::GetLe32(&B[At + 4]);
      Chip->Feed(Frame(vboard::opMemBegin, Words({Len, 1, Len, Addr})));
      Chip->Feed(Frame(vboard::opMemData,
                       Block(0, TBytes(B.begin() + long(At) + 8, B.begin() + long(At) + 8 + Len)),
                       true));
      At += 8 + (Len + 3) / 4 * 4;
    }
    Chip->Feed(Frame(vboard::opMemEnd, Words({0, vboard::GetLe32(&B[4])})));
    Chip->TakeActions();
  }
  // The chip's busy time for a request, in milliseconds.
  double BusyMs(uint8_t Cmd, const TBytes& Payload) {
    Chip->Feed(Frame(Cmd, Payload, true));
    int64_t Ns = 0;
    for (const vboard::TAction& a : Chip->TakeActions())
      if (a.Kind == vboard::TAction::TKind::Busy) Ns += a.Ns;
    return double(Ns) / 1e6;
  }
};

TEST(VboardFast, TheBoardChargesADigestAtTheSpiClockAndTheInflaterAtTheCpuClock) {
  // A digest of 1 MiB is bound by the flash read at the stub's SPI clock (the APB
  // clock, which is the crystal's in the ROM loader): 64 bytes and 5 of command,
  // address and dummy a transaction, the digest's own cycles hidden behind the next
  // read. At a slower crystal the read and the CPU both slow down.
  for (uint32_t Mhz : {40u, 26u}) {
    TFastEngine E;
    E.Opt.CpuMhz = Mhz;
    E.Opt.TimeScale = 1;
    E.Start();
    ASSERT_EQ(E.Chip->Mode(), vboard::TChipEngine::TMode::Stub);
    ASSERT_TRUE(E.Chip->FastStub());
    const double Ms = E.BusyMs(0xE1, Words({0, 1u << 20, 0}));
    const double ReadMs = (1u << 20) / 64.0 * (69 * 8.0 / Mhz + 1.0) / 1000.0;
    EXPECT_GT(Ms, ReadMs * 0.98) << Mhz;
    EXPECT_LT(Ms, ReadMs * 1.1) << Mhz;
  }
  // Inflating costs CPU time, which shows where no flash work hides it (a part that
  // takes no time to erase or program): 64 KiB deflated against the same bytes sent as
  // they are.
  double Ms[2];
  for (int Deflated = 0; Deflated < 2; ++Deflated) {
    TFastEngine E;
    E.Opt.CpuMhz = 40;
    E.Opt.TimeScale = 0; // the part itself takes no time: only the bus and the CPU count
    E.Start();
    const TBytes Image = Data(65536, 4);
    const TBytes Stream = Deflated ? DeflateRaw(Image) : Image;
    TBytes Begin = Words({0x10000, 65536, uint32_t(Stream.size()), uint32_t(Deflated)});
    Begin.insert(Begin.end(), {0xFF, 0xFF}); // all 16 sectors
    E.BusyMs(0xE2, Begin);
    double Total = 0;
    for (uint32_t Seq = 0, Done = 0; Done < Stream.size(); ++Seq) {
      const uint32_t n = std::min<uint32_t>(16384, uint32_t(Stream.size() - Done));
      Total += E.BusyMs(0xE3, Block(Seq, TBytes(Stream.begin() + Done, Stream.begin() + Done + n)));
      Done += n;
    }
    Total += E.BusyMs(0xE4, {});
    Ms[Deflated] = Total;
    EXPECT_TRUE(std::equal(Image.begin(), Image.end(), E.Flash.Bytes().begin() + 0x10000));
  }
  // The inflater's symbols at 60 cycles and bytes at 8 on 40 MHz: well above the copy.
  EXPECT_GT(Ms[1], Ms[0] + 10.0);
}

} // namespace
