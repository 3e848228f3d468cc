// The loader entry: reset sequences, SYNC and retries.
#include "uComEsp.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr int Attempts = 6;
constexpr int SyncTries = 5;
// The port settles after opening before the buffers are purged.
constexpr uint32_t OpenSettleMs = 50;

// The SYNC frame, one character per byte, as ComWriteStr sends it.
std::u16string SyncText() {
  const std::vector<uint8_t> Frame = SyncFrame();
  return std::u16string(Frame.begin(), Frame.end());
}

} // namespace

void IEntryProgress::Wait(uint32_t Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

TComEsp::TComEsp(TComIo& ComIo, TDebugLog& Debug) : FComIo(ComIo), FDebug(Debug) {}

bool TComEsp::ConnectESP(const std::string& PortName, const TEntrySettings& Cfg,
                         IEntryProgress& Progress, uint32_t baud, bool delay) {
  if (!FEsp) throw Exception("No loader session attached to the connect helper");
  TComPort& Port = FComIo.cPort;
  if (Port.Connected()) Port.Close();
  Port.SetPort(PortName);
  Port.SetBaudRate(brCustom);
  Port.SetCustomBaudRate(static_cast<int32_t>(baud));
  Port.OnRxChar = nullptr;
  Port.Open();
  Progress.Wait(OpenSettleMs);
  Port.ClearBuffer(true, true);

  // EN (via RTS) held low, then released while IO0 (via DTR) is pulled low: the chip
  // leaves reset into its ROM loader. The repeated DTR writes belong to the sequence.
  Port.SetDTR(false);
  Port.SetRTS(true);
  Port.SetDTR(false);
  Progress.Wait(delay ? Cfg.SlowLow : Cfg.FastLow);
  Port.SetDTR(true);
  Port.SetRTS(false);
  Port.SetDTR(true);
  Progress.Wait(delay ? Cfg.SlowHigh : Cfg.FastHigh);
  Port.SetDTR(false);

  static const std::u16string Sync = SyncText();
  int r = 0;
  for (int Try = 1; Try <= SyncTries; ++Try) {
    Progress.Try(Try);
    Port.ClearBuffer(true, true);
    FComIo.ComWriteStr(Sync);
    r = FEsp->getPacket(EspSyncAnswerMs, true);
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

bool TComEsp::DoConnect(const std::string& Port, const TEntrySettings& Config,
                        IEntryProgress& Progress) {
  bool slow = !Config.FastFirst;
  for (int Attempt = 1; Attempt <= Attempts; ++Attempt) {
    Progress.Attempt(Attempt, slow);
    if (ConnectESP(Port, Config, Progress, Config.ConnBaud, slow)) return true;
    slow = !slow;
  }
  return false;
}
