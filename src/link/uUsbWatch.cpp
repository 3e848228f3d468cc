// The window's USB watcher: log the devices that come and go, and note when the adapter
// behind the selected port has gone.
#include "uUsbWatch.h"

#include <utility>

TUsbWatch::TUsbWatch(TDebugLog& Debug, std::function<std::string()> SelectedPort)
    : FDebug(Debug), FSelectedPort(std::move(SelectedPort)),
      FUsb(std::make_unique<TComponentUSB>()) {
  FUsb->OnUSBArrival = [this](TComponentUSB& Sender) { UsbArrival(Sender); };
  FUsb->OnUSBRemove = [this](TComponentUSB& Sender) { UsbRemove(Sender); };
}

void TUsbWatch::UsbArrival(TComponentUSB& Sender) {
  FDebug.S("ARRIVE: " + Sender.DevicePath());
}

void TUsbWatch::UsbRemove(TComponentUSB& Sender) {
  const std::string Path = Sender.DevicePath();
  FDebug.S("REMOVE: " + Path);
  // Only a log line: a run in progress and the open port are left alone. An unknown
  // device with no port selected matches too, since both texts are empty.
  const std::string Selected = FSelectedPort ? FSelectedPort() : std::string();
  if (UsbPortName(Path) == Selected) FDebug.S("CLOSE COM");
}

std::string TUsbWatch::UsbPortName(const std::string& path) {
  return FUsb ? FUsb->PortName(path) : std::string();
}
