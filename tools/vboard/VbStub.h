#pragma once
// The flasher stub on the board: firmware/stub's own core (the standard build
// or the fast one), run behind its hardware seam with the board's UART, NOR
// flash and clock. The core's time passes only through the seam (SPI
// transactions at the SPI clock the stub set, delays, polls of a busy part,
// and the CPU cycles the fast core reports for its digests and its
// inflater), so the board knows at which instant each byte leaves.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "VbNor.h"
#include "VbOptions.h"
#include "VbStubCore.h"
#include "stub_core.h"
#include "stub_host.h"

namespace vboard {

class TStub : private stubhost::THardware {
public:
  // A byte sent (Baud 0) or a switch of the UART to Baud, at chip time At (ns).
  struct TOut {
    int64_t At;
    uint8_t Byte;
    uint32_t Baud;
  };

  TStub(const TBoardOptions& O, TNorFlash& N, std::map<uint32_t, uint32_t>& R);
  ~TStub() override;

  // Starts a fresh stub at Now on a UART running at Baud: set-up, then its greeting.
  // Fast: the fast stub's build of the core.
  void Start(int64_t Now, uint32_t Baud, bool Fast = false);
  void Stop();
  bool Running() const { return S != nullptr; }
  bool Fast() const { return FFast; }
  // Runs the stub from Now (or where its own work left it, if later) on the bytes
  // received, until it waits for more input or for the flash.
  void Run(int64_t Now, const uint8_t* p, size_t n);
  std::vector<TOut> TakeOut();
  int64_t Now() const { return ChipNs; }
  // When the flash work it left pending can go on; empty when it waits for input only.
  std::optional<int64_t> WakeAt() const { return Wake; }
  // The rate the last CHANGE_BAUDRATE asked for; a divider that gives it within the
  // UART's tolerance is reported as exactly that rate.
  void ExpectBaud(uint32_t Baud) { Asked = Baud; }

private:
  int Getc() override;
  void Putc(uint8_t c) override;
  void TxDrain() override {}
  uint32_t BaudDiv16() override { return Div16; }
  void SetBaudDiv16(uint32_t D) override;
  int ReadReg(uint32_t Addr, uint32_t* Value) override;
  int WriteReg(uint32_t Addr, uint32_t Value) override;
  void DelayUs(uint32_t Us) override;
  uint32_t Ticks() override;
  void FlashAttach() override {}
  void FlashCmd(uint32_t Op, uint32_t Addr, const uint8_t* Out, uint32_t OutLen, uint8_t* In,
                uint32_t InLen) override;
  void FlashReadStart(uint32_t Op, uint32_t Addr, uint32_t InLen) override;
  void FlashReadEnd(uint8_t* In, uint32_t InLen) override;
  void FlashClock(uint32_t Div) override;
  void Cycles(uint32_t N) override;
  uint32_t UartHz() const;

  const TBoardOptions& Opt;
  TNorFlash& Nor;
  std::map<uint32_t, uint32_t>& Regs;
  std::unique_ptr<IStubCore> S;
  bool FFast = false;
  std::deque<uint8_t> Rx;
  std::vector<TOut> Out;
  int64_t ChipNs = 0, StartNs = 0, PollSkip = 0;
  bool Worked = false; // the step just run did CPU work (reported cycles)
  std::optional<int64_t> Wake;
  uint32_t Div16 = 0, Asked = 0;
  // A split read in flight: its bytes (read when it started) and when the bus is done.
  uint8_t ReadBuf[64] = {};
  uint32_t ReadLen = 0;
  int64_t ReadDoneNs = 0;
};

} // namespace vboard
