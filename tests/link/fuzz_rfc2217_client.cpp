// The RFC 2217 client fed arbitrary server bytes over a real loopback connection: Telnet
// commands, subnegotiations and data in any mix. It must neither crash nor hang, and its
// memory stays bounded (the target runs with an RSS limit) whatever the server sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "link/ComBackend.h"

namespace {

constexpr uint8_t IAC = 255, DO = 253, ComPort = 44;

int Listener(int& Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(Fd, 4) != 0)
    __builtin_trap();
  socklen_t Len = sizeof A;
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
  Port = ntohs(A.sin_port);
  return Fd;
}

// One connection: agree to the com-port option, send the input, end the sending side and
// take whatever the client says until it closes.
void Serve(int ListenFd, std::vector<uint8_t> Bytes) {
  const int Fd = ::accept(ListenFd, nullptr, nullptr);
  if (Fd < 0) return;
  Bytes.insert(Bytes.begin(), {IAC, DO, ComPort});
  for (size_t Done = 0; Done < Bytes.size();) {
    const ssize_t n = ::send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
    if (n <= 0) break;
    Done += size_t(n);
  }
  ::shutdown(Fd, SHUT_WR);
  char Drop[4096];
  while (::recv(Fd, Drop, sizeof Drop, 0) > 0) {
  }
  ::close(Fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static int Port = 0;
  static const int ListenFd = Listener(Port);
  std::thread Server(Serve, ListenFd, std::vector<uint8_t>(Data, Data + Size));
  {
    const std::unique_ptr<IComBackend> Client = CreateRfc2217Backend();
    try {
      Client->Open("rfc2217://127.0.0.1:" + std::to_string(Port));
      // Wait up to 20 ms for a byte; a byte already there returns at once.
      Client->ApplyTimeouts({-1, -1, 20, 10, 200});
      uint8_t Buf[512];
      const uint8_t Out[] = {0xC0, IAC, 0x00, 0xC0};
      // Reads until the server's end shows as an error; commands and data go out in
      // between, so answers to the server's requests meet commands being sent.
      for (size_t i = 0; i <= Size + 8; ++i) {
        Client->Read(Buf, i % 2 ? 1 : static_cast<int32_t>(sizeof Buf));
        if (i % 3 == 0) Client->SetDTR(i % 2);
        if (i % 5 == 0) Client->Write(Out, sizeof Out);
        if (i % 7 == 0) Client->Purge(true, false);
      }
    } catch (const EComBackend&) {
      // the server closing, or refusing the option: the expected ends
    }
    Client->Close();
  }
  Server.join();
  return 0;
}
