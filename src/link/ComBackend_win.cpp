// Serial port backend for Windows: the communications API on one handle opened for
// overlapped transfers. The driver applies the time limits itself.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

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
  }

  int32_t Read(uint8_t* Buffer, int32_t Count) override {
    const DWORD Got = Transfer([&](OVERLAPPED* Ov) {
      return ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), nullptr, Ov);
    });
    DWORD Errors = 0;
    COMSTAT Stat;
    if (!ClearCommError(FHandle, &Errors, &Stat)) Fail(10);
    return static_cast<int32_t>(Got);
  }

  int32_t Write(const uint8_t* Buffer, int32_t Count) override {
    return static_cast<int32_t>(Transfer([&](OVERLAPPED* Ov) {
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

private:
  // Starts an overlapped transfer, waits for it (the driver's time limits end it) and
  // returns the bytes moved.
  template <class StartFn> DWORD Transfer(StartFn&& Start) {
    TOverlapped O;
    DWORD Moved = 0;
    if (!Start(&O.Ov) && GetLastError() != ERROR_IO_PENDING) Fail();
    if (WaitForSingleObject(O.Ov.hEvent, INFINITE) != WAIT_OBJECT_0) Fail();
    if (!GetOverlappedResult(FHandle, &O.Ov, &Moved, FALSE)) Fail();
    return Moved;
  }

  HANDLE FHandle = INVALID_HANDLE_VALUE;
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
