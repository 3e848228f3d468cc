#include "Rfc2217TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
enum { Data, Iac, Option, Sub, SubIac };

void SendAll(int Fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(Fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return;
    p += r;
    n -= static_cast<size_t>(r);
  }
}
} // namespace

TRfc2217TestServer::TRfc2217TestServer(bool AgreeComPort) : FAgree(AgreeComPort) {
  FListen = ::socket(AF_INET, SOCK_STREAM, 0);
  int One = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(FListen, 4) != 0)
    throw std::runtime_error("test server: cannot listen");
  socklen_t Len = sizeof A;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len);
  FPort = ntohs(A.sin_port);
  FThread = std::thread([this] { Run(); });
}

TRfc2217TestServer::~TRfc2217TestServer() {
  FStop = true;
  FThread.join();
  ::close(FListen);
}

void TRfc2217TestServer::Run() {
  while (!FStop) {
    pollfd p{FListen, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const int Fd = ::accept(FListen, nullptr, nullptr);
    if (Fd < 0) continue;
    int One = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    {
      std::lock_guard<std::mutex> G(FLock);
      ++FState.Clients;
      FMode = Data;
    }
    FClient = Fd;
    FChanged.notify_all();
    Serve(Fd);
    {
      std::lock_guard<std::mutex> S(FSendLock);
      FClient = -1;
      ::close(Fd);
    }
  }
}

void TRfc2217TestServer::Serve(int Fd) {
  uint8_t Buf[65536];
  while (!FStop && FClient == Fd) {
    if (FPaused) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(Fd, Buf, sizeof Buf, 0);
    if (n <= 0) return;
    Decode(Fd, Buf, static_cast<size_t>(n));
    FChanged.notify_all();
  }
}

void TRfc2217TestServer::Reply(int Fd, const std::vector<uint8_t>& Bytes) {
  std::lock_guard<std::mutex> S(FSendLock);
  SendAll(Fd, Bytes.data(), Bytes.size());
}

void TRfc2217TestServer::Decode(int Fd, const uint8_t* p, size_t n) {
  std::unique_lock<std::mutex> G(FLock);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = p[i];
    switch (FMode) {
    case Data:
      if (b == IAC)
        FMode = Iac;
      else
        FState.Data.push_back(b);
      break;
    case Iac:
      if (b == IAC) {
        FState.Data.push_back(IAC);
        FMode = Data;
      } else if (b >= WILL && b <= DONT) {
        FVerb = b;
        FMode = Option;
      } else if (b == SB) {
        FSub.clear();
        FMode = Sub;
      } else {
        FMode = Data;
      }
      break;
    case Option: {
      FState.Options.emplace_back(FVerb, b);
      FMode = Data;
      uint8_t Answer = 0;
      if (FVerb == WILL) Answer = (b == 44 && !FAgree) ? DONT : DO;
      if (FVerb == DO) Answer = WILL;
      if (Answer) {
        G.unlock();
        Reply(Fd, {IAC, Answer, b});
        G.lock();
      }
      break;
    }
    case Sub:
      if (b == IAC)
        FMode = SubIac;
      else
        FSub.push_back(b);
      break;
    case SubIac:
      if (b == IAC) {
        FSub.push_back(IAC);
        FMode = Sub;
        break;
      }
      FMode = Data;
      if (FSub.size() >= 2 && FSub[0] == 44) {
        std::vector<uint8_t> Cmd(FSub.begin() + 1, FSub.end());
        FState.Commands.push_back(Cmd);
        std::vector<uint8_t> Ack = {IAC, SB, 44, static_cast<uint8_t>(Cmd[0] + 100)};
        for (size_t k = 1; k < Cmd.size(); ++k) {
          Ack.push_back(Cmd[k]);
          if (Cmd[k] == IAC) Ack.push_back(IAC);
        }
        Ack.insert(Ack.end(), {IAC, SE});
        if (FHold && Cmd[0] == 5) {
          FHeld.push_back(Ack);
        } else {
          ++FState.Acks;
          G.unlock();
          Reply(Fd, Ack);
          G.lock();
        }
      }
      break;
    }
  }
}

void TRfc2217TestServer::HoldControlAcks(bool Hold) {
  std::vector<std::vector<uint8_t>> Release;
  {
    std::lock_guard<std::mutex> G(FLock);
    FHold = Hold;
    if (!Hold) {
      Release.swap(FHeld);
      FState.Acks += static_cast<int>(Release.size());
    }
  }
  for (const auto& Ack : Release)
    SendRaw(Ack);
}

bool TRfc2217TestServer::WaitFor(const std::function<bool(const TState&)>& Pred, int Ms) {
  std::unique_lock<std::mutex> G(FLock);
  return FChanged.wait_for(G, std::chrono::milliseconds(Ms), [&] { return Pred(FState); });
}

TRfc2217TestServer::TState TRfc2217TestServer::Snapshot() {
  std::lock_guard<std::mutex> G(FLock);
  return FState;
}

void TRfc2217TestServer::SendRaw(const std::vector<uint8_t>& Bytes) {
  std::lock_guard<std::mutex> S(FSendLock);
  if (FClient >= 0) SendAll(FClient, Bytes.data(), Bytes.size());
}

size_t TRfc2217TestServer::SendSome(const uint8_t* Bytes, size_t Count) {
  std::lock_guard<std::mutex> S(FSendLock);
  if (FClient < 0) return 0;
  const ssize_t r = ::send(FClient, Bytes, Count, MSG_NOSIGNAL | MSG_DONTWAIT);
  return r > 0 ? static_cast<size_t>(r) : 0;
}

void TRfc2217TestServer::SendData(const std::vector<uint8_t>& Bytes) {
  std::vector<uint8_t> Out;
  Out.reserve(Bytes.size() * 2);
  for (uint8_t b : Bytes) {
    Out.push_back(b);
    if (b == IAC) Out.push_back(IAC);
  }
  SendRaw(Out);
}

void TRfc2217TestServer::DropClient() {
  std::lock_guard<std::mutex> S(FSendLock);
  const int Fd = FClient.exchange(-1);
  if (Fd >= 0) ::shutdown(Fd, SHUT_RDWR);
}
