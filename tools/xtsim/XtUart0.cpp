#include "XtUart0.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace xtsim {

namespace {
// Register offsets (TRM 13.5, register summary).
constexpr uint32_t RegFifo = 0x00, RegClkdiv = 0x14, RegStatus = 0x1C, RegMemRxStatus = 0x60;
// Where UART0's receive block starts in the UARTs' shared memory, as MEM_RX_STATUS counts
// it; only the distance between its two pointers carries meaning.
constexpr uint32_t RxMemBase = 0x200;

std::string RegName(uint32_t Off) {
  const char* Known = Off == 0x04   ? "INT_RAW"
                      : Off == 0x08 ? "INT_ST"
                      : Off == 0x0C ? "INT_ENA"
                      : Off == 0x10 ? "INT_CLR"
                      : Off == 0x18 ? "AUTOBAUD"
                      : Off == 0x20 ? "CONF0"
                      : Off == 0x24 ? "CONF1"
                                    : nullptr;
  char B[48];
  std::snprintf(B, sizeof B, "register 0x%02x%s%s", unsigned(Off), Known ? " " : "",
                Known ? Known : "");
  return B;
}
} // namespace

TUart0::TUart0(uint32_t ApbHz) : Apb(ApbHz), Div(DividerFor(ApbHz, 115200)) {}

uint32_t TUart0::DividerFor(uint32_t ApbHz, uint32_t Baud) {
  return Baud ? uint32_t((uint64_t(ApbHz) * 16 + Baud / 2) / Baud) : 0;
}

double TUart0::Baud() const {
  // TRM 13.3.3: the bit rate is the UART clock over CLKDIV + CLKDIV_FRAG / 16.
  return Div >= 16 ? double(Apb) * 16 / Div : 0;
}

int64_t TUart0::FrameNs() const {
  // Start bit, 8 data bits, stop bit.
  return Div >= 16 ? std::llround(10e9 * Div / (16.0 * Apb)) : INT64_MAX / 4;
}

void TUart0::Receive(int64_t At, uint8_t Byte) {
  Wire.emplace_back(At, Byte);
}

void TUart0::Advance(int64_t Now) {
  // A receiver resynchronises on every start bit: it keeps up with a line a little faster
  // than its own rate, but not with one that delivers bytes at once.
  const int64_t Gap = FrameNs() * 19 / 20;
  while (!Wire.empty()) {
    const int64_t Done = std::max(Wire.front().first, RxDone + Gap);
    if (Done > Now) break;
    RxDone = Done;
    if (Rx.size() < FifoBytes)
      Rx.push_back(Wire.front().second);
    else
      ++Lost;
    Wire.pop_front();
  }
  while (!Tx.empty()) {
    const int64_t Start = std::max(Tx.front().first, TxBusyUntil);
    if (Start > Now) break;
    Sent.push_back({Start, Tx.front().second, Baud()});
    TxBusyUntil = Start + FrameNs();
    Tx.pop_front();
  }
}

std::vector<TUart0::TSent> TUart0::TakeSent() {
  std::vector<TSent> S;
  S.swap(Sent);
  return S;
}

int64_t TUart0::NextChange(int64_t Now) const {
  int64_t Next = -1;
  auto Take = [&](int64_t T) {
    if (T > Now && (Next < 0 || T < Next)) Next = T;
  };
  if (!Wire.empty()) Take(std::max(Wire.front().first, RxDone + FrameNs() * 19 / 20));
  if (!Tx.empty()) Take(std::max(Tx.front().first, TxBusyUntil));
  Take(TxBusyUntil);
  return Next;
}

uint32_t TUart0::Status(int64_t Now) const {
  // TRM 13.5, UART_STATUS_REG: RXFIFO_CNT 7:0, RXD 15 (the line's level, high when idle),
  // TXFIFO_CNT 23:16, ST_UTX_OUT 27:24 (0 while the transmitter is idle), TXD 31.
  const bool Sending = Now < TxBusyUntil;
  uint32_t S = uint32_t(Rx.size()) & 0xFF;
  S |= 1u << 15;
  S |= (uint32_t(Tx.size()) & 0xFF) << 16;
  if (Sending || !Tx.empty()) S |= 2u << 24;
  if (!Sending) S |= 1u << 31;
  return S;
}

bool TUart0::Access(int64_t Now, bool Ahb, uint32_t Offset, bool Write, uint8_t Width,
                    uint32_t& Value, std::string& Why) {
  Advance(Now);
  if (Ahb || Offset == RegFifo) {
    if (Write && !Ahb) {
      Why = "TX FIFO written through the DPORT address: such writes can be lost (ESP32 "
            "errata), they belong to the AHB address 0x60000000";
      return false;
    }
    if (!Write && Ahb) {
      Why = "RX FIFO read through the AHB address: undefined (ESP32 errata), reads belong to "
            "the DPORT address 0x3ff40000";
      return false;
    }
    if (Write) {
      if (Tx.size() >= FifoBytes) {
        Why = "TX FIFO written while it holds 128 bytes: the byte would be lost";
        return false;
      }
      Tx.emplace_back(Now, uint8_t(Value));
      Advance(Now);
      return true;
    }
    if (Rx.empty()) {
      Why = "RX FIFO read while it is empty: the value would be undefined";
      return false;
    }
    Value = Rx.front();
    Rx.pop_front();
    ++RxRead;
    return true;
  }
  if (Width != 4) {
    Why = RegName(Offset) + " takes only 32-bit accesses";
    return false;
  }
  switch (Offset) {
  case RegClkdiv:
    // CLKDIV 19:0, CLKDIV_FRAG 23:20.
    if (!Write) {
      Value = (Div >> 4) | (Div & 0xF) << 20;
      return true;
    }
    if ((Value & 0xFFFFF) == 0) {
      Why = "CLKDIV written with an integer part of 0: no bit rate";
      return false;
    }
    Div = (Value & 0xFFFFF) << 4 | ((Value >> 20) & 0xF);
    Sent.push_back({Now, 0, Baud(), true});
    return true;
  case RegStatus:
    if (Write) break;
    Value = Status(Now);
    return true;
  case RegMemRxStatus: {
    if (Write) break;
    // RD_ADDR 12:2, WR_ADDR 23:13: apart by the bytes waiting (equal when none, and when
    // the FIFO is full).
    const uint32_t Rd = RxMemBase + uint32_t(RxRead % FifoBytes);
    const uint32_t Wr = RxMemBase + uint32_t((RxRead + Rx.size()) % FifoBytes);
    Value = (Rd & 0x7FF) << 2 | (Wr & 0x7FF) << 13;
    return true;
  }
  default:
    Why = RegName(Offset) + " is not modelled";
    return false;
  }
  Why = RegName(Offset) + " is read-only";
  return false;
}

} // namespace xtsim
