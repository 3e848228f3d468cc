#pragma once
// The window's USB watcher with its log lines: devices that come and go, and "CLOSE COM"
// when the adapter behind the selected port goes. It belongs to the window, not to a
// port: several runs may each have a port of their own, but there is one watcher.
#include <functional>
#include <memory>
#include <string>

#include "../support/uDebugLog.h"
#include "U_Usb.h"

class TUsbWatch {
public:
  // SelectedPort gives the port list's text (empty when none is selected).
  TUsbWatch(TDebugLog& Debug, std::function<std::string()> SelectedPort);
  TComponentUSB* TUsb() { return FUsb.get(); }

  void UsbArrival(TComponentUSB& Sender);
  void UsbRemove(TComponentUSB& Sender);
  std::string UsbPortName(const std::string& path);

private:
  TDebugLog& FDebug;
  std::function<std::string()> FSelectedPort;
  std::unique_ptr<TComponentUSB> FUsb;
};
