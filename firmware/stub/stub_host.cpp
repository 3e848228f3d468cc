#include "stub_host.h"

#include <cstdlib>

namespace stubhost {

namespace {
thread_local THardware* Current = nullptr;

THardware& Hw() {
  // The core running with nothing bound is a fault of the caller, not a state to go on from.
  if (!Current) std::abort();
  return *Current;
}
} // namespace

void THardware::FlashReadEnd(uint8_t* In, uint32_t InLen) {
  // A read ended that was not started as this one is a fault of the core.
  if (InLen != PendingLen) std::abort();
  FlashCmd(PendingOp, PendingAddr, nullptr, 0, In, InLen);
}

TBind::TBind(THardware& H) : Prev(Current) {
  Current = &H;
}

TBind::~TBind() {
  Current = Prev;
}

} // namespace stubhost

using stubhost::Hw;

extern "C" {

int stub_hw_getc(void) {
  return Hw().Getc();
}
void stub_hw_putc(uint8_t c) {
  Hw().Putc(c);
}
void stub_hw_tx_drain(void) {
  Hw().TxDrain();
}
uint32_t stub_hw_baud_div16(void) {
  return Hw().BaudDiv16();
}
void stub_hw_set_baud_div16(uint32_t div16) {
  Hw().SetBaudDiv16(div16);
}
int stub_hw_read_reg(uint32_t addr, uint32_t* value) {
  return Hw().ReadReg(addr, value);
}
int stub_hw_write_reg(uint32_t addr, uint32_t value) {
  return Hw().WriteReg(addr, value);
}
void stub_hw_delay_us(uint32_t us) {
  Hw().DelayUs(us);
}
uint32_t stub_hw_ticks(void) {
  return Hw().Ticks();
}
void stub_hw_flash_attach(void) {
  Hw().FlashAttach();
}
void stub_hw_flash_cmd(uint32_t op, uint32_t addr, const uint8_t* out, uint32_t out_len,
                       uint8_t* in, uint32_t in_len) {
  Hw().FlashCmd(op, addr, out, out_len, in, in_len);
}
void stub_hw_flash_read_start(uint32_t op, uint32_t addr, uint32_t in_len) {
  Hw().FlashReadStart(op, addr, in_len);
}
void stub_hw_flash_read_end(uint8_t* in, uint32_t in_len) {
  Hw().FlashReadEnd(in, in_len);
}
void stub_hw_flash_clock(uint32_t div) {
  Hw().FlashClock(div);
}
void stub_hw_cycles(uint32_t n) {
  Hw().Cycles(n);
}

} // extern "C"
