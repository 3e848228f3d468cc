// The loader entry over a recording backend and a scripted loader session.
#include <gtest/gtest.h>

#include <functional>

#include "FakeLink.h"
#include "protocol/uComEsp.h"

namespace {

// The port and settings the loader entry is given, the lamp, and a status line that
// shows its attempts and tries as the flash job words them.
class TFakeMain : public IEntryProgress, public TFakeLamp {
public:
  std::string Port;
  std::string Status;
  std::vector<std::string> StatusHistory;
  int Processed = 0; // attempts and tries reported
  TEntrySettings Cfg;

  void Attempt(int, bool Slow) override {
    SetStatusText(Slow ? "Connect slow " : "Connect fast ");
    ++Processed;
  }
  void Try(int) override {
    SetStatusText(Status + "#");
    ++Processed;
  }
  void SetStatusText(const std::string& Text) {
    Status = Text;
    StatusHistory.push_back(Text);
  }
};

// Answers getPacket from a script: one entry per call, {result, command byte}.
class TScriptedEsp : public IPacketSource {
public:
  struct Answer {
    int Result;
    uint8_t Command;
  };
  std::vector<Answer> Script;
  std::vector<uint8_t> Record = std::vector<uint8_t>(64, 0xAB);
  std::function<void()> OnCall;
  int Calls = 0;

  int getPacket(int Timeout, bool ChkDir) override {
    EXPECT_EQ(Timeout, 200);
    EXPECT_TRUE(ChkDir);
    if (OnCall) OnCall();
    const Answer a = Calls < static_cast<int>(Script.size()) ? Script[static_cast<size_t>(Calls)]
                                                             : Answer{-1, 0};
    ++Calls;
    Record[0] = 1;
    Record[1] = a.Command;
    return a.Result;
  }
  const uint8_t* ResponseBytes() const override { return Record.data(); }
  size_t ResponseCapacity() const override { return Record.size(); }
};

std::vector<uint8_t> SyncFrameBytes() {
  std::vector<uint8_t> f = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01,
                            0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.insert(f.end(), 32, 0x55);
  f.push_back(0xC0);
  return f;
}

// The backend's open of the port ttyUSB3.
#ifdef _WIN32
const std::string OpenTtyUSB3 = "open \\\\.\\ttyUSB3";
#else
const std::string OpenTtyUSB3 = "open /dev/ttyUSB3";
#endif

class ComEspTest : public ::testing::Test {
protected:
  void SetUp() override {
    Main.Port = "ttyUSB3";
    Main.Cfg.SlowLow = Main.Cfg.SlowHigh = Main.Cfg.FastLow = Main.Cfg.FastHigh = 1;
    Io.cPort.SetBackendFactory(FakeFactory(Line));
    ComEsp.AttachEsp(&Esp);
  }
  std::shared_ptr<TFakeLine> Line = std::make_shared<TFakeLine>();
  TFakeMain Main;
  TDebugLog Debug;
  TComIo Io{&Main};
  TComEsp ComEsp{Io, Debug};
  TScriptedEsp Esp;

  bool ConnectESP(uint32_t Baud, bool Delay) {
    return ComEsp.ConnectESP(Main.Port, Main.Cfg, Main, Baud, Delay);
  }
  bool DoConnect() { return ComEsp.DoConnect(Main.Port, Main.Cfg, Main); }
};

TEST_F(ComEspTest, OneAttemptRunsTheLineSequenceThenSyncs) {
  Esp.Script = {{-1, 0}, {12, 8}};
  Main.Cfg.ConnBaud = 230400;
  Main.Status = "Connect fast ";
  EXPECT_TRUE(ConnectESP(Main.Cfg.ConnBaud, false));
  const std::vector<std::string> Want = {OpenTtyUSB3, // the port's device, opened
                                         "buffers 1024/1024",
                                         "line 230400",
                                         "timeouts -1/0/0/100/1000",
                                         "purge 11", // after the 50 ms pause
                                         "dtr 0",
                                         "rts 1",
                                         "dtr 0",
                                         "dtr 1",
                                         "rts 0",
                                         "dtr 1",
                                         "dtr 0", // reset into the loader
                                         "purge 11",
                                         "purge 11",
                                         "write 46", // try 1
                                         "purge 11",
                                         "purge 11",
                                         "write 46"}; // try 2
  EXPECT_EQ(Line->Ops, Want);
  std::vector<uint8_t> Frames = SyncFrameBytes();
  Frames.insert(Frames.end(), Frames.begin(), Frames.end());
  EXPECT_EQ(Line->Tx, Frames);
  EXPECT_EQ(Main.Status, "Connect fast ##");
  EXPECT_EQ(Main.Processed, 2);
  EXPECT_TRUE(Io.cPort.Connected());
  EXPECT_EQ(Io.cPort.BaudRate(), brCustom);
  // The answer (r + 8 bytes of the record) went to the log as a hex dump.
  TDebugLog Expected;
  Expected.BUFF(Esp.Record.data(), 20);
  EXPECT_EQ(Debug.Lines(), Expected.Lines());
}

TEST_F(ComEspTest, AttemptsAlternateAndShowTheirStatus) {
  struct Case {
    bool FastFirst;
    int AnswerOnCall; // -1: never
    bool Result;
    std::vector<std::string> Statuses; // texts at each attempt's end
  };
  const Case Cases[] = {
      {true, 5, true, {"Connect fast #####", "Connect slow #"}},
      {false, 7, true, {"Connect slow #####", "Connect fast ###"}},
      {true,
       -1,
       false,
       {"Connect fast #####", "Connect slow #####", "Connect fast #####", "Connect slow #####",
        "Connect fast #####", "Connect slow #####"}},
  };
  for (const Case& c : Cases) {
    Main = TFakeMain();
    Main.Port = "ttyUSB3";
    Main.Cfg.FastFirst = c.FastFirst;
    Main.Cfg.SlowLow = Main.Cfg.SlowHigh = Main.Cfg.FastLow = Main.Cfg.FastHigh = 1;
    Esp.Calls = 0;
    Esp.Script.assign(static_cast<size_t>(c.AnswerOnCall < 0 ? 0 : c.AnswerOnCall + 1), {-1, 0});
    if (c.AnswerOnCall >= 0) Esp.Script.back() = {10, 8};
    EXPECT_EQ(DoConnect(), c.Result);
    std::vector<std::string> Ends;
    for (size_t i = 0; i < Main.StatusHistory.size(); ++i)
      if (i + 1 == Main.StatusHistory.size() || Main.StatusHistory[i + 1].back() == ' ')
        Ends.push_back(Main.StatusHistory[i]);
    EXPECT_EQ(Ends, c.Statuses);
    EXPECT_EQ(Esp.Calls, c.AnswerOnCall < 0 ? 30 : c.AnswerOnCall + 1);
    EXPECT_TRUE(Io.cPort.Connected()) << "the port stays open either way";
  }
}

TEST_F(ComEspTest, AnswerToAnotherCommandEndsTheAttempt) {
  Esp.Script = {{-1, 0}, {14, 0x0A}, {14, 8}};
  EXPECT_FALSE(ConnectESP(115200, true));
  EXPECT_EQ(Esp.Calls, 2);
  EXPECT_TRUE(Debug.Lines().empty());
}

TEST_F(ComEspTest, DumpStaysInsideTheResponseRecord) {
  Esp.Record.assign(12, 0x11);
  Esp.Script = {{100, 8}};
  EXPECT_TRUE(ConnectESP(115200, false));
  TDebugLog Expected;
  Expected.BUFF(Esp.Record.data(), 12);
  EXPECT_EQ(Debug.Lines(), Expected.Lines());
}

TEST_F(ComEspTest, PortErrorsLeaveAtOnce) {
  struct Case {
    const char* Failing;
    int Code;
    size_t Statuses;
  };
  const Case Cases[] = {{"open", 1, 1}, {"dtr", 12, 1}, {"write", 2, 2}};
  for (const Case& c : Cases) {
    Main.StatusHistory.clear();
    Line->Fail = {{c.Failing, 5}};
    Esp.Calls = 0;
    {
      const EComPort e = RaisedBy([&] { DoConnect(); }, c.Failing);
      EXPECT_EQ(e.Code, c.Code) << c.Failing;
    }
    EXPECT_EQ(Main.StatusHistory.size(), c.Statuses) << c.Failing;
    EXPECT_EQ(Esp.Calls, 0);
  }
  // No port selected: the open fails before any line moves.
  Line->Fail.clear();
  Line->Ops.clear();
  Main.Port.clear();
  EXPECT_THROW(DoConnect(), EComPort);
  EXPECT_EQ(Line->Ops, std::vector<std::string>{"close"}) << "only the previous port closes";
}

} // namespace

namespace {

// Milliseconds between the backend calls number From and To.
long long GapMs(const TFakeLine& L, size_t From, size_t To) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(L.Times.at(To) - L.Times.at(From))
      .count();
}

TEST_F(ComEspTest, AttemptWaitsBetweenItsLineOperations) {
  Main.Cfg.FastLow = 120;
  Main.Cfg.FastHigh = 100;
  Main.Cfg.SlowLow = 160;
  Main.Cfg.SlowHigh = 140;
  for (bool Slow : {false, true}) {
    SCOPED_TRACE(Slow ? "slow" : "fast");
    Line->Ops.clear();
    Line->Times.clear();
    Esp.Calls = 0;
    Esp.Script = {{10, 8}};
    ASSERT_TRUE(ConnectESP(115200, Slow));
    const size_t Open = Slow ? 1 : 0; // the slow round closes the port of the fast one first
    ASSERT_EQ(Line->Ops.at(Open), OpenTtyUSB3);
    ASSERT_EQ(Line->Ops.at(Open + 4), "purge 11");
    // Open, 50 ms, purge; DTR/RTS first phase, hold; second phase, hold; DTR off.
    EXPECT_GE(GapMs(*Line, Open + 3, Open + 4), 50);
    EXPECT_GE(GapMs(*Line, Open + 7, Open + 8), Slow ? 160 : 120);
    EXPECT_GE(GapMs(*Line, Open + 10, Open + 11), Slow ? 140 : 100);
    // The three writes of each phase follow each other with no hold between them
    // (loosely: far less than the shortest hold).
    EXPECT_LT(GapMs(*Line, Open + 5, Open + 7), 80);
    EXPECT_LT(GapMs(*Line, Open + 8, Open + 10), 80);
  }
}

TEST_F(ComEspTest, DoResetPulsesRtsAtTheResetRate) {
  // Closed: only the rate is stored, nothing reaches the line.
  Io.DoReset();
  EXPECT_TRUE(Line->Ops.empty());
  EXPECT_EQ(Io.cPort.CustomBaudRate(), 115200);

  Io.cPort.SetPort("ttyUSB3");
  Io.cPort.SetBaudRate(brCustom);
  Io.cPort.SetCustomBaudRate(921600);
  Io.cPort.Open();
  const size_t Mark = Line->Ops.size();
  Io.DoReset();
  const std::vector<std::string> Want = {"line 115200", "purge 11", "rts 1",
                                         "dtr 0",       "rts 0",    "dtr 0"};
  EXPECT_EQ(std::vector<std::string>(Line->Ops.begin() + static_cast<std::ptrdiff_t>(Mark),
                                     Line->Ops.end()),
            Want);
  ASSERT_EQ(Line->Times.size(), Line->Ops.size());
  EXPECT_GE(GapMs(*Line, Mark, Mark + 1), 20);     // rate, 20 ms, purge
  EXPECT_GE(GapMs(*Line, Mark + 3, Mark + 4), 50); // the 50 ms pulse
  EXPECT_TRUE(Io.cPort.Connected()) << "DoReset leaves closing to DisConnect";
}

TEST_F(ComEspTest, ComGetSerSetsItsLimitsOnlyWhenTheyChange) {
  Io.cPort.SetPort("ttyUSB3");
  Io.cPort.Open();
  Line->Rx = {0x00, 0xFF};
  const size_t Mark = Line->Ops.size();
  EXPECT_EQ(Io.ComGetSer(200), 0x00);
  EXPECT_EQ(Io.ComGetSer(200), 0xFF);
  EXPECT_EQ(Io.ComGetSer(200), -1);
  EXPECT_EQ(Io.ComGetSer(10), -1);
  EXPECT_EQ(std::vector<std::string>(Line->Ops.begin() + static_cast<std::ptrdiff_t>(Mark),
                                     Line->Ops.end()),
            (std::vector<std::string>{"timeouts -1/-1/0/100/1000", "timeouts -1/-1/200/100/1000",
                                      "read 1", "read 1", "read 1", "timeouts -1/-1/10/100/1000",
                                      "read 1"}));

  // ComFlush reads until a read comes back empty; ComWriteStr purges, then writes.
  Line->Rx = {1, 2, 3, 4, 5};
  Line->Ops.clear();
  Io.ComFlush();
  EXPECT_EQ(Line->Ops, std::vector<std::string>(6, "read 1"));
  EXPECT_TRUE(Line->Rx.empty());
  Line->Ops.clear();
  Io.ComWriteStr(u"ab");
  EXPECT_EQ(Line->Ops, (std::vector<std::string>{"purge 11", "write 2"}));

  Io.DisConnect();
  const EComPort e = RaisedBy([&] { Io.ComWriteStr(u"ab"); });
  EXPECT_EQ(e.Message(), "PurgeComm function failed");
}

} // namespace
