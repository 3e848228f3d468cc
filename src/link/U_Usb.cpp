// The platform-independent part of the USB watcher: events to handlers, and the
// registry key of a device path.
#include "U_Usb.h"

#include <exception>

TComponentUSB::TComponentUSB() : TComponentUSB(std::string("udev")) {}

void TComponentUSB::Deliver(const TUsbEvent& Event) {
  FEvent = Event;
  try {
    if (Event.Arrival) {
      if (OnUSBArrival) OnUSBArrival(*this);
    } else {
      if (OnUSBRemove) OnUSBRemove(*this);
    }
  } catch (const std::exception& E) {
    if (OnError) OnError(E.what());
  } catch (...) {
    if (OnError) OnError("Unknown error");
  }
}

std::string TComponentUSB::DevicePath() const {
  return FEvent.Path;
}

void TComponentUSB::DeliverEvent(bool Arrival, const std::string& Path) {
  Deliver(TUsbEvent{Arrival, Path});
}

std::string UsbRegistryKey(const std::string& Path) {
  // 1-based positions as the lookup counts them; 0 when absent. Both markers are ASCII,
  // so byte positions in UTF-8 cut at the same characters as positions in UTF-16.
  const size_t f1 = Path.find("#VID"), f2 = Path.find("#{");
  const long long p1 = f1 == std::string::npos ? 0 : static_cast<long long>(f1) + 1;
  const long long p2 = f2 == std::string::npos ? 0 : static_cast<long long>(f2) + 1;
  long long Start = p1 + 1;
  const long long Len = p2 - p1;
  if (Start < 1) Start = 1;
  std::string Part;
  if (Len >= 1 && Start <= static_cast<long long>(Path.size()))
    Part = Path.substr(static_cast<size_t>(Start - 1), static_cast<size_t>(Len));
  std::string Key = "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\" + Part + "Device Parameters\\";
  for (char& c : Key)
    if (c == '#') c = '\\';
  return Key;
}
