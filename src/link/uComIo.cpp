// The serial service (TComIo) and the connect helper (TComEsp).
#include "uComIo.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "U_Usb.h"

namespace {

void SleepMs(uint32_t Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// The loader's SYNC request as a ready SLIP frame, one character per byte. The
// checksum field is sent as these four bytes; the loader does not check it for SYNC.
std::u16string SyncFrame() {
  std::u16string f = {0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01, 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.append(32, char16_t(0x55));
  f.push_back(0xC0);
  return f;
}

// ComFlush stops after this long even when the line never falls silent (a board
// printing without pause), so that the caller is never held without a limit.
constexpr auto FlushLimit = std::chrono::seconds(3);

} // namespace

// ---- TComIo ----

TComIo::TComIo(IMainView& Main, TDebugLog& Debug) : FMain(Main), FDebug(Debug) {
  cPort.OnAfterOpen = [this] { cPortAfterOpen(); };
  cPort.OnAfterClose = [this] { cPortAfterClose(); };
  DataModuleCreate();
}

TComIo::~TComIo() {
  // The window may be on its way out too: close without telling it.
  cPort.OnAfterOpen = nullptr;
  cPort.OnAfterClose = nullptr;
  cPort.Close();
}

void TComIo::DataModuleCreate() {
  FUsb = std::make_unique<TComponentUSB>();
  FUsb->OnUSBArrival = [this](TComponentUSB& Sender) { UsbArrival(Sender); };
  FUsb->OnUSBRemove = [this](TComponentUSB& Sender) { UsbRemove(Sender); };
  FComEsp = std::make_unique<TComEsp>(*this, FMain, FDebug);
}

void TComIo::cPortAfterOpen() {
  FMain.SetLed(true);
}
void TComIo::cPortAfterClose() {
  FMain.SetLed(false);
}

int TComIo::ComGetSer(int TimeOut) {
  // A limit of 0 or less would read "wait forever" to the driver: take only what waits.
  cPort.SetReadTotalMultiplier(-1);
  cPort.SetReadTotalConstant(std::max(TimeOut, 0));
  std::u16string Str;
  if (cPort.ReadStr(Str, 1) < 1 || Str.empty()) return -1;
  return Str[0] & 0xFF;
}

void TComIo::ComFlush() {
  const auto Until = std::chrono::steady_clock::now() + FlushLimit;
  while (ComGetSer(10) != -1 && std::chrono::steady_clock::now() < Until) {
  }
}

void TComIo::ComWriteStr(const std::u16string& s) {
  cPort.ClearBuffer(true, true);
  cPort.WriteStr(s);
}

void TComIo::DoReset() {
  cPort.SetCustomBaudRate(115200);
  if (!cPort.Connected()) return;
  SleepMs(20);
  cPort.ClearBuffer(true, true);
  cPort.SetRTS(true);
  cPort.SetDTR(false);
  SleepMs(50);
  cPort.SetRTS(false);
  cPort.SetDTR(false);
}

void TComIo::DisConnect() {
  if (cPort.Connected()) cPort.Close();
}

// ---- TComEsp ----

TComEsp::TComEsp(TComIo& ComIo, IMainView& Main, TDebugLog& Debug)
    : FComIo(ComIo), FMain(Main), FDebug(Debug) {}

bool TComEsp::ConnectESP(uint32_t baud, bool delay) {
  if (!FEsp) throw Exception("No loader session attached to the connect helper");
  TComPort& Port = FComIo.cPort;
  const TConfig& Cfg = FMain.Config();
  if (Port.Connected()) Port.Close();
  Port.SetPort(FMain.PortText());
  Port.SetBaudRate(brCustom);
  Port.SetCustomBaudRate(static_cast<int32_t>(baud));
  Port.OnRxChar = nullptr;
  Port.Open();
  SleepMs(50);
  Port.ClearBuffer(true, true);

  // EN (via RTS) held low, then released while IO0 (via DTR) is pulled low: the chip
  // leaves reset into its ROM loader. The repeated DTR writes belong to the sequence.
  Port.SetDTR(false);
  Port.SetRTS(true);
  Port.SetDTR(false);
  SleepMs(delay ? Cfg.SlowLow : Cfg.FastLow);
  Port.SetDTR(true);
  Port.SetRTS(false);
  Port.SetDTR(true);
  SleepMs(delay ? Cfg.SlowHigh : Cfg.FastHigh);
  Port.SetDTR(false);

  static const std::u16string Sync = SyncFrame();
  int r = 0;
  for (int Try = 1; Try <= 5; ++Try) {
    FMain.SetStatusText(FMain.StatusText() + "#");
    FMain.ProcessMessages();
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
  bool slow = !FMain.Config().FastFirst;
  for (int Attempt = 1; Attempt <= 6; ++Attempt) {
    FMain.SetStatusText(slow ? "Connect slow " : "Connect fast ");
    FMain.ProcessMessages();
    if (ConnectESP(FMain.Config().ConnBaud, slow)) return true;
    slow = !slow;
  }
  return false;
}
