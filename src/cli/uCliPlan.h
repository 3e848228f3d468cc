#pragma once
// Everything the command line takes in and checks before any board is touched: the
// settings, the images (files, offsets, sizes, overlaps) and the ports (known, each
// device once).
#include <cstdint>
#include <string>
#include <vector>

#include "flash/uFlashJob.h"
#include "flash/uSettings.h"

// Reads the settings from File. False, with Error set, when it exists but cannot be taken
// in (not a regular file, unreadable, larger than 1 MiB, not text); a missing file gives
// the defaults and true unless Required. Values refused keep their defaults and are
// listed in Problems.
bool LoadSettings(const std::string& File, bool Required, TSettings& S,
                  std::vector<TSettingProblem>& Problems, std::string& Error);

// An offset as typed: decimal, or hexadecimal after 0x. False for anything else or for
// a value past 32 bits.
bool ParseOffset(const std::string& Text, uint32_t& Offset);

// The images to write: the window's named three (any of them, empty names left out)
// first, then the OFFSET FILE pairs in the order given. Messages for every argument that
// is no offset or lacks its file.
std::vector<TFlashImage> ImageList(const std::string& Boot, const std::string& Part,
                                   const std::string& Firm, const std::vector<std::string>& Pairs,
                                   std::vector<std::string>& Problems);

// Reads and checks every image as the run will (the job reads them again): the file is
// there and readable, the offset aligned, the size right for its kind and inside the
// flash, no two images overlapping. Sizes gets each image's size. Returns the messages.
std::vector<std::string> CheckImages(const std::vector<TFlashImage>& Images,
                                     std::vector<uint64_t>& Sizes);

// "" when the port can be opened by name: an rfc2217:// address that parses, or a port
// the system has (on POSIX a character device at the path the port opens). Else why not.
std::string CheckPort(const std::string& Port);

// What a port name opens, so that two names of one device compare equal: the resolved
// device path on POSIX, the upper-cased name on Windows, the address with its host in
// lower case and its port number as a number.
std::string PortIdentity(const std::string& Port);

// Messages for the ports: unknown ones and every second name of one device.
std::vector<std::string> CheckPorts(const std::vector<std::string>& Ports);
