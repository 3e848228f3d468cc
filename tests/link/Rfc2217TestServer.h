#pragma once
// A small RFC 2217 server on the loopback address for tests and benchmarks: it takes
// one client at a time, agrees to the com-port option, records every com-port command
// and every data byte, acknowledges commands (command + 100) and sends what it is told.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class TRfc2217TestServer {
public:
  struct TState {
    std::vector<std::pair<uint8_t, uint8_t>> Options; // verb, option received
    std::vector<std::vector<uint8_t>> Commands;       // com-port command byte + value
    std::vector<uint8_t> Data;                        // data bytes, 0xFF undoubled
    int Acks = 0;                                     // acknowledgements sent
    int Clients = 0;                                  // connections accepted
  };

  explicit TRfc2217TestServer(bool AgreeComPort = true);
  ~TRfc2217TestServer();
  TRfc2217TestServer(const TRfc2217TestServer&) = delete;
  TRfc2217TestServer& operator=(const TRfc2217TestServer&) = delete;

  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(FPort); }
  int Port() const { return FPort; }

  // Stops taking bytes from the client (a stalled server) until resumed.
  void PauseReading(bool Pause) { FPaused = Pause; }
  // Holds back the acknowledgements of SET-CONTROL until released.
  void HoldControlAcks(bool Hold);
  // Waits up to Ms for Pred to hold on the recorded state.
  bool WaitFor(const std::function<bool(const TState&)>& Pred, int Ms);
  TState Snapshot();
  void SendRaw(const std::vector<uint8_t>& Bytes);  // as they stand
  void SendData(const std::vector<uint8_t>& Bytes); // with 0xFF doubled
  // As many of the bytes as the connection takes now, without waiting; how many.
  size_t SendSome(const uint8_t* Bytes, size_t Count);
  void DropClient();

private:
  void Run();
  void Serve(int Fd);
  void Decode(int Fd, const uint8_t* p, size_t n);
  void Reply(int Fd, const std::vector<uint8_t>& Bytes);

  int FListen = -1;
  int FPort = 0;
  bool FAgree;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FPaused{false};
  std::atomic<int> FClient{-1};
  std::mutex FSendLock;
  std::mutex FLock;
  std::condition_variable FChanged;
  TState FState;
  bool FHold = false;
  std::vector<std::vector<uint8_t>> FHeld;
  // decoder
  int FMode = 0;
  uint8_t FVerb = 0;
  std::vector<uint8_t> FSub;
  std::thread FThread;
};
