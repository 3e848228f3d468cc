#pragma once
// One simulated dev board on a timeline: the two-transistor auto-reset circuit on
// DTR/RTS, the chip's boot (application or ROM loader), both directions of the UART
// paced at 10 bits a byte, and the chip engine behind it. Time is passed in by the
// caller (nanoseconds, never decreasing), so tests drive it on a virtual clock and
// the server on the real one; nothing here sleeps or spawns threads.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "VbEngine.h"

namespace vboard {

class TBoard {
public:
  using TNs = int64_t;
  enum class TMode { Reset, Booting, App, Rom };
  static constexpr uint32_t BootBaud = 115200;

  // Powers the board up at Now: it boots its application RcDelayMs later.
  TBoard(const TBoardOptions& O, TFlash& F, TTrace* T, TNs Now);

  // Bytes that reached the host side of the UART (garbled when the rates differ).
  std::function<void(const uint8_t*, size_t)> OnOutput;

  void Connect(TNs Now);
  void Disconnect(TNs Now); // the port closes: both lines drop
  void SetHostBaud(TNs Now, uint32_t Baud);
  void SetDtr(TNs Now, bool On);
  void SetRts(TNs Now, bool On);
  void HostWrite(TNs Now, const uint8_t* p, size_t n);
  // Drops host bytes that have not finished on the wire yet (a transmit purge).
  void PurgeToBoard(TNs Now);

  // Plays out everything due up to Now, in time order.
  void Advance(TNs Now);
  // When Advance next has something to do; empty when only the host can wake it.
  std::optional<TNs> NextEvent() const;

  TMode Mode() const { return FMode; }
  std::string ModeName() const;
  uint32_t ChipBaud() const { return FChipBaud; }
  uint32_t HostBaud() const { return FHostBaud; }
  bool Dtr() const { return FDtr; }
  bool Rts() const { return FRts; }
  uint64_t BytesToChip() const { return RxDone; }
  size_t PendingToBoard() const { return RxLine.size() + ChipFifo.size(); }
  TChipEngine& Engine() { return FEngine; }

private:
  struct TRx {
    TNs Arrival;
    uint32_t Baud;
    uint8_t B;
  };
  struct TIn {
    TNs Done;
    uint8_t B;
  };
  struct TTx {
    TNs Done;
    uint32_t Baud; // the rate of this byte, or of the switch when IsSwitch
    uint8_t B;
    bool IsSwitch;
  };
  enum class TEv { None, Sample, Hold, RxLine, Chip, Wake, Tx, ChipReset };

  TNs ByteNs(uint32_t Baud) const;
  TNs RxHeadDone() const;
  TEv Earliest(TNs& At) const;
  void Lines(TNs Now, bool Dtr, bool Rts);
  void TraceLines();
  void Boot(bool Download, TNs At, const std::string& Rst = "0x1 (POWERON_RESET)");
  void EnterReset(TNs At);
  void Play(std::vector<TAction> Acts, TNs At);
  void QueueTx(const uint8_t* p, size_t n, TNs Ready);
  void Emit(const std::string& Text, TNs At);

  const TBoardOptions& Opt;
  TFlash& FFlash;
  TTrace* Trace;
  TChipEngine FEngine;
  TMode FMode = TMode::Booting;
  bool FDtr = false, FRts = false, EnLow = false, Io0Low = false;
  bool Connected = false;
  TNs EnLowSince = 0;
  bool ShortReset = false, HoldBroken = false;
  std::optional<TNs> SampleAt, HoldUntil;
  std::optional<TNs> ChipResetAt; // the chip resets itself (a watchdog) then
  std::string ChipResetRst;
  uint32_t FHostBaud = BootBaud, FChipBaud = BootBaud, TxBaudAtEnd = BootBaud;
  std::deque<TRx> RxLine;
  TNs RxFree = 0;
  std::deque<TIn> ChipFifo;
  TNs BusyUntil = 0;
  std::deque<TTx> Tx;
  TNs TxFree = 0;
  uint64_t RxDone = 0;
  TBytes OutBuf;
  bool RxGarbling = false, TxGarbling = false;
};

} // namespace vboard
