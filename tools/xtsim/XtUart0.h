#pragma once
// UART0 of the ESP32 as a program in download mode sees it (TRM chapter 13, UART
// Controller; register summary 13.5): the FIFO register on the DPORT and the AHB bus, the
// clock divider, the status register's FIFO counts and state machines, and the RX
// memory's pointers. The line is 8N1 (CONF0 as the ROM leaves it, not modelled as a
// register) and the UART is clocked from the APB clock (CONF0.TICK_REF_ALWAYS_ON set).
//
// Time is the board's, in nanoseconds. Received bytes complete as the line delivers them,
// but never faster than the receiver's own rate; sent bytes leave the TX FIFO one frame
// time apart at the divider's rate, so a divider written wrongly shows as a wrong rate.
// Every other register, and every access the hardware leaves undefined (an RX FIFO read
// while it is empty, a TX FIFO write while it is full, a FIFO write through the DPORT
// address), is refused with the reason, which faults the core.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace xtsim {

class TUart0 {
public:
  static constexpr uint32_t Base = 0x3FF40000, Size = 0x1000; // DPORT address (TRM 1.3.5)
  static constexpr uint32_t AhbFifo = 0x60000000;             // the FIFO on the AHB bus
  static constexpr unsigned FifoBytes = 128;                  // each way (TRM 13.3.4)

  // A byte that went onto TXD (its start bit at At) and the rate it went at; or, with
  // RateOnly, the divider changed at At: the line runs at Baud from then on, both ways.
  struct TSent {
    int64_t At;
    uint8_t Byte;
    double Baud;
    bool RateOnly = false;
  };

  explicit TUart0(uint32_t ApbHz);

  // The divider the ROM loader left for the rate the host last set: integer part << 4 |
  // sixteenths, rounded.
  static uint32_t DividerFor(uint32_t ApbHz, uint32_t Baud);
  void SetDivider16(uint32_t Div16) { Div = Div16; }
  uint32_t Divider16() const { return Div; }
  double Baud() const;

  // A byte whose stop bit ended on RXD at At.
  void Receive(int64_t At, uint8_t Byte);
  // Moves time on to Now: received bytes into the RX FIFO, TX bytes onto the line.
  void Advance(int64_t Now);
  std::vector<TSent> TakeSent();
  // The next instant after Now at which something the program can read changes; -1 none.
  int64_t NextChange(int64_t Now) const;
  // Bytes the RX FIFO had no room for (the hardware sets RXFIFO_OVF and drops them).
  uint64_t Overflows() const { return Lost; }

  // One register access at Now (Offset from Base, or AhbFifo when Ahb). False with Why
  // set for an access that is not modelled or not allowed.
  bool Access(int64_t Now, bool Ahb, uint32_t Offset, bool Write, uint8_t Width, uint32_t& Value,
              std::string& Why);

private:
  int64_t FrameNs() const;
  uint32_t Status(int64_t Now) const;

  uint32_t Apb;
  uint32_t Div;
  std::deque<std::pair<int64_t, uint8_t>> Wire; // arriving, not yet complete
  std::deque<uint8_t> Rx;
  int64_t RxDone = INT64_MIN / 2; // when the receiver last completed a byte
  uint64_t RxRead = 0, Lost = 0;
  std::deque<std::pair<int64_t, uint8_t>> Tx; // written, not yet started
  int64_t TxBusyUntil = INT64_MIN / 2;        // end of the frame on the line
  std::vector<TSent> Sent;
};

} // namespace xtsim
