#pragma once
// The settings the command line shares with the window, read from the same "Quorvex.ini":
// the connection values, AutoErase, UseStub, the saved port and the network ports. Only
// reading, and only these keys of section "CONFIG"; the window owns the file.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/uComEsp.h"

// The window's ranges: a value outside them is refused like a text that is no number.
constexpr int32_t CliBaudMin = 9600;
constexpr int32_t CliBaudMax = 5000000;
constexpr int32_t CliHoldMaxMs = 5000;

struct TCliSettings {
  TConfig Config;                    // the window's defaults where the file says nothing usable
  bool AutoErase = true;             // the window's check box
  std::string ComPort;               // the port the window last used
  std::string NetPorts;              // comma-separated rfc2217:// addresses
  std::vector<std::string> Problems; // values refused, as the window words them
};

// The signed 32-bit reading of a value as the window reads it: leading blanks, a sign,
// decimal digits or hexadecimal ones after "$", "x", "X", "0x" or "0X"; empty is 0.
bool CliStrToInt(const std::string& S, int32_t& Value);

// The settings held by the text of a settings file (a byte-order mark for UTF-8 or
// UTF-16 is honoured; characters beyond ASCII in UTF-16 text read as '?').
TCliSettings ParseSettings(const std::string& Bytes);

// Reads File. False, with Error set, when it exists but cannot be taken in (not a regular
// file, unreadable, larger than 1 MiB, not text); a missing file gives the defaults and
// true unless Required.
bool LoadSettings(const std::string& File, bool Required, TCliSettings& S, std::string& Error);

// The folder of the running program with a trailing separator ("" when unknown).
std::string ProgramFolder();
