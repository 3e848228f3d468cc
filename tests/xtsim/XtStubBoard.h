#pragma once
// The chip around the stub blob, as far as the stub touches it, made of the test's MMIO
// hooks on the simulated core: UART0 (its FIFO on both buses, status, the RX FIFO's
// pointers, the clock divider), SPI1 with tests/stub's NOR flash model behind it, the
// flash pads' IO_MUX registers, the three watchdogs and the chip id word in ROM. Register
// addresses and fields are the ones stub_hw_esp32.c names from the TRM; any other access
// faults the core, so the stub cannot depend on something this does not model.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "StubSim.h"
#include "XtCore.h"
#include "XtMemory.h"

class TStubBoard {
public:
  // Flash is the NOR model (only its flash part is used).
  TStubBoard(xtsim::TMemory& Mem, TStubSim& Flash);

  std::deque<uint8_t> In;           // bytes waiting in the RX FIFO
  std::vector<uint8_t> Out;         // bytes the stub has sent
  uint32_t ClkDiv = 694 | 7u << 20; // 115200 baud from the 80 MHz APB clock
  uint32_t CyclesPerByte = 64;      // how fast the TX FIFO empties
  // The stub is idle once it has polled an empty RX FIFO this many times in a row with
  // nothing else in between: the hooks stop the run then.
  uint32_t IdlePolls = 64;

  std::vector<std::string> Misuse; // what the stub did that the hardware does not allow
  unsigned WatchdogsOff = 0;       // watchdogs whose CONFIG0 was cleared while unlocked
  unsigned PadsSet = 0;            // flash pad registers written
  unsigned Transactions = 0;       // SPI1 user commands run

private:
  bool Uart(xtsim::TCore& Core, xtsim::TMmioAccess& A);
  bool UartAhb(xtsim::TCore& Core, xtsim::TMmioAccess& A);
  bool Spi(xtsim::TCore& Core, xtsim::TMmioAccess& A);
  bool Watchdog(unsigned Which, const xtsim::TMmioAccess& A, uint32_t Config, uint32_t Feed,
                uint32_t Protect);
  void Busy() { Polls = 0; }
  uint32_t TxQueued(uint64_t Now) const;

  TStubSim& Flash;
  uint64_t TxFreeAt = 0; // the cycle when the last queued byte has left
  uint32_t Polls = 0;
  uint32_t SpiRegs[64] = {};
  bool Unlocked[3] = {};
};
