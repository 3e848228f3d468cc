// Loader commands: request words, time limits, acceptance, messages, log lines and
// the flash block counter.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "EspFixture.h"

namespace {

Bytes Joined(std::initializer_list<Bytes> Parts) {
  Bytes r;
  for (const Bytes& p : Parts)
    r.insert(r.end(), p.begin(), p.end());
  return r;
}

struct EspCommands : TEspFixture {
  size_t LogLinesStartingWith(const std::string& p) const {
    size_t n = 0;
    for (const auto& l : Log.Lines())
      n += l.rfind(p, 0) == 0;
    return n;
  }
};

TEST_F(EspCommands, RequestsAndTimeLimits) {
  const Bytes Data{1, 2, 3, 4};
  struct Case {
    const char* Name;
    std::function<void(TEsp&)> Call;
    uint8_t Com;
    Bytes Payload;
    int Timeout;
  } Cases[] = {
      {"changeBaud", [](TEsp& e) { e.changeBaud(921600, 115200); }, 0x0F, Words({921600, 115200}),
       200},
      {"readReg",
       [](TEsp& e) {
         uint32_t v;
         e.readReg(0x40001000, v);
       },
       0x0A, Words({0x40001000}), 300},
      {"writeReg", [](TEsp& e) { e.writeReg(0x3FF42000, 0xCAFE); }, 0x09,
       Words({0x3FF42000, 0xCAFE, 0xFFFFFFFF, 0}), 300},
      {"spiAttach", [](TEsp& e) { e.spiAttach(); }, 0x0D, Words({0}), 100},
      {"eraseChip", [](TEsp& e) { e.eraseChip(); }, 0xD0, {}, 20000},
      {"flashStart", [](TEsp& e) { e.flashStart(0x1000, 16385, 16384); }, 0x02,
       Words({32768, 2, 16384, 0x1000}), 5000},
      {"flashWrite", [&](TEsp& e) { e.flashWrite(Data.data(), 4); }, 0x03,
       [] {
         Bytes p = Words({4, 0, 0, 0});
         p.insert(p.end(), {1, 2, 3, 4});
         return p;
       }(),
       2000},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Link.Writes.clear();
    Link.Timeouts.clear();
    ReplyOk(c.Com);
    c.Call(*Esp);
    ASSERT_EQ(Link.Writes.size(), 1u);
    EXPECT_EQ(LastRequest(), RequestPacket(c.Com, c.Payload));
    ASSERT_FALSE(Link.Timeouts.empty());
    for (int t : Link.Timeouts)
      EXPECT_EQ(t, c.Timeout);
  }
  // The flash block's checksum covers exactly its data bytes.
  EXPECT_EQ(GetLe32(LastRequest(), 4), 0xEBu);
}

TEST_F(EspCommands, FailuresRaiseTheirMessages) {
  // Each answer kind, and what every command makes of it ("" = accepted, nothing raised).
  enum Kind { Silence, BadEscape, WrongDirection, WrongCommand, BadStatus, TooLong, KindCount };
  const char* KindNames[] = {"silence",         "bad escape",
                             "wrong direction", "answer to another command",
                             "status 1",        "too long"};
  struct Case {
    const char* Name;
    std::function<void(TEsp&)> Call;
    uint8_t Com;
    std::string NoAnswer; // silence, bad escape, wrong direction or command, too long
    std::string Status;   // answered with a non-zero status
  } Cases[] = {
      {"changeBaud", [](TEsp& e) { e.changeBaud(921600, 115200); }, 0x0F, "", ""},
      {"readReg",
       [](TEsp& e) {
         uint32_t v;
         e.readReg(0x3FF5A004, v);
       },
       0x0A, "Read Reg: 0x3FF5A004", "Read Reg: 0x3FF5A004"},
      {"writeReg", [](TEsp& e) { e.writeReg(0x0000A004, 1); }, 0x09, "Write Reg: 0x0000A004",
       "Write Reg: 0x0000A004"},
      {"spiAttach", [](TEsp& e) { e.spiAttach(); }, 0x0D, "Error SPI_ATTACH", "Error SPI_ATTACH"},
      {"eraseChip", [](TEsp& e) { e.eraseChip(); }, 0xD0, "Error ERASE_FLASH", "Error ERASE_FLASH"},
      {"flashStart", [](TEsp& e) { e.flashStart(0, 100, 16384); }, 0x02, "Error Flash Start", ""},
      {"flashWrite",
       [](TEsp& e) {
         uint8_t b = 7;
         e.flashWrite(&b, 1);
       },
       0x03, "Error Flash Write", "Error Flash"},
  };
  for (const Case& c : Cases) {
    for (int k = 0; k < KindCount; ++k) {
      SCOPED_TRACE(std::string(c.Name) + ", " + KindNames[k]);
      Esp = std::make_unique<TEsp>(Link, Log);
      Link.In.clear();
      Link.Baud = 115200;
      Bytes Long = ResponsePacket(c.Com);
      Long.resize(sizeof(TResponse) + 1);
      switch (k) {
      case Silence:
        Link.Replies.push_back({});
        break;
      case BadEscape:
        Link.Replies.push_back({0xC0, 0x01, c.Com, 0xDB, 0x00, 0xC0});
        break;
      case WrongDirection:
        Reply(ResponsePacket(c.Com, 0, 0, 0, 0));
        break;
      case WrongCommand: // well formed and accepting, but not an answer to this request
        Reply(ResponsePacket(c.Com == 0x03 ? 0x02 : 0x03));
        break;
      case BadStatus:
        Reply(ResponsePacket(c.Com, 0, 1, 5));
        break;
      case TooLong:
        Reply(Long);
        break;
      }
      EXPECT_EQ(Raised([&] { c.Call(*Esp); }), k == BadStatus ? c.Status : c.NoAnswer);
      if (c.Com == 0x0F) {
        EXPECT_EQ(Link.Baud, 115200); // the port keeps its rate
      }
    }
  }
}

// A stale answer to another command (left over from an earlier exchange) is passed over
// and the request's own answer taken; a run never goes on on answers that were not to
// its requests.
TEST_F(EspCommands, AnswersToOtherCommandsAreSkipped) {
  Link.Replies.push_back(Joined({Slip(ResponsePacket(0x02)), Slip(ResponsePacket(0x0A, 0x1234))}));
  uint32_t v = 0;
  Esp->readReg(0x40001000, v);
  EXPECT_EQ(v, 0x1234u);

  // Only answers to other commands: the block is not taken as written.
  Link.Replies.push_back(
      Joined({Slip(ResponsePacket(0x02)), Slip(ResponsePacket(0x0A)), Slip(ResponsePacket(0x0D))}));
  uint8_t b = 7;
  EXPECT_EQ(Raised([&] { Esp->flashWrite(&b, 1); }), "Error Flash Write");
}

// A baud change leaves the port at the old rate unless confirmed, and says how it ended:
// a refusal keeps both ends at the old rate, a missing answer leaves the board's rate
// unknown. The log tells which, since the run's next failure would otherwise point
// elsewhere. Nothing more goes on the wire than the request.
TEST_F(EspCommands, BaudChangeOutcomeIsReportedAndLogged) {
  const struct {
    const char* Name;
    Bytes Reply; // empty: no answer
    TBaudChange Outcome;
    int32_t Baud;
    const char* Line; // logged, or null
  } Cases[] = {
      {"answer dropped", {}, TBaudChange::Unanswered, 115200, "Baud change to 921600 not answered"},
      {"answer garbled",
       {0xC0, 0x01, 0x0F, 0xDB, 0x00, 0xC0},
       TBaudChange::Unanswered,
       115200,
       "Baud change to 921600 not answered"},
      {"refused", Slip(ResponsePacket(0x0F, 0, 1, 5)), TBaudChange::Refused, 115200,
       "Baud change to 921600 refused, staying at 115200"},
      {"confirmed", Slip(ResponsePacket(0x0F)), TBaudChange::Switched, 921600, nullptr},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    Link.Baud = 115200;
    Link.Writes.clear();
    Log.C();
    Link.Replies.push_back(c.Reply);
    EXPECT_EQ(Esp->changeBaud(921600, 115200), c.Outcome);
    EXPECT_EQ(Link.Baud, c.Baud);
    EXPECT_EQ(Link.Writes.size(), 1u);
    EXPECT_EQ(Log.Lines(), c.Line ? std::vector<std::string>{c.Line} : std::vector<std::string>{});
  }
}

// A board that answers only at one rate, as after a baud change whose answer was lost.
class TOneRateLink : public TFakeLink {
public:
  int32_t BoardBaud = 0; // 0: answers at no rate
  std::vector<int32_t> WrittenAt;
  int Write(const void* Buffer, int32_t Count) override {
    WrittenAt.push_back(Baud);
    if (Baud == BoardBaud) Replies.push_back(Slip(ResponsePacket(0x0A, 0x00F01D83)));
    return TFakeLink::Write(Buffer, Count);
  }
};

// After an unanswered baud change, one harmless request at the new rate, then one at the
// old: the port stays at the rate that answered. A board that answers at neither leaves
// the port at the old rate and gets 0.
TEST(EspFindBaud, AsksAtTheNewRateThenAtTheOld) {
  const struct {
    const char* Name;
    int32_t BoardBaud;
    uint32_t Found;
    std::vector<int32_t> Asked; // the port's rate at each request
    int32_t PortAfter;
  } Cases[] = {
      {"switched", 921600, 921600, {921600}, 921600},
      {"still at the old rate", 115200, 115200, {921600, 115200}, 115200},
      {"neither", 0, 0, {921600, 115200}, 115200},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TOneRateLink Link;
    TDebugLog Log;
    TEsp Esp(Link, Log);
    Link.BoardBaud = c.BoardBaud;
    EXPECT_EQ(Esp.findBaud(921600, 115200), c.Found);
    EXPECT_EQ(Link.WrittenAt, c.Asked);
    EXPECT_EQ(Link.Baud, c.PortAfter);
    for (const Bytes& W : Link.Writes)
      EXPECT_EQ(Unslip(W), RequestPacket(0x0A, Words({0x40001000})));
  }
}

TEST_F(EspCommands, AcceptedAnswers) {
  ReplyOk(0x0F);
  Esp->changeBaud(921600, 115200);
  EXPECT_EQ(Link.Baud, 921600);

  uint32_t v = 0;
  ReplyOk(0x0A, 0x00F01D83);
  Esp->readReg(0x40001000, v);
  EXPECT_EQ(v, 0x00F01D83u);
  EXPECT_EQ(Esp->StatusErr, &Esp->Response.Data[0]);

  // A refused read leaves the out-parameter alone.
  Reply(ResponsePacket(0x0A, 0x12345678, 1, 5));
  EXPECT_THROW(Esp->readReg(0x40001000, v), Exception);
  EXPECT_EQ(v, 0x00F01D83u);
}

TEST_F(EspCommands, FlashStartLogsAndRoundsUp) {
  struct Case {
    uint32_t Offset, Size;
    std::vector<std::string> Lines;
    Bytes Payload;
  } Cases[] = {
      {0x1000, 16385, {"BLK: 2", "ERA: 32768", "ADR: 1000"}, Words({32768, 2, 16384, 0x1000})},
      {0x8000, 32768, {"BLK: 2", "ERA: 32768", "ADR: 8000"}, Words({32768, 2, 16384, 0x8000})},
      {0x10000, 0, {"BLK: 0", "ERA: 0", "ADR: 10000"}, Words({0, 0, 16384, 0x10000})},
      {0xABC000, 1, {"BLK: 1", "ERA: 16384", "ADR: ABC000"}, Words({16384, 1, 16384, 0xABC000})},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Size);
    Log.C();
    ReplyOk(0x02);
    Esp->flashStart(c.Offset, c.Size, 16384);
    std::vector<std::string> Expected{std::string(60, '=')};
    Expected.insert(Expected.end(), c.Lines.begin(), c.Lines.end());
    EXPECT_EQ(Log.Lines(), Expected);
    EXPECT_EQ(LastRequest(), RequestPacket(0x02, c.Payload));
  }
}

TEST_F(EspCommands, FlashStartRefusesWhatItCannotSend) {
  // A zero block size and an erase size past 32 bits are refused before anything goes out.
  EXPECT_EQ(Raised([&] { Esp->flashStart(0x1000, 100, 0); }), "Error Flash Start");
  EXPECT_EQ(Raised([&] { Esp->flashStart(0x1000, 0xFFFFFFFF, 16384); }), "Error Flash Start");
  EXPECT_TRUE(Link.Writes.empty());
  EXPECT_TRUE(Log.Lines().empty());
  // The largest image that fits still goes out with its exact block count.
  ReplyOk(0x02);
  Esp->flashStart(0, 0xFFFFC000, 16384);
  EXPECT_EQ(LastRequest(), RequestPacket(0x02, Words({0xFFFFC000, 262143, 16384, 0})));
}

TEST_F(EspCommands, SequenceCountsAcceptedBlocks) {
  const uint8_t b[4] = {1, 2, 3, 4};
  auto SentSequence = [&] { return GetLe32(LastRequest(), 8 + 4); };

  // Non-zero status to FLASH_BEGIN is no failure; the counter starts at 0.
  Reply(ResponsePacket(0x02, 0, 1, 1));
  Esp->flashStart(0x1000, 5 * 16384, 16384);
  for (uint32_t i = 0; i < 3; ++i) {
    ReplyOk(0x03);
    Esp->flashWrite(b, 4);
    EXPECT_EQ(SentSequence(), i);
  }

  // Block 3 refused with status 1 and code 5: log line, request dump, "Error Flash".
  Log.C();
  Reply(ResponsePacket(0x03, 0, 1, 5));
  EXPECT_EQ(Raised([&] { Esp->flashWrite(b, 4); }), "Error Flash");
  ASSERT_EQ(Log.Lines().size(), 3u); // 30 bytes of request: two dump lines
  EXPECT_EQ(Log.Lines()[0], "  3: 1 = 05");
  EXPECT_EQ(Log.Lines()[1].substr(0, 30), "0000:  00 03 14 00 EB 00 00 00");
  EXPECT_EQ(SentSequence(), 3u);

  // Unanswered: "Error Flash Write", counter unchanged.
  Link.Replies.push_back({});
  EXPECT_EQ(Raised([&] { Esp->flashWrite(b, 4); }), "Error Flash Write");
  EXPECT_EQ(SentSequence(), 3u);

  ReplyOk(0x03);
  Esp->flashWrite(b, 4);
  EXPECT_EQ(SentSequence(), 3u);
  ReplyOk(0x03);
  Esp->flashWrite(b, 4);
  EXPECT_EQ(SentSequence(), 4u);

  // A new FLASH_BEGIN starts the count again.
  ReplyOk(0x02);
  Esp->flashStart(0x8000, 100, 16384);
  ReplyOk(0x03);
  Esp->flashWrite(b, 4);
  EXPECT_EQ(SentSequence(), 0u);
}

TEST_F(EspCommands, FullBlockFailureDumpEndsInZeros) {
  Bytes Block(EspDataSize, 0xAA);
  ReplyOk(0x02);
  Esp->flashStart(0, EspDataSize, 16384);
  Log.C();
  Reply(ResponsePacket(0x03, 0, 1, 5));
  EXPECT_EQ(Raised([&] { Esp->flashWrite(Block.data(), uint32_t(Block.size())); }), "Error Flash");
  // 16410 bytes: the header, 16400 of payload and the two spare bytes, which are zero.
  ASSERT_EQ(Log.Lines().size(), 1u + (16410 + 15) / 16);
  EXPECT_EQ(Log.Lines().back().substr(0, 39), "4010:  AA AA AA AA AA AA AA AA 00 00 ..");
}

TEST_F(EspCommands, FlashWriteRefusesOversizedBlock) {
  Bytes Block(EspDataSize + 1, 1);
  EXPECT_EQ(Raised([&] { Esp->flashWrite(Block.data(), uint32_t(Block.size())); }),
            "Error Flash Write");
  EXPECT_TRUE(Link.Writes.empty());
}

TEST_F(EspCommands, EraseDumpsTheResponseEvenAfterATimeout) {
  // Nothing decoded yet: the 8 zero header bytes of the record.
  Link.Replies.push_back({});
  EXPECT_EQ(Raised([&] { Esp->eraseChip(); }), "Error ERASE_FLASH");
  EXPECT_EQ(LogLinesStartingWith("0000:  00 00 00 00 00 00 00 00 .."), 1u);
  EXPECT_EQ(Log.Lines().size(), 1u);

  // A left-over Size of 0xFFFF would reach past the record; the dump stops at its end.
  Log.C();
  Link.Feed(Slip({0x01, 0xD0, 0xFF, 0xFF}));
  ASSERT_EQ(Esp->getPacket(100, true), 4);
  Link.Replies.push_back({});
  EXPECT_THROW(Esp->eraseChip(), Exception);
  EXPECT_EQ(Log.Lines().size(), (sizeof(TResponse) + 15) / 16);

  // An accepted erase dumps its answer too.
  Log.C();
  ReplyOk(0xD0);
  Esp->eraseChip();
  ASSERT_EQ(Log.Lines().size(), 1u);
  EXPECT_EQ(Log.Lines()[0].substr(0, 39), "0000:  01 D0 02 00 00 00 00 00 00 00 ..");
}

} // namespace
