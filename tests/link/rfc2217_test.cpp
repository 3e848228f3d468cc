// The RFC 2217 backend against a small server in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "FakeLink.h"
#include "Rfc2217TestServer.h"
#include "protocol/uEsp.h"

namespace {

using Cmds = std::vector<std::vector<uint8_t>>;
constexpr uint8_t SetBaud = 1, SetSize = 2, SetParity = 3, SetStop = 4, SetControl = 5, Purge = 12;

std::vector<uint8_t> BaudCmd(uint32_t b) {
  return {SetBaud, uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
}

class Rfc2217Test : public ::testing::Test {
protected:
  void OpenAt(uint32_t Baud) {
    Io.cPort.SetPort(Server.Url());
    Io.cPort.SetBaudRate(brCustom);
    Io.cPort.SetCustomBaudRate(static_cast<int32_t>(Baud));
    Io.cPort.Open();
  }
  // Waits until the server has recorded Count com-port commands; returns those after From.
  Cmds CommandsAfter(size_t From, size_t Count) {
    Server.WaitFor([&](const auto& s) { return s.Commands.size() >= From + Count; }, 2000);
    const auto s = Server.Snapshot();
    return Cmds(s.Commands.begin() + static_cast<std::ptrdiff_t>(std::min(From, s.Commands.size())),
                s.Commands.end());
  }
  TRfc2217TestServer Server;
  TFakeLamp Main;
  TComIo Io{&Main};
  TDebugLog Debug;
};

TEST_F(Rfc2217Test, OpenNegotiatesAndSetsTheLine) {
  OpenAt(115200);
  EXPECT_TRUE(Io.cPort.Connected());
  const Cmds Want = {{SetControl, 9}, {SetControl, 12}, BaudCmd(115200), {SetSize, 8},
                     {SetParity, 1},  {SetStop, 1},     {SetControl, 1}};
  EXPECT_EQ(CommandsAfter(0, Want.size()), Want);
  const auto Opts = Server.Snapshot().Options;
  EXPECT_NE(std::find(Opts.begin(), Opts.end(), std::make_pair(uint8_t(251), uint8_t(44))),
            Opts.end())
      << "no WILL COM-PORT-OPTION";

  // A rate change on the open port goes out at once; a rate holding 0xFF arrives intact.
  for (uint32_t Rate : {921600u, 0x0001FF00u}) {
    const size_t Mark = Server.Snapshot().Commands.size();
    Io.cPort.SetCustomBaudRate(static_cast<int32_t>(Rate));
    const Cmds Got = CommandsAfter(Mark, 5);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got[0], BaudCmd(Rate));
  }
}

TEST_F(Rfc2217Test, LineChangesGoOutBackToBackWithoutWaitingForAcks) {
  OpenAt(115200);
  const size_t Mark = CommandsAfter(0, 7).size();
  Server.HoldControlAcks(true);
  // The reset sequence of a connection attempt. A client that waited for each
  // acknowledgement would stall here, since the server sends none until released.
  const auto Start = std::chrono::steady_clock::now();
  Io.cPort.SetDTR(false);
  Io.cPort.SetRTS(true);
  Io.cPort.SetDTR(false);
  Io.cPort.SetDTR(true);
  Io.cPort.SetRTS(false);
  Io.cPort.SetDTR(true);
  Io.cPort.SetDTR(false);
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(500));
  const Cmds Want = {{SetControl, 9},  {SetControl, 11}, {SetControl, 9}, {SetControl, 8},
                     {SetControl, 12}, {SetControl, 8},  {SetControl, 9}};
  EXPECT_EQ(CommandsAfter(Mark, Want.size()), Want);
  const int AcksBefore = Server.Snapshot().Acks;
  Server.HoldControlAcks(false); // the late acknowledgements are swallowed quietly
  Server.SendData({0x42});
  EXPECT_EQ(Io.ComGetSer(1000), 0x42);
  EXPECT_EQ(Server.Snapshot().Acks, AcksBefore + 7);
}

TEST_F(Rfc2217Test, PurgeSendsItsCommandAndDropsReceivedBytes) {
  OpenAt(115200);
  const size_t Mark = CommandsAfter(0, 7).size();
  Server.SendData({1, 2, 3});
  EXPECT_EQ(Io.ComGetSer(1000), 1); // the rest has arrived too
  Io.cPort.ClearBuffer(true, false);
  Io.cPort.ClearBuffer(false, true);
  Io.cPort.ClearBuffer(true, true);
  EXPECT_EQ(CommandsAfter(Mark, 3), (Cmds{{Purge, 1}, {Purge, 2}, {Purge, 3}}));
  EXPECT_EQ(Io.ComGetSer(50), -1);
}

TEST_F(Rfc2217Test, BytesFullOf0xFFTravelIntactBothWays) {
  OpenAt(921600);
  std::vector<uint8_t> Payload(5000);
  for (size_t i = 0; i < Payload.size(); ++i)
    Payload[i] = i % 3 ? static_cast<uint8_t>(i) : 0xFF;
  Payload.insert(Payload.end(), 300, 0xFF);
  EXPECT_EQ(Io.cPort.Write(Payload.data(), static_cast<int32_t>(Payload.size())),
            static_cast<int>(Payload.size()));
  ASSERT_TRUE(Server.WaitFor([&](const auto& s) { return s.Data.size() >= Payload.size(); }, 3000));
  EXPECT_EQ(Server.Snapshot().Data, Payload);

  // Server to client, with a notification and a NOP between data bytes.
  Server.SendData(std::vector<uint8_t>(Payload.begin(), Payload.begin() + 100));
  Server.SendRaw({255, 250, 44, 107, 0x30, 255, 240, 255, 241});
  Server.SendData(std::vector<uint8_t>(Payload.begin() + 100, Payload.end()));
  std::vector<uint8_t> Got;
  for (size_t i = 0; i < Payload.size(); ++i) {
    const int b = Io.ComGetSer(1000);
    if (b < 0) break;
    Got.push_back(static_cast<uint8_t>(b));
  }
  EXPECT_EQ(Got, Payload);
  EXPECT_EQ(Io.ComGetSer(50), -1);
}

// A server that closes the connection, at once or after sending the client more than its
// receive queue holds: the read fails saying that the server closed it. No call of the system
// failed, so there is no system error to show, least of all a reset the client would
// then be blamed for.
TEST_F(Rfc2217Test, ServerGoingAwayFailsTheRead) {
  for (const size_t Flood : {size_t(0), size_t(1) << 20}) {
    SCOPED_TRACE(Flood ? "after a flood" : "at once");
    TRfc2217TestServer Peer;
    TComIo Client{&Main};
    Client.cPort.SetPort(Peer.Url());
    Client.cPort.Open();
    ASSERT_TRUE(Peer.WaitFor([](const auto& s) { return s.Commands.size() >= 7; }, 2000));
    // The flood, then an orderly close, from a thread of its own: the connection holds
    // only part of it until the client reads.
    std::thread Sender([&] {
      Peer.SendData(std::vector<uint8_t>(Flood, 0x55));
      Peer.DropClient();
    });
    const EComPort e = RaisedBy([&] {
      for (size_t i = 0; i <= Flood + 1; ++i)
        Client.ComGetSer(2000);
    });
    Sender.join();
    EXPECT_EQ(e.Code, 3);
    EXPECT_EQ(e.WinCode, -1);
    EXPECT_STREQ(e.what(), "ReadFile function failed - the server closed the connection");
  }
}

// A server that stops reading: line changes fill the connection, and the one that can no
// longer get out whole is an error of its operation, not a half-sent command that would
// corrupt everything after it. The connection then takes no further command.
TEST_F(Rfc2217Test, CommandThatCannotGetOutWholeIsAnError) {
  OpenAt(115200);
  CommandsAfter(0, 7);
  Server.PauseReading(true);
  const auto Start = std::chrono::steady_clock::now();
  int Code = 0;
  for (long i = 0; i < 4000000 && Code == 0; ++i) {
    if (std::chrono::steady_clock::now() - Start > std::chrono::seconds(20)) break;
    try {
      Io.cPort.SetDTR(i % 2 == 0);
    } catch (const EComPort& e) {
      Code = e.Code;
    }
  }
  EXPECT_EQ(Code, 12);
  EXPECT_EQ(RaisedBy([&] { Io.cPort.SetRTS(true); }).Code, 12);
  Server.PauseReading(false);
}

TEST(Rfc2217Open, BadAddressesFailWithError1) {
  const char* Malformed[] = {
      "rfc2217://",        "rfc2217://host",   "rfc2217://host:",     "rfc2217://:4000",
      "rfc2217://h:70000", "rfc2217://h:12ab", "rfc2217://[::1:4000", "rfc2217://a b:1"};
  for (const char* Url : Malformed) {
    TComPort P;
    P.SetPort(Url);
    {
      const EComPort e = RaisedBy([&] { P.Open(); }, Url);
      EXPECT_EQ(e.Code, 1) << Url;
      EXPECT_EQ(e.WinCode, -1) << Url;
      EXPECT_NE(e.Message().find("rfc2217://host:port"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(P.Connected());
  }
}

TEST(Rfc2217Open, UnreachableOrRefusingHostsFailWithTheOsCodeInTime) {
  int Closed;
  {
    TRfc2217TestServer Gone; // take a free port number, then let it go
    Closed = Gone.Port();
  }
  struct Case {
    std::string Url;
    int Errno; // 0: any code above 0 (depends on the network around the machine)
  };
  const Case Cases[] = {{"rfc2217://127.0.0.1:" + std::to_string(Closed), ECONNREFUSED},
                        {"rfc2217://10.255.255.1:9", 0}};
  for (const Case& c : Cases) {
    TComPort P;
    P.SetPort(c.Url);
    const auto Start = std::chrono::steady_clock::now();
    {
      const EComPort e = RaisedBy([&] { P.Open(); }, c.Url);
      EXPECT_EQ(e.Code, 1);
      if (c.Errno)
        EXPECT_EQ(e.WinCode, c.Errno);
      else // or a proxy on the way takes the connection and closes it at once
        EXPECT_TRUE(e.WinCode > 0 ||
                    e.Message() == "Unable to open com port - the server closed the connection")
            << e.Message();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5)) << c.Url;
  }
}

TEST(Rfc2217Open, ServerRefusingTheComPortOption) {
  TRfc2217TestServer Server(false);
  TComPort P;
  P.SetPort(Server.Url());
  {
    const EComPort e = RaisedBy([&] { P.Open(); });
    EXPECT_EQ(e.Code, 1);
  }
  EXPECT_FALSE(P.Connected());
}

} // namespace

// A server that answers every request with a well-formed, accepting answer for another
// command (and greets like a started stub after MEM_END): no step of a run may take such
// an answer as its own.
TEST_F(Rfc2217Test, AnswersForAnotherCommandNeverPassAsSuccess) {
  OpenAt(115200);
  CommandsAfter(0, 7);
  std::atomic<bool> Stop{false};
  std::thread Liar([&] {
    size_t At = 0;
    std::vector<uint8_t> Frame;
    bool InFrame = false;
    while (!Stop) {
      const std::vector<uint8_t> Data = Server.Snapshot().Data;
      for (; At < Data.size(); ++At) {
        if (Data[At] != 0xC0) {
          if (InFrame) Frame.push_back(Data[At]);
          continue;
        }
        if (InFrame && Frame.size() >= 2) {
          const uint8_t Com = Frame[1];
          Server.SendData({0xC0, 0x01, uint8_t(Com + 1), 0x02, 0x00, 0, 0, 0, 0, 0x00, 0x00, 0xC0});
          if (Com == 0x06) Server.SendData({0xC0, 'O', 'H', 'A', 'I', 0xC0});
          InFrame = false;
        } else {
          InFrame = true;
        }
        Frame.clear();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  TEsp Esp(Io, Debug);
  const uint8_t Block[16] = {};
  const struct {
    const char* Name;
    std::function<void()> Call;
    const char* Message;
  } Steps[] = {
      {"stub upload", [&] { Esp.ESP32_InstallStub(); }, "Error MEM_BEGIN"},
      {"SPI attach", [&] { Esp.spiAttach(); }, "Error SPI_ATTACH"},
      {"flash start", [&] { Esp.flashStart(0x1000, 16, 0x4000); }, "Error Flash Start"},
      {"flash data", [&] { Esp.flashWrite(Block, sizeof Block); }, "Error Flash Write"},
  };
  for (const auto& St : Steps) {
    std::string Raised;
    try {
      St.Call();
    } catch (const Exception& e) {
      Raised = e.what();
    }
    EXPECT_EQ(Raised, St.Message) << St.Name;
  }
  Stop = true;
  Liar.join();
}

#ifdef __linux__
namespace {

// The process's resident memory, current or peak since the last reset, in KiB.
long MemoryKiB(const char* Field) {
  std::ifstream f("/proc/self/status");
  std::string Line;
  while (std::getline(f, Line))
    if (Line.rfind(Field, 0) == 0) return std::stol(Line.substr(std::strlen(Field)));
  return -1;
}

// Starts the peak count afresh, so that it shows only what comes after.
bool ResetPeakMemory() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  return static_cast<bool>(f.flush());
}

// The loader session over this port, as a run uses it: one register read.
std::string ReadRegOver(TComIo& Io) {
  TDebugLog Log;
  TEsp Esp(Io, Log);
  try {
    uint32_t v = 0;
    Esp.readReg(0x3FF5A004, v);
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

} // namespace

// A server that floods bytes as fast as the connection takes them, with no frame
// delimiter or as random data: the client's memory stays flat (it buffers a bounded
// amount and leaves the rest to the connection's own flow control), and each request
// fails within its time limits with the command's message.
TEST_F(Rfc2217Test, FloodingServerKeepsMemoryFlatAndFailsInTime) {
  const struct {
    const char* Name;
    bool Random;
  } Cases[] = {{"no delimiter", false}, {"random data", true}};
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TRfc2217TestServer Flooder;
    TComIo Client{&Main};
    Client.cPort.SetPort(Flooder.Url());
    Client.cPort.SetBaudRate(brCustom);
    Client.cPort.SetCustomBaudRate(921600);
    Client.cPort.Open();
    ASSERT_TRUE(Flooder.WaitFor([](const auto& s) { return s.Commands.size() >= 7; }, 2000));
    // 256 MiB at most, so that a client that took it all would show it, not hang.
    constexpr size_t Total = size_t(256) << 20;
    std::atomic<bool> Stop{false};
    std::atomic<size_t> Sent{0};
    std::thread Flood([&] {
      std::vector<uint8_t> Chunk(65536, 0x55);
      std::mt19937 Rng(7);
      if (c.Random)
        for (auto& b : Chunk)
          b = static_cast<uint8_t>(Rng());
      while (!Stop && Sent < Total) {
        const size_t n = Flooder.SendSome(Chunk.data(), Chunk.size());
        Sent += n;
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    ASSERT_TRUE(ResetPeakMemory());
    const long Before = MemoryKiB("VmRSS:");
    const auto t0 = std::chrono::steady_clock::now();
    // Requests one after another for a while, each timed on its own.
    auto Longest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 5 || std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2); ++i) {
      const auto t = std::chrono::steady_clock::now();
      EXPECT_EQ(ReadRegOver(Client), "Read Reg: 0x3FF5A004");
      Longest = std::max(Longest, std::chrono::steady_clock::now() - t);
    }
    const long Peak = MemoryKiB("VmHWM:");
    Stop = true;
    // The client goes first: once it stops reading, the server's thread can block in a
    // command reply while holding the send lock the flooding thread waits for.
    Client.cPort.Close();
    Flood.join();
    // A read's limit is 300 ms; a hunt is bounded by ten limits.
    EXPECT_LT(Longest, std::chrono::seconds(3));
    ASSERT_GT(Before, 0);
    EXPECT_LT(Peak - Before, 8 * 1024)
        << "peak grew by " << (Peak - Before) << " KiB while " << (Sent >> 20) << " MiB were sent";
    Flooder.DropClient();
  }
}
#endif
