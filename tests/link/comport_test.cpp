// TComPort's portable behaviour over a recording backend: settings, the order of the
// open steps, set-only-when-different, failures and their messages.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "FakeLink.h"
#include "link/uPortName.h"

namespace {

// Where a bare port name is opened.
#ifdef _WIN32
const char DevicePrefix[] = "\\\\.\\";
#else
const char DevicePrefix[] = "/dev/";
#endif

class ComPortTest : public ::testing::Test {
protected:
  void SetUp() override {
    Port.SetBackendFactory(FakeFactory(Line));
    Port.SetPort("ttyUSB7");
    Port.OnAfterOpen = [this] { Events.push_back("after-open"); };
    Port.OnAfterClose = [this] { Events.push_back("after-close"); };
  }
  std::vector<std::string> OpsSince(size_t From) const {
    return {Line->Ops.begin() + static_cast<std::ptrdiff_t>(From), Line->Ops.end()};
  }
  std::shared_ptr<TFakeLine> Line = std::make_shared<TFakeLine>();
  TComPort Port;
  std::vector<std::string> Events;
};

TEST(ComPortDefaults, ValuesAtCreation) {
  TComPort P;
  EXPECT_EQ(P.Port(), "COM1");
  EXPECT_EQ(P.BaudRate(), br9600);
  EXPECT_EQ(P.CustomBaudRate(), 9600);
  EXPECT_EQ(P.Timeouts(), (TComTimeouts{-1, 0, 0, 100, 1000}));
  EXPECT_FALSE(P.Connected());
}

TEST(ComPortErrors, MessagesCodesAndOsCodes) {
  struct Case {
    int Code, Os;
    const char* Message; // with an OS code: the text up to the system's own text
    int WinCode;
  };
  const Case Cases[] = {
      {1, 2, "Unable to open com port (Error: 2, ", 2},
      {2, 5, "WriteFile function failed (Error: 5, ", 5},
      {3, 0, "ReadFile function failed", -1},
      {5, -1, "PurgeComm function failed", -1},
      {7, 87, "SetCommState function failed (Error: 87, ", 87},
      {8, 1, "SetCommTimeouts failed (Error: 1, ", 1},
      {9, 6, "SetupComm function failed (Error: 6, ", 6},
      {10, 22, "ClearCommError function failed (Error: 22, ", 22},
      {12, 25, "EscapeCommFunction function failed (Error: 25, ", 25},
      {24, 6, "Port Not Open", -1}, // never with an OS code
  };
  for (const Case& c : Cases) {
    const EComPort e(c.Code, c.Os);
    const std::string m = e.Message();
    if (c.WinCode < 0) {
      EXPECT_EQ(m, c.Message) << c.Code;
    } else {
      // The number is followed by the system's text for it, a word and not a bare number.
      ASSERT_EQ(m.rfind(c.Message, 0), 0u) << m;
      const std::string Text = m.substr(std::strlen(c.Message));
      ASSERT_GE(Text.size(), 2u) << m;
      EXPECT_EQ(Text.back(), ')') << m;
      EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(Text.front()))) << m;
      EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos) << m;
    }
    EXPECT_EQ(e.Code, c.Code);
    EXPECT_EQ(e.WinCode, c.WinCode) << c.Code;
  }
  EXPECT_EQ(EComPort::CreateNoWinCode(2).Message(), "WriteFile function failed");
  const std::string Hinted = EComPort(1, 13, "hint").Message();
  EXPECT_EQ(Hinted.rfind("Unable to open com port (Error: 13, "), 0u) << Hinted;
  EXPECT_EQ(Hinted.substr(Hinted.size() - 8), ") - hint") << Hinted;
#ifdef __linux__
  // The network errors a port name rfc2217://host:port meets, as the system words them.
  EXPECT_EQ(EComPort(1, ECONNREFUSED).Message(),
            "Unable to open com port (Error: 111, Connection refused)");
  EXPECT_EQ(EComPort(3, ECONNRESET).Message(),
            "ReadFile function failed (Error: 104, Connection reset by peer)");
#endif
}

TEST(ComPortPaths, PortNameToDevice) {
#ifdef _WIN32
  EXPECT_EQ(ComDevicePath("COM3"), "\\\\.\\COM3");
  EXPECT_EQ(ComDevicePath("\\\\.\\COM12"), "\\\\.\\COM12");
#else
  EXPECT_EQ(ComDevicePath("ttyUSB0"), "/dev/ttyUSB0");
#endif
  EXPECT_EQ(ComDevicePath("/dev/pts/4"), "/dev/pts/4");
  EXPECT_EQ(ComDevicePath("rfc2217://localhost:4000"), "rfc2217://localhost:4000");
}

TEST_F(ComPortTest, OpenAppliesSettingsInOrderAndNotifies) {
  Port.Open();
  EXPECT_TRUE(Port.Connected());
  EXPECT_EQ(Line->Ops, (std::vector<std::string>{std::string("open ") + DevicePrefix + "ttyUSB7",
                                                 "buffers 1024/1024", "line 9600",
                                                 "timeouts -1/0/0/100/1000"}));
  Port.Open(); // already open: nothing
  EXPECT_EQ(Line->Ops.size(), 4u);
  Port.Close();
  Port.Close();
  EXPECT_FALSE(Port.Connected());
  EXPECT_EQ(Line->Ops.back(), "close");
  EXPECT_EQ(Events, (std::vector<std::string>{"after-open", "after-close"}));
}

TEST_F(ComPortTest, FailedOpenLeavesPortClosedWithSettingsKept) {
  struct Case {
    const char* Step;
    int Code;
    bool ClosesDevice;
  };
  const Case Cases[] = {
      {"open", 1, false}, {"buffers", 9, true}, {"line", 7, true}, {"timeouts", 8, true}};
  for (const Case& c : Cases) {
    Line->Ops.clear();
    Line->Fail = {{c.Step, 5}};
    {
      const EComPort e = RaisedBy([&] { Port.Open(); }, c.Step);
      EXPECT_EQ(e.Code, c.Code) << c.Step;
      EXPECT_EQ(e.WinCode, 5);
      EXPECT_NE(e.Message().find("(Error: 5, "), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(Port.Connected()) << c.Step;
    EXPECT_EQ(Line->Ops.back() == "close", c.ClosesDevice) << c.Step;
  }
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(Port.Port(), "ttyUSB7");
  EXPECT_EQ(Port.CustomBaudRate(), 9600);
  Line->Fail.clear();
  Port.Open();
  EXPECT_TRUE(Port.Connected());
}

TEST_F(ComPortTest, SettingsApplyOnlyWhenTheyChange) {
  Port.SetBaudRate(brCustom); // closed: stored only
  Port.SetCustomBaudRate(115200);
  Port.SetReadTotalConstant(100);
  EXPECT_TRUE(Line->Ops.empty());
  Port.Open();
  EXPECT_EQ(Line->Ops[2], "line 115200");
  EXPECT_EQ(Line->Ops[3], "timeouts -1/0/100/100/1000");

  const size_t Mark = Line->Ops.size();
  Port.SetCustomBaudRate(115200);
  Port.SetBaudRate(brCustom);
  Port.SetReadTotalConstant(100);
  Port.SetReadTotalMultiplier(0);
  EXPECT_EQ(Line->Ops.size(), Mark) << "same values must not reach the driver";

  Port.SetCustomBaudRate(921600);
  Port.SetReadTotalMultiplier(-1);
  EXPECT_EQ(OpsSince(Mark),
            (std::vector<std::string>{"line 921600", "timeouts -1/-1/100/100/1000"}));

  // Back to a fixed entry of the enumeration: its own rate applies.
  Port.SetBaudRate(br57600);
  EXPECT_EQ(Line->Ops.back(), "line 57600");
}

TEST_F(ComPortTest, RefusedChangeOnOpenPortRaisesAndKeepsOldValue) {
  Port.SetBaudRate(brCustom);
  Port.Open();
  Line->Fail = {{"line", 22}, {"timeouts", 87}};
  {
    const EComPort e = RaisedBy([&] { Port.SetCustomBaudRate(3000000); });
    EXPECT_EQ(e.Code, 7);
    EXPECT_EQ(e.WinCode, 22);
  }
  EXPECT_EQ(Port.CustomBaudRate(), 9600);
  {
    const EComPort e = RaisedBy([&] { Port.SetReadTotalConstant(20); });
    EXPECT_EQ(e.Code, 8);
  }
  EXPECT_EQ(Port.Timeouts().ReadTotalConstant, 0);
  EXPECT_TRUE(Port.Connected());
  // Rates the line cannot carry never reach the driver.
  Line->Fail.clear();
  for (int32_t Bad : {0, -9600}) {
    const size_t Mark = Line->Ops.size();
    EXPECT_THROW(Port.SetCustomBaudRate(Bad), EComPort);
    EXPECT_EQ(Line->Ops.size(), Mark);
  }
}

TEST_F(ComPortTest, PortChangeReopensAnOpenPort) {
  Port.SetPort("ttyUSB8"); // closed: stored only
  EXPECT_TRUE(Line->Ops.empty());
  Port.Open();
  Port.SetPort("ttyUSB8");
  const size_t Mark = Line->Ops.size();
  Port.SetPort("/dev/ttyACM0");
  EXPECT_TRUE(Port.Connected());
  const auto Ops = OpsSince(Mark);
  ASSERT_GE(Ops.size(), 2u);
  EXPECT_EQ(Ops[0], "close");
  EXPECT_EQ(Ops[1], "open /dev/ttyACM0");
}

TEST_F(ComPortTest, OperationsOnClosedPortRaise) {
  struct Case {
    const char* Name;
    std::function<void()> Op;
    int Code;
    const char* Message;
  };
  std::u16string s;
  const uint8_t b = 0;
  const Case Cases[] = {
      {"Write", [&] { Port.Write(&b, 1); }, 24, "Port Not Open"},
      {"WriteStr", [&] { Port.WriteStr(u"x"); }, 24, "Port Not Open"},
      {"ReadStr", [&] { Port.ReadStr(s, 1); }, 24, "Port Not Open"},
      {"ClearBuffer", [&] { Port.ClearBuffer(true, true); }, 5, "PurgeComm function failed"},
      {"SetDTR", [&] { Port.SetDTR(true); }, 12, "EscapeCommFunction function failed"},
      {"SetRTS", [&] { Port.SetRTS(false); }, 12, "EscapeCommFunction function failed"},
  };
  for (const Case& c : Cases) {
    {
      const EComPort e = RaisedBy([&] { c.Op(); }, c.Name);
      EXPECT_EQ(e.Code, c.Code) << c.Name;
      EXPECT_EQ(e.Message(), c.Message) << c.Name;
      EXPECT_EQ(e.WinCode, -1) << c.Name;
    }
  }
  EXPECT_TRUE(Line->Ops.empty());
}

TEST_F(ComPortTest, WriteStrSendsLowBytesAndReadStrGivesBytesAsChars) {
  Port.Open();
  EXPECT_EQ(Port.WriteStr(std::u16string(u"A\u0142\u00FF\0B", 5)), 5);
  EXPECT_EQ(Line->Tx, (std::vector<uint8_t>{0x41, 0x42, 0xFF, 0x00, 0x42}));
  EXPECT_EQ(Port.WriteStr(u""), 0);
  Line->Rx = {0x00, 0xFF, 0x7F};
  std::u16string s;
  EXPECT_EQ(Port.ReadStr(s, 10), 3);
  EXPECT_EQ(s, (std::u16string{0x00, 0xFF, 0x7F}));
  // A port error inside a transfer carries the OS code.
  Line->Fail = {{"write", 5}, {"read", 5}};
  {
    const EComPort e = RaisedBy([&] { Port.WriteStr(u"x"); });
    EXPECT_EQ(e.Code, 2);
  }
  {
    const EComPort e = RaisedBy([&] { Port.ReadStr(s, 1); });
    EXPECT_EQ(e.Code, 3);
  }
}

} // namespace
