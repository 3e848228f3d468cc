// quorvex-vboard: a simulated ESP32 dev board behind an RFC 2217 port on 127.0.0.1.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "VbServer.h"
#include "VbTools.h"

using namespace vboard;

namespace {

TServer* gServer = nullptr;

void OnSignal(int) {
  if (gServer) gServer->Stop();
}

const char* Usage =
    "usage: quorvex-vboard [options]\n"
    "  --port N                listen on 127.0.0.1:N (0, the default, picks a free port);\n"
    "                          the first line printed is rfc2217://127.0.0.1:N\n"
    "  --flash FILE            the 4 MiB flash (created filled with 0xFF; saved when a client\n"
    "                          leaves and on exit)\n"
    "  --trace FILE            one JSON object a line for every event\n"
    "  --chip esp32|esp32s2|unknown   the identification word the loader reports\n"
    "  --mac AA:BB:CC:DD:EE:FF the MAC address in the eFuse words\n"
    "  --min-reset-ms N        shortest EN-low pulse that resets the chip (default 10)\n"
    "  --min-hold-ms N         how long IO0 must stay low after it is sampled (default 2)\n"
    "  --rc-delay-ms N         how long after EN rises the chip leaves reset and samples IO0\n"
    "                          (default 10; a longer one suits clients that pause between\n"
    "                          line changes)\n"
    "  --no-pacing             bytes take no time on the wire\n"
    "  --real-timing           flash erase and write take a real part's typical time\n"
    "                          (4 KiB erase 45 ms, 64 KiB 150 ms, page 0.7 ms, chip 10 s)\n"
    "  --time-scale F          factor on those times (default 0.1)\n"
    "  --cpu-mhz N             CPU clock while the stub runs (default 40, the crystal)\n"
    "  --flash-part P          winbond (default), winbond-cmp (CMP set), gigadevice,\n"
    "                          gigadevice-31 (status register 2 only through 0x31),\n"
    "                          macronix (0x35 enters QPI), macronix-old (0x52 erases 64 KiB,\n"
    "                          no SFDP), macronix-old-sfdp, issi, sr2-ff (status register 2\n"
    "                          reads 0xFF), unknown (EON: 0x52 erases 64 KiB, no SFDP)\n"
    "  --flash-protected       block-protect bits set at power-up\n"
    "  --flash-continuous-read the flash is left in continuous-read mode\n"
    "faults:\n"
    "  --mute                  the chip never sends a byte\n"
    "  --slow-only             only the slow reset timings enter the loader\n"
    "  --fail-flash-data M:N   FLASH_DATA block N (from 0) of image M (from 1) fails\n"
    "  --drop-answer OPCODE    answers to this opcode are never sent\n"
    "  --garbage               stray bytes before every answer frame\n"
    "  --bad-greeting          the stub greets with OHAJ\n"
    "  --no-greeting           the started stub hangs before it greets\n"
    "  --refuse OPCODE         the ROM loader refuses this opcode (status 1), e.g. 5 MEM_BEGIN\n"
    "  --drop-after N          the connection is cut after N bytes from the client\n"
    "  --refuse-baud           CHANGE_BAUDRATE fails\n"
    "tools:\n"
    "  --check FLASH --image 0x1000:boot.bin [--image OFF:FILE ...]\n"
    "                          compare a flash file with images (no patch is applied; a\n"
    "                          bootloader written by the program holds 02 20 in header\n"
    "                          bytes 2,3); exit code 0 when all match\n"
    "  --make-demo-images DIR  write boot.bin, part.bin and firm.bin into DIR\n";

[[noreturn]] void Bad(const std::string& Msg) {
  std::fprintf(stderr, "quorvex-vboard: %s\n%s", Msg.c_str(), Usage);
  std::exit(2);
}

long long Number(const std::string& Opt, const std::string& v, long long Min, long long Max) {
  try {
    size_t used = 0;
    long long n = std::stoll(v, &used, 0);
    if (used == v.size() && n >= Min && n <= Max) return n;
  } catch (const std::exception&) {
  }
  Bad(Opt + ": not a number from " + std::to_string(Min) + " to " + std::to_string(Max) + ": " + v);
}

} // namespace

int main(int argc, char** argv) {
  TBoardOptions o;
  long long port = 0;
  std::string flashFile, traceFile, checkFile, demoDir;
  std::vector<TImageAt> images;
  bool resetGiven = false, holdGiven = false, check = false, demo = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&]() -> std::string {
      if (i + 1 >= argc) Bad(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    } else if (a == "--port") {
      port = Number(a, val(), 0, 65535);
    } else if (a == "--flash") {
      flashFile = val();
    } else if (a == "--trace") {
      traceFile = val();
    } else if (a == "--chip") {
      std::string c = val();
      if (c == "esp32")
        o.Chip = TChip::Esp32;
      else if (c == "esp32s2")
        o.Chip = TChip::Esp32S2;
      else if (c == "unknown")
        o.Chip = TChip::Unknown;
      else
        Bad("--chip: esp32, esp32s2 or unknown");
    } else if (a == "--mac") {
      if (!ParseMac(val(), o.Mac)) Bad("--mac: six hex bytes like 24:0A:C4:01:A2:3C");
    } else if (a == "--min-reset-ms") {
      o.MinResetMs = uint32_t(Number(a, val(), 0, 60000));
      resetGiven = true;
    } else if (a == "--min-hold-ms") {
      o.MinHoldMs = uint32_t(Number(a, val(), 0, 60000));
      holdGiven = true;
    } else if (a == "--rc-delay-ms") {
      o.RcDelayMs = uint32_t(Number(a, val(), 0, 60000));
    } else if (a == "--no-pacing") {
      o.Pacing = false;
    } else if (a == "--real-timing") {
      o.TimeScale = 1.0;
    } else if (a == "--time-scale") {
      std::string v = val();
      char* end = nullptr;
      o.TimeScale = std::strtod(v.c_str(), &end);
      if (*end || !(o.TimeScale >= 0 && o.TimeScale <= 100))
        Bad("--time-scale: a factor from 0 to 100");
    } else if (a == "--cpu-mhz") {
      o.CpuMhz = uint32_t(Number(a, val(), 1, 240));
    } else if (a == "--flash-part") {
      std::string v = val();
      if (v == "winbond")
        o.FlashPart = TFlashPart::Winbond;
      else if (v == "winbond-cmp")
        o.FlashPart = TFlashPart::WinbondCmp;
      else if (v == "gigadevice")
        o.FlashPart = TFlashPart::GigaDevice;
      else if (v == "gigadevice-31")
        o.FlashPart = TFlashPart::GigaDevice31;
      else if (v == "macronix")
        o.FlashPart = TFlashPart::Macronix;
      else if (v == "macronix-old")
        o.FlashPart = TFlashPart::MacronixOld;
      else if (v == "macronix-old-sfdp")
        o.FlashPart = TFlashPart::MacronixOldSfdp;
      else if (v == "issi")
        o.FlashPart = TFlashPart::Issi;
      else if (v == "sr2-ff")
        o.FlashPart = TFlashPart::Sr2ReadsFF;
      else if (v == "unknown")
        o.FlashPart = TFlashPart::Unknown;
      else
        Bad("--flash-part: winbond, winbond-cmp, gigadevice, gigadevice-31, macronix, "
            "macronix-old, macronix-old-sfdp, issi, sr2-ff or unknown");
    } else if (a == "--flash-protected") {
      o.FlashProtected = true;
    } else if (a == "--flash-continuous-read") {
      o.FlashContinuousRead = true;
    } else if (a == "--mute") {
      o.Mute = true;
    } else if (a == "--slow-only") {
      o.SlowOnly = true;
    } else if (a == "--fail-flash-data") {
      std::string v = val();
      size_t c = v.find(':');
      if (c == std::string::npos) Bad("--fail-flash-data: M:N");
      o.FailImage = int(Number(a, v.substr(0, c), 1, 1000));
      o.FailBlock = int(Number(a, v.substr(c + 1), 0, 1000000));
    } else if (a == "--drop-answer") {
      o.DropOpcode = int(Number(a, val(), 0, 255));
    } else if (a == "--garbage") {
      o.Garbage = true;
    } else if (a == "--bad-greeting") {
      o.BadGreeting = true;
    } else if (a == "--no-greeting") {
      o.NoGreeting = true;
    } else if (a == "--refuse") {
      o.RefuseOpcode = int(Number(a, val(), 0, 255));
    } else if (a == "--drop-after") {
      o.DropAfterBytes = Number(a, val(), 0, 1LL << 40);
    } else if (a == "--refuse-baud") {
      o.RefuseBaud = true;
    } else if (a == "--check") {
      check = true;
      checkFile = val();
    } else if (a == "--image") {
      TImageAt im;
      if (!ParseImageAt(val(), im)) Bad("--image: OFFSET:FILE, like 0x1000:boot.bin");
      images.push_back(im);
    } else if (a == "--make-demo-images") {
      demo = true;
      demoDir = val();
    } else {
      Bad("unknown option " + a);
    }
  }
  if (demo) {
    std::string err;
    if (!MakeDemoImages(demoDir, err)) {
      std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
      return 1;
    }
    if (!check) return 0;
  }
  if (check) return CheckFlash(checkFile, images, std::cout);
  if (!images.empty()) Bad("--image belongs to --check");

  // A board that needs the slow timings: longer than the fast EN pulse (150 ms) and
  // than what remains of the fast second phase after the sample (100 - 10 ms), well
  // within the slow ones (1400 ms and 490 ms).
  if (o.SlowOnly) {
    if (!resetGiven) o.MinResetMs = 600;
    if (!holdGiven) o.MinHoldMs = 250;
  }

  TFlash flash;
  std::string err;
  if (!flashFile.empty() && !flash.Load(flashFile, err)) {
    std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
    return 1;
  }
  TTrace trace;
  if (!traceFile.empty() && !trace.Open(traceFile)) {
    std::fprintf(stderr, "quorvex-vboard: cannot create the trace file %s\n", traceFile.c_str());
    return 1;
  }
  TServer server(o, flash, trace.Enabled() ? &trace : nullptr, flashFile);
  // The flash file exists from the start, so a check right after a run never misses it.
  if (!flashFile.empty() && !flash.Save(flashFile, err)) {
    std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
    return 1;
  }
  int p = server.Listen(uint16_t(port), err);
  if (p < 0) {
    std::fprintf(stderr, "quorvex-vboard: cannot listen on %s\n", err.c_str());
    return 1;
  }
  std::printf("rfc2217://127.0.0.1:%d\n", p);
  std::fflush(stdout);

  gServer = &server;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  server.Run();
  gServer = nullptr;
  return server.LastError().empty() ? 0 : 1;
}
