#pragma once
// Everything the command line takes in and checks before any board is touched: the
// settings, the images (files, offsets, sizes, overlaps) and the ports (known, each
// device once, adapters named by their USB serial number).
#include <cstdint>
#include <string>
#include <vector>

#include "flash/uFlashJob.h"
#include "flash/uSettings.h"
#include "link/uPortList.h"

// Reads the settings from File. False, with Error set, when it exists but cannot be taken
// in (not a regular file, unreadable, larger than 1 MiB, not text); a missing file gives
// the defaults and true unless Required. Values refused keep their defaults and are
// listed in Problems.
bool LoadSettings(const std::string& File, bool Required, TSettings& S,
                  std::vector<TSettingProblem>& Problems, std::string& Error);

// The command line's words for a refused setting: the key, the value as stored, what the
// key takes and the default used instead ("FastBaud=99 is out of range (9600 to 5000000);
// the default 921600 is used").
std::string SettingProblemText(const TSettingProblem& Problem);

// How an OFFSET is written, for --help and the messages.
inline constexpr const char* OffsetRule = "decimal (65536) or hexadecimal after 0x (0x10000)";

// An offset as typed: decimal digits, or hexadecimal ones after 0x, no sign, no leading 0
// before further digits, at most 32 bits. "" with Offset set, else why the text is no
// offset.
std::string ParseOffset(const std::string& Text, uint32_t& Offset);

// The images to write: the window's named three (any of them, empty names left out)
// first, then the OFFSET FILE pairs in the order given. One message for every argument
// that is no offset or lacks its file; "no image to write" only when nothing was given.
std::vector<TFlashImage> ImageList(const std::string& Boot, const std::string& Part,
                                   const std::string& Firm, const std::vector<std::string>& Pairs,
                                   std::vector<std::string>& Problems);

// Reads and checks every image as the run will (the job reads them again): the file is
// there, a regular file and readable, the offset aligned, the size right for its kind
// and inside a flash of FlashSize bytes (the fast path checks them again against the
// part's own size), no two images overlapping. Sizes gets each image's size. Returns the
// messages.
std::vector<std::string> CheckImages(const std::vector<TFlashImage>& Images,
                                     std::vector<uint64_t>& Sizes,
                                     uint32_t FlashSize = EspFlashSize);

// The prefix of a port named by its adapter's USB serial number: usb-serial:0001A2B3.
inline constexpr const char* UsbSerialPrefix = "usb-serial:";

// "" when the port can be opened by name: an rfc2217:// address that parses, or a port
// the system has (on POSIX a character device at the path the port opens). Else why not.
std::string CheckPort(const std::string& Port);

// What a local port name opens, so that two names of one device compare equal: on POSIX
// the device number of the character device (else the path), on Windows the upper-cased
// name.
std::string PortIdentity(const std::string& Port);

// The system's entry for a local port name (by PortIdentity); null when it has none.
const TSystemPort* FindSystemPort(const std::string& Port, const std::vector<TSystemPort>& System);

// Messages for the ports: unknown ones, network names that do not resolve, and every
// second name of one device (two network names are one device when they reach a same
// address and port). A usb-serial: name is replaced by the port of the one adapter of the
// System list with that serial number (letter case ignored).
std::vector<std::string> CheckPorts(std::vector<std::string>& Ports,
                                    const std::vector<TSystemPort>& System);
