#pragma once
// USB device watcher. Windows: a hidden window registered for device-interface
// notifications. Linux: a libudev monitor whose socket the application watches in its
// event loop (no Qt here: the window wires MonitorFd() to a socket notifier and calls
// HandleMonitorEvent() when it is readable).
#include <cstdint>
#include <functional>
#include <string>

class TComponentUSB {
public:
  // Window message record: the last device-change message passed on to a handler.
  struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
  };

  TComponentUSB();
  ~TComponentUSB();
  TComponentUSB(const TComponentUSB&) = delete;
  TComponentUSB& operator=(const TComponentUSB&) = delete;

  std::function<void(TComponentUSB& Sender)> OnUSBArrival;
  std::function<void(TComponentUSB& Sender)> OnUSBRemove;

  TMessage Xmsg;

  // The device path of the event being handled (Windows: the interface path from
  // byte 28 of the record at Xmsg.LParam; Linux: the sysfs device path).
  std::string DevicePath() const;

  // Linux: the monitor's socket (-1 when the set-up failed: the watcher never fires).
  int MonitorFd() const;
  void HandleMonitorEvent();

  // The message handler; public so that tests can inject events without a device.
  virtual void WMDeviceChange(TMessage& Msg);

private:
  struct Impl;
  Impl* P = nullptr;
};
