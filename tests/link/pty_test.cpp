// The termios backend over a pseudo-terminal pair: real bytes and real time limits.
// The test holds the master side; the port under test opens the slave by its name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "FakeLink.h"
#include "LineProbe.h"

namespace {

using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::u16string SyncFrameText() {
  std::u16string f = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01, 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.append(32, char16_t(0x55));
  f.push_back(0xC0);
  return f;
}

class PtyTest : public ::testing::Test {
protected:
  void SetUp() override {
    char Name[256] = {};
    ASSERT_EQ(openpty(&Master, &Slave, Name, nullptr, nullptr), 0) << errno;
    SlaveName = Name;
    Io.cPort.SetPort(SlaveName);
  }
  void TearDown() override {
    Io.DisConnect();
    if (Master >= 0) close(Master);
    close(Slave);
  }
  void Send(const std::vector<uint8_t>& Bytes) {
    ASSERT_EQ(write(Master, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
  }
  // Reads from the master until Count bytes came or a second passed.
  std::vector<uint8_t> Receive(size_t Count) {
    std::vector<uint8_t> Got;
    const auto Start = Clock::now();
    while (Got.size() < Count && MsSince(Start) < 1000) {
      pollfd p{Master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t Buf[256];
      const ssize_t n = read(Master, Buf, sizeof Buf);
      if (n > 0) Got.insert(Got.end(), Buf, Buf + n);
    }
    return Got;
  }
  int Master = -1, Slave = -1;
  std::string SlaveName;
  TFakeLamp Main;
  TComIo Io{&Main};
};

TEST_F(PtyTest, ComGetSerReturnsWaitingBytesAtOnceAndMinusOneOnSilence) {
  Io.cPort.Open();
  EXPECT_EQ(Main.LedHistory, std::vector<bool>{true});
  Send({0x00, 0xFF, 0x41});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto Start = Clock::now();
  EXPECT_EQ(Io.ComGetSer(2000), 0x00);
  EXPECT_EQ(Io.ComGetSer(2000), 0xFF);
  EXPECT_EQ(Io.ComGetSer(2000), 0x41);
  EXPECT_LT(MsSince(Start), 1000) << "waiting bytes must not wait for the limit";
  EXPECT_EQ(Io.cPort.Timeouts().ReadTotalMultiplier, -1);
  EXPECT_EQ(Io.cPort.Timeouts().ReadTotalConstant, 2000);

  const auto Silent = Clock::now();
  EXPECT_EQ(Io.ComGetSer(200), -1);
  const auto Waited = MsSince(Silent);
  EXPECT_GE(Waited, 180);
  EXPECT_LT(Waited, 1500);

  // A byte that arrives while waiting ends the wait.
  std::thread Late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send({0x5A});
  });
  const auto Wait = Clock::now();
  EXPECT_EQ(Io.ComGetSer(5000), 0x5A);
  EXPECT_LT(MsSince(Wait), 2500);
  Late.join();
}

TEST_F(PtyTest, ComFlushDrainsABurstAndReturnsOnSilence) {
  Io.cPort.Open();
  std::thread Burst([&] {
    for (int i = 0; i < 20; ++i) {
      Send({static_cast<uint8_t>(i)});
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Io.ComFlush();
  Burst.join();
  EXPECT_EQ(Io.ComGetSer(50), -1) << "ComFlush left bytes behind";
  const auto Start = Clock::now();
  Io.ComFlush();
  EXPECT_LT(MsSince(Start), 500);
}

TEST_F(PtyTest, WritesArriveByteExact) {
  Io.cPort.Open();
  const std::u16string Sync = SyncFrameText();
  ASSERT_EQ(Sync.size(), 46u);
  Io.ComWriteStr(Sync);
  const std::vector<uint8_t> Want(Sync.begin(), Sync.end());
  EXPECT_EQ(Receive(46), Want);

  std::vector<uint8_t> All(256);
  for (int i = 0; i < 256; ++i)
    All[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  EXPECT_EQ(Io.cPort.Write(All.data(), 256), 256);
  EXPECT_EQ(Receive(256), All) << "raw mode must pass every byte unchanged";
}

TEST_F(PtyTest, RateChangeOnOpenPortReachesTheDriver) {
  Io.cPort.SetBaudRate(brCustom);
  Io.cPort.SetCustomBaudRate(115200);
  Io.cPort.Open();
  TLineProbe P = ProbeLine(Slave);
  ASSERT_TRUE(P.Ok);
  EXPECT_EQ(P.OutSpeed, 115200u);
  EXPECT_TRUE(P.Raw8N1);
  for (int32_t Rate : {921600, 250000, 1500000, 2000000, 74880}) {
    Io.cPort.SetCustomBaudRate(Rate);
    P = ProbeLine(Slave);
    EXPECT_EQ(P.OutSpeed, static_cast<uint32_t>(Rate));
    EXPECT_EQ(P.InSpeed, static_cast<uint32_t>(Rate));
  }
  // DoReset sets 115200 on the open port; the modem lines of a pseudo-terminal then fail.
  EXPECT_THROW(Io.DoReset(), EComPort);
  EXPECT_EQ(ProbeLine(Slave).OutSpeed, 115200u);
}

TEST_F(PtyTest, OpenFailuresCarryTheOsCode) {
  struct Case {
    const char* Port;
    int Errno; // 0: any code above 0
  };
  const Case Cases[] = {{"/dev/quorvex-no-such-tty", ENOENT}, {"quorvex-no-such-tty", ENOENT}};
  for (const Case& c : Cases) {
    TComPort P;
    P.SetPort(c.Port);
    {
      const EComPort e = RaisedBy([&] { P.Open(); }, c.Port);
      EXPECT_EQ(e.Code, 1);
      EXPECT_EQ(e.WinCode, c.Errno);
      EXPECT_EQ(e.Message(), "Unable to open com port (Error: " + std::to_string(c.Errno) + ", " +
                                 std::strerror(c.Errno) + ")");
    }
    EXPECT_FALSE(P.Connected());
  }
  // No port selected.
  TComPort Empty;
  Empty.SetPort("");
  {
    const EComPort e = RaisedBy([&] { Empty.Open(); });
    EXPECT_EQ(e.Code, 1);
  }
  EXPECT_TRUE(Main.LedHistory.empty());
}

TEST_F(PtyTest, SecondOpenOfAnOpenDeviceFails) {
  Io.cPort.Open();
  TComPort Other;
  Other.SetPort(SlaveName);
  {
    const EComPort e = RaisedBy([&] { Other.Open(); }, "the device was opened twice");
    EXPECT_EQ(e.Code, 1);
    EXPECT_GT(e.WinCode, 0);
    EXPECT_NE(e.Message().find("in use by another program"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(Other.Connected());
  Io.DisConnect();
  Other.Open(); // free again once closed
  EXPECT_TRUE(Other.Connected());
}

TEST_F(PtyTest, ModemLinesOfAPseudoTerminalFailWithTheOsCode) {
  Io.cPort.Open();
  {
    const EComPort e = RaisedBy([&] { Io.cPort.SetDTR(true); });
    EXPECT_EQ(e.Code, 12);
    EXPECT_GT(e.WinCode, 0);
    EXPECT_EQ(e.Message(), "EscapeCommFunction function failed (Error: " +
                               std::to_string(e.WinCode) + ", " + std::strerror(e.WinCode) + ")");
  }
  EXPECT_TRUE(Io.cPort.Connected());
}

TEST_F(PtyTest, ClosedPortAndVanishedDevice) {
  {
    const EComPort e = RaisedBy([&] { Io.ComGetSer(10); });
    EXPECT_EQ(e.Message(), "Port Not Open");
  }
  Io.DisConnect(); // closed: nothing, the LED untouched
  EXPECT_TRUE(Main.LedHistory.empty());
  Io.DoReset();
  EXPECT_EQ(Io.cPort.CustomBaudRate(), 115200);
  EXPECT_FALSE(Io.cPort.Connected());

  // The other side going away (an adapter pulled out) fails the read, not hangs it.
  Io.cPort.Open();
  close(Master);
  Master = -1;
  const auto Start = Clock::now();
  {
    const EComPort e = RaisedBy([&] { Io.ComGetSer(3000); });
    EXPECT_EQ(e.Code, 3);
    EXPECT_GT(e.WinCode, 0);
  }
  EXPECT_LT(MsSince(Start), 2500);
  Io.DisConnect();
  EXPECT_EQ(Main.LedHistory, (std::vector<bool>{true, false}));
}

} // namespace
