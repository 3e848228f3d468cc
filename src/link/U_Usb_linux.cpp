// Linux backend of the USB watcher: a libudev monitor of USB devices on its own netlink
// socket. The application watches MonitorFd() and calls HandleMonitorEvent(); each
// "add" or "remove" of a USB device is passed on as a plain event with its sysfs path.
#include "U_Usb.h"

#include <fcntl.h>
#include <libudev.h>
#include <memory>

struct TComponentUSB::Impl {
  udev* Udev = nullptr;
  udev_monitor* Monitor = nullptr;
  int Fd = -1;
};

namespace {
struct DeviceUnref {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
struct EnumUnref {
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceUnref>;
using EnumPtr = std::unique_ptr<udev_enumerate, EnumUnref>;
} // namespace

TComponentUSB::TComponentUSB(const std::string& MonitorSource) : P(new Impl) {
  // A failed set-up is not reported: the watcher then simply never fires.
  P->Udev = udev_new();
  if (!P->Udev) return;
  RefreshPorts();
  P->Monitor = udev_monitor_new_from_netlink(P->Udev, MonitorSource.c_str());
  if (!P->Monitor ||
      udev_monitor_filter_add_match_subsystem_devtype(P->Monitor, "usb", "usb_device") < 0 ||
      // tty events only keep the port table current: a driver may bind after the
      // USB device's own "add" has been reported.
      udev_monitor_filter_add_match_subsystem_devtype(P->Monitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(P->Monitor) < 0) {
    if (P->Monitor) udev_monitor_unref(P->Monitor);
    P->Monitor = nullptr;
    return;
  }
  const int Fd = udev_monitor_get_fd(P->Monitor);
  const int Flags = Fd >= 0 ? fcntl(Fd, F_GETFL) : -1;
  if (Flags < 0 || fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) < 0) {
    udev_monitor_unref(P->Monitor);
    P->Monitor = nullptr;
    return;
  }
  P->Fd = Fd;
}

TComponentUSB::~TComponentUSB() {
  if (P->Monitor) udev_monitor_unref(P->Monitor);
  if (P->Udev) udev_unref(P->Udev);
  delete P;
}

bool TComponentUSB::Listening() const {
  return P->Fd >= 0;
}

int TComponentUSB::MonitorFd() const {
  return P->Fd;
}

void TComponentUSB::RefreshPorts() {
  // Every tty that hangs below a USB device, keyed by that device's sysfs path. Entries
  // of devices that are gone stay until their removal has been handled.
  if (!P->Udev) return;
  EnumPtr En(udev_enumerate_new(P->Udev));
  if (!En || udev_enumerate_add_match_subsystem(En.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(En.get()) < 0)
    return;
  udev_list_entry* Entry;
  udev_list_entry_foreach(Entry, udev_enumerate_get_list_entry(En.get())) {
    DevicePtr Tty(udev_device_new_from_syspath(P->Udev, udev_list_entry_get_name(Entry)));
    if (!Tty) continue;
    // The parent is owned by the child and needs no unref of its own.
    udev_device* Usb =
        udev_device_get_parent_with_subsystem_devtype(Tty.get(), "usb", "usb_device");
    const char* UsbPath = Usb ? udev_device_get_syspath(Usb) : nullptr;
    const char* Name = udev_device_get_sysname(Tty.get());
    if (UsbPath && Name) FPorts[UsbPath] = Name;
  }
}

void TComponentUSB::HandleMonitorEvent() {
  if (!P->Monitor) return;
  // The socket is non-blocking: this takes what is queued and returns.
  while (DevicePtr Dev{udev_monitor_receive_device(P->Monitor)}) {
    const char* Action = udev_device_get_action(Dev.get());
    const char* SysPath = udev_device_get_syspath(Dev.get());
    if (!Action || !SysPath) continue;
    const char* Subsystem = udev_device_get_subsystem(Dev.get());
    const std::string Action_ = Action, Path = SysPath;
    if (Action_ == "add") RefreshPorts();
    if (!Subsystem || std::string(Subsystem) != "usb") continue;
    if (Action_ == "add") {
      DeliverEvent(true, Path);
    } else if (Action_ == "remove") {
      struct Forget { // the device's port is not needed once its removal was handled
        std::map<std::string, std::string>& Ports;
        const std::string& Path;
        ~Forget() { Ports.erase(Path); }
      } Guard{FPorts, Path};
      DeliverEvent(false, Path);
    }
  }
}

std::string TComponentUSB::PortName(const std::string& Path) const {
  const auto It = FPorts.find(Path);
  return It == FPorts.end() ? std::string() : It->second;
}
