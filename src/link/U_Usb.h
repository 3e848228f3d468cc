#pragma once
// USB device watcher. The portable part takes plain events (arrival or removal, device
// path). Windows: a hidden window registered for device-interface notifications, whose
// messages are decoded into such events. Linux: a libudev monitor whose socket the
// application watches in its event loop (no Qt here: the window wires MonitorFd() to a
// socket notifier and calls HandleMonitorEvent() when it is readable).
#include <cstdint>
#include <functional>
#include <map>
#include <string>

// One USB device that came or went, as every platform reports it.
struct TUsbEvent {
  bool Arrival = false; // false: a removal
  std::string Path;     // Windows: the device interface path; Linux: the sysfs device path
};

class TComponentUSB {
public:
  TComponentUSB();
  // Linux: MonitorSource names the netlink source ("udev"); anything else makes the
  // set-up fail, which tests use. Windows ignores it.
  explicit TComponentUSB(const std::string& MonitorSource);
  virtual ~TComponentUSB();
  TComponentUSB(const TComponentUSB&) = delete;
  TComponentUSB& operator=(const TComponentUSB&) = delete;

  std::function<void(TComponentUSB& Sender)> OnUSBArrival;
  std::function<void(TComponentUSB& Sender)> OnUSBRemove;
  // An error raised by a handler while an event is delivered from the event loop is
  // handed here (the application's error display); without it the error is dropped.
  std::function<void(const std::string& Message)> OnError;

  // The event being handled (the last one passed on); handlers read it here.
  const TUsbEvent& Event() const { return FEvent; }
  std::string DevicePath() const;

  // Linux: the monitor's socket (-1 when the set-up failed: the watcher never fires).
  int MonitorFd() const;
  // Whether the set-up succeeded (Windows: the hidden window and its registration;
  // Linux: the monitor). A watcher that is not listening never fires.
  bool Listening() const;
  void HandleMonitorEvent();

  // Passes one event to the handler of its kind, as the platform's source does; an
  // error raised by the handler goes to OnError and does not travel further.
  void DeliverEvent(bool Arrival, const std::string& Path);

  // The serial port that belongs to a USB device path, or "" (Windows: the registry's
  // "PortName" of the device; Linux: the tty name, e.g. ttyUSB0, remembered while the
  // device was present, since it is gone by the time its removal is reported).
  std::string PortName(const std::string& Path) const;
  void RememberPort(const std::string& Path, const std::string& Port) { FPorts[Path] = Port; }

#ifdef _WIN32
  // Window message record: the last device-change message passed on to a handler.
  struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
  };
  static constexpr uint32_t WM_DEVICECHANGE_ = 0x0219;
  static constexpr uintptr_t DBT_DEVICEARRIVAL_ = 0x8000;
  static constexpr uintptr_t DBT_DEVICEREMOVECOMPLETE_ = 0x8004;
  static constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE_ = 5;

  TMessage Xmsg;
  // The message handler: an arrival or removal of a device interface becomes an event
  // with the path from byte 28 of the record at LParam. Public so that tests can inject
  // messages without a device.
  virtual void WMDeviceChange(TMessage& Msg);
  // WMDeviceChange as the window procedure calls it: errors go to OnError.
  void Dispatch(TMessage& Msg);
#endif

private:
  void Deliver(const TUsbEvent& Event);
  void RefreshPorts();
  struct Impl;
  Impl* P = nullptr;
  TUsbEvent FEvent;
  std::map<std::string, std::string> FPorts; // Linux: sysfs path of the USB device -> tty
};

// Windows registry key (below HKEY_LOCAL_MACHINE) that holds the "PortName" of the USB
// device with this interface path: the part from "#VID" up to "#{" becomes the key.
std::string UsbRegistryKey(const std::string& Path);
