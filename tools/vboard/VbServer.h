#pragma once
// The board's RFC 2217 server on the loopback address: Telnet option negotiation,
// the COM-PORT-OPTION commands (rate, framing, DTR/RTS, purge) and the data stream
// with IAC doubling. One client at a time; a second one is accepted and closed at
// once, unless the first has sent nothing for the idle limit: then the first is dropped
// and the second takes the board over. Everything runs on the thread that calls Run():
// it blocks in ppoll until a socket has data or the board's next event is due.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "VbBoard.h"

namespace vboard {

class TServer {
public:
  // FlashFile may be empty (the flash then lives in memory only).
  TServer(const TBoardOptions& O, TFlash& F, TTrace* T, std::string FlashFile);
  ~TServer();
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;

  // Binds 127.0.0.1:Port (0 picks a free one). Returns the port, or -1 with Error set.
  int Listen(uint16_t Port, std::string& Error);
  // Serves until Stop(). Saves the flash when a client leaves and before returning.
  void Run();
  // Safe from a signal handler and from another thread.
  void Stop();

  // How long a client may send nothing before the next client to connect takes the
  // board over (default 30 s). Set before Run().
  void SetIdleLimit(std::chrono::nanoseconds Limit) { IdleLimitNs = Limit.count(); }

  TBoard& Board() { return FBoard; }
  int64_t Now() const;
  // Set when saving the flash failed (reported on stderr too).
  const std::string& LastError() const { return FError; }

private:
  void Accept();
  void DropClient(const char* Why);
  void ReadClient();
  void OnData(const uint8_t* p, size_t n);
  void OnOption(uint8_t Verb, uint8_t Opt);
  void OnSub();
  void ComReply(uint8_t Cmd, const uint8_t* v, size_t n);
  void SendRaw(const uint8_t* p, size_t n);
  void SendData(const uint8_t* p, size_t n);
  void SaveFlash();

  const TBoardOptions& Opt;
  TFlash& Flash;
  TTrace* Trace;
  std::string FlashFile;
  std::chrono::steady_clock::time_point T0;
  TBoard FBoard;
  int ListenFd = -1, ClientFd = -1;
  int StopPipe[2] = {-1, -1};
  bool Dead = false;      // the client's socket failed while writing
  bool Stalled = false;   // ... because the client left what it was sent unread
  bool Unplugged = false; // the drop-after fault has fired
  int64_t BytesFromHost = 0;
  int64_t IdleLimitNs = int64_t(30) * 1000000000;
  int64_t HeardAt = 0; // when the client connected or last sent something (board time)
  std::string FError;

  // Telnet state of the current client.
  enum class TTn { Data, Iac, Verb, Sb, SbIac } Tn = TTn::Data;
  uint8_t Verb = 0;
  TBytes Sb;
  enum TQ : uint8_t { qNo, qYes, qWant };
  TQ Us[256] = {}, Them[256] = {};
  uint8_t DataSize = 8, Parity = 1, StopSize = 1, Flow = 1;
};

} // namespace vboard
