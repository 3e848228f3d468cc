// Per-byte ComGetSer throughput and CPU time for 1 MiB over a pseudo-terminal and over
// RFC 2217 on the loopback address. Prints MB/s and CPU milliseconds per MiB.
#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "../../tests/link/Rfc2217TestServer.h"
#include "link/uComIo.h"

namespace {

constexpr size_t MiB = 1 << 20;

double CpuMs(clockid_t Clock) {
  timespec t{};
  clock_gettime(Clock, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

std::vector<uint8_t> Pattern() {
  std::vector<uint8_t> p(MiB);
  for (size_t i = 0; i < MiB; ++i)
    p[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return p;
}

// Reads 1 MiB byte by byte while Feed (on its own thread) sends it; prints the figures.
bool Measure(const char* Name, TComIo& Io, const std::vector<uint8_t>& Want,
             const std::function<void()>& Feed) {
  std::thread Feeder(Feed);
  const auto Wall = std::chrono::steady_clock::now();
  const double Thread0 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
  const double Proc0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
  size_t Got = 0, Wrong = 0;
  for (; Got < Want.size(); ++Got) {
    const int b = Io.ComGetSer(2000);
    if (b < 0) break;
    Wrong += static_cast<uint8_t>(b) != Want[Got];
  }
  const double Secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Wall).count();
  const double ReaderCpu = CpuMs(CLOCK_THREAD_CPUTIME_ID) - Thread0;
  const double AllCpu = CpuMs(CLOCK_PROCESS_CPUTIME_ID) - Proc0;
  Feeder.join();
  if (Got != Want.size() || Wrong) {
    std::printf("%-10s FAILED: %zu of %zu bytes, %zu wrong\n", Name, Got, Want.size(), Wrong);
    return false;
  }
  std::printf("%-10s %7.2f MB/s  reader CPU %7.1f ms/MiB  process CPU %7.1f ms/MiB  "
              "(%.3f s wall)\n",
              Name, Want.size() / Secs / 1e6, ReaderCpu, AllCpu, Secs);
  return true;
}

bool BenchPty(const std::vector<uint8_t>& Data) {
  int Master = -1, Slave = -1;
  char Name[256] = {};
  if (openpty(&Master, &Slave, Name, nullptr, nullptr) != 0) return false;
  bool Ok;
  {
    TComIo Io;
    Io.cPort.SetPort(Name);
    Io.cPort.SetBaudRate(brCustom);
    Io.cPort.SetCustomBaudRate(921600);
    Io.cPort.Open();
    Ok = Measure("pty", Io, Data, [&] {
      for (size_t Off = 0; Off < Data.size();) {
        const ssize_t n =
            write(Master, Data.data() + Off, std::min<size_t>(4096, Data.size() - Off));
        if (n <= 0) break;
        Off += static_cast<size_t>(n);
      }
    });
  }
  close(Master);
  close(Slave);
  return Ok;
}

bool BenchRfc2217(const std::vector<uint8_t>& Data) {
  TRfc2217TestServer Server;
  TComIo Io;
  Io.cPort.SetPort(Server.Url());
  Io.cPort.SetBaudRate(brCustom);
  Io.cPort.SetCustomBaudRate(921600);
  Io.cPort.Open();
  return Measure("rfc2217", Io, Data, [&] { Server.SendData(Data); });
}

} // namespace

int main() {
  const std::vector<uint8_t> Data = Pattern();
  std::printf("ComGetSer, one byte per call, 1 MiB (target >= 1 MB/s)\n");
  const bool Ok = BenchPty(Data) & BenchRfc2217(Data);
  return Ok ? 0 : 1;
}
