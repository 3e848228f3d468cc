// The board on a virtual clock: the auto-reset circuit under the connect sequence,
// UART pacing and garbling, the baud switch, autobaud and modelled busy time.
#include <gtest/gtest.h>

#include <string>

#include "VbBoard.h"
#include "VbBoardFixture.h"
#include "VbTestUtil.h"

using namespace vboard;
using namespace vbtest;

namespace {

TEST(VboardBoard, ResetCircuitFollowsTheConnectSequence) {
  struct {
    const char* Name;
    bool SlowOnly;
    int64_t Low, High, Gap;
    const char* Mode;
  } cases[] = {
      {"fast timings", false, 150, 100, 0, "loader"},
      {"slow timings", false, 1400, 500, 0, "loader"},
      {"a client that waits for each acknowledgement", false, 150, 100, 50, "app"},
      {"IO0 released before the sample", false, 150, 5, 0, "app"},
      {"IO0 released within the hold", false, 150, 11, 0, "app"},
      {"slow board, fast timings", true, 150, 100, 0, "app"},
      {"slow board, slow timings", true, 1400, 500, 0, "loader"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.Name);
    TBoardFixture f;
    if (k.SlowOnly) {
      f.Opt.MinResetMs = 600;
      f.Opt.MinHoldMs = 250;
    }
    f.Start();
    f.Connect(k.Low, k.High, k.Gap);
    EXPECT_EQ(f.Board->ModeName(), k.Mode);
    bool rom = f.Text().find("waiting for download") != std::string::npos;
    bool app = f.Text().find("application running") != std::string::npos;
    EXPECT_EQ(rom, std::string(k.Mode) == "loader");
    EXPECT_EQ(app, std::string(k.Mode) == "app");
  }
}

TEST(VboardBoard, DtrAloneNeverResetsAndTheFinalPulseBootsTheApplication) {
  TBoardFixture f;
  f.Start();
  f.Board->SetDtr(f.Now, true);
  f.Wait(200);
  f.Board->SetDtr(f.Now, false);
  f.Wait(50);
  EXPECT_EQ(f.Board->ModeName(), "app");
  EXPECT_TRUE(f.Out.empty()); // no reset, so no boot text
  f.Connect(150, 100);
  ASSERT_EQ(f.Board->ModeName(), "loader");
  // The end-of-run reset: a 50 ms RTS pulse with DTR de-asserted.
  f.Board->SetRts(f.Now, true), f.Board->SetDtr(f.Now, false);
  f.Wait(50);
  f.Board->SetRts(f.Now, false), f.Board->SetDtr(f.Now, false);
  f.Wait(30);
  EXPECT_EQ(f.Board->ModeName(), "app");
}

TEST(VboardBoard, BytesArePacedAtTenBitsEach) {
  TBoardFixture f;
  f.Start();
  f.Connect(150, 100);
  f.Out.clear();
  int64_t t0 = f.Now;
  f.Write(TBytes(1000, 0x55)); // not a frame: the loader just drops it
  int64_t perByte = (10 * 1000000000LL + 57600) / 115200;
  f.Board->Advance(t0 + 499 * perByte + perByte / 2);
  EXPECT_EQ(f.Board->BytesToChip(), 499u);
  f.Board->Advance(t0 + 1000 * perByte);
  EXPECT_EQ(f.Board->BytesToChip(), 1000u);
  // The answer to a SYNC leaves the board at the same pace: 46 bytes in, 8 x 12 out.
  int64_t t1 = f.Now = t0 + 1000 * perByte;
  f.Write(SyncFrame());
  f.Board->Advance(t1 + (46 + 12) * perByte - 1);
  EXPECT_TRUE(Frames(f.Out).empty());
  f.Board->Advance(t1 + (46 + 12) * perByte);
  EXPECT_EQ(Frames(f.Out).size(), 1u);
  f.Board->Advance(t1 + (46 + 8 * 12) * perByte);
  EXPECT_EQ(Frames(f.Out).size(), 8u);
}

TEST(VboardBoard, BaudSwitchAnswersAtTheOldRateAndMismatchedRatesGarble) {
  TBoardFixture f;
  f.Start();
  f.Connect(150, 100);
  f.Write(SyncFrame());
  f.Wait(20);
  f.Out.clear();
  f.Write(Frame(opChangeBaud, Words({921600, 115200})));
  f.Wait(5);
  auto got = Frames(f.Out);
  ASSERT_EQ(got.size(), 1u); // read cleanly at the old rate
  EXPECT_EQ(Ans(got[0]).Status, 0);
  EXPECT_EQ(f.Board->ChipBaud(), 921600u);
  // The host still at 115200: its request arrives garbled and is never answered.
  f.Out.clear();
  f.Write(Frame(opReadReg, Words({0x40001000})));
  f.Wait(20);
  EXPECT_TRUE(f.Out.empty());
  f.Board->SetHostBaud(f.Now, 921600);
  f.Write(Frame(opReadReg, Words({0x40001000})));
  f.Wait(5);
  got = Frames(f.Out);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Ans(got[0]).Value, 0x00F01D83u);
  // The board talking at 921600 to a host at 230400: other bytes arrive.
  f.Out.clear();
  TBytes sent = Frame(opReadReg, Words({0x40001000}));
  f.Write(sent);
  f.Board->SetHostBaud(f.Now, 230400);
  f.Wait(5);
  EXPECT_EQ(f.Out.size(), 12u);
  EXPECT_TRUE(Frames(f.Out).empty() || Ans(Frames(f.Out)[0]).Value != 0x00F01D83u);
}

TEST(VboardBoard, LoaderAdoptsTheHostRateFromTheFirstBytes) {
  TBoardFixture f;
  f.Start();
  f.Board->SetHostBaud(f.Now, 57600);
  f.Connect(150, 100);
  f.Out.clear();
  f.Write(SyncFrame());
  f.Wait(30);
  // The first bytes went to measuring the rate; the answers come at 57600.
  EXPECT_EQ(f.Board->ChipBaud(), 57600u);
  f.Out.clear();
  f.Write(SyncFrame());
  f.Wait(30);
  EXPECT_EQ(Frames(f.Out).size(), 8u);
}

TEST(VboardBoard, EraseKeepsTheAnswerBackForItsModelledTimeWithKeepAlives) {
  TBoardFixture f;
  f.Opt.TimeScale = 1.0;
  f.Opt.Pacing = false;
  f.Start();
  f.Connect(150, 100);
  f.Write(StubUpload());
  f.Wait(1);
  ASSERT_EQ(f.Board->ModeName(), "stub");
  f.Out.clear();
  f.Write(Frame(opEraseFlash, {}));
  // For the chip erase's 10 s only keep-alive bytes come, never 500 ms apart.
  int64_t Last = 0, Gap = 0;
  size_t Seen = 0;
  for (int64_t t = 10; t < 9990; t += 10) {
    f.Wait(10);
    if (f.Out.size() > Seen) {
      Gap = std::max(Gap, t - Last);
      Last = t;
      Seen = f.Out.size();
    }
  }
  EXPECT_TRUE(Frames(f.Out).empty());
  EXPECT_GT(Seen, 0u);
  EXPECT_LE(std::max(Gap, 9990 - Last), 500);
  f.Wait(100);
  ASSERT_EQ(Frames(f.Out).size(), 1u);
}

TEST(VboardBoard, MuteBoardSendsNothing) {
  TBoardFixture f;
  f.Opt.Mute = true;
  f.Start();
  f.Connect(150, 100);
  EXPECT_EQ(f.Board->ModeName(), "loader");
  f.Write(SyncFrame());
  f.Wait(50);
  EXPECT_TRUE(f.Out.empty());
}

} // namespace
