// TComPort: the portable half of the serial port. Settings, state and the error
// table live here; the backend behind IComBackend talks to the OS.
#include "CPort.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "ComBackend.h"
#include "uPortName.h"

namespace {

const char* ComErrorText(int Code) {
  switch (Code) {
  case ceOpen:
    return "Unable to open com port";
  case ceWrite:
    return "WriteFile function failed";
  case ceRead:
    return "ReadFile function failed";
  case cePurge:
    return "PurgeComm function failed";
  case ceLineSettings:
    return "SetCommState function failed";
  case ceTimeouts:
    return "SetCommTimeouts failed";
  case ceBuffers:
    return "SetupComm function failed";
  case ceLineErrors:
    return "ClearCommError function failed";
  case ceLines:
    return "EscapeCommFunction function failed";
  case ceNotOpen:
    return "Port Not Open";
  default:
    return "Unknown com port error";
  }
}

std::string ComErrorMessage(int Code, int WinCode, const std::string& Detail) {
  std::string Msg = ComErrorText(Code);
  // A bare number helps nobody: the system's text for it follows.
  if (Code != ceNotOpen && WinCode > 0)
    Msg += " (Error: " + std::to_string(WinCode) + ", " + OsErrorText(WinCode) + ")";
  if (!Detail.empty()) Msg += " - " + Detail;
  return Msg;
}

uint32_t FixedRate(TBaudRate Rate) {
  static const uint32_t Rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                   14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  const auto i = static_cast<size_t>(Rate);
  return i < std::size(Rates) ? Rates[i] : 0;
}

// Runs a backend call and turns its failure into the port error of the table.
template <class Fn> void Call(int Code, Fn&& F) {
  try {
    F();
  } catch (const EComBackend& e) {
    throw EComPort(e.Code ? e.Code : Code, e.OsCode, e.Detail);
  }
}

} // namespace

EComPort::EComPort(int ACode, int AWinCode) : EComPort(ACode, AWinCode, std::string()) {}

EComPort::EComPort(int ACode, int AWinCode, const std::string& Detail)
    : Exception(ComErrorMessage(ACode, AWinCode, Detail)), Code(ACode),
      WinCode(ACode != ceNotOpen && AWinCode > 0 ? AWinCode : -1) {}

EComPort EComPort::CreateNoWinCode(int ACode) {
  return EComPort(ACode, -1);
}

std::unique_ptr<IComBackend> CreateComBackend(const std::string& Port) {
  return IsRfc2217Name(Port) ? CreateRfc2217Backend() : CreateNativeBackend();
}

struct TComPort::Impl {
  std::string Port = "COM1";
  TBaudRate BaudRate = br9600;
  int32_t CustomBaudRate = 9600;
  TComTimeouts Timeouts;
  bool Connected = false;
  std::unique_ptr<IComBackend> Backend;
  BackendFactory Factory;
  // Held while the backend comes or goes, so that ForceLines from another thread never
  // meets one being closed. The port's own thread is the only one that changes them.
  std::timed_mutex Life;

  uint32_t AppliedRate() const {
    return BaudRate == brCustom ? static_cast<uint32_t>(CustomBaudRate) : FixedRate(BaudRate);
  }
  void ApplyLine() {
    const uint32_t Rate = AppliedRate();
    Call(ceLineSettings, [&] {
      // A rate of 0 (or a negative one) would hang the line up on POSIX drivers.
      if (Rate == 0 || Rate > 0x7FFFFFFFu) throw EComBackend(-1, "invalid bit rate");
      Backend->ApplyLine(Rate);
    });
  }
  // Line settings on the open port (error 7); a refused rate is not kept, so the
  // settings keep telling what the driver has.
  template <class T> void ChangeLine(T& Field, T Value) {
    if (Field == Value) return;
    const T Old = Field;
    Field = Value;
    if (!Connected) return;
    try {
      ApplyLine();
    } catch (...) {
      Field = Old;
      throw;
    }
  }
  void ChangeTimeout(int32_t& Field, int32_t Value) {
    if (Field == Value) return;
    const int32_t Old = Field;
    Field = Value;
    if (!Connected) return;
    try {
      Call(ceTimeouts, [&] { Backend->ApplyTimeouts(Timeouts); });
    } catch (...) {
      Field = Old;
      throw;
    }
  }
};

TComPort::TComPort() : P(std::make_unique<Impl>()) {}

TComPort::~TComPort() {
  // No notifications from a destructor: whoever listens may be gone already.
  std::lock_guard<std::timed_mutex> L(P->Life);
  if (P->Connected && P->Backend) P->Backend->Close();
}

const std::string& TComPort::Port() const {
  return P->Port;
}

void TComPort::SetPort(const std::string& Name) {
  if (Name == P->Port) return;
  P->Port = Name;
  if (P->Connected) {
    Close();
    Open();
  }
}

TBaudRate TComPort::BaudRate() const {
  return P->BaudRate;
}
void TComPort::SetBaudRate(TBaudRate Value) {
  P->ChangeLine(P->BaudRate, Value);
}
int32_t TComPort::CustomBaudRate() const {
  return P->CustomBaudRate;
}
void TComPort::SetCustomBaudRate(int32_t Value) {
  P->ChangeLine(P->CustomBaudRate, Value);
}
const TComTimeouts& TComPort::Timeouts() const {
  return P->Timeouts;
}
void TComPort::SetReadTotalMultiplier(int32_t Value) {
  P->ChangeTimeout(P->Timeouts.ReadTotalMultiplier, Value);
}
void TComPort::SetReadTotalConstant(int32_t Value) {
  P->ChangeTimeout(P->Timeouts.ReadTotalConstant, Value);
}
bool TComPort::Connected() const {
  return P->Connected;
}

void TComPort::SetBackendFactory(BackendFactory Factory) {
  P->Factory = std::move(Factory);
}

void TComPort::Open() {
  if (P->Connected) return;
  if (P->Port.empty()) throw EComPort(ceOpen, -1, "no port selected");
  std::unique_ptr<IComBackend> B = P->Factory ? P->Factory(P->Port) : CreateComBackend(P->Port);
  if (!B) throw EComPort(ceOpen, -1, "no backend for " + P->Port);
  Call(ceOpen, [&] { B->Open(ComDevicePath(P->Port)); });
  {
    std::lock_guard<std::timed_mutex> L(P->Life);
    P->Backend = std::move(B);
    P->Connected = true;
  }
  try {
    Call(ceBuffers, [&] { P->Backend->SetupBuffers(1024, 1024); });
    P->ApplyLine();
    Call(ceTimeouts, [&] { P->Backend->ApplyTimeouts(P->Timeouts); });
  } catch (...) {
    std::lock_guard<std::timed_mutex> L(P->Life);
    P->Backend->Close();
    P->Backend.reset();
    P->Connected = false;
    throw;
  }
  if (OnAfterOpen) OnAfterOpen();
}

void TComPort::Close() {
  if (!P->Connected) return;
  {
    std::lock_guard<std::timed_mutex> L(P->Life);
    P->Backend->Close();
    P->Backend.reset();
    P->Connected = false;
  }
  if (OnAfterClose) OnAfterClose();
}

bool TComPort::ForceLines(bool Dtr, bool Rts) noexcept {
  std::unique_lock<std::timed_mutex> L(P->Life, std::defer_lock);
  try {
    if (!L.try_lock_for(std::chrono::milliseconds(200))) return false;
  } catch (...) {
    return false;
  }
  return P->Connected && P->Backend && P->Backend->ForceLines(Dtr, Rts);
}

void TComPort::ClearBuffer(bool Input, bool Output) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(cePurge);
  Call(cePurge, [&] { P->Backend->Purge(Input, Output); });
}

void TComPort::SetDTR(bool OnOff) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(ceLines);
  Call(ceLines, [&] { P->Backend->SetDTR(OnOff); });
}

void TComPort::SetRTS(bool OnOff) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(ceLines);
  Call(ceLines, [&] { P->Backend->SetRTS(OnOff); });
}

int TComPort::Write(const void* Buffer, int32_t Count) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(ceNotOpen);
  if (Count <= 0 || !Buffer) return 0;
  int32_t Done = 0;
  Call(ceWrite, [&] { Done = P->Backend->Write(static_cast<const uint8_t*>(Buffer), Count); });
  return Done;
}

int TComPort::WriteStr(const std::u16string& Str) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(ceNotOpen);
  std::vector<uint8_t> Bytes(Str.size());
  // One byte per character: its low 8 bits, no code-page conversion.
  std::transform(Str.begin(), Str.end(), Bytes.begin(),
                 [](char16_t c) { return static_cast<uint8_t>(c & 0xFF); });
  if (Bytes.size() > 0x7FFFFFFFu) Bytes.resize(0x7FFFFFFFu);
  return Write(Bytes.data(), static_cast<int32_t>(Bytes.size()));
}

int TComPort::ReadStr(std::u16string& Str, int32_t Count) {
  if (!P->Connected) throw EComPort::CreateNoWinCode(ceNotOpen);
  Str.clear();
  if (Count <= 0) return 0;
  // A read never hands back more than 1 MiB at once; callers asking for more get less.
  // Single bytes (the common case) need no heap buffer.
  const int32_t Want = std::min<int32_t>(Count, 1 << 20);
  uint8_t Small[64];
  std::vector<uint8_t> Large;
  uint8_t* Bytes = Small;
  if (Want > static_cast<int32_t>(sizeof Small)) {
    Large.resize(static_cast<size_t>(Want));
    Bytes = Large.data();
  }
  int32_t Got = 0;
  Call(ceRead, [&] { Got = P->Backend->Read(Bytes, Want); });
  Got = std::clamp(Got, 0, Want);
  Str.assign(Bytes, Bytes + Got);
  return Got;
}
