// Figures of the virtual board program: how closely its UART pacing follows the
// line rate over a 1 MiB transfer at 921600 baud, and its CPU use while idle.
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double CpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');
  std::vector<std::string> fields;
  std::string cur;
  for (size_t i = p + 2; i < s.size(); ++i) {
    if (s[i] == ' ') {
      fields.push_back(cur);
      cur.clear();
    } else {
      cur += s[i];
    }
  }
  // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
  return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / double(sysconf(_SC_CLK_TCK));
}

void SendAll(int fd, const std::vector<uint8_t>& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t w = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
    if (w <= 0) return;
    off += size_t(w);
  }
}

std::vector<uint8_t> Control(uint8_t v) {
  return {255, 250, 44, 5, v, 255, 240};
}
} // namespace

int main() {
  int out[2];
  if (pipe(out) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    execl(QUORVEX_VBOARD_EXE, QUORVEX_VBOARD_EXE, "--port", "0", nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char ch;
  while (read(out[0], &ch, 1) == 1 && ch != '\n')
    line += ch;
  if (line.rfind("rfc2217://127.0.0.1:", 0) != 0) {
    std::fprintf(stderr, "the board did not start: %s\n", line.c_str());
    return 1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(std::stoi(line.substr(20))));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // 921600 baud, then the connect sequence into the loader.
  SendAll(fd, {255, 250, 44, 1, 0x00, 0x0E, 0x10, 0x00, 255, 240});
  std::vector<uint8_t> seq;
  for (uint8_t v : {9, 11, 9})
    for (uint8_t b : Control(v))
      seq.push_back(b);
  SendAll(fd, seq);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  seq.clear();
  for (uint8_t v : {8, 12, 8})
    for (uint8_t b : Control(v))
      seq.push_back(b);
  SendAll(fd, seq);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SendAll(fd, Control(9));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Drain the negotiation, the acknowledgements and the garbled boot text.
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) break;
    uint8_t junk[4096];
    if (recv(fd, junk, sizeof junk, 0) <= 0) return 1;
  }

  // 1 MiB of filler (no frame delimiter, no IAC), then a SYNC; the time until the
  // first answer frame has arrived covers 1 MiB + 46 bytes in and 12 bytes out.
  const size_t payload = 1 << 20;
  const uint8_t sync[] = {0xC0, 0, 8, 0x24, 0, 0x78, 1, 0x3A, 0, 7, 7, 0x12, 0x20};
  // Filled in place: g++ 12 at -O2 warns falsely on vector range inserts here.
  std::vector<uint8_t> data(payload + sizeof sync + 32 + 1, 0x55);
  std::memcpy(data.data() + payload, sync, sizeof sync);
  data.back() = 0xC0;
  auto t0 = Clock::now();
  std::thread writer([&] { SendAll(fd, data); });
  int delimiters = 0;
  while (delimiters < 2) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) {
      std::fprintf(stderr, "no answer to the SYNC\n");
      writer.join();
      return 1;
    }
    uint8_t buf[4096];
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return 1;
    for (ssize_t i = 0; i < r; ++i)
      delimiters += buf[i] == 0xC0;
  }
  double took = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  double expect = double(payload + 46 + 12) * 10 / 921600;
  std::printf("pacing: 1 MiB at 921600 baud took %.3f s, line time %.3f s, error %+.3f%%\n", took,
              expect, (took - expect) / expect * 100);

  // Idle: connected, nothing on the line.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double c0 = CpuSeconds(pid);
  auto i0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  double idleWall = std::chrono::duration<double>(Clock::now() - i0).count();
  double c1 = CpuSeconds(pid);
  std::printf("idle: %.1f ms CPU over %.1f s (%.3f%%)\n", (c1 - c0) * 1000, idleWall,
              (c1 - c0) / idleWall * 100);
  close(fd);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return 0;
}
