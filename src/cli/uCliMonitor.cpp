#include "uCliMonitor.h"

#include <chrono>
#include <thread>

#include "link/uComIo.h"
#include "link/uPortName.h"
#include "support/uFormat.h"

namespace {

// The board is held in reset this long; EN then rises with IO0 high: the application.
constexpr auto ResetHold = std::chrono::milliseconds(100);
// One read waits at most this long, so that a stop request is seen soon.
constexpr int ReadSliceMs = 100;
// Opening a network port is tried this often, this far apart.
constexpr int OpenTries = 10;
constexpr auto OpenPause = std::chrono::milliseconds(100);

std::string Escaped(uint8_t b) {
  static const char Hex[] = "0123456789ABCDEF";
  return std::string("\\x") + Hex[b >> 4] + Hex[b & 15];
}

// The length of the UTF-8 sequence that b begins (0: b begins none), and the range its
// second byte must lie in (which rules out overlong forms, surrogates and values past
// U+10FFFF).
size_t SequenceLength(uint8_t b, uint8_t& Lo, uint8_t& Hi) {
  Lo = 0x80;
  Hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) {
    if (b == 0xE0) Lo = 0xA0;
    if (b == 0xED) Hi = 0x9F;
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (b == 0xF0) Lo = 0x90;
    if (b == 0xF4) Hi = 0x8F;
    return 4;
  }
  return 0;
}

} // namespace

std::string TTextEscaper::Feed(const uint8_t* Data, size_t Size) {
  std::string In = FHeld;
  In.append(reinterpret_cast<const char*>(Data), Size);
  FHeld.clear();
  std::string Out;
  size_t i = 0;
  while (i < In.size()) {
    const uint8_t b = static_cast<uint8_t>(In[i]);
    if (b < 0x80) {
      const bool Text = (b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t';
      Out += Text ? std::string(1, char(b)) : Escaped(b);
      ++i;
      continue;
    }
    uint8_t Lo = 0, Hi = 0;
    const size_t n = SequenceLength(b, Lo, Hi);
    size_t Good = n ? 1 : 0; // bytes of the sequence that fit it so far
    while (Good && Good < n && i + Good < In.size()) {
      const uint8_t c = static_cast<uint8_t>(In[i + Good]);
      const bool Fits = Good == 1 ? c >= Lo && c <= Hi : c >= 0x80 && c <= 0xBF;
      if (!Fits) break;
      ++Good;
    }
    if (Good && Good < n && i + Good == In.size()) {
      FHeld = In.substr(i); // the rest may come with the next read
      break;
    }
    if (Good == n && n) {
      // C1 controls (U+0080 to U+009F) would act on a terminal like escape sequences.
      const bool C1 = b == 0xC2 && static_cast<uint8_t>(In[i + 1]) < 0xA0;
      for (size_t k = 0; k < n; ++k)
        Out += C1 ? Escaped(static_cast<uint8_t>(In[i + k])) : std::string(1, In[i + k]);
      i += n;
      continue;
    }
    Out += Escaped(b);
    ++i;
  }
  return Out;
}

std::string TTextEscaper::Finish() {
  std::string Out;
  for (char c : FHeld)
    Out += Escaped(static_cast<uint8_t>(c));
  FHeld.clear();
  return Out;
}

int RunMonitor(const std::string& Port, uint32_t Baud, bool Quiet, TCliOutput& Out,
               TCliStop& Stop) {
  TComIo Io;
  TComPort& P = Io.cPort;
  const int Forced =
      Stop.AddForcedReset([&P](bool Dtr, bool Rts) { return P.ForceLines(Dtr, Rts); });
  int Status = ExitStopped;
  TTextEscaper Text;
  try {
    P.SetPort(Port);
    P.SetBaudRate(brCustom);
    P.SetCustomBaudRate(static_cast<int32_t>(Baud));
    // A network port server may still be closing the session that came just before
    // (flash --monitor): it turns a new one away until then.
    for (int Try = 1;; ++Try) {
      try {
        P.Open();
        break;
      } catch (const EComPort&) {
        if (!IsRfc2217Name(Port) || Try == OpenTries || Stop.Requested()) throw;
        std::this_thread::sleep_for(OpenPause);
      }
    }
    if (!Quiet)
      Out.Message(Format("monitor on %s at %d bit/s; the board is reset into its application; "
                         "Ctrl-C ends it",
                         {Port, Baud}));
    P.ClearBuffer(true, true);
    P.SetDTR(false);
    P.SetRTS(true);
    std::this_thread::sleep_for(ResetHold);
    P.SetRTS(false);
    // Whatever has arrived, at once; else wait up to the slice for the first byte.
    P.SetReadTotalMultiplier(-1);
    P.SetReadTotalConstant(ReadSliceMs);
    while (!Stop.Requested()) {
      std::u16string Got;
      if (P.ReadStr(Got, 4096) <= 0) continue;
      std::string Bytes(Got.begin(), Got.end());
      Out.Write(TStream::Out,
                Text.Feed(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size()));
    }
  } catch (const std::exception& E) {
    Out.Message(Port + ": " + E.what());
    Status = 1;
  }
  Out.Write(TStream::Out, Text.Finish());
  Io.DisConnect();
  Stop.RemoveForcedReset(Forced);
  return Status;
}
