// The packet layer: request frames on the wire and the decoding of answers.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "FakeLink.h"
#include "protocol/uEsp.h"

namespace {

struct EspFixture : ::testing::Test {
  TFakeLink Link;
  TDebugLog Log;
  std::unique_ptr<TEsp> Esp = std::make_unique<TEsp>(Link, Log);
};

using EspPackets = EspFixture;

Bytes Filled(size_t n, uint8_t v) {
  return Bytes(n, v);
}

TEST_F(EspPackets, RequestFramesOnTheWire) {
  Bytes Block20 = Filled(20, 0);
  for (uint8_t i = 0; i < 4; ++i)
    Block20[16 + i] = static_cast<uint8_t>(i + 1);
  Bytes Size192Frame{0xC0, 0x00, 0x07, 0xDB, 0xDC, 0x00, 0xEF, 0x00, 0x00, 0x00};
  Size192Frame.insert(Size192Frame.end(), 192, 0x00);
  Size192Frame.push_back(0xC0);

  struct Case {
    const char* Name;
    uint8_t Com;
    Bytes Payload;
    Bytes Frame;
  } Cases[] = {
      {"register read",
       0x0A,
       {0x00, 0x10, 0x00, 0x40},
       {0xC0, 0x00, 0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x40, 0xC0}},
      {"no payload", 0xD0, {}, {0xC0, 0x00, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0}},
      {"16 bytes carry checksum 0", 0x07, Filled(16, 0x5A),
       [] {
         Bytes f{0xC0, 0x00, 0x07, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
         f.insert(f.end(), 16, 0x5A);
         f.push_back(0xC0);
         return f;
       }()},
      {"20 bytes carry checksum EB", 0x03, Block20,
       [&] {
         Bytes f{0xC0, 0x00, 0x03, 0x14, 0x00, 0xEB, 0x00, 0x00, 0x00};
         f.insert(f.end(), Block20.begin(), Block20.end());
         f.push_back(0xC0);
         return f;
       }()},
      {"payload escapes",
       0x09,
       {0xC0, 0xDB, 0x01},
       {0xC0, 0x00, 0x09, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xDC, 0xDB, 0xDD, 0x01, 0xC0}},
      {"header escapes", 0x07, Filled(192, 0), Size192Frame},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Link.Writes.clear();
    Link.Calls.clear();
    Esp->sendPacket(c.Payload.data(), uint16_t(c.Payload.size()), c.Com);
    ASSERT_EQ(Link.Writes.size(), 1u);
    EXPECT_EQ(Link.Writes[0], c.Frame);
    // Stale input is purged before the frame goes out, in one write.
    EXPECT_EQ(Link.Calls, (std::vector<std::string>{"purge", "write"}));
    EXPECT_EQ(Esp->Request.Command, c.Com);
    EXPECT_EQ(Esp->Request.Size, c.Payload.size());
  }
}

TEST_F(EspPackets, LargestPayloadAllEscapedGoesOutWhole) {
  Bytes Payload = Filled(EspMaxPayload, 0xC0);
  Esp->sendPacket(Payload.data(), uint16_t(Payload.size()), 0x03);
  ASSERT_EQ(Link.Writes.size(), 1u);
  // Size 0x4010 and checksum 0xEF (an even count of C0 bytes cancels out) need no escape.
  EXPECT_EQ(Link.Writes[0].size(), 2 + 8 + 2 * EspMaxPayload);
  EXPECT_EQ(Unslip(Link.Writes[0]), RequestPacket(0x03, Payload));
}

TEST_F(EspPackets, OversizedPayloadIsRefusedBeforeSending) {
  Bytes Payload = Filled(EspMaxPayload + 1, 1);
  EXPECT_THROW(Esp->sendPacket(Payload.data(), uint16_t(Payload.size()), 0x03), Exception);
  EXPECT_TRUE(Link.Writes.empty());
}

TEST_F(EspPackets, DecodesAnswers) {
  struct Case {
    const char* Name;
    Bytes Before; // a frame decoded first, to see what a shorter frame leaves
    Bytes Input;
    bool ChkDir;
    int Result;
    std::function<void(const TResponse&)> Check;
  } Cases[] = {
      {"leading bytes dropped",
       {},
       {0x41, 0x42, 0xC0, 0x01, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0},
       true,
       10,
       [](const TResponse& r) {
         EXPECT_EQ(r.Direction, 1);
         EXPECT_EQ(r.Command, 0x0A);
         EXPECT_EQ(r.Size, 2);
         EXPECT_EQ(r.Value, 0u);
         EXPECT_EQ(r.Data[0], 0);
         EXPECT_EQ(r.Data[1], 0);
       }},
      {"little-endian header",
       {},
       Slip({0x01, 0x0A, 0x34, 0x12, 0x83, 0x1D, 0xF0, 0x00}),
       true,
       8,
       [](const TResponse& r) {
         EXPECT_EQ(r.Size, 0x1234);
         EXPECT_EQ(r.Value, 0x00F01D83u);
       }},
      {"escaped C0 without direction test",
       {},
       {0xC0, 0xDB, 0xDC, 0xC0},
       false,
       1,
       [](const TResponse& r) { EXPECT_EQ(r.Direction, 0xC0); }},
      {"escaped C0 with direction test",
       {},
       {0xC0, 0xDB, 0xDC, 0xC0},
       true,
       EspWrongDir,
       [](const TResponse& r) { EXPECT_EQ(r.Direction, 0xC0); }},
      {"escaped DB",
       {},
       {0xC0, 0x01, 0xDB, 0xDD, 0xC0},
       true,
       2,
       [](const TResponse& r) { EXPECT_EQ(r.Command, 0xDB); }},
      {"bad escape", {}, {0xC0, 0xDB, 0x41}, true, EspBadEscape, nullptr},
      {"silence before the frame", {}, {}, true, EspTimeout, nullptr},
      {"garbage then silence", {}, {0x41, 0x42}, true, EspTimeout, nullptr},
      {"silence inside the frame", {}, {0xC0, 0x01, 0x02}, true, EspTimeout, nullptr},
      {"silence after an escape", {}, {0xC0, 0x01, 0xDB}, true, EspTimeout, nullptr},
      {"empty frame without direction test", {}, {0xC0, 0xC0}, false, 0, nullptr},
      {"empty frame, direction 1 left over",
       Slip(ResponsePacket(0x0A)),
       {0xC0, 0xC0},
       true,
       0,
       nullptr},
      {"empty frame, direction 0 left over",
       Slip({0x00}),
       {0xC0, 0xC0},
       true,
       EspWrongDir,
       nullptr},
      {"shorter frame keeps the rest",
       Slip(ResponsePacket(0x0A, 0x11223344, 7, 9)),
       {0xC0, 0x01, 0x02, 0xFF, 0xC0},
       true,
       3,
       [](const TResponse& r) {
         EXPECT_EQ(r.Command, 0x02);
         EXPECT_EQ(r.Size, 0x00FF); // low byte new, high byte from before
         EXPECT_EQ(r.Value, 0x11223344u);
         EXPECT_EQ(r.Data[0], 7);
         EXPECT_EQ(r.Data[1], 9);
       }},
      {"partial frame stays decoded",
       {},
       {0xC0, 0x01, 0x0F, 0xDB, 0x00},
       true,
       EspBadEscape,
       [](const TResponse& r) {
         EXPECT_EQ(r.Direction, 1);
         EXPECT_EQ(r.Command, 0x0F);
       }},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Esp = std::make_unique<TEsp>(Link, Log);
    Link.In.clear();
    if (!c.Before.empty()) {
      Link.Feed(c.Before);
      ASSERT_GE(Esp->getPacket(100, false), 0);
    }
    Link.Timeouts.clear();
    Link.Feed(c.Input);
    EXPECT_EQ(Esp->getPacket(123, c.ChkDir), c.Result);
    if (c.Check) c.Check(Esp->Response);
    for (int t : Link.Timeouts)
      EXPECT_EQ(t, 123);
  }
}

TEST_F(EspPackets, FrameLongerThanTheRecordIsItsOwnFailure) {
  // Exactly the record decodes; one byte more is refused and nothing lands past it.
  Bytes Full = ResponsePacket(0x03);
  Full.resize(sizeof(TResponse), 0x5A);
  Link.Feed(Slip(Full));
  EXPECT_EQ(Esp->getPacket(100, true), int(sizeof(TResponse)));
  EXPECT_EQ(Esp->Response.Data[EspDataSize - 1], 0x5A);

  Bytes Long = ResponsePacket(0x03);
  Long.resize(sizeof(TResponse) + 100, 0xA5);
  Link.Feed(Slip(Long));
  EXPECT_EQ(Esp->getPacket(100, true), EspFrameTooLong);
  EXPECT_EQ(Esp->Response.Data[EspDataSize - 1], 0xA5);
  // What lies behind the record is intact: the session still reaches its link.
  Esp->sendPacket(nullptr, 0, 0xD0);
  EXPECT_EQ(Link.Writes.size(), 1u);
  EXPECT_EQ(Esp->ResponseCapacity(), sizeof(TResponse));
  EXPECT_EQ(Esp->ResponseBytes(), reinterpret_cast<const uint8_t*>(&Esp->Response));
}

// A line that keeps sending without a delimiter, a byte every millisecond, for far
// longer than any answer takes; then it falls silent.
class TChatter : public TFakeLink {
public:
  static constexpr size_t Length = 5000;
  int ComGetSer(int TimeOut) override {
    Timeouts.push_back(TimeOut);
    if (Timeouts.size() > Length) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 'A';
  }
};

TEST(EspHunt, EndlessBytesWithoutADelimiterEndTheHunt) {
  TChatter Link;
  TDebugLog Log;
  TEsp Esp(Link, Log);
  EXPECT_EQ(Esp.getPacket(50, true), EspTimeout);
  // The hunt gave up (after its overall bound) while the bytes still came.
  EXPECT_GT(Link.Timeouts.size(), 50u);
  EXPECT_LT(Link.Timeouts.size(), TChatter::Length);
}

// A network port floods bytes without a delimiter as fast as they can be read: the hunt
// ends after a bounded number of bytes, long before its time bound, so a flood fails as
// quickly as silence does.
class TFlood : public TFakeLink {
public:
  static constexpr size_t Length = 1u << 22; // 4 MiB, far more than any answer
  int ComGetSer(int TimeOut) override {
    if (++Reads > Length) return -1;
    (void)TimeOut;
    return 0x55;
  }
  size_t Reads = 0;
};

TEST(EspHunt, FloodWithoutADelimiterEndsTheHuntAfterBoundedBytes) {
  TFlood Link;
  TDebugLog Log;
  TEsp Esp(Link, Log);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Esp.getPacket(2000, true), EspTimeout);
  EXPECT_LE(Link.Reads, 2 * sizeof(TResponse) + 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
}

// The stub's keep-alive bytes between frames during a long erase: each arrives well
// inside the per-byte limit, and together they last longer than a limit and a second.
class TKeepAlive : public TFakeLink {
public:
  std::vector<int> Answer;
  int Sent = 0;
  int ComGetSer(int TimeOut) override {
    Timeouts.push_back(TimeOut);
    if (Sent < 26) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ++Sent;
      return 0x00;
    }
    if (Answer.empty()) return -1;
    int c = Answer.front();
    Answer.erase(Answer.begin());
    return c;
  }
};

TEST(EspHunt, KeepAliveBytesBeforeTheAnswerKeepTheHuntGoing) {
  TKeepAlive Link;
  for (uint8_t b : Slip(ResponsePacket(0xD0)))
    Link.Answer.push_back(b);
  TDebugLog Log;
  TEsp Esp(Link, Log);
  EXPECT_GT(Esp.getPacket(150, true), 0);
  EXPECT_EQ(Esp.Response.Command, 0xD0);
}

} // namespace
