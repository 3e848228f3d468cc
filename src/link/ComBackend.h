#pragma once
// The small interface between TComPort and one way of reaching a serial line
// (termios, Win32, RFC 2217). TComPort keeps the settings, the state and the error
// table; a backend only does what it is told and reports the OS error number.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "uComTimeouts.h"

// A failed backend call. OsCode: errno, GetLastError() or WSAGetLastError() of the
// failed call, -1 when there is none. Detail: a hint for the user, appended to the
// message. Code: an error-table number that replaces the operation's own (0: keep it).
class EComBackend : public std::exception {
public:
  explicit EComBackend(int AOsCode, std::string ADetail = {}, int ACode = 0)
      : OsCode(AOsCode), Detail(std::move(ADetail)), Code(ACode) {}
  const char* what() const noexcept override { return "serial backend call failed"; }
  int OsCode;
  std::string Detail;
  int Code;
};

class IComBackend {
public:
  virtual ~IComBackend() = default;
  // Device: the resolved path (/dev/ttyUSB0, \\.\COM3) or the rfc2217:// address.
  // Leaves DTR and RTS de-asserted.
  virtual void Open(const std::string& Device) = 0;
  // Aborts transfers, discards both buffers and closes; never fails.
  virtual void Close() noexcept = 0;
  virtual void SetupBuffers(uint32_t InSize, uint32_t OutSize) = 0;
  // 8 data bits, no parity, one stop bit, no flow control, binary; Baud in bit/s.
  virtual void ApplyLine(uint32_t Baud) = 0;
  virtual void ApplyTimeouts(const TComTimeouts& Limits) = 0;
  // Reads up to Count bytes under the last applied limits; returns how many were read.
  virtual int32_t Read(uint8_t* Buffer, int32_t Count) = 0;
  // Writes under the last applied limits; returns how many bytes the line took.
  virtual int32_t Write(const uint8_t* Buffer, int32_t Count) = 0;
  virtual void Purge(bool Input, bool Output) = 0;
  virtual void SetDTR(bool On) = 0;
  virtual void SetRTS(bool On) = 0;
  // From another thread, while this backend's own thread may be inside any call (a
  // program that ends at once and resets its boards on the way out): sets both lines
  // without waiting for that thread, within a bounded time. False when they could not
  // be set. The caller keeps the backend from being closed meanwhile.
  virtual bool ForceLines(bool Dtr, bool Rts) noexcept {
    (void)Dtr;
    (void)Rts;
    return false;
  }
};

// The backend the port name asks for: RFC 2217 for rfc2217://, else the platform's own.
std::unique_ptr<IComBackend> CreateComBackend(const std::string& Port);
std::unique_ptr<IComBackend> CreateNativeBackend();  // ComBackend_posix.cpp / _win.cpp
std::unique_ptr<IComBackend> CreateRfc2217Backend(); // ComBackend_rfc2217.cpp
// The system's own words for an OS error number, on one line and without a final period
// (strerror's text on POSIX, FormatMessage's on Windows); in the native backend's file.
std::string OsErrorText(int OsCode);
// ---- Helpers for the backends that wait for bytes themselves (termios, sockets) ----

// How a read behaves under the Windows communications time limits. The case this
// system uses (interval and total multiplier all bits set, constant T) means: a byte
// already waiting returns at once, else wait up to T ms for the first one.
struct TReadPlan {
  uint32_t WaitMs;  // longest wait in total
  bool AnyByteEnds; // true: return as soon as at least one byte is there
};

inline TReadPlan PlanRead(const TComTimeouts& T, int32_t Count) {
  constexpr uint32_t All = 0xFFFFFFFFu;
  const auto ri = static_cast<uint32_t>(T.ReadInterval);
  const auto rm = static_cast<uint32_t>(T.ReadTotalMultiplier);
  const auto rc = static_cast<uint32_t>(T.ReadTotalConstant);
  if (ri == All && rm == All) return {rc == All ? 0 : rc, true};
  const uint64_t total = uint64_t(rm) * uint64_t(std::max<int32_t>(Count, 0)) + rc;
  // No limit at all would block until Count bytes came; never wait without a limit.
  if (total == 0) return {0, true};
  return {static_cast<uint32_t>(std::min<uint64_t>(total, All - 1)), false};
}

inline uint32_t WriteLimitMs(const TComTimeouts& T, int32_t Count) {
  const uint64_t total = uint64_t(static_cast<uint32_t>(T.WriteTotalMultiplier)) *
                             uint64_t(std::max<int32_t>(Count, 0)) +
                         static_cast<uint32_t>(T.WriteTotalConstant);
  if (total == 0) return 100u * static_cast<uint32_t>(std::max<int32_t>(Count, 0)) + 1000u;
  return static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFEu));
}

// Bytes received from the OS but not yet handed to a reader.
class TRxQueue {
public:
  size_t Size() const { return FData.size() - FHead; }
  void Append(const uint8_t* p, size_t n) {
    if (FHead == FData.size()) Clear();
    FData.insert(FData.end(), p, p + n);
  }
  void Push(uint8_t b) { Append(&b, 1); }
  size_t Take(uint8_t* out, size_t n) {
    n = std::min(n, Size());
    if (n) std::memcpy(out, FData.data() + FHead, n);
    FHead += n;
    if (FHead == FData.size())
      Clear();
    else if (FHead > 65536 && FHead * 2 > FData.size()) {
      FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FHead));
      FHead = 0;
    }
    return n;
  }
  void Clear() {
    FData.clear();
    FHead = 0;
  }

private:
  std::vector<uint8_t> FData;
  size_t FHead = 0;
};

// The read loop of those backends. Fill(WaitMs) moves whatever the OS holds into Rx,
// first waiting up to WaitMs (0: not at all) for something to arrive.
template <class FillFn>
int32_t ReadUnderLimits(TRxQueue& Rx, uint8_t* Buffer, int32_t Count, const TComTimeouts& T,
                        FillFn&& Fill) {
  if (Count <= 0) return 0;
  const auto want = static_cast<size_t>(Count);
  const TReadPlan plan = PlanRead(T, Count);
  // Fast path for byte-by-byte reads of data that has already arrived.
  if (Rx.Size() >= want || (plan.AnyByteEnds && Rx.Size() > 0))
    return static_cast<int32_t>(Rx.Take(Buffer, want));
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(plan.WaitMs);
  if (Rx.Size() < want) Fill(0);
  while (Rx.Size() < want && !(plan.AnyByteEnds && Rx.Size() > 0)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    Fill(static_cast<int>(std::min<long long>(left, 1000000)));
  }
  return static_cast<int32_t>(Rx.Take(Buffer, want));
}
