#include "VbServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vboard {

namespace {
enum : uint8_t {
  SE = 240,
  SB = 250,
  WILL = 251,
  WONT = 252,
  DO = 253,
  DONT = 254,
  IAC = 255,
  optBinary = 0,
  optSga = 3,
  optComPort = 44
};
enum : uint8_t {
  cpSignature = 0,
  cpBaud = 1,
  cpDataSize = 2,
  cpParity = 3,
  cpStopSize = 4,
  cpControl = 5,
  cpFlowSuspend = 8,
  cpFlowResume = 9,
  cpLineMask = 10,
  cpModemMask = 11,
  cpPurge = 12
};
bool Supported(uint8_t o) {
  return o == optBinary || o == optSga || o == optComPort;
}
// Wait at least this long between wake-ups, so a running transfer is handled in
// batches instead of one wake-up per byte.
constexpr int64_t MinWaitNs = 500000;
// Bytes on their way down the paced line the board takes at most; more stays with the
// connection, whose flow control then holds the client back, as a real adapter's
// buffer does. A record per byte for all a client sends would grow without limit.
constexpr size_t MaxPendingToBoard = 256 * 1024;
// How long a client may leave what the board sends unread before it is dropped.
constexpr int ClientStallMs = 3000;
} // namespace

TServer::TServer(const TBoardOptions& O, TFlash& F, TTrace* T, std::string File)
    : Opt(O), Flash(F), Trace(T), FlashFile(std::move(File)), T0(std::chrono::steady_clock::now()),
      FBoard(O, F, T, 0) {
  if (pipe2(StopPipe, O_NONBLOCK | O_CLOEXEC) != 0) StopPipe[0] = StopPipe[1] = -1;
  FBoard.OnOutput = [this](const uint8_t* p, size_t n) { SendData(p, n); };
}

TServer::~TServer() {
  for (int fd : {ListenFd, ClientFd, StopPipe[0], StopPipe[1]})
    if (fd >= 0) close(fd);
}

int64_t TServer::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - T0)
      .count();
}

int TServer::Listen(uint16_t Port, std::string& Error) {
  ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ListenFd < 0) {
    Error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(ListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(Port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(ListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ListenFd, 4) != 0) {
    Error = "127.0.0.1:" + std::to_string(Port) + ": " + std::strerror(errno);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(ListenFd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

void TServer::Stop() {
  if (StopPipe[1] >= 0) {
    ssize_t r = write(StopPipe[1], "x", 1);
    (void)r;
  }
}

void TServer::Run() {
  for (;;) {
    int64_t now = Now();
    FBoard.Advance(now);
    if (Dead) DropClient(Stalled ? "the client does not read" : "the client's socket failed");
    timespec ts{};
    timespec* tp = nullptr;
    if (auto next = FBoard.NextEvent()) {
      int64_t wait = std::max(*next - Now(), MinWaitNs);
      ts.tv_sec = wait / 1000000000;
      ts.tv_nsec = wait % 1000000000;
      tp = &ts;
    }
    // While the line is full the client's data waits in the connection.
    const short ClientEvents = FBoard.PendingToBoard() < MaxPendingToBoard ? POLLIN : 0;
    pollfd fds[3] = {{StopPipe[0], POLLIN, 0}, {ListenFd, POLLIN, 0}, {ClientFd, ClientEvents, 0}};
    int n = ppoll(fds, ClientFd >= 0 ? 3 : 2, tp, nullptr);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (fds[0].revents) break;
    // The old client's close first: a client that reopens the port at once (a new
    // connection attempt) must not find its own previous connection still in place.
    if (ClientFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadClient();
    if (fds[1].revents & POLLIN) Accept();
  }
  if (ClientFd >= 0)
    DropClient("the board stops");
  else
    SaveFlash();
}

void TServer::SaveFlash() {
  if (FlashFile.empty()) return;
  std::string err;
  if (!Flash.Save(FlashFile, err)) {
    FError = err;
    std::fprintf(stderr, "quorvex-vboard: cannot save the flash: %s\n", err.c_str());
  }
}

void TServer::Accept() {
  int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (ClientFd >= 0) {
    const int64_t Silent = Now() - HeardAt;
    if (Silent < IdleLimitNs) {
      // The board has one UART: a second client gets a clean close, not a hang.
      if (Trace) Trace->Write(TTraceLine("refused").Str("why", "a client is already connected"));
      close(fd);
      return;
    }
    // A client that has sent nothing for so long holds the line for nobody (a session
    // left open): the one that connects now takes the board over.
    char Why[96];
    std::snprintf(Why, sizeof Why, "silent for %.1f s, another client connected",
                  double(Silent) / 1e9);
    DropClient(Why);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Sends never block: a client that stops reading must not stop the board.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  ClientFd = fd;
  HeardAt = Now();
  Dead = false;
  Stalled = false;
  Tn = TTn::Data;
  std::memset(Us, 0, sizeof Us);
  std::memset(Them, 0, sizeof Them);
  DataSize = 8;
  Parity = 1;
  StopSize = 1;
  Flow = 1;
  FBoard.Connect(Now());
  std::fprintf(stderr, "quorvex-vboard: client connected\n");
  // Offer what a COM port server needs: binary both ways, no go-ahead, and ask the
  // client to speak COM-PORT-OPTION.
  const uint8_t hello[] = {IAC, WILL, optBinary, IAC, DO, optBinary,
                           IAC, WILL, optSga,    IAC, DO, optComPort};
  Us[optBinary] = Them[optBinary] = Us[optSga] = Them[optComPort] = qWant;
  SendRaw(hello, sizeof hello);
}

void TServer::DropClient(const char* Why) {
  if (ClientFd < 0) return;
  FBoard.Disconnect(Now());
  close(ClientFd);
  ClientFd = -1;
  Dead = false;
  if (Trace) Trace->Write(TTraceLine("client_gone").Str("why", Why));
  std::fprintf(stderr, "quorvex-vboard: client gone (%s)\n", Why);
  SaveFlash();
}

void TServer::SendRaw(const uint8_t* p, size_t n) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ClientStallMs);
  while (n > 0 && ClientFd >= 0 && !Dead) {
    ssize_t w = send(ClientFd, p, n, MSG_NOSIGNAL);
    if (w >= 0) {
      p += w;
      n -= size_t(w);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Dead = true;
      return;
    }
    // The client's side is full: wait for it to read, but not for ever, and never past
    // a request to stop (which the main loop then sees).
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Until - std::chrono::steady_clock::now())
                          .count();
    pollfd fds[2] = {{ClientFd, POLLOUT, 0}, {StopPipe[0], POLLIN, 0}};
    const int r = Left > 0 ? poll(fds, 2, int(Left)) : 0;
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || fds[1].revents) {
      Dead = true;
      Stalled = r == 0;
      return;
    }
  }
}

void TServer::SendData(const uint8_t* p, size_t n) {
  TBytes out;
  out.reserve(n + 8);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(p[i]);
    if (p[i] == IAC) out.push_back(IAC);
  }
  SendRaw(out.data(), out.size());
}

void TServer::ReadClient() {
  uint8_t buf[65536];
  ssize_t r = recv(ClientFd, buf, sizeof buf, 0);
  if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (r <= 0) {
    DropClient(r == 0 ? "closed by the client" : "read error");
    return;
  }
  HeardAt = Now();
  TBytes data;
  auto flush = [&] {
    if (!data.empty()) OnData(data.data(), data.size());
    data.clear();
  };
  for (ssize_t i = 0; i < r && ClientFd >= 0; ++i) {
    uint8_t b = buf[i];
    switch (Tn) {
    case TTn::Data:
      if (b == IAC)
        Tn = TTn::Iac;
      else
        data.push_back(b);
      break;
    case TTn::Iac:
      Tn = TTn::Data;
      if (b == IAC) {
        data.push_back(IAC);
      } else if (b >= WILL) {
        Verb = b;
        Tn = TTn::Verb;
      } else if (b == SB) {
        Sb.clear();
        Tn = TTn::Sb;
      } // other Telnet commands (NOP, AYT, ...) carry nothing for a serial line
      break;
    case TTn::Verb:
      flush();
      OnOption(Verb, b);
      Tn = TTn::Data;
      break;
    case TTn::Sb:
      if (b == IAC)
        Tn = TTn::SbIac;
      else if (Sb.size() < 64)
        Sb.push_back(b);
      break;
    case TTn::SbIac:
      if (b == IAC) {
        if (Sb.size() < 64) Sb.push_back(IAC);
        Tn = TTn::Sb;
      } else {
        // SE ends the subnegotiation; anything else is a broken one, ended all the same.
        flush();
        OnSub();
        Tn = TTn::Data;
      }
      break;
    }
  }
  if (ClientFd >= 0) flush();
}

void TServer::OnData(const uint8_t* p, size_t n) {
  if (Opt.DropAfterBytes >= 0 && !Unplugged && BytesFromHost + int64_t(n) >= Opt.DropAfterBytes) {
    size_t keep = size_t(Opt.DropAfterBytes - BytesFromHost);
    FBoard.HostWrite(Now(), p, keep);
    BytesFromHost += int64_t(keep);
    Unplugged = true;
    if (Trace) Trace->Write(TTraceLine("unplugged").Num("after_bytes", BytesFromHost));
    DropClient("the adapter was pulled out");
    return;
  }
  BytesFromHost += int64_t(n);
  FBoard.HostWrite(Now(), p, n);
}

void TServer::OnOption(uint8_t V, uint8_t O) {
  // RFC 1143 in short: answer only what changes a state, so nothing loops.
  bool ours = V == DO || V == DONT;
  TQ& q = ours ? Us[O] : Them[O];
  bool yes = V == DO || V == WILL;
  uint8_t agree = ours ? WILL : DO, refuse = ours ? WONT : DONT;
  if (yes) {
    if (q == qWant) {
      q = qYes;
    } else if (q == qNo) {
      if (Supported(O)) {
        q = qYes;
        const uint8_t r[] = {IAC, agree, O};
        SendRaw(r, 3);
      } else {
        const uint8_t r[] = {IAC, refuse, O};
        SendRaw(r, 3);
      }
    }
  } else if (q != qNo) {
    bool wasYes = q == qYes;
    q = qNo;
    if (wasYes) {
      const uint8_t r[] = {IAC, refuse, O};
      SendRaw(r, 3);
    }
  }
}

void TServer::ComReply(uint8_t Cmd, const uint8_t* v, size_t n) {
  TBytes r{IAC, SB, optComPort, uint8_t(Cmd + 100)};
  for (size_t i = 0; i < n; ++i) {
    r.push_back(v[i]);
    if (v[i] == IAC) r.push_back(IAC);
  }
  r.push_back(IAC);
  r.push_back(SE);
  SendRaw(r.data(), r.size());
}

void TServer::OnSub() {
  if (Sb.size() < 2 || Sb[0] != optComPort) return;
  uint8_t cmd = Sb[1];
  const uint8_t* v = Sb.data() + 2;
  size_t n = Sb.size() - 2;
  int64_t now = Now();
  auto reply1 = [&](uint8_t x) { ComReply(cmd, &x, 1); };
  auto setting = [&](uint8_t& field) {
    if (n >= 1 && v[0] != 0) field = v[0];
    reply1(field);
  };
  switch (cmd) {
  case cpSignature: {
    const char* sig = "quorvex-vboard";
    ComReply(cmd, reinterpret_cast<const uint8_t*>(sig), std::strlen(sig));
    return;
  }
  case cpBaud: {
    uint32_t b =
        n >= 4 ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3] : 0;
    if (b != 0) FBoard.SetHostBaud(now, b);
    b = FBoard.HostBaud();
    const uint8_t r[] = {uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
    ComReply(cmd, r, 4);
    return;
  }
  case cpDataSize:
    setting(DataSize);
    return;
  case cpParity:
    setting(Parity);
    return;
  case cpStopSize:
    setting(StopSize);
    return;
  case cpControl: {
    uint8_t c = n >= 1 ? v[0] : 0;
    switch (c) {
    case 0:
      reply1(Flow);
      return;
    case 7:
      reply1(FBoard.Dtr() ? 8 : 9);
      return;
    case 8:
    case 9:
      FBoard.SetDtr(now, c == 8);
      break;
    case 10:
      reply1(FBoard.Rts() ? 11 : 12);
      return;
    case 11:
    case 12:
      FBoard.SetRts(now, c == 11);
      break;
    case 1:
    case 2:
    case 3:
      Flow = c;
      break;
    default:
      break; // break signal and inbound flow control: acknowledged, no effect on the board
    }
    reply1(c);
    return;
  }
  case cpFlowSuspend:
  case cpFlowResume:
    return;
  case cpPurge: {
    uint8_t c = n >= 1 ? v[0] : 0;
    // 2 and 3 purge what the client sent that has not gone down the wire yet; the
    // board holds nothing that went up and was not delivered yet.
    if (c == 2 || c == 3) FBoard.PurgeToBoard(now);
    reply1(c);
    return;
  }
  case cpLineMask:
  case cpModemMask:
    reply1(n >= 1 ? v[0] : 0);
    return;
  default:
    return;
  }
}

} // namespace vboard
