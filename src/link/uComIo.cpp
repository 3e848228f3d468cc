// The serial service (TComIo): one port, its lines and its bytes.
#include "uComIo.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

void SleepMs(uint32_t Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// ComFlush stops after this long even when the line never falls silent (a board
// printing without pause), so that the caller is never held without a limit.
constexpr auto FlushLimit = std::chrono::seconds(3);

} // namespace

// ---- TComIo ----

TComIo::TComIo(IPortLamp* Lamp) : FLamp(Lamp) {
  cPort.OnAfterOpen = [this] { cPortAfterOpen(); };
  cPort.OnAfterClose = [this] { cPortAfterClose(); };
}

TComIo::~TComIo() {
  // Whoever shows the lamp may be on its way out too: close without telling it.
  cPort.OnAfterOpen = nullptr;
  cPort.OnAfterClose = nullptr;
  cPort.Close();
}

IPortLamp* TComIo::SetLamp(IPortLamp* Lamp) {
  IPortLamp* Before = FLamp;
  FLamp = Lamp;
  return Before;
}

void TComIo::cPortAfterOpen() {
  if (FLamp) FLamp->SetLed(true);
}
void TComIo::cPortAfterClose() {
  if (FLamp) FLamp->SetLed(false);
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
