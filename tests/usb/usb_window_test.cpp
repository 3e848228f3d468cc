// The USB watcher wired into the real window: the removed adapter's port is compared with
// the port list's text, and an error raised by a handler reaches the error display.
#include <gtest/gtest.h>

#include <stdexcept>

#include "../settings/main_rig.h"
#include "link/U_Usb.h"

namespace {

const std::string Adapter = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
using Lines = std::vector<std::string>;
const char* Selected = "rfc2217://localhost:9";

} // namespace

TEST(UsbWindow, CloseComWhenTheSelectedPortsAdapterGoes) {
  TMainRig Rig("[CONFIG]\r\nNetPorts=rfc2217://localhost:9,rfc2217://localhost:10\r\n"
               "ComPort=rfc2217://localhost:9\r\n");
  Rig.Show();
  ASSERT_EQ(Rig.Main->cbPort->currentText(), Selected);
  TComponentUSB& Usb = *Rig.Main->TUsb();
  Usb.RememberPort(Adapter, Selected);
  const struct {
    const char* Selected;
    Lines Want;
  } Cases[] = {
      {Selected, {"REMOVE: " + Adapter, "CLOSE COM"}},
      {"rfc2217://localhost:10", {"REMOVE: " + Adapter}},
  };
  for (const auto& c : Cases) {
    Rig.Main->cbPort->setCurrentText(c.Selected);
    const size_t Before = Rig.Log.Lines().size();
    Usb.DeliverEvent(false, Adapter);
    const Lines Added(Rig.Log.Lines().begin() + Before, Rig.Log.Lines().end());
    EXPECT_EQ(Added, c.Want) << c.Selected;
  }
  EXPECT_TRUE(Rig.Boxes.isEmpty());
}

TEST(UsbWindow, HandlerErrorShownInAMessageBox) {
  TMainRig Rig;
  Rig.Show();
  TComponentUSB& Usb = *Rig.Main->TUsb();
  Usb.OnUSBArrival = [](TComponentUSB&) { throw std::runtime_error("registry gone"); };
  Usb.DeliverEvent(true, Adapter);
  EXPECT_EQ(Rig.Boxes, QStringList({"registry gone"}));
}

int main(int argc, char** argv) {
  return RunGuiTests(argc, argv);
}
