// The serial ports of a Linux machine: the tty devices libudev knows.
#include <libudev.h>

#include <cstdlib>
#include <memory>

#include "uPortList.h"

namespace {

struct UdevDel {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
};

std::string Str(const char* s) {
  return s ? std::string(s) : std::string();
}

// The description of one tty device; the parent is owned by the device.
TTtyDevice Describe(udev_device* Dev) {
  TTtyDevice d;
  d.SysName = Str(udev_device_get_sysname(Dev));
  d.DevNode = Str(udev_device_get_devnode(Dev));
  udev_device* Parent = udev_device_get_parent(Dev);
  if (Parent) d.ParentSubsystem = Str(udev_device_get_subsystem(Parent));
  for (udev_device* p = Parent; p && d.Driver.empty(); p = udev_device_get_parent(p))
    d.Driver = Str(udev_device_get_driver(p));
  const std::string Type = Str(udev_device_get_sysattr_value(Dev, "type"));
  if (!Type.empty()) d.UartType = std::atoi(Type.c_str());
  // The USB device itself (not its interface) holds the ids and the strings.
  if (udev_device* Usb = udev_device_get_parent_with_subsystem_devtype(Dev, "usb", "usb_device")) {
    const auto Attr = [Usb](const char* Name) {
      return Str(udev_device_get_sysattr_value(Usb, Name));
    };
    d.Usb = {Attr("idVendor"), Attr("idProduct"), Attr("manufacturer"), Attr("product"),
             Attr("serial")};
  }
  return d;
}

} // namespace

bool SystemPorts(std::vector<TSystemPort>& Ports) {
  std::unique_ptr<udev, UdevDel> U(udev_new());
  if (!U) return false;
  std::unique_ptr<udev_enumerate, UdevDel> E(udev_enumerate_new(U.get()));
  if (!E || udev_enumerate_add_match_subsystem(E.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(E.get()) < 0)
    return false;
  std::vector<TTtyDevice> Devices;
  udev_list_entry* Entry;
  udev_list_entry_foreach(Entry, udev_enumerate_get_list_entry(E.get())) {
    std::unique_ptr<udev_device, UdevDel> Dev(
        udev_device_new_from_syspath(U.get(), udev_list_entry_get_name(Entry)));
    if (Dev) Devices.push_back(Describe(Dev.get()));
  }
  std::vector<TSystemPort> r = SerialPorts(Devices);
  SortPortsIgnoringCase(r);
  Ports = std::move(r);
  return true;
}
