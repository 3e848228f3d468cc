// The board behind its RFC 2217 server, over real sockets: Telnet negotiation, the
// COM-PORT-OPTION answers, IAC doubling, the connect sequence in real time, the
// connection faults, saving the flash, the program's signals, a client we did not
// write (python3-serial), and the flash check and demo image tools.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "VbMemory.h"
#include "VbServer.h"
#include "VbTestServer.h"
#include "VbTestUtil.h"
#include "VbTools.h"

using namespace vboard;
using namespace vbtest;

namespace {

enum : uint8_t { SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, IAC = 255 };

// A bare RFC 2217 client: enough Telnet to see what the server says.
class TRawClient {
public:
  explicit TRawClient(int Port) {
    Fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Ok = connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    int one = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~TRawClient() { Close(); }
  void Close() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
  }
  void Raw(const TBytes& b) {
    ASSERT_EQ(send(Fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
  }
  void Data(const TBytes& b) {
    TBytes e;
    for (uint8_t x : b) {
      e.push_back(x);
      if (x == IAC) e.push_back(IAC);
    }
    Raw(e);
  }
  static TBytes Com(uint8_t Cmd, TBytes V) {
    TBytes b{IAC, SB, 44, Cmd};
    b.insert(b.end(), V.begin(), V.end());
    b.push_back(IAC);
    b.push_back(SE);
    return b;
  }
  static TBytes Control(std::initializer_list<uint8_t> Vs) {
    TBytes b;
    for (uint8_t v : Vs) {
      TBytes c = Com(5, {v});
      b.insert(b.end(), c.begin(), c.end());
    }
    return b;
  }
  // Reads and decodes until Done() holds or the time is up.
  bool Until(const std::function<bool()>& Done, int TimeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now())
                         .count());
      if (left <= 0 || Eof) return Done();
      pollfd p{Fd, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      uint8_t buf[4096];
      ssize_t r = recv(Fd, buf, sizeof buf, 0);
      if (r <= 0) {
        Eof = true;
        continue;
      }
      RawIn.insert(RawIn.end(), buf, buf + r);
      for (ssize_t i = 0; i < r; ++i)
        Parse(buf[i]);
    }
    return true;
  }
  void Pump(int Ms) {
    Until([] { return false; }, Ms);
  }

  bool Ok = false, Eof = false;
  TBytes DataIn, RawIn;
  std::vector<TBytes> Subs;                      // COM-PORT-OPTION replies: command, value...
  std::vector<std::pair<uint8_t, uint8_t>> Opts; // verb, option

private:
  void Parse(uint8_t b) {
    switch (St) {
    case 0:
      if (b == IAC)
        St = 1;
      else
        DataIn.push_back(b);
      break;
    case 1:
      St = 0;
      if (b == IAC)
        DataIn.push_back(b);
      else if (b == SB)
        Sub.clear(), St = 3;
      else if (b >= WILL)
        Verb = b, St = 2;
      break;
    case 2:
      Opts.emplace_back(Verb, b);
      St = 0;
      break;
    case 3:
      if (b == IAC)
        St = 4;
      else
        Sub.push_back(b);
      break;
    case 4:
      if (b == IAC) {
        Sub.push_back(b);
        St = 3;
      } else {
        if (Sub.size() >= 2 && Sub[0] == 44) Subs.emplace_back(Sub.begin() + 1, Sub.end());
        St = 0;
      }
      break;
    }
  }
  int Fd = -1;
  int St = 0;
  uint8_t Verb = 0;
  TBytes Sub;
};

struct VboardServer : ::testing::Test, TBoardServer {
  void TearDown() override { Stop(); }
  // The connect sequence with the fast hold times, each group written back to back.
  static void EnterLoader(TRawClient& c) {
    c.Raw(TRawClient::Control({9, 11, 9}));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.Raw(TRawClient::Control({8, 12, 8}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.Raw(TRawClient::Control({9}));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
};

TEST_F(VboardServer, NegotiatesAndAnswersComPortCommands) {
  Start();
  TRawClient c(Port);
  ASSERT_TRUE(c.Ok);
  auto has = [&](uint8_t v, uint8_t o) {
    return std::find(c.Opts.begin(), c.Opts.end(), std::make_pair(v, o)) != c.Opts.end();
  };
  ASSERT_TRUE(c.Until([&] { return c.Opts.size() >= 4; }, 2000));
  EXPECT_TRUE(has(WILL, 0) && has(DO, 0) && has(WILL, 3) && has(DO, 44));
  c.Raw({IAC, WILL, 44, IAC, DO, 1}); // agree to COM-PORT (asked for), ask for ECHO (refused)
  TBytes cmds;
  for (const TBytes& x :
       {TRawClient::Com(1, {0x00, 0x0E, 0x10, 0x00}), TRawClient::Com(1, {0, 0, 0, 0}),
        TRawClient::Com(2, {8}), TRawClient::Control({7, 8, 7, 10}), TRawClient::Com(12, {3})})
    cmds.insert(cmds.end(), x.begin(), x.end());
  c.Raw(cmds);
  ASSERT_TRUE(c.Until([&] { return c.Subs.size() >= 8; }, 2000));
  std::vector<TBytes> want = {{101, 0x00, 0x0E, 0x10, 0x00},
                              {101, 0x00, 0x0E, 0x10, 0x00},
                              {102, 8},
                              {105, 9},
                              {105, 8},
                              {105, 8},
                              {105, 12},
                              {112, 3}};
  EXPECT_EQ(c.Subs, want);
  EXPECT_TRUE(has(WONT, 1));
  c.Pump(100);
  EXPECT_EQ(std::count(c.Opts.begin(), c.Opts.end(), std::make_pair(uint8_t(DO), uint8_t(44))), 1);
}

TEST_F(VboardServer, ConnectSequenceSyncAndAnswersMatchTheTraceByteForByte) {
  ASSERT_TRUE(ParseMac("FF:FF:C0:DB:FF:01", Opt.Mac)); // 0xFF must be doubled on the wire
  Start();
  TRawClient c(Port);
  c.Raw({IAC, WILL, 44});
  EnterLoader(c);
  c.Pump(50);
  EXPECT_NE(std::string(c.DataIn.begin(), c.DataIn.end()).find("waiting for download"),
            std::string::npos);
  c.DataIn.clear();
  c.Data(SyncFrame());
  ASSERT_TRUE(c.Until([&] { return Frames(c.DataIn).size() >= 8; }, 2000));
  c.Data(Frame(opReadReg, Words({0x3FF5A004})));
  ASSERT_TRUE(c.Until([&] { return Frames(c.DataIn).size() >= 9; }, 2000));
  auto frames = Frames(c.DataIn);
  uint32_t w1 = 0, w2 = 0;
  MacWords(Opt.Mac, w1, w2);
  EXPECT_EQ(Ans(frames[8]).Value, w1);
  // w1 is 01 FF DB C0: the FF doubled by Telnet, the DB and C0 escaped by SLIP.
  const uint8_t wire[] = {0x01, IAC, IAC, 0xDB, 0xDD, 0xDB, 0xDC};
  EXPECT_NE(std::search(c.RawIn.begin(), c.RawIn.end(), wire, wire + 7), c.RawIn.end());
  // Every frame the client decoded is in the trace as sent, in the same order.
  std::vector<std::string> traced = TracedPackets("frame_out");
  ASSERT_EQ(traced.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(traced[i], Hex(frames[i]));
}

TEST_F(VboardServer, FlashIsSavedWhenTheClientLeaves) {
  Opt.Pacing = false;
  Start();
  {
    TRawClient c(Port);
    EnterLoader(c);
    c.Data(StubUpload());
    ASSERT_TRUE(c.Until([&] { return Frames(c.DataIn).size() >= 6; }, 2000));
    c.Data(Frame(opFlashBegin, Words({0x1000, 1, 0x4000, 0x8000})));
    c.Data(Frame(opFlashData, Block(0, TBytes(0x1000, 0x5A)), true));
    ASSERT_TRUE(c.Until([&] { return Frames(c.DataIn).size() >= 8; }, 2000));
    EXPECT_EQ(Ans(Frames(c.DataIn)[7]).Status, 0);
  }
  std::vector<uint8_t> f;
  for (int i = 0; i < 100 && f.size() != TFlash::Size; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string s = ReadText(FlashFile);
    f.assign(s.begin(), s.end());
  }
  ASSERT_EQ(f.size(), TFlash::Size);
  EXPECT_EQ(f[0x7FFF], 0xFF);
  EXPECT_EQ(f[0x8000], 0x5A);
  EXPECT_EQ(f[0x8FFF], 0x5A);
  EXPECT_EQ(f[0x9000], 0xFF);
}

TEST_F(VboardServer, ConnectionFaults) {
  Opt.DropAfterBytes = 100;
  Start();
  TRawClient first(Port);
  ASSERT_TRUE(first.Until([&] { return !first.Opts.empty(); }, 2000));
  // One UART: a second client is closed at once.
  TRawClient second(Port);
  EXPECT_TRUE(second.Until([&] { return second.Eof; }, 2000));
  // The adapter pulled out after 100 bytes.
  first.Data(TBytes(99, 0x55));
  first.Pump(100);
  EXPECT_FALSE(first.Eof);
  first.Data(TBytes(5, 0x55));
  EXPECT_TRUE(first.Until([&] { return first.Eof; }, 2000));
  EXPECT_NE(ReadText(TraceFile).find("\"unplugged\",\"after_bytes\":100"), std::string::npos);
  // Plugged in again: the next client is served.
  TRawClient third(Port);
  EXPECT_TRUE(third.Until([&] { return !third.Opts.empty(); }, 2000));
  EXPECT_FALSE(third.Eof);
}

namespace {

// The board program as a child process, paced as a real line (no --no-pacing).
struct TBoardProgram {
  pid_t Pid = -1;
  int Port = -1;
  int Status = -1; // the wait status once it has ended
  std::string Flash, Err;
  // Extra: more options after --port and --flash. The board's log goes to the file Err.
  explicit TBoardProgram(const char* FlashName, std::vector<std::string> Extra = {})
      : Flash(TempPath(FlashName)), Err(TempPath(std::string(FlashName) + ".log")) {
    std::remove(Flash.c_str());
    std::vector<std::string> Args = {QUORVEX_VBOARD_EXE, "--port", "0", "--flash", Flash};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    std::vector<char*> Argv;
    for (std::string& A : Args)
      Argv.push_back(A.data());
    Argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    Pid = fork();
    if (Pid == 0) {
      dup2(out[1], 1);
      const int E = open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (E >= 0) dup2(E, 2);
      execv(Argv[0], Argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char ch;
    while (read(out[0], &ch, 1) == 1 && ch != '\n')
      line += ch;
    close(out[0]);
    if (line.rfind("rfc2217://127.0.0.1:", 0) == 0) Port = std::stoi(line.substr(20));
  }
  // Waits up to Ms for the program to end; false when it is still running.
  bool Ended(int Ms) {
    for (int i = 0; i < Ms / 10; ++i) {
      if (waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  ~TBoardProgram() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    std::remove(Flash.c_str());
    std::remove(Err.c_str());
  }
  std::string Log() const { return ReadText(Err); }
};

// Sends Bytes over and over without ever reading, for as long as the connection takes
// them, up to Limit bytes or Ms milliseconds; how many went out.
size_t SendWithoutReading(int Port, const TBytes& Bytes, size_t Limit, int Ms, int& Fd) {
  Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK);
  TBytes Chunk;
  while (Chunk.size() < 65536)
    Chunk.insert(Chunk.end(), Bytes.begin(), Bytes.end());
  size_t Sent = 0;
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  while (Sent < Limit && std::chrono::steady_clock::now() < End) {
    const ssize_t n = send(Fd, Chunk.data(), Chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      Sent += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break; // dropped by the board
    pollfd p{Fd, POLLOUT, 0};
    poll(&p, 1, 20);
  }
  return Sent;
}

// Whether a new client gets the board's greeting (its first option offer) within Ms;
// connecting too is bounded, since a board that no longer accepts fills its backlog.
bool Greets(int Port, int Ms) {
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  uint8_t Got[3];
  size_t n = 0;
  while (n < 3 && std::chrono::steady_clock::now() < End) {
    pollfd p{Fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t r = recv(Fd, Got + n, sizeof Got - n, 0);
    if (r <= 0) break;
    n += size_t(r);
  }
  close(Fd);
  return n == 3 && Got[0] == IAC && Got[1] >= WILL;
}

} // namespace

// A client that sends a flood of data: the board's memory stays bounded (it takes no
// more from the connection than its paced line can hold), not a record per byte.
TEST(VboardProgram, FloodOfClientDataKeepsMemoryBounded) {
  TBoardProgram B("misuse_flash.bin");
  ASSERT_GT(B.Port, 0);
  const std::string Pid = std::to_string(B.Pid);
  const long Before = MemoryKiB("VmRSS:", Pid);
  int Fd = -1;
  const size_t Sent = SendWithoutReading(B.Port, TBytes{0x55}, size_t(100) << 20, 4000, Fd);
  const long Peak = MemoryKiB("VmHWM:", Pid);
  close(Fd);
  ASSERT_GT(Before, 0);
  EXPECT_LT(Peak - Before, 64 * 1024)
      << "grew by " << (Peak - Before) << " KiB after " << (Sent >> 20) << " MiB";
}

// A client that asks for Telnet options but never reads the answers: the board does not
// block on it. It is dropped after a bounded time, so a second client then gets its
// greeting, and SIGTERM ends the board at any moment.
TEST(VboardProgram, ClientThatNeverReadsIsDroppedAndSigtermStillEndsTheBoard) {
  const TBytes Requests = {IAC, DO, 99, IAC, WILL, 98};
  {
    TBoardProgram B("misuse_flash.bin");
    ASSERT_GT(B.Port, 0);
    int Fd = -1;
    SendWithoutReading(B.Port, Requests, size_t(64) << 20, 3000, Fd);
    bool Greeted = false;
    const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!Greeted && std::chrono::steady_clock::now() < End)
      Greeted = Greets(B.Port, 1000);
    EXPECT_TRUE(Greeted) << "no greeting for a second client";
    close(Fd);
  }
  {
    TBoardProgram B("misuse_flash.bin");
    ASSERT_GT(B.Port, 0);
    int Fd = -1;
    SendWithoutReading(B.Port, Requests, size_t(64) << 20, 3000, Fd);
    kill(B.Pid, SIGTERM);
    EXPECT_TRUE(B.Ended(1000)) << "SIGTERM did not end the board";
    close(Fd);
  }
}

// A client that connects and then sends nothing would hold the board's one line for
// ever. While it has been heard from within the idle limit a second client is refused;
// once it has been silent that long, the next client takes the board over, and the
// board's log says why the first one went. A client that keeps sending keeps the line.
TEST(VboardProgram, SilentClientGivesWayToTheNextAfterTheIdleLimit) {
  TBoardProgram B("idle_flash.bin", {"--idle-limit", "0.5"});
  ASSERT_GT(B.Port, 0);
  TRawClient First(B.Port);
  ASSERT_TRUE(First.Until([&] { return !First.Opts.empty(); }, 2000));
  {
    TRawClient Early(B.Port);
    EXPECT_TRUE(Early.Until([&] { return Early.Eof; }, 2000)) << "refused within the limit";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  TRawClient Late(B.Port);
  EXPECT_TRUE(Late.Until([&] { return !Late.Opts.empty(); }, 2000)) << "no greeting";
  EXPECT_TRUE(First.Until([&] { return First.Eof; }, 2000)) << "the silent client kept the line";
  Late.Pump(100);
  EXPECT_FALSE(Late.Eof);
  const std::string Log = B.Log();
  EXPECT_NE(Log.find("quorvex-vboard: client gone (silent for 0."), std::string::npos) << Log;
  EXPECT_NE(Log.find(" s, another client connected)"), std::string::npos) << Log;

  // Heard from every 200 ms, well within the limit, for three times the limit.
  for (int i = 0; i < 8; ++i) {
    Late.Raw(TRawClient::Control({9}));
    Late.Pump(200);
  }
  TRawClient Third(B.Port);
  EXPECT_TRUE(Third.Until([&] { return Third.Eof; }, 2000)) << "a talking client was dropped";
  EXPECT_FALSE(Late.Eof);
}

TEST(VboardProgram, PrintsItsAddressAndSavesTheFlashOnSigterm) {
  TBoardProgram B("prog_flash.bin");
  ASSERT_GT(B.Port, 0) << "no address printed";
  {
    TRawClient c(B.Port);
    ASSERT_TRUE(c.Until([&] { return !c.Opts.empty(); }, 2000));
    kill(B.Pid, SIGTERM);
    EXPECT_TRUE(c.Until([&] { return c.Eof; }, 3000));
  }
  ASSERT_TRUE(B.Ended(5000));
  EXPECT_TRUE(WIFEXITED(B.Status) && WEXITSTATUS(B.Status) == 0);
  EXPECT_EQ(ReadText(B.Flash).size(), TFlash::Size);
}

namespace {

// The board program run to its end with Args; its exit status and what it printed.
struct TProgramRun {
  int Status = -1;
  std::string Out, Err;
};

TProgramRun RunBoardProgram(const std::vector<std::string>& Args) {
  const std::string Out = TempPath("vboard_out"), Err = TempPath("vboard_err");
  std::vector<char*> Argv{const_cast<char*>(QUORVEX_VBOARD_EXE)};
  for (const std::string& A : Args)
    Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    const int O = open(Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int E = open(Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(O, 1);
    dup2(E, 2);
    alarm(20); // a board that started serving instead of refusing ends here
    execv(Argv[0], Argv.data());
    _exit(127);
  }
  TProgramRun R;
  int St = 0;
  waitpid(Pid, &St, 0);
  R.Status = WIFEXITED(St) ? WEXITSTATUS(St) : 1000 + WTERMSIG(St);
  R.Out = ReadText(Out);
  R.Err = ReadText(Err);
  return R;
}

} // namespace

// Every option the board takes is in its help; a value it cannot take ends it with
// status 2 and the reason, before it listens.
TEST(VboardProgram, OptionsAndTheirRefusals) {
  const TProgramRun Help = RunBoardProgram({"--help"});
  EXPECT_EQ(Help.Status, 0);
  for (const char* Opt : {"--port",
                          "--flash",
                          "--trace",
                          "--idle-limit",
                          "--chip",
                          "--mac",
                          "--min-reset-ms",
                          "--min-hold-ms",
                          "--rc-delay-ms",
                          "--no-pacing",
                          "--real-timing",
                          "--time-scale",
                          "--cpu-mhz",
                          "--flash-part",
                          "--flash-protected",
                          "--flash-continuous-read",
                          "--mute",
                          "--slow-only",
                          "--fail-flash-data",
                          "--drop-answer",
                          "--garbage",
                          "--bad-greeting",
                          "--no-greeting",
                          "--refuse",
                          "--drop-after",
                          "--refuse-baud",
                          "--lose-baud-answer",
                          "--check",
                          "--image",
                          "--make-demo-images"})
    EXPECT_NE(Help.Out.find(Opt), std::string::npos) << Opt;
  const std::vector<std::vector<std::string>> Bad = {
      {"--port", "65536"},
      {"--port", "twelve"},
      {"--chip", "esp8266"},
      {"--mac", "24:0A:C4:01:A2"},
      {"--min-reset-ms", "-1"},
      {"--time-scale", "101"},
      {"--time-scale", "nan"},
      {"--cpu-mhz", "0"},
      {"--flash-part", "spansion"},
      {"--fail-flash-data", "0:1"},
      {"--fail-flash-data", "3"},
      {"--drop-answer", "256"},
      {"--lose-baud-answer", "sometimes"},
      {"--drop-after", "-5"},
      {"--idle-limit", "0"},
      {"--image", "0x1000:boot.bin"}, // without --check
      {"--image", "12z:boot.bin", "--check", "flash.bin"},
      {"--port"},
      {"--bogus"},
      {"stray"},
  };
  for (const auto& Args : Bad) {
    std::string Line;
    for (const std::string& A : Args)
      Line += A + " ";
    const TProgramRun R = RunBoardProgram(Args);
    EXPECT_EQ(R.Status, 2) << Line << R.Err;
    EXPECT_EQ(R.Out, "") << Line << ": it must not have started listening";
    EXPECT_EQ(R.Err.rfind("quorvex-vboard: ", 0), 0u) << Line << R.Err;
  }
}

// Every flash part the board models is selected by its name on the command line
// (parsing it stops at --help, which ends the program at once); a wrong name is
// refused, naming the ones there are.
TEST(VboardProgram, FlashPartsByName) {
  const std::string Err = TempPath("flash_part.err");
  for (const char* Name : {"winbond", "winbond-cmp", "gigadevice", "gigadevice-31", "macronix",
                           "macronix-old", "macronix-old-sfdp", "issi", "sr2-ff", "unknown"}) {
    SCOPED_TRACE(Name);
    const std::string Cmd =
        std::string(QUORVEX_VBOARD_EXE) + " --flash-part " + Name + " --help > /dev/null 2> " + Err;
    const int St = system(Cmd.c_str());
    EXPECT_TRUE(WIFEXITED(St) && WEXITSTATUS(St) == 0) << ReadText(Err);
  }
  const int St =
      system((std::string(QUORVEX_VBOARD_EXE) + " --flash-part macronix-new > /dev/null 2> " + Err)
                 .c_str());
  EXPECT_TRUE(WIFEXITED(St) && WEXITSTATUS(St) == 2);
  EXPECT_NE(ReadText(Err).find("macronix-old-sfdp"), std::string::npos) << ReadText(Err);
  std::remove(Err.c_str());
}

TEST_F(VboardServer, Python3SerialClientTogglesLinesAndSyncs) {
  if (access("/usr/bin/python3", X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null") != 0)
    GTEST_SKIP() << "/usr/bin/python3 with python3-serial is not installed";
  // That client waits for every acknowledgement (about 50 ms a line change), so
  // its both-asserted moment is long: a board with a slower RC network suits it.
  Opt.RcDelayMs = 300;
  Start();
  std::string script = TempPath("sync.py");
  std::ofstream(script) << R"(import sys, time, serial
s = serial.serial_for_url(sys.argv[1], baudrate=115200, timeout=1)
s.dtr = False; s.rts = True; s.dtr = False
time.sleep(0.2)
s.dtr = True; s.rts = False; s.dtr = True
time.sleep(0.6)
s.dtr = False
time.sleep(0.1)
s.reset_input_buffer()
s.write(bytes([0xC0, 0, 8, 0x24, 0, 0x78, 1, 0x3A, 0, 7, 7, 0x12, 0x20]) + b'\x55' * 32 + b'\xC0')
got = s.read(12)
s.close()
print('SYNC-OK' if got == bytes([0xC0, 1, 8, 2, 0, 0, 0, 0, 0, 0, 0, 0xC0]) else 'SYNC-BAD ' + got.hex())
)";
  std::string cmd = "/usr/bin/python3 " + script + " rfc2217://127.0.0.1:" + std::to_string(Port);
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[256] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  int rc = pclose(p);
  std::string outText(buf, n);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(outText.find("SYNC-OK"), std::string::npos) << outText;
}

TEST(VboardTools, DemoImagesAndTheFlashCheck) {
  std::string dir = TempPath("demo");
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  std::string err;
  ASSERT_TRUE(MakeDemoImages(dir, err)) << err;
  auto load = [](const std::string& f) {
    std::string s = ReadText(f);
    return TBytes(s.begin(), s.end());
  };
  TBytes boot = load(dir + "/boot.bin"), part = load(dir + "/part.bin"),
         firm = load(dir + "/firm.bin");
  EXPECT_TRUE(boot.size() >= 10000 && boot.size() <= 32768 && boot[0] == 0xE9);
  EXPECT_EQ(part.size(), 3072u);
  EXPECT_TRUE(firm.size() >= 65536 && firm.size() % 16384 != 0);
  TFlash flash;
  flash.Program(0x1000, boot.data(), uint32_t(boot.size()));
  flash.Program(0x8000, part.data(), uint32_t(part.size()));
  flash.Program(0x10000, firm.data(), uint32_t(firm.size()));
  std::string ff = dir + "/flash.bin";
  ASSERT_TRUE(flash.Save(ff, err)) << err;
  std::vector<TImageAt> images = {
      {0x1000, dir + "/boot.bin"}, {0x8000, dir + "/part.bin"}, {0x10000, dir + "/firm.bin"}};
  std::ostringstream out;
  EXPECT_EQ(CheckFlash(ff, images, out), 0) << out.str();
  EXPECT_NE(out.str().find("written areas: 0x00001000-0x00006FFF 0x00008000-0x00008FFF"),
            std::string::npos)
      << out.str();
  // A bootloader file without the header values the program writes: named as such.
  TBytes unpatched = boot;
  unpatched[2] = unpatched[3] = 0;
  std::ofstream(dir + "/boot0.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(unpatched.data()), std::streamsize(unpatched.size()));
  std::ostringstream out2;
  EXPECT_EQ(CheckFlash(ff, {{0x1000, dir + "/boot0.bin"}}, out2), 1);
  EXPECT_NE(out2.str().find("bootloader header patch"), std::string::npos) << out2.str();
  std::ostringstream out3;
  EXPECT_EQ(CheckFlash(ff, {{0x2000, dir + "/part.bin"}}, out3), 1);
  EXPECT_NE(out3.str().find("MISMATCH:"), std::string::npos);
  TImageAt at;
  EXPECT_TRUE(ParseImageAt("0x10000:firm.bin", at) && at.Offset == 0x10000 &&
              at.File == "firm.bin");
  EXPECT_FALSE(ParseImageAt("0x400000:x.bin", at));
  EXPECT_FALSE(ParseImageAt("12z:x.bin", at));
}

} // namespace
