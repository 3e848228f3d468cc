// Serial port backend for Windows: the communications API on one handle opened for
// overlapped transfers. The driver applies the time limits itself.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <string>

#include "CPort.h"
#include "ComBackend.h"

namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

[[noreturn]] void Fail(int Code = 0) {
  throw EComBackend(static_cast<int>(GetLastError()), std::string(), Code);
}

// An event object for one overlapped transfer.
class TOverlapped {
public:
  TOverlapped() {
    ZeroMemory(&Ov, sizeof Ov);
    Ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!Ov.hEvent) Fail();
  }
  ~TOverlapped() { CloseHandle(Ov.hEvent); }
  TOverlapped(const TOverlapped&) = delete;
  TOverlapped& operator=(const TOverlapped&) = delete;
  OVERLAPPED Ov;
};

class TWinBackend final : public IComBackend {
public:
  ~TWinBackend() override { Close(); }

  void Open(const std::string& Device) override {
    FHandle = CreateFileW(Widen(Device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) Fail();
  }

  void Close() noexcept override {
    if (FHandle == INVALID_HANDLE_VALUE) return;
    PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
  }

  void SetupBuffers(uint32_t InSize, uint32_t OutSize) override {
    if (!SetupComm(FHandle, InSize, OutSize)) Fail();
  }

  void ApplyLine(uint32_t Baud) override {
    DCB Dcb;
    ZeroMemory(&Dcb, sizeof Dcb);
    Dcb.DCBlength = sizeof Dcb;
    Dcb.BaudRate = Baud;
    Dcb.fBinary = TRUE;
    Dcb.fParity = FALSE;
    Dcb.fOutxCtsFlow = FALSE;
    Dcb.fOutxDsrFlow = FALSE;
    Dcb.fDtrControl = DTR_CONTROL_DISABLE;
    Dcb.fDsrSensitivity = FALSE;
    Dcb.fTXContinueOnXoff = TRUE;
    Dcb.fOutX = FALSE;
    Dcb.fInX = FALSE;
    Dcb.fErrorChar = FALSE;
    Dcb.fNull = FALSE; // null bytes are data
    Dcb.fRtsControl = RTS_CONTROL_DISABLE;
    Dcb.fAbortOnError = FALSE;
    Dcb.XonLim = 256;
    Dcb.XoffLim = 256;
    Dcb.ByteSize = 8;
    Dcb.Parity = NOPARITY;
    Dcb.StopBits = ONESTOPBIT;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    if (!SetCommState(FHandle, &Dcb)) Fail();
  }

  void ApplyTimeouts(const TComTimeouts& Limits) override {
    COMMTIMEOUTS T;
    T.ReadIntervalTimeout = static_cast<DWORD>(Limits.ReadInterval);
    T.ReadTotalTimeoutMultiplier = static_cast<DWORD>(Limits.ReadTotalMultiplier);
    T.ReadTotalTimeoutConstant = static_cast<DWORD>(Limits.ReadTotalConstant);
    T.WriteTotalTimeoutMultiplier = static_cast<DWORD>(Limits.WriteTotalMultiplier);
    T.WriteTotalTimeoutConstant = static_cast<DWORD>(Limits.WriteTotalConstant);
    if (!SetCommTimeouts(FHandle, &T)) Fail();
    FLimits = T;
  }

  int32_t Read(uint8_t* Buffer, int32_t Count) override {
    const DWORD Got = Transfer(ReadBound(static_cast<DWORD>(Count)), [&](OVERLAPPED* Ov) {
      return ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), nullptr, Ov);
    });
    DWORD Errors = 0;
    COMSTAT Stat;
    if (!ClearCommError(FHandle, &Errors, &Stat)) Fail(ceLineErrors);
    return static_cast<int32_t>(Got);
  }

  int32_t Write(const uint8_t* Buffer, int32_t Count) override {
    return static_cast<int32_t>(
        Transfer(WriteBound(static_cast<DWORD>(Count)), [&](OVERLAPPED* Ov) {
          return WriteFile(FHandle, Buffer, static_cast<DWORD>(Count), nullptr, Ov);
        }));
  }

  void Purge(bool Input, bool Output) override {
    DWORD Flags = 0;
    if (Input) Flags |= PURGE_RXCLEAR;
    if (Output) Flags |= PURGE_TXCLEAR;
    if (Flags && !PurgeComm(FHandle, Flags)) Fail();
  }

  void SetDTR(bool On) override {
    if (!EscapeCommFunction(FHandle, On ? SETDTR : CLRDTR)) Fail();
  }
  void SetRTS(bool On) override {
    if (!EscapeCommFunction(FHandle, On ? SETRTS : CLRRTS)) Fail();
  }
  // EscapeCommFunction acts on the handle at once, beside any transfer in progress.
  bool ForceLines(bool Dtr, bool Rts) noexcept override {
    if (FHandle == INVALID_HANDLE_VALUE) return false;
    const bool DtrOk = EscapeCommFunction(FHandle, Dtr ? SETDTR : CLRDTR) != 0;
    return EscapeCommFunction(FHandle, Rts ? SETRTS : CLRRTS) != 0 && DtrOk;
  }

private:
  // How long a transfer of Count bytes may take under the applied limits, in ms;
  // INFINITE when they set no total limit.
  DWORD ReadBound(DWORD Count) const {
    const COMMTIMEOUTS& T = FLimits;
    if (T.ReadTotalTimeoutMultiplier == MAXDWORD) return T.ReadTotalTimeoutConstant;
    return TotalBound(T.ReadTotalTimeoutMultiplier, T.ReadTotalTimeoutConstant, Count);
  }
  DWORD WriteBound(DWORD Count) const {
    return TotalBound(FLimits.WriteTotalTimeoutMultiplier, FLimits.WriteTotalTimeoutConstant,
                      Count);
  }
  static DWORD TotalBound(DWORD Multiplier, DWORD Constant, DWORD Count) {
    if (Multiplier == 0 && Constant == 0) return INFINITE;
    const ULONGLONG Ms = ULONGLONG(Multiplier) * Count + Constant;
    return Ms < INFINITE ? static_cast<DWORD>(Ms) : INFINITE - 1;
  }

  // Starts an overlapped transfer, waits for it and returns the bytes moved. The
  // driver's time limits end it; should a driver not keep them (wine's serial layer does
  // not end a read on a silent line), the wait ends Grace ms after the limit and the
  // transfer is cancelled, keeping what it moved, so the program never hangs there.
  template <class StartFn> DWORD Transfer(DWORD Bound, StartFn&& Start) {
    TOverlapped O;
    DWORD Moved = 0;
    if (!Start(&O.Ov) && GetLastError() != ERROR_IO_PENDING) Fail();
    constexpr DWORD Grace = 100;
    const DWORD Wait =
        Bound == INFINITE ? INFINITE : std::min<DWORD>(Bound, INFINITE - 1 - Grace) + Grace;
    const DWORD Waited = WaitForSingleObject(O.Ov.hEvent, Wait);
    if (Waited == WAIT_TIMEOUT) {
      CancelIoEx(FHandle, &O.Ov);
      // The transfer owns the buffer and the record until it has ended.
      if (!GetOverlappedResult(FHandle, &O.Ov, &Moved, TRUE) &&
          GetLastError() != ERROR_OPERATION_ABORTED)
        Fail();
      return Moved;
    }
    if (Waited != WAIT_OBJECT_0) Fail();
    if (!GetOverlappedResult(FHandle, &O.Ov, &Moved, FALSE)) Fail();
    return Moved;
  }

  HANDLE FHandle = INVALID_HANDLE_VALUE;
  COMMTIMEOUTS FLimits = {};
};

} // namespace

std::unique_ptr<IComBackend> CreateNativeBackend() {
  return std::make_unique<TWinBackend>();
}

std::string OsErrorText(int OsCode) {
  char Buf[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(OsCode), 0, Buf, sizeof Buf, nullptr);
  std::string t(Buf, n);
  // The text ends in a period and a line end, and may hold line ends inside.
  for (char& c : t)
    if (c == '\r' || c == '\n') c = ' ';
  while (!t.empty() && (t.back() == ' ' || t.back() == '.'))
    t.pop_back();
  return t.empty() ? "unknown error" : t;
}
