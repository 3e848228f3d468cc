// The serial service's part of the USB watcher: log the devices that come and go, and
// note when the adapter behind the selected port has gone.
#include "U_Usb.h"
#include "uComIo.h"

void TComIo::UsbArrival(TComponentUSB& Sender) {
  FDebug.S("ARRIVE: " + Sender.DevicePath());
}

void TComIo::UsbRemove(TComponentUSB& Sender) {
  const std::string Path = Sender.DevicePath();
  FDebug.S("REMOVE: " + Path);
  // Only a log line: a run in progress and the open port are left alone. An unknown
  // device with no port selected matches too, since both texts are empty.
  if (UsbPortName(Path) == FMain.PortText()) FDebug.S("CLOSE COM");
}

std::string TComIo::UsbPortName(const std::string& path) {
  return FUsb ? FUsb->PortName(path) : std::string();
}
