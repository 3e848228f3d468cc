#include "XtStubBoard.h"

#include <algorithm>

#include "stub_core.h"

using xtsim::TCore;
using xtsim::TMmioAccess;

namespace {

// UART0 (TRM 13.5) and its FIFO on the AHB bus, SPI1 (TRM 7.7), IO_MUX (TRM 4.12), the
// timer groups' and the RTC's watchdogs (TRM 17.4, 31.4).
constexpr uint32_t Uart0 = 0x3FF40000, Uart0Ahb = 0x60000000, Spi1 = 0x3FF42000, IoMux = 0x3FF49000,
                   Timg0 = 0x3FF5F000, Timg1 = 0x3FF60000, RtcCntl = 0x3FF48000;
constexpr uint32_t UartFifo = 0x00, UartClkdiv = 0x14, UartStatus = 0x1C, UartMemRx = 0x60;
constexpr uint32_t SpiCmd = 0x00, SpiAddr = 0x04, SpiUser = 0x1C, SpiUser1 = 0x20, SpiUser2 = 0x24,
                   SpiMosiDlen = 0x28, SpiMisoDlen = 0x2C, SpiW0 = 0x80;
constexpr uint32_t SpiCmdUsr = 1u << 18;
constexpr uint32_t WdtKey = 0x50D83AA1;
constexpr unsigned FifoSize = 128;

bool SpiRegister(uint32_t Off) {
  switch (Off) {
  case 0x00:
  case 0x04:
  case 0x08:
  case 0x18:
  case 0x1C:
  case 0x20:
  case 0x24:
  case 0x28:
  case 0x2C:
  case 0x34:
    return true;
  }
  return Off >= SpiW0 && Off < SpiW0 + 64;
}

} // namespace

TStubBoard::TStubBoard(xtsim::TMemory& Mem, TStubSim& F) : Flash(F) {
  using namespace xtsim;
  Mem.AddMmio("UART0", Uart0, 0x80, AllowRw,
              [this](TCore& C, TMmioAccess& A) { return Uart(C, A); });
  Mem.AddMmio("UART0 FIFO (AHB)", Uart0Ahb, 4, AllowRw,
              [this](TCore& C, TMmioAccess& A) { return UartAhb(C, A); });
  Mem.AddMmio("SPI1", Spi1, 0x100, AllowRw, [this](TCore& C, TMmioAccess& A) { return Spi(C, A); });
  Mem.AddMmio("IO_MUX", IoMux, 0x100, AllowRw, [this](TCore&, TMmioAccess& A) {
    // The flash pads, GPIO9, 10, 11, 6, 7, 8 at 0x54..0x68 (SD_DATA2 .. SD_DATA1): function 1
    // (the SPI flash interface), nothing else.
    if (!A.Write || A.Width != 4 || A.Offset < 0x54 || A.Offset > 0x68) return false;
    if (((A.Value >> 12) & 7) != 1) Misuse.push_back("a flash pad set to another function");
    ++PadsSet;
    return true;
  });
  Mem.AddMmio("TIMG0", Timg0, 0x100, AllowRw,
              [this](TCore&, TMmioAccess& A) { return Watchdog(0, A, 0x48, 0x60, 0x64); });
  Mem.AddMmio("TIMG1", Timg1, 0x100, AllowRw,
              [this](TCore&, TMmioAccess& A) { return Watchdog(1, A, 0x48, 0x60, 0x64); });
  Mem.AddMmio("RTC_CNTL", RtcCntl, 0x100, AllowRw,
              [this](TCore&, TMmioAccess& A) { return Watchdog(2, A, 0x8C, 0xA0, 0xA4); });
}

uint32_t TStubBoard::TxQueued(uint64_t Now) const {
  if (TxFreeAt <= Now) return 0;
  return uint32_t((TxFreeAt - Now + CyclesPerByte - 1) / CyclesPerByte);
}

bool TStubBoard::Uart(TCore& Core, TMmioAccess& A) {
  if (A.Width != 4) return false;
  switch (A.Offset) {
  case UartFifo:
    if (A.Write) {
      Misuse.push_back("TX FIFO written through the DPORT address (errata: use AHB)");
      return true;
    }
    Busy();
    if (In.empty()) {
      Misuse.push_back("RX FIFO read while empty");
      A.Value = 0;
    } else {
      A.Value = In.front();
      In.pop_front();
    }
    return true;
  case UartClkdiv:
    if (A.Write)
      ClkDiv = A.Value;
    else
      A.Value = ClkDiv;
    return true;
  case UartStatus: {
    if (A.Write) return false;
    const uint32_t Tx = TxQueued(A.Cycle);
    const uint32_t Rx = uint32_t(std::min<size_t>(In.size(), FifoSize - 1));
    A.Value = Rx | Tx << 16 | (Tx ? 1u : 0u) << 24;
    if (Rx == 0 && Tx == 0 && ++Polls >= IdlePolls) Core.Stop("idle");
    return true;
  }
  case UartMemRx: {
    if (A.Write) return false;
    // RD_ADDR 12:2, WR_ADDR 23:13: apart by the bytes waiting.
    const uint32_t Rd = 0x100, Wr = Rd + uint32_t(std::min<size_t>(In.size(), FifoSize - 1));
    A.Value = (Rd & 0x7FF) << 2 | (Wr & 0x7FF) << 13;
    return true;
  }
  }
  return false;
}

bool TStubBoard::UartAhb(TCore&, TMmioAccess& A) {
  // Reading the FIFO through AHB is undefined (errata): not modelled, so it faults.
  if (!A.Write || A.Width != 4) return false;
  Busy();
  if (TxQueued(A.Cycle) >= FifoSize) Misuse.push_back("TX FIFO overflow");
  TxFreeAt = std::max(TxFreeAt, A.Cycle) + CyclesPerByte;
  Out.push_back(uint8_t(A.Value));
  return true;
}

bool TStubBoard::Spi(TCore&, TMmioAccess& A) {
  if (A.Width != 4 || !SpiRegister(A.Offset)) return false;
  Busy();
  uint32_t* R = SpiRegs;
  if (!A.Write) {
    // A user command is over as soon as it has been started.
    A.Value = A.Offset == SpiCmd ? 0 : R[A.Offset / 4];
    return true;
  }
  R[A.Offset / 4] = A.Value;
  if (A.Offset != SpiCmd) return true;
  if (A.Value != SpiCmdUsr) {
    Misuse.push_back("SPI1 command other than USR");
    return true;
  }
  ++Transactions;
  const uint32_t User = R[SpiUser / 4];
  if (!(User & (1u << 31)) || (R[SpiUser2 / 4] >> 28) != 7)
    Misuse.push_back("SPI1 command phase not 8 bits");
  const bool Addr = (User & (1u << 30)) != 0, Dummy = (User & (1u << 29)) != 0;
  if (Addr && (R[SpiUser1 / 4] >> 26) != 23) Misuse.push_back("SPI1 address phase not 24 bits");
  // DUMMY_CYCLELEN (USER1 7:0) + 1 clocks: the 8 that the SFDP read wants.
  if (Dummy && (R[SpiUser1 / 4] & 0xFF) != 7) Misuse.push_back("SPI1 dummy phase not 8 clocks");
  auto Bytes = [&](uint32_t Phase, uint32_t Dlen) {
    if (!(User & Phase)) return 0u;
    const uint32_t Bits = R[Dlen / 4] + 1;
    if (Bits % 8 || Bits > 512) {
      Misuse.push_back("SPI1 data phase of " + std::to_string(Bits) + " bits");
      return 0u;
    }
    return Bits / 8;
  };
  const uint32_t OutLen = Bytes(1u << 27, SpiMosiDlen), InLen = Bytes(1u << 28, SpiMisoDlen);
  alignas(4) uint8_t Out[64] = {}, In[64] = {};
  for (uint32_t i = 0; i < OutLen; ++i)
    Out[i] = uint8_t(R[SpiW0 / 4 + i / 4] >> (8 * (i % 4)));
  Flash.FlashCmd((R[SpiUser2 / 4] & 0xFF) | (Addr ? STUB_FLASH_ADDR : 0) |
                     (Dummy ? STUB_FLASH_DUMMY : 0),
                 R[SpiAddr / 4] >> 8, Out, OutLen, In, InLen);
  for (uint32_t i = 0; i < InLen; i += 4)
    R[SpiW0 / 4 + i / 4] = In[i] | In[i + 1] << 8 | In[i + 2] << 16 | uint32_t(In[i + 3]) << 24;
  return true;
}

bool TStubBoard::Watchdog(unsigned Which, const TMmioAccess& A, uint32_t Config, uint32_t Feed,
                          uint32_t Protect) {
  if (!A.Write || A.Width != 4) return false;
  if (A.Offset == Protect) {
    Unlocked[Which] = A.Value == WdtKey;
  } else if (A.Offset == Feed || A.Offset == Config) {
    if (!Unlocked[Which]) {
      Misuse.push_back("watchdog register written while write-protected");
    } else if (A.Offset == Config && !(A.Value & (1u << 31))) {
      ++WatchdogsOff;
    }
  } else {
    return false;
  }
  return true;
}
