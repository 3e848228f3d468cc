// RFC 2217 client: a serial port on another machine (or the virtual board) reached
// over Telnet with the COM-PORT-OPTION. Port names look like rfc2217://host:port.
//
// Line changes (DTR, RTS, rate, purge) are sent at once and never wait for the
// server's acknowledgement: the reset sequence depends on consecutive DTR/RTS changes
// reaching the board back to back, well inside its RC reset delay. The server's
// replies are parsed and dropped whenever data is read.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <mutex>

#include "ComBackend.h"
#include "uPortName.h"

namespace {

#ifdef _WIN32
using TSocket = SOCKET;
const TSocket NoSocket = INVALID_SOCKET;
int NetError() {
  return WSAGetLastError();
}
void CloseSocket(TSocket s) {
  closesocket(s);
}
bool WouldBlock(int e) {
  return e == WSAEWOULDBLOCK;
}
bool InProgress(int e) {
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
constexpr int ErrTimedOut = WSAETIMEDOUT;
constexpr int SendFlags = 0;
bool SetNonBlocking(TSocket s) {
  u_long On = 1;
  return ioctlsocket(s, FIONBIO, &On) == 0;
}
void StartNetwork() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    WSADATA Data;
    WSAStartup(MAKEWORD(2, 2), &Data);
  });
}
// select() rather than WSAPoll: WSAPoll misses failed connects on older Windows.
int WaitSocket(TSocket s, bool Read, bool Write, int Ms, bool& Readable, bool& Writable) {
  fd_set R, W, E;
  FD_ZERO(&R);
  FD_ZERO(&W);
  FD_ZERO(&E);
  if (Read) FD_SET(s, &R);
  if (Write) FD_SET(s, &W);
  FD_SET(s, &E);
  timeval Tv{Ms / 1000, (Ms % 1000) * 1000};
  const int r = select(0, &R, &W, &E, &Tv);
  Readable = r > 0 && (FD_ISSET(s, &R) || FD_ISSET(s, &E));
  Writable = r > 0 && (FD_ISSET(s, &W) || FD_ISSET(s, &E));
  return r;
}
#else
using TSocket = int;
constexpr TSocket NoSocket = -1;
int NetError() {
  return errno;
}
void CloseSocket(TSocket s) {
  ::close(s);
}
bool WouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK;
}
bool InProgress(int e) {
  return e == EINPROGRESS;
}
constexpr int ErrTimedOut = ETIMEDOUT;
constexpr int SendFlags = MSG_NOSIGNAL;
bool SetNonBlocking(TSocket s) {
  const int Fl = ::fcntl(s, F_GETFL);
  return Fl >= 0 && ::fcntl(s, F_SETFL, Fl | O_NONBLOCK) == 0;
}
void StartNetwork() {}
int WaitSocket(TSocket s, bool Read, bool Write, int Ms, bool& Readable, bool& Writable) {
  pollfd p{s, static_cast<short>((Read ? POLLIN : 0) | (Write ? POLLOUT : 0)), 0};
  int r;
  do
    r = ::poll(&p, 1, Ms);
  while (r < 0 && errno == EINTR);
  Readable = r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
  Writable = r > 0 && (p.revents & (POLLOUT | POLLHUP | POLLERR));
  return r;
}
#endif

// Telnet and RFC 2217 codes.
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t OptBinary = 0, OptSga = 3, OptComPort = 44;
constexpr uint8_t SetBaudrate = 1, SetDatasize = 2, SetParity = 3, SetStopsize = 4, SetControl = 5,
                  PurgeData = 12;
constexpr uint8_t CtlNoFlow = 1, CtlDtrOn = 8, CtlDtrOff = 9, CtlRtsOn = 11, CtlRtsOff = 12;

constexpr int ConnectLimitMs = 3000;
constexpr int NegotiateLimitMs = 1000;

struct TAddress {
  std::string Host, Port;
};

bool ParseAddress(const std::string& Url, TAddress& A) {
  return ParseRfc2217Address(Url, A.Host, A.Port);
}

class TRfc2217Backend final : public IComBackend {
public:
  ~TRfc2217Backend() override { Close(); }

  void Open(const std::string& Device) override {
    TAddress A;
    if (!ParseAddress(Device, A))
      throw EComBackend(-1, "malformed address '" + Device + "', expected rfc2217://host:port");
    StartNetwork();
    FBroken = false;
    Connect(A);
    Reset();
    // Ask for the com-port option (and an 8-bit clean, full-duplex stream), then wait
    // briefly for the server's consent before sending commands under that option.
    const uint8_t Hello[] = {IAC,       WILL, OptComPort, IAC,    WILL, OptBinary, IAC,   DO,
                             OptBinary, IAC,  WILL,       OptSga, IAC,  DO,        OptSga};
    SendRaw(Hello, sizeof Hello);
    const auto Until = Clock::now() + std::chrono::milliseconds(NegotiateLimitMs);
    while (FComPort == 0) {
      const auto Left = MsUntil(Until);
      if (Left <= 0) break; // a silent server may still accept the commands
      Fill(static_cast<int>(Left));
    }
    if (FComPort < 0) {
      Close();
      throw EComBackend(-1, "the server at " + Device + " refuses the com port option");
    }
    // The lines come up de-asserted, as a freshly opened local port would leave them.
    SetDTR(false);
    SetRTS(false);
  }

  void Close() noexcept override {
    if (FSock == NoSocket) return;
    // Unread bytes at close make TCP reset the connection; take them first (a few
    // rounds at most) and end with an orderly shutdown.
    char Drop[4096];
    for (int i = 0; i < 16 && ::recv(FSock, Drop, sizeof Drop, 0) > 0; ++i) {
    }
#ifdef _WIN32
    ::shutdown(FSock, SD_SEND);
#else
    ::shutdown(FSock, SHUT_WR);
#endif
    CloseSocket(FSock);
    FSock = NoSocket;
    FRx.Clear();
  }

  void SetupBuffers(uint32_t, uint32_t) override {}

  void ApplyLine(uint32_t Baud) override {
    const uint8_t Rate[4] = {uint8_t(Baud >> 24), uint8_t(Baud >> 16), uint8_t(Baud >> 8),
                             uint8_t(Baud)};
    std::vector<uint8_t> Out;
    AddCommand(Out, SetBaudrate, Rate, 4);
    const uint8_t Eight = 8, NoParity = 1, OneStop = 1, NoFlow = CtlNoFlow;
    AddCommand(Out, SetDatasize, &Eight, 1);
    AddCommand(Out, SetParity, &NoParity, 1);
    AddCommand(Out, SetStopsize, &OneStop, 1);
    AddCommand(Out, SetControl, &NoFlow, 1);
    SendWhole(Out.data(), Out.size());
  }

  void ApplyTimeouts(const TComTimeouts& Limits) override {
    FLimits = Limits;
  }

  int32_t Read(uint8_t* Buffer, int32_t Count) override {
    FWant = static_cast<size_t>(std::max<int32_t>(Count, 0));
    return ReadUnderLimits(FRx, Buffer, Count, FLimits, [this](int WaitMs) { Fill(WaitMs); });
  }

  int32_t Write(const uint8_t* Buffer, int32_t Count) override {
    if (Count <= 0) return 0;
    std::vector<uint8_t> Out;
    Out.reserve(static_cast<size_t>(Count) + 16);
    for (int32_t i = 0; i < Count; ++i) {
      Out.push_back(Buffer[i]);
      if (Buffer[i] == IAC) Out.push_back(IAC); // data 0xFF travels doubled
    }
    const size_t Sent = SendRaw(Out.data(), Out.size(), WriteLimitMs(FLimits, Count));
    if (Sent == Out.size()) return Count;
    // Time limit: count the data bytes whose whole encoding got out.
    size_t Pos = 0;
    int32_t Done = 0;
    while (Done < Count) {
      const size_t Len = Buffer[Done] == IAC ? 2 : 1;
      if (Pos + Len > Sent) break;
      Pos += Len;
      ++Done;
    }
    return Done;
  }

  void Purge(bool Input, bool Output) override {
    if (!Input && !Output) return;
    if (Input) {
      Fill(0); // what has already arrived belongs to the purged past
      FRx.Clear();
    }
    const uint8_t What = Input && Output ? 3 : Input ? 1 : 2;
    SendCommand(PurgeData, What);
  }

  void SetDTR(bool On) override {
    SendCommand(SetControl, On ? CtlDtrOn : CtlDtrOff);
  }
  void SetRTS(bool On) override {
    SendCommand(SetControl, On ? CtlRtsOn : CtlRtsOff);
  }

private:
  using Clock = std::chrono::steady_clock;
  static long long MsUntil(Clock::time_point T) {
    return std::chrono::ceil<std::chrono::milliseconds>(T - Clock::now()).count();
  }

  void Connect(const TAddress& A) {
    addrinfo Hints{};
    Hints.ai_family = 0; // IPv4 or IPv6, whichever the name gives
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_protocol = IPPROTO_TCP;
    addrinfo* List = nullptr;
    if (getaddrinfo(A.Host.c_str(), A.Port.c_str(), &Hints, &List) != 0 || !List)
      throw EComBackend(-1, "cannot resolve host '" + A.Host + "'");
    const auto Until = Clock::now() + std::chrono::milliseconds(ConnectLimitMs);
    int LastError = ErrTimedOut;
    for (addrinfo* Ai = List; Ai && FSock == NoSocket; Ai = Ai->ai_next) {
      TSocket s = ::socket(Ai->ai_family, Ai->ai_socktype, Ai->ai_protocol);
      if (s == NoSocket) {
        LastError = NetError();
        continue;
      }
      int Err = 0;
      if (!SetNonBlocking(s))
        Err = NetError();
      else if (::connect(s, Ai->ai_addr, static_cast<int>(Ai->ai_addrlen)) != 0) {
        Err = NetError();
        if (InProgress(Err)) Err = AwaitConnect(s, Until);
      }
      if (Err == 0) {
        FSock = s;
      } else {
        LastError = Err;
        CloseSocket(s);
      }
    }
    freeaddrinfo(List);
    if (FSock == NoSocket) throw EComBackend(LastError);
    int One = 1;
    setsockopt(FSock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&One), sizeof One);
  }

  static int AwaitConnect(TSocket s, Clock::time_point Until) {
    const auto Left = MsUntil(Until);
    bool R = false, W = false;
    if (Left <= 0 || WaitSocket(s, false, true, static_cast<int>(Left), R, W) <= 0)
      return ErrTimedOut;
    int Err = 0;
    socklen_t Len = sizeof Err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&Err), &Len) != 0)
      return NetError();
    return Err;
  }

  void Reset() {
    FRx.Clear();
    FState = TState::Data;
    FSub.clear();
    FComPort = 0;
    FReplies.clear();
    FSending = false;
  }

  // IAC SB COM-PORT-OPTION Cmd Value... IAC SE, with 0xFF in the value doubled.
  static void AddCommand(std::vector<uint8_t>& Out, uint8_t Cmd, const uint8_t* Value, size_t Len) {
    Out.insert(Out.end(), {IAC, SB, OptComPort, Cmd});
    for (size_t i = 0; i < Len; ++i) {
      Out.push_back(Value[i]);
      if (Value[i] == IAC) Out.push_back(IAC);
    }
    Out.insert(Out.end(), {IAC, SE});
  }

  void SendCommand(uint8_t Cmd, uint8_t Value) {
    std::vector<uint8_t> Out;
    AddCommand(Out, Cmd, &Value, 1);
    SendWhole(Out.data(), Out.size());
  }

  // A command that got out only in part has broken the Telnet stream: whatever follows
  // would be read inside it. So that is an error, and the connection takes nothing more.
  void SendWhole(const uint8_t* p, size_t n) {
    if (FBroken) throw EComBackend(ErrTimedOut, "the server stopped taking commands");
    if (SendRaw(p, n) == n) return;
    FBroken = true;
    throw EComBackend(ErrTimedOut, "the server stopped taking commands");
  }

  // Sends everything or until LimitMs has passed; returns the bytes of p sent. Telnet
  // answers queued meanwhile go first, whole. While the socket is full, incoming bytes
  // are taken in, so neither side can stall the other.
  size_t SendRaw(const uint8_t* p, size_t n, uint32_t LimitMs = 2000) {
    const auto Until = Clock::now() + std::chrono::milliseconds(LimitMs);
    const bool Outer = !FSending;
    FSending = true;
    struct TDone {
      bool& Flag;
      bool Restore;
      ~TDone() {
        if (Restore) Flag = false;
      }
    } Guard{FSending, Outer};
    if (Outer && !FReplies.empty()) {
      const std::vector<uint8_t> Replies = std::move(FReplies);
      FReplies.clear();
      SendSome(Replies.data(), Replies.size(), Until);
    }
    return SendSome(p, n, Until);
  }

  size_t SendSome(const uint8_t* p, size_t n, Clock::time_point Until) {
    size_t Done = 0;
    while (Done < n) {
      const size_t Chunk = std::min<size_t>(n - Done, 1 << 20);
      const auto r = ::send(FSock, reinterpret_cast<const char*>(p + Done), static_cast<int>(Chunk),
                            SendFlags);
      if (r > 0) {
        Done += static_cast<size_t>(r);
        continue;
      }
      const int Err = NetError();
#ifndef _WIN32
      if (Err == EINTR) continue;
#endif
      if (!WouldBlock(Err)) throw EComBackend(Err);
      const auto Left = MsUntil(Until);
      if (Left <= 0) break;
      bool R = false, W = false;
      WaitSocket(FSock, true, true, static_cast<int>(std::min<long long>(Left, 1000000)), R, W);
      if (R) Fill(0);
    }
    return Done;
  }

  // Takes what the socket holds, after waiting up to WaitMs for it, and decodes it. The
  // receive queue holds a bounded amount, as a serial driver's buffer does, and data that
  // arrives while it is full is lost, as in a driver's overrun; one call takes a bounded
  // amount too, so a server that floods can neither make memory grow nor keep the caller
  // here. The connection is still drained, so the server's answers to our commands
  // always get through.
  void Fill(int WaitMs) {
    if (WaitMs > 0) {
      bool R = false, W = false;
      const int r = WaitSocket(FSock, true, false, WaitMs, R, W);
      if (r < 0) throw EComBackend(NetError());
      if (!R) return;
    }
    uint8_t Chunk[16384];
    for (size_t Taken = 0; Taken < RxLimit;) {
      const auto n = ::recv(FSock, reinterpret_cast<char*>(Chunk), sizeof Chunk, 0);
      if (n > 0) {
        Decode(Chunk, static_cast<size_t>(n));
        Taken += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < sizeof Chunk) break;
        continue;
      }
      // An orderly close: no call failed, so there is no system error to show (its
      // nearest one, a reset, would blame a cut on the server's side or on ours).
      if (n == 0) throw EComBackend(-1, "the server closed the connection");
      const int Err = NetError();
#ifndef _WIN32
      if (Err == EINTR) continue;
#endif
      if (WouldBlock(Err)) break;
      throw EComBackend(Err);
    }
    if (!FSending && !FReplies.empty()) SendRaw(nullptr, 0);
  }

  void Decode(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
      if (FState == TState::Data) {
        // Plain data runs go to the receive queue in one piece.
        const void* Hit = std::memchr(p + i, IAC, n - i);
        const size_t End = Hit ? static_cast<size_t>(static_cast<const uint8_t*>(Hit) - p) : n;
        FRx.Append(p + i, std::min(End - i, Room()));
        i = End;
        if (i < n) {
          FState = TState::Iac;
          ++i;
        }
        continue;
      }
      const uint8_t b = p[i++];
      switch (FState) {
      case TState::Iac:
        if (b == IAC) {
          if (Room()) FRx.Push(IAC);
          FState = TState::Data;
        } else if (b == WILL || b == WONT || b == DO || b == DONT) {
          FVerb = b;
          FState = TState::Option;
        } else if (b == SB) {
          FSub.clear();
          FState = TState::Sub;
        } else {
          FState = TState::Data; // NOP, GA and friends carry nothing for us
        }
        break;
      case TState::Option:
        Negotiate(FVerb, b);
        FState = TState::Data;
        break;
      case TState::Sub:
        if (b == IAC)
          FState = TState::SubIac;
        else if (FSub.size() < 64)
          FSub.push_back(b);
        break;
      case TState::SubIac:
        if (b == IAC) {
          if (FSub.size() < 64) FSub.push_back(IAC);
          FState = TState::Sub;
        } else {
          // SE ends it; anything else is a broken sequence, ended here too.
          FState = TState::Data;
        }
        break;
      case TState::Data:
        break;
      }
    }
  }

  // How many more data bytes the receive queue takes.
  size_t Room() const {
    const size_t Limit = std::max(RxLimit, FWant);
    return FRx.Size() < Limit ? Limit - FRx.Size() : 0;
  }

  // We offered WILL BINARY/SGA/COM-PORT and DO BINARY/SGA; the server's DO/WILL for
  // those need no answer, anything else is refused once.
  void Negotiate(uint8_t Verb, uint8_t Opt) {
    const bool Ours = Opt == OptBinary || Opt == OptSga || Opt == OptComPort;
    if (Opt == OptComPort && (Verb == DO || Verb == DONT)) FComPort = Verb == DO ? 1 : -1;
    uint8_t Reply = 0;
    if (Verb == DO && !Ours) Reply = WONT;
    if (Verb == WILL && !(Opt == OptBinary || Opt == OptSga)) Reply = DONT;
    // Queued, not sent here: this may run in the middle of sending a command.
    if (Reply && FReplies.size() < 4096) FReplies.insert(FReplies.end(), {IAC, Reply, Opt});
  }

  enum class TState { Data, Iac, Option, Sub, SubIac };
  TSocket FSock = NoSocket;
  TComTimeouts FLimits;
  // Received bytes held for the reader: any answer many times over, and seconds of data
  // at the fastest serial rates.
  static constexpr size_t RxLimit = 256 * 1024;
  TRxQueue FRx;
  size_t FWant = 0; // the size of the read in progress
  TState FState = TState::Data;
  uint8_t FVerb = 0;
  std::vector<uint8_t> FSub;     // server replies (command + 100); read and dropped
  int FComPort = 0;              // 1: server agreed to the com-port option, -1: refused
  std::vector<uint8_t> FReplies; // negotiation answers not yet sent
  bool FSending = false;
  bool FBroken = false; // a command went out in part
};

} // namespace

std::unique_ptr<IComBackend> CreateRfc2217Backend() {
  return std::make_unique<TRfc2217Backend>();
}
