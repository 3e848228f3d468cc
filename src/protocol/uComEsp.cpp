// The loader entry: reset sequences, SYNC and retries.
#include "uComEsp.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The loader's SYNC request as a ready SLIP frame, one character per byte. The
// checksum field is sent as these four bytes; the loader does not check it for SYNC.
std::u16string SyncFrame() {
  std::u16string f = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01, 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.append(32, char16_t(0x55));
  f.push_back(0xC0);
  return f;
}

} // namespace

void IEntryView::Wait(uint32_t Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

TComEsp::TComEsp(TComIo& ComIo, IEntryView& View, TDebugLog& Debug)
    : FComIo(ComIo), FView(View), FDebug(Debug) {}

bool TComEsp::ConnectESP(uint32_t baud, bool delay) {
  if (!FEsp) throw Exception("No loader session attached to the connect helper");
  TComPort& Port = FComIo.cPort;
  const TConfig& Cfg = FView.Config();
  if (Port.Connected()) Port.Close();
  Port.SetPort(FView.PortText());
  Port.SetBaudRate(brCustom);
  Port.SetCustomBaudRate(static_cast<int32_t>(baud));
  Port.OnRxChar = nullptr;
  Port.Open();
  FView.Wait(50);
  Port.ClearBuffer(true, true);

  // EN (via RTS) held low, then released while IO0 (via DTR) is pulled low: the chip
  // leaves reset into its ROM loader. The repeated DTR writes belong to the sequence.
  Port.SetDTR(false);
  Port.SetRTS(true);
  Port.SetDTR(false);
  FView.Wait(delay ? Cfg.SlowLow : Cfg.FastLow);
  Port.SetDTR(true);
  Port.SetRTS(false);
  Port.SetDTR(true);
  FView.Wait(delay ? Cfg.SlowHigh : Cfg.FastHigh);
  Port.SetDTR(false);

  static const std::u16string Sync = SyncFrame();
  int r = 0;
  for (int Try = 1; Try <= 5; ++Try) {
    FView.SetStatusText(FView.StatusText() + "#");
    FView.ProcessMessages();
    Port.ClearBuffer(true, true);
    FComIo.ComWriteStr(Sync);
    r = FEsp->getPacket(200, true);
    if (r > 0) break;
  }
  if (r <= 0) return false;

  const uint8_t* Resp = FEsp->ResponseBytes();
  const size_t Cap = FEsp->ResponseCapacity();
  if (Resp && Cap > 1 && Resp[1] == 8) {
    // The decoded frame and the 8 bytes after it, never past the end of the record.
    const size_t Len = std::min(static_cast<size_t>(r) + 8, Cap);
    FDebug.BUFF(Resp, static_cast<int32_t>(Len));
    return true;
  }
  return false;
}

bool TComEsp::DoConnect() {
  bool slow = !FView.Config().FastFirst;
  for (int Attempt = 1; Attempt <= 6; ++Attempt) {
    FView.SetStatusText(slow ? "Connect slow " : "Connect fast ");
    FView.ProcessMessages();
    if (ConnectESP(FView.Config().ConnBaud, slow)) return true;
    slow = !slow;
  }
  return false;
}
