// The Win32 backend against a real COM port: under wine, a COM port that wine maps to a
// pseudo-terminal, whose far end pty_peer.py holds and drives on the test's orders (over
// TCP on the loopback address). The cases are those of the termios backend over a pty.
// The port and the peer come from the environment: QUORVEX_TEST_COM (e.g. COM7) and
// QUORVEX_TEST_PEER (the peer's TCP port); scripts/test-windows.sh sets both.
//
// What wine cannot do, and so is checked only on Windows itself (the tests say so when
// they skip it):
// - modem lines on a pty: a pty has none, so DTR and RTS fail under wine (checked below
//   as the error they give); they are tested through the RFC 2217 backend against the
//   virtual board;
// - bit rates outside the fixed termios set (250000, 74880): wine sets 38400 instead and
//   reports success;
// - exclusive use: wine lets a second handle open a COM port held without sharing;
// - time limits of a read on a silent line: wine's read does not end at the limit; the
//   backend's own backstop ends it 100 ms later, which the time bounds here allow.
#include <gtest/gtest.h>
// Lean: the full windows.h turns SetPort into the printer call SetPortA.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "FakeLink.h"
#include "link/ComBackend.h"

namespace {

using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Env(const char* Name) {
  const char* v = std::getenv(Name);
  return v ? v : "";
}

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Hex(const std::vector<uint8_t>& Bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : Bytes) {
    s += Digits[b >> 4];
    s += Digits[b & 15];
  }
  return s;
}

std::vector<uint8_t> Unhex(const std::string& s) {
  std::vector<uint8_t> b;
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return b;
}

// The orders to the far end of the line.
class TPeer {
public:
  TPeer() {
    WSADATA Wsa;
    WSAStartup(MAKEWORD(2, 2), &Wsa);
  }
  ~TPeer() {
    if (S != INVALID_SOCKET) closesocket(S);
    WSACleanup();
  }
  bool Connect(const std::string& Port) {
    S = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (S == INVALID_SOCKET || Port.empty()) return false;
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<u_short>(std::atoi(Port.c_str())));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
  }
  // Sends one order and returns its answer line.
  std::string Ask(const std::string& Order) {
    const std::string Line = Order + "\n";
    if (send(S, Line.data(), static_cast<int>(Line.size()), 0) != static_cast<int>(Line.size()))
      return "error send";
    std::string Answer;
    char c;
    while (recv(S, &c, 1, 0) == 1 && c != '\n')
      Answer += c;
    return Answer;
  }
  void Send(const std::vector<uint8_t>& Bytes) { EXPECT_EQ(Ask("send " + Hex(Bytes)), "ok"); }
  // What the line sent: up to Count bytes, waiting at most a second.
  std::vector<uint8_t> Receive(size_t Count) {
    const std::string A = Ask("recv " + std::to_string(Count) + " 1000");
    EXPECT_EQ(A.rfind("data ", 0), 0u) << A;
    return A.size() > 5 ? Unhex(A.substr(5)) : std::vector<uint8_t>{};
  }
  struct TLine {
    bool Ok = false;
    uint32_t InSpeed = 0, OutSpeed = 0;
    bool Raw8N1 = false;
  };
  TLine Line() {
    TLine L;
    unsigned In = 0, Out = 0;
    int Raw = 0;
    L.Ok = std::sscanf(Ask("line").c_str(), "line %u %u %d", &In, &Out, &Raw) == 3;
    L.InSpeed = In;
    L.OutSpeed = Out;
    L.Raw8N1 = Raw != 0;
    return L;
  }

private:
  SOCKET S = INVALID_SOCKET;
};

std::u16string SyncFrameText() {
  std::u16string f = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01, 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.append(32, char16_t(0x55));
  f.push_back(0xC0);
  return f;
}

class WinComTest : public ::testing::Test {
protected:
  void SetUp() override {
    Com = Env("QUORVEX_TEST_COM");
    ASSERT_FALSE(Com.empty()) << "QUORVEX_TEST_COM names no COM port (see scripts/test-windows.sh)";
    ASSERT_TRUE(Peer.Connect(Env("QUORVEX_TEST_PEER")))
        << "no line peer at QUORVEX_TEST_PEER=" << Env("QUORVEX_TEST_PEER");
    ASSERT_EQ(Peer.Ask("drain"), "ok");
    Io.cPort.SetPort(Com);
  }
  void TearDown() override { Io.DisConnect(); }
  std::string Com;
  TPeer Peer;
  TFakeLamp Main;
  TComIo Io{&Main};
};

TEST_F(WinComTest, ComGetSerReturnsWaitingBytesAtOnceAndMinusOneOnSilence) {
  Io.cPort.Open();
  EXPECT_EQ(Main.LedHistory, std::vector<bool>{true});
  Peer.Send({0x00, 0xFF, 0x41});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto Start = Clock::now();
  EXPECT_EQ(Io.ComGetSer(2000), 0x00);
  EXPECT_EQ(Io.ComGetSer(2000), 0xFF);
  EXPECT_EQ(Io.ComGetSer(2000), 0x41);
  EXPECT_LT(MsSince(Start), 1000) << "waiting bytes must not wait for the limit";

  const auto Silent = Clock::now();
  EXPECT_EQ(Io.ComGetSer(200), -1);
  const auto Waited = MsSince(Silent);
  EXPECT_GE(Waited, 180);
  EXPECT_LT(Waited, 1500);

  // A byte that arrives while waiting ends the wait.
  EXPECT_EQ(Peer.Ask("later 50 5a"), "ok");
  const auto Wait = Clock::now();
  EXPECT_EQ(Io.ComGetSer(5000), 0x5A);
  EXPECT_LT(MsSince(Wait), 2500);
}

TEST_F(WinComTest, ComFlushDrainsABurstAndReturnsOnSilence) {
  Io.cPort.Open();
  EXPECT_EQ(Peer.Ask("burst 20 2"), "ok");
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Io.ComFlush();
  EXPECT_EQ(Io.ComGetSer(50), -1) << "ComFlush left bytes behind";
  const auto Start = Clock::now();
  Io.ComFlush();
  EXPECT_LT(MsSince(Start), 500);
}

TEST_F(WinComTest, WritesArriveByteExact) {
  Io.cPort.Open();
  const std::u16string Sync = SyncFrameText();
  ASSERT_EQ(Sync.size(), 46u);
  Io.ComWriteStr(Sync);
  const std::vector<uint8_t> Want(Sync.begin(), Sync.end());
  EXPECT_EQ(Peer.Receive(46), Want);

  std::vector<uint8_t> All(256);
  for (int i = 0; i < 256; ++i)
    All[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  EXPECT_EQ(Io.cPort.Write(All.data(), 256), 256);
  EXPECT_EQ(Peer.Receive(256), All) << "binary mode must pass every byte unchanged";
}

TEST_F(WinComTest, RateChangeOnOpenPortReachesTheDriver) {
  Io.cPort.SetBaudRate(brCustom);
  Io.cPort.SetCustomBaudRate(115200);
  Io.cPort.Open();
  TPeer::TLine L = Peer.Line();
  ASSERT_TRUE(L.Ok);
  EXPECT_EQ(L.OutSpeed, 115200u);
  EXPECT_TRUE(L.Raw8N1);
  std::vector<int32_t> Rates = {921600, 230400, 1500000, 2000000, 460800};
  if (!UnderWine()) Rates.insert(Rates.end(), {250000, 74880});
  for (int32_t Rate : Rates) {
    Io.cPort.SetCustomBaudRate(Rate);
    L = Peer.Line();
    EXPECT_EQ(L.OutSpeed, static_cast<uint32_t>(Rate));
    EXPECT_EQ(L.InSpeed, static_cast<uint32_t>(Rate));
  }
  // DoReset sets 115200 on the open port; the modem lines of a pty then fail.
  EXPECT_THROW(Io.DoReset(), EComPort);
  EXPECT_EQ(Peer.Line().OutSpeed, 115200u);
}

TEST_F(WinComTest, OpenFailuresCarryTheOsCode) {
  struct Case {
    const char* Port;
    int WinCode; // ERROR_FILE_NOT_FOUND: no such device
  };
  const Case Cases[] = {{"COM199", 2}, {"\\\\.\\QUORVEXNOSUCHPORT", 2}};
  for (const Case& c : Cases) {
    TComPort P;
    P.SetPort(c.Port);
    {
      const EComPort e = RaisedBy([&] { P.Open(); }, c.Port);
      EXPECT_EQ(e.Code, 1);
      EXPECT_EQ(e.WinCode, c.WinCode);
      // The number, then the system's own text for it.
      EXPECT_FALSE(OsErrorText(c.WinCode).empty());
      EXPECT_EQ(e.Message(), "Unable to open com port (Error: " + std::to_string(c.WinCode) + ", " +
                                 OsErrorText(c.WinCode) + ")");
    }
    EXPECT_FALSE(P.Connected());
  }
  TComPort Empty;
  Empty.SetPort("");
  {
    const EComPort e = RaisedBy([&] { Empty.Open(); });
    EXPECT_EQ(e.Code, 1);
  }
  EXPECT_TRUE(Main.LedHistory.empty());
}

TEST_F(WinComTest, SecondOpenOfAnOpenDeviceFails) {
  if (UnderWine()) GTEST_SKIP() << "wine does not refuse a second open of a COM port";
  Io.cPort.Open();
  TComPort Other;
  Other.SetPort(Com);
  {
    const EComPort e = RaisedBy([&] { Other.Open(); }, "the device was opened twice");
    EXPECT_EQ(e.Code, 1);
    EXPECT_GT(e.WinCode, 0);
  }
  EXPECT_FALSE(Other.Connected());
  Io.DisConnect();
  Other.Open(); // free again once closed
  EXPECT_TRUE(Other.Connected());
}

TEST_F(WinComTest, ModemLinesOfAPseudoTerminalFailWithTheOsCode) {
  Io.cPort.Open();
  for (bool Dtr : {true, false}) {
    const EComPort e =
        RaisedBy([&] { Dtr ? Io.cPort.SetDTR(true) : Io.cPort.SetRTS(true); }, Dtr ? "DTR" : "RTS");
    EXPECT_EQ(e.Code, 12);
    EXPECT_GT(e.WinCode, 0);
    EXPECT_EQ(e.Message(), "EscapeCommFunction function failed (Error: " +
                               std::to_string(e.WinCode) + ", " + OsErrorText(e.WinCode) + ")");
  }
  EXPECT_TRUE(Io.cPort.Connected());
}

TEST_F(WinComTest, ClosedPortAndVanishedDevice) {
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
  ASSERT_EQ(Peer.Ask("hangup"), "ok");
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
