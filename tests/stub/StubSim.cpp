#include "StubSim.h"

#include <bit>
#include <cstdio>

#include "VbSfdp.h"
#include "stub_core.h"

TStubSim::TStubSim(size_t FlashSize)
    : Flash(FlashSize, 0xFF), Sfdp(vboard::SfdpImage({{12, 0x20}, {15, 0x52}, {16, 0xD8}})) {}
TStubSim::~TStubSim() = default;

namespace {

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", unsigned(v));
  return b;
}

} // namespace

// Starts a program or erase: needs the latch, clears it, leaves the part busy.
bool TStubSim::Begin(const char* Name) {
  if (!Wel) {
    Fault(std::string(Name) + " without write enable");
    return false;
  }
  Wel = false;
  Busy = BusyPerOp;
  return (Sr1 & 0x7C) == 0; // protected parts ignore the command
}

void TStubSim::Fill(uint32_t Addr, uint32_t Len) {
  if (Addr + Len > Flash.size()) return; // beyond a smaller part: nothing there to erase
  std::fill(Flash.begin() + Addr, Flash.begin() + Addr + Len, uint8_t(0xFF));
}

// Sector or block erase: the address must sit on the unit's boundary.
void TStubSim::Erase(const char* Name, uint32_t Addr, uint32_t Unit) {
  if (Addr & (Unit - 1)) Fault(std::string(Name) + " at unaligned " + Hex(Addr));
  if (!Begin(Name)) return;
  Fill(Addr & ~(Unit - 1), Unit);
  Ops.push_back(std::string(Name) + " " + Hex(Addr));
}

int TStubSim::Getc() {
  if (In.empty()) return -1;
  int c = In.front();
  In.pop_front();
  return c;
}

void TStubSim::Putc(uint8_t c) {
  Out.push_back(c);
  OutMs.push_back(Millis);
}
void TStubSim::TxDrain() {
  OutAtDrain = Out.size();
}

void TStubSim::SetBaudDiv16(uint32_t D) {
  Div16 = D;
  BaudSets.push_back(D);
  OutAtBaudSet = Out.size();
}

int TStubSim::ReadReg(uint32_t Addr, uint32_t* Value) {
  auto it = Regs.find(Addr);
  if (it == Regs.end()) return -1;
  *Value = it->second;
  return 0;
}

int TStubSim::WriteReg(uint32_t Addr, uint32_t Value) {
  auto it = Regs.find(Addr);
  if (it == Regs.end()) return -1;
  it->second = Value;
  return 0;
}

uint32_t TStubSim::Ticks() {
  Millis += MillisStep;
  return TicksOf(Millis);
}

void TStubSim::FlashCmd(uint32_t Op, uint32_t addr, const uint8_t* out, uint32_t out_len,
                        uint8_t* in, uint32_t in_len) {
  const uint32_t opcode = Op & 0xFF;
  if (out_len > STUB_SPI_CHUNK || in_len > STUB_SPI_CHUNK)
    Fault("transfer longer than the SPI buffer");
  // The target stores whole words into what it reads (the seam's contract).
  if (in_len && reinterpret_cast<uintptr_t>(in) % 4 != 0) Fault("read buffer not word-aligned");
  for (uint32_t i = 0; i < in_len; ++i)
    in[i] = 0xFF;
  if (opcode != 0x05) Cmds.push_back({uint8_t(opcode), Millis});
  if (Dead) return;
  // A busy part ignores everything but status reads; the ones that must come
  // before the first status read (out of continuous-read mode, out of deep
  // power-down) do no harm then.
  if (Busy > 0 && opcode != 0x05 && opcode != 0xFF && opcode != 0xAB)
    Fault("command " + Hex(opcode) + " while busy");
  bool Addressed = opcode == 0x02 || opcode == 0x03 || opcode == 0x20 || opcode == 0x52 ||
                   opcode == 0xD8 || opcode == 0xFF || opcode == 0x5A || opcode == 0x0B;
  if (Addressed != ((Op & STUB_FLASH_ADDR) != 0)) Fault("wrong address phase for " + Hex(opcode));
  if ((opcode == 0x5A || opcode == 0x0B) != ((Op & STUB_FLASH_DUMMY) != 0))
    Fault("wrong dummy phase for " + Hex(opcode));
  const bool Enabled = ResetEnabled; // 0x99 counts only right after 0x66
  ResetEnabled = false;
  switch (opcode) {
  case 0x06:
    Wel = true;
    break;
  case 0x05:
    if (in_len) {
      bool b = StuckBusy || Busy > 0;
      if (Busy > 0) Busy--;
      in[0] = uint8_t(Sr1 | (Wel ? 2 : 0) | (b ? 1 : 0));
    }
    break;
  case 0x35:
    if (in_len) in[0] = Sr2;
    break;
  case 0x9F: {
    // Maker, memory type, capacity as a power of two.
    const uint8_t Id[3] = {Maker, 0x40, uint8_t(std::bit_width(Flash.size()) - 1)};
    for (uint32_t i = 0; i < in_len && i < 3; ++i)
      in[i] = Id[i];
    break;
  }
  case 0x01: {
    uint8_t Old1 = Sr1;
    Sr1 = 0; // the write itself is not blocked by the bits it changes
    if (Begin("WRSR")) {
      Sr1 = out_len > 0 ? uint8_t(out[0] & 0xFC) : 0;
      if (out_len > 1)
        Sr2 = out[1];
      else
        Sr2 = 0; // a one-byte write clears the second register on many parts
      Ops.push_back("WRSR " + Hex(Sr1) + " " + Hex(Sr2) + (out_len > 1 ? "" : " (1 byte)"));
    } else {
      Sr1 = Old1;
    }
    break;
  }
  case 0x20:
    Erase("SE", addr, 0x1000);
    break;
  case 0x52:
    Erase(Erase52 == 0x8000 ? "BE32" : "BE52", addr, Erase52);
    break;
  case 0x31:
    if (Begin("WRSR2")) {
      Sr2 = out_len > 0 ? out[0] : Sr2;
      Ops.push_back("WRSR2 " + Hex(Sr2));
    }
    break;
  case 0x5A:
    for (uint32_t i = 0; i < in_len; ++i)
      in[i] = addr + i < Sfdp.size() ? Sfdp[addr + i] : 0xFF;
    break;
  case 0xD8:
    Erase("BE", addr, 0x10000);
    break;
  case 0xC7:
    if (Begin("CE")) {
      Fill(0, uint32_t(Flash.size()));
      Ops.push_back("CE");
    }
    break;
  case 0x02:
    if (Begin("PP") && !DropPrograms) {
      if (out_len == 0) Fault("empty page program");
      for (uint32_t i = 0; i < out_len; ++i) {
        // The address counter wraps inside the page, as on the real parts.
        uint32_t a = (addr & ~0xFFu) | ((addr + i) & 0xFFu);
        if (a < Flash.size()) Flash[a] &= out[i];
      }
      if ((addr & 0xFF) + out_len > 0x100) Fault("page program wraps at " + Hex(addr));
    }
    break;
  case 0x03:
  case 0x0B: // fast read: the same bytes after 8 dummy clocks
    for (uint32_t i = 0; i < in_len; ++i)
      in[i] = Flash[(addr + i) % Flash.size()];
    Reads += in_len;
    break;
  case 0x66: // reset enable
    ResetEnabled = true;
    break;
  case 0x99: // reset: aborts a program or erase in progress
    if (Enabled) Busy = 0, Wel = false;
    break;
  case 0xAB: // out of deep power-down
  case 0xFF: // continuous-read mode reset
    break;
  default:
    Fault("unknown flash opcode " + Hex(opcode));
  }
}
