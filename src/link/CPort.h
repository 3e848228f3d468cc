#pragma once
// Public face of the serial port. The backends (POSIX termios, Win32, RFC 2217)
// sit behind IComBackend; TComPort keeps the portable behaviour.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "../support/uError.h"
#include "uComTimeouts.h"

enum TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};

// The numbers of the port's error table: which operation failed.
enum TComErrorCode {
  ceOpen = 1,         // "Unable to open com port"
  ceWrite = 2,        // "WriteFile function failed"
  ceRead = 3,         // "ReadFile function failed"
  cePurge = 5,        // "PurgeComm function failed"
  ceLineSettings = 7, // "SetCommState function failed"
  ceTimeouts = 8,     // "SetCommTimeouts failed"
  ceBuffers = 9,      // "SetupComm function failed"
  ceLineErrors = 10,  // "ClearCommError function failed"
  ceLines = 12,       // "EscapeCommFunction function failed"
  ceNotOpen = 24,     // "Port Not Open"
};

// A failing port operation. Code is the number of the error table, WinCode the
// operating system's error code of the failed call (-1 when there is none).
class EComPort : public Exception {
public:
  EComPort(int ACode, int AWinCode);
  // As above, with a hint for the user appended to the message (empty: none).
  EComPort(int ACode, int AWinCode, const std::string& Detail);
  static EComPort CreateNoWinCode(int ACode);
  int Code;
  int WinCode;
};

class IComBackend; // defined in ComBackend.h

class TComPort {
public:
  TComPort();
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  const std::string& Port() const;
  void SetPort(const std::string& Name);
  TBaudRate BaudRate() const;
  void SetBaudRate(TBaudRate Value);
  int32_t CustomBaudRate() const;
  void SetCustomBaudRate(int32_t Value);
  const TComTimeouts& Timeouts() const;
  void SetReadTotalMultiplier(int32_t Value);
  void SetReadTotalConstant(int32_t Value);
  bool Connected() const;

  void Open();
  void Close();
  void ClearBuffer(bool Input, bool Output);
  void SetDTR(bool OnOff);
  void SetRTS(bool OnOff);
  // From any thread while the port's own thread may be inside any operation, for a
  // program that ends at once: sets DTR and RTS without waiting for that thread (at most
  // a moment). False when the port is not open or the lines could not be set.
  bool ForceLines(bool Dtr, bool Rts) noexcept;
  int Write(const void* Buffer, int32_t Count);
  int WriteStr(const std::u16string& Str);
  int ReadStr(std::u16string& Str, int32_t Count);

  std::function<void()> OnAfterOpen;
  std::function<void()> OnAfterClose;
  std::function<void()> OnRxChar; // never attached; cleared before every open

  // Tests put a fake or a specific backend here; by default the port name picks one.
  using BackendFactory = std::function<std::unique_ptr<IComBackend>(const std::string& Port)>;
  void SetBackendFactory(BackendFactory Factory);

private:
  struct Impl;
  std::unique_ptr<Impl> P;
};
