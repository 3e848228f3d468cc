#pragma once
// The loader entry (TComEsp): the reset sequences that bring the chip into its ROM
// loader, the SYNC frame and the retries. It drives the serial service's port and reads
// the answer through the loader session; it is handed the port, the settings it needs
// and someone to tell of each attempt and try.
#include <cstdint>
#include <string>

#include "../link/uComIo.h"
#include "../support/uDebugLog.h"
#include "uEsp.h"

// The connection settings the entry uses: the rate it opens the port at, which pair of
// hold times the first attempt takes, and the holds of the two phases of the line
// sequence in a slow and in a fast attempt (ms).
struct TEntrySettings {
  uint32_t ConnBaud = 115200;
  bool FastFirst = true;
  uint32_t SlowLow = 1400;
  uint32_t SlowHigh = 500;
  uint32_t FastLow = 150;
  uint32_t FastHigh = 100;
};

// What the entry reports while it runs; whoever shows the run builds the texts.
class IEntryProgress {
public:
  virtual ~IEntryProgress() = default;
  // Before each attempt, counting from 1; Slow: it uses the slow hold times.
  virtual void Attempt(int Number, bool Slow) = 0;
  // Before each SYNC of an attempt, counting from 1.
  virtual void Try(int Number) = 0;
  // The holds of the line sequence. A job overrides it to stop early.
  virtual void Wait(uint32_t Ms);
};

class TComEsp {
public:
  TComEsp(TComIo& ComIo, TDebugLog& Debug);
  void AttachEsp(IPacketSource* Esp) { FEsp = Esp; }
  // One attempt on Port (empty: none selected, the open fails) at baud; delay picks the
  // slow hold times.
  bool ConnectESP(const std::string& Port, const TEntrySettings& Config, IEntryProgress& Progress,
                  uint32_t baud, bool delay);
  // Up to six attempts, alternating slow and fast; true as soon as one succeeded.
  bool DoConnect(const std::string& Port, const TEntrySettings& Config, IEntryProgress& Progress);

private:
  TComIo& FComIo;
  TDebugLog& FDebug;
  IPacketSource* FEsp = nullptr;
};
