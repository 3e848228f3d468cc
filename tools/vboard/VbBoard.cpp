#include "VbBoard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace vboard {

namespace {
constexpr int64_t MsNs = 1000000;

// A byte sent at the wrong rate arrives as some other byte. The mapping never
// gives back the byte itself (6b = odd has no solution modulo 256).
uint8_t Garble(uint8_t b) {
  return static_cast<uint8_t>(b * 7 + 0x35);
}

// The board's own line after a boot into its application: what it finds where the
// application image goes (its header: the magic byte 0xE9, the segment count, the entry
// address at bytes 4 to 7), so that a monitor shows which firmware came up.
std::string AppText(const TFlash& F) {
  constexpr uint32_t AppOffset = 0x10000;
  const uint8_t* h = F.Bytes().data() + AppOffset;
  char Line[160];
  if (h[0] == 0xE9) {
    const uint32_t Entry =
        uint32_t(h[4]) | uint32_t(h[5]) << 8 | uint32_t(h[6]) << 16 | uint32_t(h[7]) << 24;
    std::snprintf(Line, sizeof Line,
                  "quorvex virtual board: application running, image at 0x%X: %u segments, "
                  "entry 0x%08X\r\n",
                  unsigned(AppOffset), unsigned(h[1]), unsigned(Entry));
  } else {
    std::snprintf(Line, sizeof Line,
                  "quorvex virtual board: application running, no image at 0x%X (first byte "
                  "0x%02X)\r\n",
                  unsigned(AppOffset), unsigned(h[0]));
  }
  return Line;
}

// The ROM's boot text, with the reset reason after "rst:", and in the application what
// it finds in the flash.
std::string BootText(bool Download, const std::string& Rst, const TFlash& F) {
  return "ets Jun  8 2016 00:22:57\r\n\r\nrst:" + Rst +
         (Download ? std::string(",boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n"
                                 "waiting for download\r\n")
                   : ",boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n" + AppText(F));
}
} // namespace

TBoard::TBoard(const TBoardOptions& O, TFlash& F, TTrace* T, TNs Now)
    : Opt(O), FFlash(F), Trace(T), FEngine(O, F, T), RxFree(Now), TxFree(Now) {
  if (Trace) {
    Trace->SetNow(Now);
    Trace->Write(TTraceLine("power_on"));
  }
  SampleAt = Now + TNs(Opt.RcDelayMs) * MsNs;
}

std::string TBoard::ModeName() const {
  switch (FMode) {
  case TMode::Reset:
    return "reset";
  case TMode::Booting:
    return "booting";
  case TMode::App:
    return "app";
  case TMode::Rom:
    break;
  }
  return TChipEngine::ModeName(FEngine.Mode());
}

TBoard::TNs TBoard::ByteNs(uint32_t Baud) const {
  if (!Opt.Pacing || Baud == 0) return 0;
  return (TNs(10) * 1000000000 + Baud / 2) / Baud;
}

TBoard::TNs TBoard::RxHeadDone() const {
  const TRx& r = RxLine.front();
  return std::max(RxFree, r.Arrival) + ByteNs(r.Baud);
}

TBoard::TEv TBoard::Earliest(TNs& At) const {
  TEv ev = TEv::None;
  auto take = [&](TEv e, TNs t) {
    if (ev == TEv::None || t < At) {
      ev = e;
      At = t;
    }
  };
  if (SampleAt) take(TEv::Sample, *SampleAt);
  if (HoldUntil) take(TEv::Hold, *HoldUntil);
  if (!RxLine.empty()) take(TEv::RxLine, RxHeadDone());
  if (!ChipFifo.empty()) take(TEv::Chip, std::max(BusyUntil, ChipFifo.front().Done));
  if (FMode == TMode::Rom)
    if (auto w = FEngine.WakeAt()) take(TEv::Wake, std::max(BusyUntil, *w));
  if (!Tx.empty()) take(TEv::Tx, Tx.front().Done);
  if (ChipResetAt) take(TEv::ChipReset, *ChipResetAt);
  return ev;
}

std::optional<TBoard::TNs> TBoard::NextEvent() const {
  TNs at = 0;
  if (Earliest(at) == TEv::None) return std::nullopt;
  return at;
}

void TBoard::Advance(TNs Now) {
  for (;;) {
    TNs t = 0;
    TEv ev = Earliest(t);
    if (ev == TEv::None || t > Now) break;
    if (Trace) Trace->SetNow(t);
    switch (ev) {
    case TEv::Sample:
      SampleAt.reset();
      if (ShortReset || !Io0Low) {
        if (Trace)
          Trace->Write(TTraceLine("sample").Bool("io0", !Io0Low).Bool("short_reset", ShortReset));
        Boot(false, t);
      } else if (Opt.MinHoldMs == 0) {
        Boot(true, t);
      } else {
        HoldUntil = t + TNs(Opt.MinHoldMs) * MsNs;
        HoldBroken = false;
      }
      break;
    case TEv::Hold:
      HoldUntil.reset();
      if (HoldBroken && Trace)
        Trace->Write(TTraceLine("sample").Bool("io0", true).Str("why", "IO0 rose within the hold"));
      Boot(!HoldBroken, t);
      break;
    case TEv::RxLine: {
      TRx r = RxLine.front();
      RxLine.pop_front();
      RxFree = t;
      ++RxDone;
      uint8_t b = r.B;
      if (FMode == TMode::Rom && FEngine.Mode() == TChipEngine::TMode::Loader &&
          !FEngine.Synced() && r.Baud != FChipBaud) {
        // The ROM measures the rate of the first bytes it hears; they are lost to it.
        FChipBaud = TxBaudAtEnd = r.Baud;
        if (Trace)
          Trace->Write(
              TTraceLine("baud").Str("side", "board").Num("rate", r.Baud).Bool("auto", true));
        break;
      }
      if (r.Baud != FChipBaud) {
        if (!RxGarbling && Trace)
          Trace->Write(
              TTraceLine("garbled").Str("to", "board").Num("host", r.Baud).Num("board", FChipBaud));
        RxGarbling = true;
        b = Garble(b);
      } else {
        RxGarbling = false;
      }
      if (FMode == TMode::Rom) ChipFifo.push_back({t, b});
      break;
    }
    case TEv::Chip: {
      uint8_t b = ChipFifo.front().B;
      ChipFifo.pop_front();
      FEngine.SetNow(t);
      FEngine.Feed(&b, 1);
      Play(FEngine.TakeActions(), t);
      break;
    }
    case TEv::Wake:
      FEngine.SetNow(t);
      FEngine.Wake();
      Play(FEngine.TakeActions(), t);
      break;
    case TEv::Tx: {
      TTx x = Tx.front();
      Tx.pop_front();
      if (x.IsSwitch) {
        FChipBaud = x.Baud;
        if (Trace) Trace->Write(TTraceLine("baud").Str("side", "board").Num("rate", x.Baud));
        break;
      }
      uint8_t b = x.B;
      if (x.Baud != FHostBaud) {
        if (!TxGarbling && Trace)
          Trace->Write(
              TTraceLine("garbled").Str("to", "host").Num("host", FHostBaud).Num("board", x.Baud));
        TxGarbling = true;
        b = Garble(b);
      } else {
        TxGarbling = false;
      }
      if (Connected) OutBuf.push_back(b);
      break;
    }
    case TEv::ChipReset: {
      // Like a reset through EN, but the chip comes out of it at once and samples IO0
      // as it stands.
      const std::string Rst = ChipResetRst;
      EnterReset(t);
      Boot(Io0Low, t, Rst);
      break;
    }
    case TEv::None:
      break;
    }
  }
  if (!OutBuf.empty()) {
    TBytes out;
    out.swap(OutBuf);
    if (OnOutput) OnOutput(out.data(), out.size());
  }
}

void TBoard::Play(std::vector<TAction> Acts, TNs At) {
  TNs ready = At;
  for (TAction& a : Acts) {
    switch (a.Kind) {
    case TAction::TKind::Busy:
      ready += a.Ns;
      BusyUntil = ready;
      break;
    case TAction::TKind::Send:
      QueueTx(a.Bytes.data(), a.Bytes.size(), ready);
      break;
    case TAction::TKind::SetBaud:
      TxFree = std::max(TxFree, ready);
      Tx.push_back({TxFree, a.Baud, 0, true});
      TxBaudAtEnd = a.Baud;
      break;
    case TAction::TKind::Delay:
      ready += a.Ns;
      break;
    case TAction::TKind::Reset:
      ready += a.Ns;
      ChipResetAt = ready;
      ChipResetRst = a.Text;
      break;
    }
  }
}

void TBoard::QueueTx(const uint8_t* p, size_t n, TNs Ready) {
  if (Opt.Mute) return;
  TNs at = std::max(TxFree, Ready);
  TNs step = ByteNs(TxBaudAtEnd);
  for (size_t i = 0; i < n; ++i) {
    at += step;
    Tx.push_back({at, TxBaudAtEnd, p[i], false});
  }
  TxFree = at;
}

void TBoard::Emit(const std::string& Text, TNs At) {
  QueueTx(reinterpret_cast<const uint8_t*>(Text.data()), Text.size(), At);
}

void TBoard::Boot(bool Download, TNs At, const std::string& Rst) {
  FChipBaud = TxBaudAtEnd = BootBaud;
  TxFree = std::max(TxFree, At);
  if (Download) {
    FMode = TMode::Rom;
    FEngine.EnterLoader();
  } else {
    FMode = TMode::App;
  }
  if (Trace) Trace->Write(TTraceLine("mode").Str("mode", Download ? "loader" : "app"));
  Emit(BootText(Download, Rst, FFlash), At);
}

void TBoard::EnterReset(TNs At) {
  FMode = TMode::Reset;
  SampleAt.reset();
  HoldUntil.reset();
  ChipResetAt.reset();
  ChipFifo.clear();
  Tx.clear();
  TxFree = At;
  BusyUntil = 0;
  FChipBaud = TxBaudAtEnd = BootBaud;
  FEngine.EnterLoader(); // whatever ran stops; the loader starts afresh at boot
  if (Trace) Trace->Write(TTraceLine("reset"));
}

void TBoard::Lines(TNs Now, bool Dtr, bool Rts) {
  Advance(Now);
  if (Trace) Trace->SetNow(Now);
  bool enLow = Rts && !Dtr, io0Low = Dtr && !Rts;
  FDtr = Dtr;
  FRts = Rts;
  if (Trace)
    Trace->Write(TTraceLine("line")
                     .Bool("dtr", Dtr)
                     .Bool("rts", Rts)
                     .Bool("en", !enLow)
                     .Bool("io0", !io0Low));
  if (!EnLow && enLow) {
    EnLowSince = Now;
    EnterReset(Now);
  } else if (EnLow && !enLow) {
    TNs low = Now - EnLowSince;
    ShortReset = low < TNs(Opt.MinResetMs) * MsNs;
    SampleAt = Now + TNs(Opt.RcDelayMs) * MsNs;
    FMode = TMode::Booting;
    if (Trace)
      Trace->Write(
          TTraceLine("en_release").Num("low_us", low / 1000).Bool("short_reset", ShortReset));
  }
  if (Io0Low && !io0Low && HoldUntil) HoldBroken = true;
  EnLow = enLow;
  Io0Low = io0Low;
}

void TBoard::SetDtr(TNs Now, bool On) {
  Lines(Now, On, FRts);
}
void TBoard::SetRts(TNs Now, bool On) {
  Lines(Now, FDtr, On);
}

void TBoard::SetHostBaud(TNs Now, uint32_t Baud) {
  Advance(Now);
  FHostBaud = Baud;
  if (Trace) {
    Trace->SetNow(Now);
    Trace->Write(TTraceLine("baud").Str("side", "host").Num("rate", Baud));
  }
}

void TBoard::HostWrite(TNs Now, const uint8_t* p, size_t n) {
  Advance(Now);
  for (size_t i = 0; i < n; ++i)
    RxLine.push_back({Now, FHostBaud, p[i]});
}

void TBoard::PurgeToBoard(TNs Now) {
  Advance(Now);
  RxLine.clear();
}

void TBoard::Connect(TNs Now) {
  Advance(Now);
  Connected = true;
  FHostBaud = BootBaud;
  if (Trace) {
    Trace->SetNow(Now);
    Trace->Write(TTraceLine("connect"));
  }
}

void TBoard::Disconnect(TNs Now) {
  Lines(Now, false, false);
  Connected = false;
  RxLine.clear();
  if (Trace) Trace->Write(TTraceLine("disconnect"));
}

} // namespace vboard
