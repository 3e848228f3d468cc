#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <stdexcept>
#include <vector>

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

struct Watch {
  TComponentUSB Usb{std::string("none")}; // no monitor: events come only from the test
  Lines Seen;
  Watch() {
    Usb.OnUSBArrival = [this](TComponentUSB& s) { Seen.push_back("+" + s.DevicePath()); };
    Usb.OnUSBRemove = [this](TComponentUSB& s) { Seen.push_back("-" + s.DevicePath()); };
  }
};

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

TEST(UsbWatcher, DeliverEventBuildsTheSystemRecord) {
  Watch w;
  w.Usb.DeliverEvent(true, "/sys/devices/pci0000:00/usb1/1-2");
  w.Usb.DeliverEvent(false, "p\u00e4th");
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

// The window's watcher glue, with the port list's text given by the test.
TEST(UsbGlue, LogsArrivalsRemovalsAndTheSelectedAdapter) {
  const std::string Adapter = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  const std::string Other = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
  struct Case {
    const char* Selected;
    bool Arrival;
    std::string Path;
    Lines Want;
  };
  const Case Cases[] = {
      {"ttyUSB0", true, Adapter, {"ARRIVE: " + Adapter}},
      {"ttyUSB0", false, Adapter, {"REMOVE: " + Adapter, "CLOSE COM"}},
      {"ttyUSB0", false, Other, {"REMOVE: " + Other}},
      {"ttyusb0", false, Adapter, {"REMOVE: " + Adapter}},   // the comparison is exact
      {"", false, Other, {"REMOVE: " + Other, "CLOSE COM"}}, // both texts empty
      {"", false, Adapter, {"REMOVE: " + Adapter}},
  };
  for (const Case& c : Cases) {
    TDebugLog Log;
    TUsbWatch Watch(Log, [&c] { return std::string(c.Selected); });
    ASSERT_NE(Watch.TUsb(), nullptr);
    Watch.TUsb()->RememberPort(Adapter, "ttyUSB0");
    Watch.TUsb()->DeliverEvent(c.Arrival, c.Path);
    EXPECT_EQ(Log.Lines(), c.Want) << c.Selected << " " << c.Path;
  }
}

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

} // namespace
