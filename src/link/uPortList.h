#pragma once
// The serial ports the system knows, for the port list of the main window: the
// platform's own ports (registry on Windows, tty devices through libudev on Linux)
// plus the network ports named in the settings. Qt-free.
#include <cstddef>
#include <string>
#include <vector>

// What the system tells of the USB device behind a port; empty where it tells nothing
// (and all empty for a port that is no USB device).
struct TUsbDetails {
  std::string Vid, Pid; // four hexadecimal digits, lower case: "10c4", "ea60"
  std::string Manufacturer, Product, Serial;
  bool Known() const { return !Vid.empty(); }
};

// One tty device as the device manager describes it; what the Linux filter looks at.
struct TTtyDevice {
  std::string SysName;         // ttyUSB0, ttyS0
  std::string DevNode;         // /dev/ttyUSB0; empty when the device has no node
  std::string ParentSubsystem; // subsystem of the nearest parent device; empty: no parent
  std::string Driver;          // driver of the nearest parent that has one (serial8250, ...)
  int UartType = -1;           // the port's "type" attribute; 0 means no UART; -1 unknown
  TUsbDetails Usb{};           // from the USB device above it, if any
};

// A serial port of the machine with what the system knows of it.
struct TSystemPort {
  std::string Name;   // as the list shows it: ttyUSB0, COM3
  std::string Driver; // cp210x, ftdi_sio, cdc_acm (Windows: the driver's service name)
  TUsbDetails Usb;
};

// The devices that are real serial ports: those with a parent device, without the
// legacy 8250 placeholders that have no UART behind them; each name once, in the order
// given.
std::vector<TSystemPort> SerialPorts(const std::vector<TTtyDevice>& Devices);
// Their short names (ttyUSB0).
std::vector<std::string> SerialPortNames(const std::vector<TTtyDevice>& Devices);

// The platform's serial ports with their details, sorted ascending by name ignoring
// letter case: the names from the same source as SystemPortNames. Returns false,
// leaving Ports untouched, when that source cannot be read at all.
bool SystemPorts(std::vector<TSystemPort>& Ports);
// The platform's serial port names, sorted ascending ignoring letter case. Returns
// false, leaving Names untouched, when the source cannot be read at all.
bool SystemPortNames(std::vector<std::string>& Names);

// The rfc2217://host:port entries of a comma-separated list, trimmed; entries of any
// other form are dropped.
std::vector<std::string> ParseNetPorts(const std::string& List);

// The list the drop-down shows: the system's names when they could be read (Ok), else
// Previous, with the network ports added that it does not hold yet (letter case ignored).
std::vector<std::string> MergePortNames(bool Ok, const std::vector<std::string>& System,
                                        const std::vector<std::string>& Previous,
                                        const std::vector<std::string>& NetPorts);

// Ascending, letter case ignored (the order the system's names come in).
void SortIgnoringCase(std::vector<std::string>& Names);
void SortPortsIgnoringCase(std::vector<TSystemPort>& Ports);
// The positions of Names in natural order (COM2 before COM10), letter case ignored.
std::vector<size_t> NaturalOrder(const std::vector<std::u16string>& Names);
void SortNatural(std::vector<std::string>& Names);

// The item to select: the first that equals Kept ignoring letter case, else the first
// item; -1 for an empty list.
int SelectPortIndex(const std::vector<std::string>& Items, const std::string& Kept);
