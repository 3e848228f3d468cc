// Serial port backend for Linux: termios2 (any bit rate through BOTHER), poll() for
// the time limits, TIOCMBIS/TIOCMBIC for the modem lines.
//
// <asm/termbits.h> brings the kernel's struct termios2 and clashes with glibc's
// <termios.h>, so this file uses only the kernel's definitions and plain ioctl().
#include <asm/termbits.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "ComBackend.h"

namespace {

const char* const InUse = "the port is in use by another program";

// Whether the user is a member of Gid in the group database but this process (started
// before the user joined) does not carry it.
bool InGroupSinceLogin(gid_t Gid) {
  std::vector<gid_t> Now(64);
  int n = ::getgroups(int(Now.size()), Now.data());
  if (n < 0) return false;
  Now.resize(size_t(n));
  if (std::find(Now.begin(), Now.end(), Gid) != Now.end() || ::getegid() == Gid) return false;
  char Buf[4096];
  struct passwd P {};
  struct passwd* Me = nullptr;
  if (getpwuid_r(::getuid(), &P, Buf, sizeof Buf, &Me) != 0 || !Me) return false;
  std::vector<gid_t> Listed(256);
  int Count = int(Listed.size());
  if (getgrouplist(Me->pw_name, Me->pw_gid, Listed.data(), &Count) < 0) return false;
  Listed.resize(size_t(Count));
  return std::find(Listed.begin(), Listed.end(), Gid) != Listed.end();
}

// When open() fails with EACCES, what would let this user open the device: membership of
// the group that owns it (dialout on Debian) where that group may read and write it, else
// plain words, since joining 'root' or a group without those rights would not help.
std::string AccessHint(const std::string& Device) {
  struct stat st {};
  if (::stat(Device.c_str(), &st) != 0)
    return "you may need to be a member of the group that owns " + Device +
           " (usually dialout: sudo usermod -aG dialout $USER, then log out and in)";
  char Buf[4096];
  std::string Group = std::to_string(st.st_gid);
  struct group G {};
  struct group* GFound = nullptr;
  if (getgrgid_r(st.st_gid, &G, Buf, sizeof Buf, &GFound) == 0 && GFound) Group = GFound->gr_name;
  const mode_t Rw = S_IRGRP | S_IWGRP, RwOthers = S_IROTH | S_IWOTH;
  if ((st.st_mode & RwOthers) == RwOthers)
    return "the permissions of " + Device +
           " let everyone open it: something else refuses it (a file system mounted nodev, a "
           "security module)";
  if (st.st_gid != 0 && (st.st_mode & Rw) == Rw) {
    if (InGroupSinceLogin(st.st_gid))
      return "you have joined the group '" + Group + "' that owns " + Device +
             ", but this session has not: log out and in";
    return "join the group '" + Group + "' that owns " + Device + ": sudo usermod -aG " + Group +
           " $USER, then log out and in";
  }
  std::string Owner = std::to_string(st.st_uid);
  struct passwd P {};
  struct passwd* PFound = nullptr;
  if (getpwuid_r(st.st_uid, &P, Buf, sizeof Buf, &PFound) == 0 && PFound) Owner = PFound->pw_name;
  return "only its owner '" + Owner + "' may open " + Device +
         "; no group to join gives access to it: an administrator must (for a USB serial "
         "adapter, Quorvex's udev rule does)";
}

class TPosixBackend final : public IComBackend {
public:
  ~TPosixBackend() override { Close(); }

  void Open(const std::string& Device) override {
    // O_NONBLOCK: no wait for carrier; all waiting is done with poll().
    const int fd = ::open(Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      // EBUSY: another program holds the port exclusively (TIOCEXCL).
      throw EComBackend(err, err == EACCES  ? AccessHint(Device)
                             : err == EBUSY ? std::string(InUse)
                                            : std::string());
    }
    // Another holder of the port keeps its lock: bail out before touching its lines.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      throw EComBackend(err, InUse);
    }
    // Opening a tty raises DTR and RTS, which on boards with an auto-reset circuit
    // pulls EN low and restarts the chip. Drop both at once to keep that glitch short.
    // (A pseudo-terminal has no modem lines; the failure is of no interest here.)
    int Lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIC, &Lines);
    if (::ioctl(fd, TIOCEXCL) != 0) {
      const int err = errno;
      ::close(fd);
      throw EComBackend(err);
    }
    FFd = fd;
    FRx.Clear();
  }

  void Close() noexcept override {
    if (FFd < 0) return;
    (void)::ioctl(FFd, TCFLSH, TCIOFLUSH);
    (void)::ioctl(FFd, TIOCNXCL);
    ::close(FFd); // releases the flock as well
    FFd = -1;
    FRx.Clear();
  }

  void SetupBuffers(uint32_t, uint32_t) override {} // the tty layer sizes its own buffers

  void ApplyLine(uint32_t Baud) override {
    struct termios2 t {};
    if (::ioctl(FFd, TCGETS2, &t) != 0) throw EComBackend(errno);
    // Raw binary 8N1: no translation, no echo, no signals, no flow control.
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                           IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &=
        ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = Baud;
    t.c_ospeed = Baud;
    // VMIN 1 makes an empty non-blocking read say EAGAIN; 0 then means hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::ioctl(FFd, TCSETS2, &t) != 0) throw EComBackend(errno);
  }

  void ApplyTimeouts(const TComTimeouts& Limits) override { FLimits = Limits; }

  int32_t Read(uint8_t* Buffer, int32_t Count) override {
    return ReadUnderLimits(FRx, Buffer, Count, FLimits, [this](int WaitMs) { Fill(WaitMs); });
  }

  int32_t Write(const uint8_t* Buffer, int32_t Count) override {
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::milliseconds(WriteLimitMs(FLimits, Count));
    int32_t Done = 0;
    while (Done < Count) {
      const ssize_t n = ::write(FFd, Buffer + Done, static_cast<size_t>(Count - Done));
      if (n > 0) {
        Done += static_cast<int32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) throw EComBackend(errno);
      const auto Left =
          std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
      if (Left <= 0) break; // time limit: report what the line took
      pollfd p{FFd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(Left, 1000000))) < 0 && errno != EINTR)
        throw EComBackend(errno);
      if (p.revents & (POLLERR | POLLNVAL)) throw EComBackend(EIO);
    }
    return Done;
  }

  void Purge(bool Input, bool Output) override {
    if (Input) FRx.Clear();
    if (!Input && !Output) return;
    const int What = Input && Output ? TCIOFLUSH : Input ? TCIFLUSH : TCOFLUSH;
    if (::ioctl(FFd, TCFLSH, What) != 0) throw EComBackend(errno);
  }

  void SetDTR(bool On) override { SetLine(TIOCM_DTR, On); }
  void SetRTS(bool On) override { SetLine(TIOCM_RTS, On); }

private:
  void SetLine(int Bit, bool On) {
    if (::ioctl(FFd, On ? TIOCMBIS : TIOCMBIC, &Bit) != 0) throw EComBackend(errno);
  }

  // Takes what the driver holds, after waiting up to WaitMs for it.
  void Fill(int WaitMs) {
    if (WaitMs > 0) {
      pollfd p{FFd, POLLIN, 0};
      const int r = ::poll(&p, 1, WaitMs);
      if (r < 0) {
        if (errno == EINTR) return; // the caller's loop waits for the rest
        throw EComBackend(errno);
      }
      if (r == 0) return;
      if (p.revents & POLLNVAL) throw EComBackend(EBADF);
    }
    uint8_t Chunk[4096];
    for (;;) {
      const ssize_t n = ::read(FFd, Chunk, sizeof Chunk);
      if (n > 0) {
        FRx.Append(Chunk, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof Chunk) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      // 0 or an error on a non-blocking tty: the device went away (unplugged adapter).
      throw EComBackend(n == 0 ? EIO : errno);
    }
  }

  int FFd = -1;
  TComTimeouts FLimits;
  TRxQueue FRx;
};

} // namespace

std::unique_ptr<IComBackend> CreateNativeBackend() {
  return std::make_unique<TPosixBackend>();
}

std::string OsErrorText(int OsCode) {
  // The system category's message is strerror's text, taken in a thread-safe way.
  const std::string t = std::system_category().message(OsCode);
  return t.empty() ? "unknown error" : t;
}
