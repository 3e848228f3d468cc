#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "link/U_Usb.h"
#include "link/uUsbWatch.h"

namespace {

using Lines = std::vector<std::string>;

TEST(UsbRegistryKey, CutsFromVidToTheGuid) {
  struct Case {
    const char* Path;
    const char* Key;
  };
  const Case Cases[] = {
      {R"(\\?\USB#VID_1234&PID_5678#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
       R"(\SYSTEM\CurrentControlSet\Enum\USB\VID_1234&PID_5678\0001\Device Parameters\)"},
      // No "#VID" (the search is case-sensitive): the first p2 characters.
      {R"(\\?\USB#vid_1234#0001#{a5dc})",
       R"(\SYSTEM\CurrentControlSet\Enum\USB\\\?\USB\vid_1234\0001\Device Parameters\)"},
      // No "#{" after "#VID": nothing is taken.
      {R"(\\?\USB#VID_1234&PID_5678#0001)",
       R"(\SYSTEM\CurrentControlSet\Enum\USB\Device Parameters\)"},
      {R"(#{x}#VID_1)", R"(\SYSTEM\CurrentControlSet\Enum\USB\Device Parameters\)"},
      {"", R"(\SYSTEM\CurrentControlSet\Enum\USB\Device Parameters\)"},
      {"#VID#{", R"(\SYSTEM\CurrentControlSet\Enum\USB\VID\Device Parameters\)"},
  };
  for (const Case& c : Cases)
    EXPECT_EQ(UsbRegistryKey(c.Path), c.Key) << c.Path;
}

// A seen event as "+path" or "-path". Appending to the sign, not prepending it to the
// path, keeps mingw's g++ 12 at -O3 from a false -Wrestrict alarm.
std::string SeenAs(char Sign, const TComponentUSB& U) {
  std::string S(1, Sign);
  S += U.DevicePath();
  return S;
}

struct Watch {
  TComponentUSB Usb{std::string("none")}; // no monitor: events come only from the test
  Lines Seen;
  Watch() {
    Usb.OnUSBArrival = [this](TComponentUSB& s) { Seen.push_back(SeenAs('+', s)); };
    Usb.OnUSBRemove = [this](TComponentUSB& s) { Seen.push_back(SeenAs('-', s)); };
  }
};

#ifdef _WIN32
// The Windows backend decodes the system's device-change messages into events.
// A device-change record as the system delivers it: size, type, reserved, class GUID,
// then the UTF-16 path at byte 28.
std::vector<unsigned char> Record(uint32_t Type, const std::u16string& Path,
                                  bool Terminated = true) {
  std::vector<unsigned char> r(28 + 2 * (Path.size() + (Terminated ? 1 : 0)), 0);
  const uint32_t Size = static_cast<uint32_t>(r.size());
  std::memcpy(r.data(), &Size, 4);
  std::memcpy(r.data() + 4, &Type, 4);
  if (!Path.empty()) std::memcpy(r.data() + 28, Path.data(), 2 * Path.size());
  return r;
}

TComponentUSB::TMessage Message(uintptr_t Event, std::vector<unsigned char>& Rec) {
  TComponentUSB::TMessage m;
  m.Msg = 0x0219;
  m.WParam = Event;
  m.LParam = reinterpret_cast<intptr_t>(Rec.data());
  return m;
}

TEST(UsbWatcher, PassesOnDeviceInterfaceArrivalAndRemoval) {
  struct Case {
    uintptr_t Event;
    uint32_t Type;
    const char* Want; // "" when nothing is passed on
  };
  const Case Cases[] = {
      {0x8000, 5, "+\\\\?\\USB#VID_1#1#{g}"},
      {0x8004, 5, "-\\\\?\\USB#VID_1#1#{g}"},
      {0x8001, 5, ""}, // query remove
      {0x8003, 5, ""}, // remove pending
      {0x0007, 5, ""}, // devnodes changed
      {0x8000, 2, ""}, // volume
      {0x8004, 3, ""}, // port
  };
  for (const Case& c : Cases) {
    Watch w;
    auto Rec = Record(c.Type, u"\\\\?\\USB#VID_1#1#{g}");
    auto Msg = Message(c.Event, Rec);
    w.Usb.WMDeviceChange(Msg);
    EXPECT_EQ(w.Seen, c.Want[0] ? Lines{c.Want} : Lines{}) << c.Event << "/" << c.Type;
    if (c.Want[0]) {
      EXPECT_EQ(w.Usb.Xmsg.WParam, c.Event);
      EXPECT_EQ(w.Usb.Xmsg.LParam, Msg.LParam);
    } else {
      EXPECT_EQ(w.Usb.Xmsg.Msg, 0u); // only passed-on messages are kept
    }
  }
}

TEST(UsbWatcher, ToleratesOddRecords) {
  Watch w;
  TComponentUSB::TMessage Null;
  Null.Msg = 0x0219;
  Null.WParam = 0x8000;
  w.Usb.WMDeviceChange(Null); // no record at all
  EXPECT_TRUE(w.Seen.empty());
  // A path without its terminator ends with the record.
  auto Open = Record(5, u"ABC", false);
  auto Msg = Message(0x8000, Open);
  w.Usb.WMDeviceChange(Msg);
  // Non-ASCII characters and a surrogate pair come out as UTF-8.
  auto Wide = Record(5, u"\u00c4\U0001F600");
  Msg = Message(0x8004, Wide);
  w.Usb.WMDeviceChange(Msg);
  EXPECT_EQ(w.Seen, (Lines{"+ABC", "-\u00c4\U0001F600"}));
  // Without handlers nothing happens.
  TComponentUSB Bare{std::string("none")};
  Bare.WMDeviceChange(Msg);
  EXPECT_EQ(Bare.Xmsg.WParam, 0x8004u);
}

#endif

TEST(UsbWatcher, DeliverEventPassesKindAndPathOn) {
  Watch w;
  w.Usb.DeliverEvent(true, "/sys/devices/pci0000:00/usb1/1-2");
  EXPECT_TRUE(w.Usb.Event().Arrival);
  w.Usb.DeliverEvent(false, "p\u00e4th");
  EXPECT_FALSE(w.Usb.Event().Arrival);
  EXPECT_EQ(w.Seen, (Lines{"+/sys/devices/pci0000:00/usb1/1-2", "-p\u00e4th"}));
}

TEST(UsbWatcher, HandlerErrorsGoToTheErrorDisplay) {
  TComponentUSB Usb{std::string("none")};
  std::vector<std::string> Shown;
  Usb.OnUSBRemove = [](TComponentUSB&) { throw std::runtime_error("registry gone"); };
  Usb.DeliverEvent(false, "x"); // no display attached: dropped, not thrown
  Usb.OnError = [&](const std::string& m) { Shown.push_back(m); };
  Usb.DeliverEvent(false, "x");
  EXPECT_EQ(Shown, Lines{"registry gone"});
}

TEST(UsbWatcher, FailedMonitorSetUpIsSilent) {
  Watch w;
  EXPECT_EQ(w.Usb.MonitorFd(), -1);
  w.Usb.HandleMonitorEvent();
  EXPECT_TRUE(w.Seen.empty());
}

TEST(UsbWatcher, RealMonitorNeverBlocks) {
  // Whether the monitor comes up depends on the machine; either way, handling with
  // nothing queued must return at once instead of waiting for a device.
  TComponentUSB Usb;
  int Fired = 0;
  Usb.OnUSBArrival = Usb.OnUSBRemove = [&](TComponentUSB&) { ++Fired; };
  auto Done = std::async(std::launch::async, [&] { Usb.HandleMonitorEvent(); });
  ASSERT_EQ(Done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

#ifdef _WIN32
// The real hidden window: it registers for device notifications and hands a
// WM_DEVICECHANGE sent to it through the same path the system's would take.
TEST(UsbWatcherWindows, HiddenWindowListensAndPassesOnDeviceChanges) {
  const std::string Path =
      R"(\\?\USB#VID_0F0F&PID_0F0F#QUORVEXTEST3#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
  struct TRecord { // DEV_BROADCAST_DEVICEINTERFACE_W with room for the path
    DWORD Size, DeviceType, Reserved;
    GUID Class;
    wchar_t Name[128];
  };
  auto Record = [&](DWORD Type) {
    TRecord R{};
    R.Size = sizeof R;
    R.DeviceType = Type;
    for (size_t i = 0; i < Path.size(); ++i)
      R.Name[i] = static_cast<wchar_t>(Path[i]);
    return R;
  };
  Lines Seen;
  {
    TComponentUSB Usb;
    EXPECT_TRUE(Usb.Listening()) << "the watcher's window or registration failed";
    Usb.OnUSBArrival = [&](TComponentUSB& U) { Seen.push_back(SeenAs('+', U)); };
    Usb.OnUSBRemove = [&](TComponentUSB& U) { Seen.push_back(SeenAs('-', U)); };
    HWND Wnd = FindWindowExW(nullptr, nullptr, L"QuorvexUsbWatcher", nullptr);
    ASSERT_NE(Wnd, nullptr);
    struct Case {
      WPARAM Event;
      DWORD Type;
    };
    const Case Cases[] = {
        {0x8000, 5}, // arrival of a device interface
        {0x8004, 5}, // its removal
        {0x8004, 2}, // a volume: not ours
        {0x8003, 5}, // removal pending: ignored
    };
    for (const Case& c : Cases) {
      TRecord R = Record(c.Type);
      EXPECT_EQ(SendMessageW(Wnd, WM_DEVICECHANGE, c.Event, reinterpret_cast<LPARAM>(&R)), 0);
    }
  }
  EXPECT_EQ(Seen, (Lines{"+" + Path, "-" + Path}));
  EXPECT_EQ(FindWindowExW(nullptr, nullptr, L"QuorvexUsbWatcher", nullptr), nullptr)
      << "the hidden window outlived its watcher";
}
#endif

// The adapter whose removal the glue must notice, with the port behind it, as each
// platform finds it.
#ifdef _WIN32
// Windows looks the port up in the registry: a device entry of the test's own, removed
// again at the end. Wine lets a test write there; Windows only with administrator rights.
struct TAdapter {
  const std::string Path =
      R"(\\?\USB#VID_0F0F&PID_0F0F#QUORVEXTEST1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
  const std::string Other =
      R"(\\?\USB#VID_0F0F&PID_0F0F#QUORVEXTEST2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
  const char* Port = "COM7";
  const char* PortOtherCase = "com7";
  const wchar_t* Device = L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0F0F&PID_0F0F";
  bool Ok = false;
  TAdapter() {
    HKEY K = nullptr;
    const std::wstring Key = std::wstring(Device) + L"\\QUORVEXTEST1\\Device Parameters";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &K,
                        nullptr) != ERROR_SUCCESS)
      return;
    const wchar_t Value[] = L"COM7";
    Ok = RegSetValueExW(K, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(Value),
                        sizeof Value) == ERROR_SUCCESS;
    RegCloseKey(K);
  }
  ~TAdapter() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, Device); }
  void Attach(TComponentUSB&) const {}
};
#else
struct TAdapter {
  const std::string Path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  const std::string Other = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
  const char* Port = "ttyUSB0";
  const char* PortOtherCase = "ttyusb0";
  bool Ok = true;
  // Linux remembers the tty of a device while it is present.
  void Attach(TComponentUSB& Usb) const { Usb.RememberPort(Path, Port); }
};
#endif

TEST(UsbGlue, LogsArrivalsRemovalsAndTheSelectedAdapter) {
  const TAdapter A;
  if (!A.Ok) GTEST_SKIP() << "the registry entry of a test adapter cannot be made here";
  const std::string& Adapter = A.Path;
  const std::string& Other = A.Other;
  struct Case {
    const char* Selected;
    bool Arrival;
    std::string Path;
    Lines Want;
  };
  const Case Cases[] = {
      {A.Port, true, Adapter, {"ARRIVE: " + Adapter}},
      {A.Port, false, Adapter, {"REMOVE: " + Adapter, "CLOSE COM"}},
      {A.Port, false, Other, {"REMOVE: " + Other}},
      {A.PortOtherCase, false, Adapter, {"REMOVE: " + Adapter}}, // the comparison is exact
      {"", false, Other, {"REMOVE: " + Other, "CLOSE COM"}},     // both texts empty
      {"", false, Adapter, {"REMOVE: " + Adapter}},
  };
  for (const Case& c : Cases) {
    TDebugLog Log;
    TUsbWatch Watch(Log, [&c] { return std::string(c.Selected); });
    ASSERT_NE(Watch.TUsb(), nullptr);
    A.Attach(*Watch.TUsb());
    Watch.TUsb()->DeliverEvent(c.Arrival, c.Path);
    EXPECT_EQ(Log.Lines(), c.Want) << c.Selected << " " << c.Path;
  }
}

#ifdef _WIN32
TEST(UsbGlue, OtherMessagesLogNothing) {
  TDebugLog Log;
  TUsbWatch Watch(Log, [] { return std::string(); });
  auto Vol = Record(2, u"E:");
  auto Msg = Message(0x8004, Vol);
  Watch.TUsb()->WMDeviceChange(Msg);
  auto Dev = Record(5, u"x");
  Msg = Message(0x8001, Dev);
  Watch.TUsb()->WMDeviceChange(Msg);
  EXPECT_TRUE(Log.Lines().empty());
}
#endif

} // namespace
