// The stub's hardware seam on a host: the stub_hw_* functions the core calls
// go to the THardware bound to the calling thread, so that a test's simulated
// chip and the virtual board each run the same core behind their own UART,
// flash and clock.
#pragma once

#include <cstdint>

#include "stub_core.h"

namespace stubhost {

class THardware {
public:
  virtual ~THardware() = default;
  // A byte that has arrived, or -1 when none is waiting.
  virtual int Getc() = 0;
  virtual void Putc(uint8_t c) = 0;
  virtual void TxDrain() = 0;
  virtual uint32_t BaudDiv16() = 0;
  virtual void SetBaudDiv16(uint32_t Div16) = 0;
  virtual int ReadReg(uint32_t Addr, uint32_t* Value) = 0;
  virtual int WriteReg(uint32_t Addr, uint32_t Value) = 0;
  virtual void DelayUs(uint32_t Us) = 0;
  virtual uint32_t Ticks() = 0;
  virtual void FlashAttach() = 0;
  virtual void FlashCmd(uint32_t Op, uint32_t Addr, const uint8_t* Out, uint32_t OutLen,
                        uint8_t* In, uint32_t InLen) = 0;
  // The fast stub's split reads: by default the whole transaction happens at the
  // end, which is what a simulation without a clock of its own needs.
  virtual void FlashReadStart(uint32_t Op, uint32_t Addr, uint32_t InLen) {
    PendingOp = Op;
    PendingAddr = Addr;
    PendingLen = InLen;
  }
  virtual void FlashReadEnd(uint8_t* In, uint32_t InLen);
  virtual void FlashClock(uint32_t Div) { (void)Div; }
  virtual void Cycles(uint32_t N) { (void)N; }

protected:
  uint32_t PendingOp = 0, PendingAddr = 0, PendingLen = 0;
};

// Binds H to this thread for the object's lifetime; the previous binding
// comes back afterwards.
class TBind {
public:
  explicit TBind(THardware& H);
  ~TBind();
  TBind(const TBind&) = delete;
  TBind& operator=(const TBind&) = delete;

private:
  THardware* Prev;
};

} // namespace stubhost
