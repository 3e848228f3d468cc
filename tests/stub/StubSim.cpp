#include "StubSim.h"

#include <cstdio>

#include "stub_core.h"

TStubSim* TStubSim::Current = nullptr;

TStubSim::TStubSim(size_t FlashSize) : Flash(FlashSize, 0xFF) {
  Current = this;
}
TStubSim::~TStubSim() {
  Current = nullptr;
}

namespace {

TStubSim& Sim() {
  return *TStubSim::Current;
}

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", unsigned(v));
  return b;
}

void Fault(const std::string& What) {
  Sim().Faults.push_back(What);
}

// Starts a program or erase: needs the latch, clears it, leaves the part busy.
bool Begin(const char* Name) {
  TStubSim& s = Sim();
  if (!s.Wel) {
    Fault(std::string(Name) + " without write enable");
    return false;
  }
  s.Wel = false;
  s.Busy = s.BusyPerOp;
  return (s.Sr1 & STUB_SR_PROTECT) == 0; // protected parts ignore the command
}

void Fill(uint32_t Addr, uint32_t Len) {
  TStubSim& s = Sim();
  if (Addr + Len > s.Flash.size()) return; // beyond a smaller part: nothing there to erase
  std::fill(s.Flash.begin() + Addr, s.Flash.begin() + Addr + Len, uint8_t(0xFF));
}

// Sector or block erase: the address must sit on the unit's boundary.
void Erase(const char* Name, uint32_t Addr, uint32_t Unit) {
  if (Addr & (Unit - 1)) Fault(std::string(Name) + " at unaligned " + Hex(Addr));
  if (!Begin(Name)) return;
  Fill(Addr & ~(Unit - 1), Unit);
  Sim().Ops.push_back(std::string(Name) + " " + Hex(Addr));
}

} // namespace

extern "C" {

int stub_hw_getc(void) {
  TStubSim& s = Sim();
  if (s.In.empty()) return -1;
  int c = s.In.front();
  s.In.pop_front();
  return c;
}

void stub_hw_putc(uint8_t c) {
  Sim().Out.push_back(c);
}
void stub_hw_tx_drain(void) {
  Sim().OutAtDrain = Sim().Out.size();
}
uint32_t stub_hw_baud_div16(void) {
  return Sim().Div16;
}

void stub_hw_set_baud_div16(uint32_t div16) {
  Sim().Div16 = div16;
  Sim().BaudSets.push_back(div16);
  Sim().OutAtBaudSet = Sim().Out.size();
}

int stub_hw_read_reg(uint32_t addr, uint32_t* value) {
  auto it = Sim().Regs.find(addr);
  if (it == Sim().Regs.end()) return -1;
  *value = it->second;
  return 0;
}

int stub_hw_write_reg(uint32_t addr, uint32_t value) {
  auto it = Sim().Regs.find(addr);
  if (it == Sim().Regs.end()) return -1;
  it->second = value;
  return 0;
}

void stub_hw_delay_us(uint32_t us) {
  Sim().Millis += us / 1000;
}
uint32_t stub_hw_millis(void) {
  return Sim().Millis += Sim().MillisStep;
}
void stub_hw_flash_attach(void) {
  Sim().Attaches++;
}

void stub_hw_flash_cmd(uint8_t opcode, uint32_t addr, uint32_t addr_bits, const uint8_t* out,
                       uint32_t out_len, uint8_t* in, uint32_t in_len) {
  TStubSim& s = Sim();
  if (out_len > STUB_SPI_CHUNK || in_len > STUB_SPI_CHUNK)
    Fault("transfer longer than the SPI buffer");
  for (uint32_t i = 0; i < in_len; ++i)
    in[i] = 0xFF;
  if (s.Dead) return;
  if (s.Busy > 0 && opcode != 0x05) Fault("command " + Hex(opcode) + " while busy");
  bool Addressed = opcode == 0x02 || opcode == 0x03 || opcode == 0x20 || opcode == 0xD8;
  if (Addressed != (addr_bits == 24)) Fault("wrong address phase for " + Hex(opcode));
  switch (opcode) {
  case 0x06:
    s.Wel = true;
    break;
  case 0x05:
    if (in_len) {
      bool b = s.StuckBusy || s.Busy > 0;
      if (s.Busy > 0) s.Busy--;
      in[0] = uint8_t(s.Sr1 | (s.Wel ? 2 : 0) | (b ? 1 : 0));
    }
    break;
  case 0x35:
    if (in_len) in[0] = s.Sr2;
    break;
  case 0x01: {
    uint8_t Old1 = s.Sr1;
    s.Sr1 = 0; // the write itself is not blocked by the bits it changes
    if (Begin("WRSR")) {
      s.Sr1 = out_len > 0 ? uint8_t(out[0] & 0xFC) : 0;
      if (out_len > 1)
        s.Sr2 = out[1];
      else
        s.Sr2 = 0; // a one-byte write clears the second register on many parts
      s.Ops.push_back("WRSR " + Hex(s.Sr1) + " " + Hex(s.Sr2));
    } else {
      s.Sr1 = Old1;
    }
    break;
  }
  case 0x20:
    Erase("SE", addr, 0x1000);
    break;
  case 0xD8:
    Erase("BE", addr, 0x10000);
    break;
  case 0xC7:
    if (Begin("CE")) {
      Fill(0, uint32_t(s.Flash.size()));
      s.Ops.push_back("CE");
    }
    break;
  case 0x02:
    if (Begin("PP") && !s.DropPrograms) {
      if (out_len == 0) Fault("empty page program");
      for (uint32_t i = 0; i < out_len; ++i) {
        // The address counter wraps inside the page, as on the real parts.
        uint32_t a = (addr & ~0xFFu) | ((addr + i) & 0xFFu);
        if (a < s.Flash.size()) s.Flash[a] &= out[i];
      }
      if ((addr & 0xFF) + out_len > 0x100) Fault("page program wraps at " + Hex(addr));
    }
    break;
  case 0x03:
    for (uint32_t i = 0; i < in_len; ++i)
      in[i] = s.Flash[(addr + i) % s.Flash.size()];
    break;
  case 0xAB:
    break;
  default:
    Fault("unknown flash opcode " + Hex(opcode));
  }
}

} // extern "C"
