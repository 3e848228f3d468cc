// Host stand-in for the stub's hardware seam: a UART made of two byte queues
// and a SPI NOR flash with the semantics of the real parts (program clears
// bits only, erase sets 0xFF, page program wraps inside its 256-byte page,
// nothing is written without the write-enable latch, busy after every
// program or erase), by default a Winbond-like part with two status
// registers and an SFDP table. The stub core is linked against these
// functions. (The virtual board's TNorFlash models the other makers' parts.)
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "stub_host.h"

struct TStubSim : stubhost::THardware {
  explicit TStubSim(size_t FlashSize = 4u << 20);
  ~TStubSim() override;

  // UART
  std::deque<int> In;
  std::vector<uint8_t> Out;
  std::vector<uint32_t> OutMs; // the clock when each byte of Out was sent
  uint32_t Div16 = 11111;      // 80 MHz at 115200 baud
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
  uint8_t Maker = 0xEF;      // first byte of the JEDEC id
  std::vector<uint8_t> Sfdp; // what 0x5A reads (empty: no table, the line stays high)
  uint32_t Erase52 = 0x8000; // what 0x52 erases
  int Attaches = 0;
  std::vector<std::string> Ops; // erase and status-write log, e.g. "SE 1000"
  struct TCmd {
    uint8_t Opcode;
    uint32_t Ms;
  };
  std::vector<TCmd> Cmds;       // every opcode but status polls, with the clock
  uint64_t Reads = 0;           // bytes read from the array (0x03, 0x0B)
  std::vector<uint32_t> Clocks; // SPI clock dividers the core set
  uint64_t CyclesSpent = 0;     // CPU cycles the core reported
  bool ResetEnabled = false;
  std::vector<std::string> Faults; // misuse of the flash the core must never do

  // Time: each look at the clock advances it by MillisStep, at a CPU clock of CpuKhz.
  uint32_t Millis = 0, MillisStep = 1;
  uint32_t CpuKhz = 40000;
  // Milliseconds at this clock as the stub's ticks, and back.
  uint32_t TicksOf(uint64_t Ms) const { return uint32_t(Ms * CpuKhz / STUB_TICK_CYCLES); }
  double MsOf(uint32_t Ticks) const { return double(Ticks) * STUB_TICK_CYCLES / CpuKhz; }

  int Getc() override;
  void Putc(uint8_t c) override;
  void TxDrain() override;
  uint32_t BaudDiv16() override { return Div16; }
  void SetBaudDiv16(uint32_t D) override;
  int ReadReg(uint32_t Addr, uint32_t* Value) override;
  int WriteReg(uint32_t Addr, uint32_t Value) override;
  void DelayUs(uint32_t Us) override { Millis += Us / 1000; }
  uint32_t Ticks() override;
  void FlashAttach() override { Attaches++; }
  void FlashClock(uint32_t Div) override { Clocks.push_back(Div); }
  void Cycles(uint32_t N) override { CyclesSpent += N; }
  void FlashCmd(uint32_t Op, uint32_t Addr, const uint8_t* Out, uint32_t OutLen, uint8_t* In,
                uint32_t InLen) override;

private:
  bool Begin(const char* Name);
  void Fill(uint32_t Addr, uint32_t Len);
  void Erase(const char* Name, uint32_t Addr, uint32_t Unit);
  void Fault(const std::string& What) { Faults.push_back(What); }
  stubhost::TBind Bind{*this};
};
