#pragma once
// The loader entry (TComEsp): the reset sequences that bring the chip into its ROM
// loader, the SYNC frame and the retries. It drives the serial service's port and reads
// the answer through the loader session; what it shows goes through IEntryView.
#include <cstdint>
#include <string>

#include "../link/uComIo.h"
#include "../support/uDebugLog.h"
#include "uEsp.h"

// Connection settings, held by the main window and stored in the settings file.
struct TConfig {
  uint32_t ConnBaud = 115200;
  uint32_t FastBaud = 921600;
  bool FastFirst = true;
  uint32_t SlowLow = 1400;
  uint32_t SlowHigh = 500;
  uint32_t FastLow = 150;
  uint32_t FastHigh = 100;
  bool DoBeep = true;
  bool UseStub = true; // false: flash through the ROM loader's own commands
};

// What the loader entry needs of whoever runs it: the port to open, the settings, the
// status line it appends its "#" to, and the points where a window repaints.
class IEntryView {
public:
  virtual ~IEntryView() = default;
  virtual std::string PortText() const = 0; // the port to open; empty when none is selected
  virtual std::string StatusText() const = 0;
  virtual void SetStatusText(const std::string& Text) = 0;
  virtual void ProcessMessages() = 0;
  virtual const TConfig& Config() const = 0;
  // The holds of the line sequence. A job overrides it to stop early.
  virtual void Wait(uint32_t Ms);
};

class TComEsp {
public:
  TComEsp(TComIo& ComIo, IEntryView& View, TDebugLog& Debug);
  void AttachEsp(IPacketSource* Esp) { FEsp = Esp; }
  bool ConnectESP(uint32_t baud, bool delay);
  bool DoConnect();

private:
  TComIo& FComIo;
  IEntryView& FView;
  TDebugLog& FDebug;
  IPacketSource* FEsp = nullptr;
};
