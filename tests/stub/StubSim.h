// Host stand-in for the stub's hardware seam: a UART made of two byte queues
// and a SPI NOR flash with the semantics of the real parts (program clears
// bits only, erase sets 0xFF, page program wraps inside its 256-byte page,
// nothing is written without the write-enable latch, busy after every
// program or erase). The stub core is linked against these functions.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

struct TStubSim {
  explicit TStubSim(size_t FlashSize = 4u << 20);
  ~TStubSim();

  // UART
  std::deque<int> In;
  std::vector<uint8_t> Out;
  uint32_t Div16 = 11111; // 80 MHz at 115200 baud
  std::vector<uint32_t> BaudSets;
  size_t OutAtDrain = 0, OutAtBaudSet = 0;

  // Registers: the simulated map answers only these addresses.
  std::map<uint32_t, uint32_t> Regs;

  // Flash
  std::vector<uint8_t> Flash;
  uint8_t Sr1 = 0, Sr2 = 0;
  bool Wel = false;
  int Busy = 0;      // remaining status polls that still show busy
  int BusyPerOp = 3; // polls busy after each program or erase
  bool StuckBusy = false;
  bool Dead = false;         // no part answers: reads give 0xFF, commands do nothing
  bool DropPrograms = false; // the part accepts page programs but changes nothing
  int Attaches = 0;
  std::vector<std::string> Ops;    // erase and status-write log, e.g. "SE 1000"
  std::vector<std::string> Faults; // misuse of the flash the core must never do

  // Time
  uint32_t Millis = 0, MillisStep = 1;

  static TStubSim* Current;
};
