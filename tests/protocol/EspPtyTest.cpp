// One round trip through the real serial service over a pseudo-terminal: the
// session's frames cross a real tty, and a small responder on the other end
// answers as the loader would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "FakeLink.h"
#include "link/uComIo.h"
#include "protocol/uEsp.h"

namespace {

// Reads request frames from the pty master and answers each with status 0 and
// Value 0x12345678, except READ_REG of address 0xDEAD0000, which gets silence.
class TResponder {
public:
  explicit TResponder(int Fd) : FFd(Fd), FThread([this] { Run(); }) {}
  ~TResponder() {
    FStop = true;
    FThread.join();
  }
  std::vector<Bytes> Requests() {
    std::lock_guard<std::mutex> g(FLock);
    return FRequests;
  }

private:
  void Run() {
    Bytes Frame;
    uint8_t Buf[4096];
    while (!FStop) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = read(FFd, Buf, sizeof Buf);
      if (n <= 0) continue;
      for (ssize_t i = 0; i < n; ++i) {
        Frame.push_back(Buf[i]);
        if (Buf[i] == 0xC0 && Frame.size() > 1) {
          Answer(Unslip(Frame));
          Frame.clear();
        } else if (Buf[i] == 0xC0) {
          Frame.assign(1, 0xC0);
        }
      }
    }
  }
  void Answer(const Bytes& Req) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FRequests.push_back(Req);
    }
    if (Req.size() >= 12 && Req[1] == 0x0A && GetLe32(Req, 8) == 0xDEAD0000) return;
    Bytes f = Slip(ResponsePacket(Req[1], 0x12345678));
    ASSERT_EQ(write(FFd, f.data(), f.size()), ssize_t(f.size()));
  }
  int FFd;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<Bytes> FRequests;
  std::thread FThread;
};

TEST(EspOverPty, CommandsRoundTripThroughTheSerialService) {
  int Master = -1, Slave = -1;
  char Name[256] = {};
  ASSERT_EQ(openpty(&Master, &Slave, Name, nullptr, nullptr), 0);
  termios t;
  ASSERT_EQ(tcgetattr(Master, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(Master, TCSANOW, &t), 0);

  TDebugLog Log;
  TComIo ComIo;
  ComIo.cPort.SetPort(Name);
  ComIo.cPort.SetBaudRate(brCustom);
  ComIo.cPort.SetCustomBaudRate(115200);
  ComIo.cPort.Open();
  close(Slave); // the port holds its own descriptor
  auto Esp = std::make_unique<TEsp>(ComIo, Log);
  {
    TResponder Board(Master);

    uint32_t v = 0;
    Esp->readReg(0x3FF5A004, v);
    EXPECT_EQ(v, 0x12345678u);

    // The largest frame, every data byte escaped, crosses whole.
    Bytes Block(EspDataSize, 0xC0);
    Esp->flashStart(0, EspDataSize, 16384);
    Esp->flashWrite(Block.data(), uint32_t(Block.size()));

    Esp->changeBaud(921600, 115200);
    EXPECT_EQ(ComIo.cPort.CustomBaudRate(), 921600);

    // Silence ends the read after the command's own limit, loosely measured.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(Esp->readReg(0xDEAD0000, v), Exception);
    auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(Ms, 250);
    EXPECT_LT(Ms, 3000);

    const std::vector<Bytes> Reqs = Board.Requests();
    ASSERT_EQ(Reqs.size(), 5u);
    EXPECT_EQ(Reqs[0], RequestPacket(0x0A, Words({0x3FF5A004})));
    Bytes Payload = Words({EspDataSize, 0, 0, 0});
    Payload.insert(Payload.end(), Block.begin(), Block.end());
    EXPECT_EQ(Reqs[2], RequestPacket(0x03, Payload));
    EXPECT_EQ(Reqs[3], RequestPacket(0x0F, Words({921600, 115200})));
  }
  ComIo.DisConnect();
  close(Master);
}

} // namespace
