// quorvex-vboard: a simulated ESP32 dev board behind an RFC 2217 port on 127.0.0.1.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "VbServer.h"
#include "VbTools.h"

using namespace vboard;

namespace {

// What the command line asks for.
struct TCommandLine {
  TBoardOptions Board;
  int Port = 0;
  std::string FlashFile, TraceFile, CheckFile, DemoDir;
  std::vector<TImageAt> Images;
  double IdleLimitS = 30;
  bool Check = false, Demo = false;
};

// A check of a value by a test that returns what is wrong ("" when nothing is). The
// option's help names the value's form already.
CLI::Validator Rule(std::function<std::string(const std::string&)> Test) {
  return CLI::Validator([Test](std::string& v) { return Test(v); }, "");
}

// Reads the command line; ends the program with 0 after --help and with 2 and the reason
// on anything it does not take.
TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine C;
  TBoardOptions& o = C.Board;
  CLI::App App{"quorvex-vboard: a simulated ESP32 dev board behind an RFC 2217 port on "
               "127.0.0.1."};

  App.add_option("--port", C.Port,
                 "listen on 127.0.0.1:N (0, the default, picks a free port); the first line "
                 "printed is rfc2217://127.0.0.1:N")
      ->type_name("N")
      ->check(CLI::Range(0, 65535).description(""));
  App.add_option("--flash", C.FlashFile,
                 "the flash (created filled with 0xFF; saved when a client leaves and on exit)")
      ->type_name("FILE");
  App.add_option("--flash-size", o.FlashMiB,
                 "the flash part's size in MiB: 4 (default), 8 or 16; its JEDEC id says so")
      ->type_name("MIB")
      ->check(CLI::IsMember({4u, 8u, 16u}).description(""));
  App.add_option("--trace", C.TraceFile, "one JSON object a line for every event")
      ->type_name("FILE");
  App.add_option("--idle-limit", C.IdleLimitS,
                 "a client that has sent nothing for S seconds gives way to the next client "
                 "that connects (default 30); until then a second client is refused")
      ->type_name("S")
      ->check(CLI::Range(0.01, 86400.0).description(""));
  const std::map<std::string, TChip> Chips = {
      {"esp32", TChip::Esp32}, {"esp32s2", TChip::Esp32S2}, {"unknown", TChip::Unknown}};
  App.add_option_function<std::string>(
         "--chip", [&o, Chips](const std::string& v) { o.Chip = Chips.at(v); },
         "the identification word the loader reports")
      ->type_name("esp32|esp32s2|unknown")
      ->check(CLI::IsMember({"esp32", "esp32s2", "unknown"}).description(""));
  App.add_option_function<std::string>(
         "--mac", [&o](const std::string& v) { ParseMac(v, o.Mac); },
         "the MAC address in the eFuse words")
      ->type_name("AA:BB:CC:DD:EE:FF")
      ->check(Rule([](const std::string& v) {
        std::array<uint8_t, 6> m{};
        return ParseMac(v, m) ? std::string() : "six hex bytes like 24:0A:C4:01:A2:3C";
      }));
  CLI::Option* MinReset = App.add_option("--min-reset-ms", o.MinResetMs,
                                         "shortest EN-low pulse that resets the chip (default 10)")
                              ->type_name("N")
                              ->check(CLI::Range(0, 60000).description(""));
  CLI::Option* MinHold =
      App.add_option("--min-hold-ms", o.MinHoldMs,
                     "how long IO0 must stay low after it is sampled (default 2)")
          ->type_name("N")
          ->check(CLI::Range(0, 60000).description(""));
  App.add_option("--rc-delay-ms", o.RcDelayMs,
                 "how long after EN rises the chip leaves reset and samples IO0 (default 10; "
                 "a longer one suits clients that pause between line changes)")
      ->type_name("N")
      ->check(CLI::Range(0, 60000).description(""));
  App.add_flag_callback(
      "--no-pacing", [&o] { o.Pacing = false; }, "bytes take no time on the wire");
  // --real-timing and --time-scale both set the factor: the one given last counts.
  App.add_flag_callback(
         "--real-timing", [&o] { o.TimeScale = 1.0; },
         "flash erase and write take a real part's typical time (4 KiB erase 45 ms, 64 KiB "
         "150 ms, page 0.7 ms, chip 10 s)")
      ->trigger_on_parse();
  App.add_option("--time-scale", o.TimeScale, "factor on those times (default 0.1)")
      ->type_name("F")
      ->trigger_on_parse()
      ->check(Rule([](const std::string& v) {
        double f = -1;
        return CLI::detail::lexical_cast(v, f) && f >= 0 && f <= 100 ? std::string()
                                                                     : "a factor from 0 to 100";
      }));
  App.add_option("--cpu-mhz", o.CpuMhz,
                 "CPU clock while the stub runs (default 40, the crystal; in machine mode the "
                 "crystal, 40 or 26, which the APB clock and the UART follow)")
      ->type_name("N")
      ->check(CLI::Range(1, 240).description(""));
  const std::map<std::string, TFlashPart> Parts = {
      {"winbond", TFlashPart::Winbond},
      {"winbond-cmp", TFlashPart::WinbondCmp},
      {"gigadevice", TFlashPart::GigaDevice},
      {"gigadevice-31", TFlashPart::GigaDevice31},
      {"macronix", TFlashPart::Macronix},
      {"macronix-old", TFlashPart::MacronixOld},
      {"macronix-old-sfdp", TFlashPart::MacronixOldSfdp},
      {"issi", TFlashPart::Issi},
      {"sr2-ff", TFlashPart::Sr2ReadsFF},
      {"unknown", TFlashPart::Unknown}};
  App.add_option_function<std::string>(
         "--flash-part", [&o, Parts](const std::string& v) { o.FlashPart = Parts.at(v); },
         "winbond (default), winbond-cmp (CMP set), gigadevice, gigadevice-31 (status "
         "register 2 only through 0x31), macronix (0x35 enters QPI), macronix-old (0x52 "
         "erases 64 KiB, no SFDP), macronix-old-sfdp, issi, sr2-ff (status register 2 reads "
         "0xFF), unknown (EON: 0x52 erases 64 KiB, no SFDP)")
      ->type_name("P")
      ->check(CLI::IsMember(Parts).description(""));
  App.add_flag("--flash-protected", o.FlashProtected, "block-protect bits set at power-up");
  App.add_flag("--flash-continuous-read", o.FlashContinuousRead,
               "the flash is left in continuous-read mode");
  App.add_option_function<std::string>(
         "--stub-core",
         [&o](const std::string& v) {
           o.StubCore =
               v == "machine" ? TBoardOptions::TStubCore::Machine : TBoardOptions::TStubCore::Host;
         },
         "what runs once the stub is started: host (default; firmware/stub's core built for "
         "this machine) or machine (the uploaded machine code on the simulated ESP32)")
      ->type_name("host|machine")
      ->check(CLI::IsMember({"host", "machine"}).description(""));
  CLI::Option* Blob =
      App.add_option("--stub-blob", o.StubBlob,
                     "machine mode: run this stub blob (the program's format) in place of the "
                     "uploaded one")
          ->type_name("FILE")
          ->check(CLI::ExistingFile.description(""));
  CLI::Option* Elf =
      App.add_option("--stub-elf", o.StubElf,
                     "machine mode: the stub's ELF, for function names in fault reports")
          ->type_name("FILE")
          ->check(CLI::ExistingFile.description(""));
  CLI::Option* MmioTrace =
      App.add_option("--mmio-trace", o.MmioTrace,
                     "machine mode: the chip's register accesses, one line each (polls that "
                     "see no change and the FIFO and SPI buffer data left out)")
          ->type_name("FILE");
  CLI::Option* NoDogs = App.add_flag_callback(
      "--no-entry-watchdogs", [&o] { o.MachineWatchdogs = false; },
      "machine mode: the watchdogs are stopped when the stub starts (by default MWDT0 and "
      "the RTC watchdog run, as flash boot arms them)");

  const std::string Faults = "faults";
  App.add_flag("--mute", o.Mute, "the chip never sends a byte")->group(Faults);
  App.add_flag("--slow-only", o.SlowOnly, "only the slow reset timings enter the loader")
      ->group(Faults);
  App.add_option_function<std::string>(
         "--fail-flash-data",
         [&o](const std::string& v) {
           const size_t c = v.find(':');
           CLI::detail::lexical_cast(v.substr(0, c), o.FailImage);
           CLI::detail::lexical_cast(v.substr(c + 1), o.FailBlock);
         },
         "FLASH_DATA block N (from 0) of image M (from 1) fails")
      ->type_name("M:N")
      ->group(Faults)
      ->check(Rule([](const std::string& v) {
        const size_t c = v.find(':');
        long long m = 0, n = 0;
        const bool Ok = c != std::string::npos && CLI::detail::lexical_cast(v.substr(0, c), m) &&
                        CLI::detail::lexical_cast(v.substr(c + 1), n) && m >= 1 && m <= 1000 &&
                        n >= 0 && n <= 1000000;
        return Ok ? std::string() : "M:N, M from 1 to 1000, N from 0 to 1000000";
      }));
  App.add_option("--drop-answer", o.DropOpcode, "answers to this opcode are never sent")
      ->type_name("OPCODE")
      ->group(Faults)
      ->check(CLI::Range(0, 255).description(""));
  App.add_flag("--garbage", o.Garbage, "stray bytes before every answer frame")->group(Faults);
  App.add_flag("--bad-greeting", o.BadGreeting, "the stub greets with OHAJ")->group(Faults);
  App.add_flag("--no-greeting", o.NoGreeting, "the started stub hangs before it greets")
      ->group(Faults);
  App.add_option("--refuse", o.RefuseOpcode,
                 "the ROM loader refuses this opcode (status 1), e.g. 5 MEM_BEGIN")
      ->type_name("OPCODE")
      ->group(Faults)
      ->check(CLI::Range(0, 255).description(""));
  App.add_option("--drop-after", o.DropAfterBytes,
                 "the connection is cut after N bytes from the client")
      ->type_name("N")
      ->group(Faults)
      ->check(CLI::Range(int64_t(0), int64_t(1) << 40).description(""));
  App.add_flag("--refuse-baud", o.RefuseBaud, "CHANGE_BAUDRATE fails")->group(Faults);
  App.add_flag("--fast-stub-hangs", o.FastStubHangs,
               "the fast stub, once started, hangs before its greeting")
      ->group(Faults);
  App.add_option("--bad-sector", o.BadSector,
                 "programs into the 4 KiB sector at ADDR do not land (the digest after "
                 "writing shows it)")
      ->type_name("ADDR")
      ->group(Faults)
      ->check(CLI::Range(int64_t(0), int64_t(TFlash::MaxSize) - 1).description(""));
  const std::map<std::string, TBaudAnswer> BaudAnswers = {{"drop", TBaudAnswer::Dropped},
                                                          {"garble", TBaudAnswer::Garbled},
                                                          {"hang", TBaudAnswer::Hang}};
  App.add_option_function<std::string>(
         "--lose-baud-answer",
         [&o, BaudAnswers](const std::string& v) { o.BaudAnswer = BaudAnswers.at(v); },
         "CHANGE_BAUDRATE switches, but its answer is lost: drop (never sent), garble (sent "
         "at the new rate), hang (never sent, and the chip hears nothing more until a reset)")
      ->type_name("HOW")
      ->group(Faults)
      ->check(CLI::IsMember(BaudAnswers).description(""));

  const std::string Tools = "tools";
  App.add_option("--check", C.CheckFile,
                 "compare a flash file with images (no patch is applied; a bootloader written "
                 "by the program holds 02 20 in header bytes 2,3); exit code 0 when all match")
      ->type_name("FLASH")
      ->group(Tools);
  App.add_option_function<std::vector<std::string>>(
         "--image",
         [&C](const std::vector<std::string>& Vs) {
           for (const std::string& v : Vs) {
             TImageAt im;
             ParseImageAt(v, im, TFlash::MaxSize);
             C.Images.push_back(im);
           }
         },
         "an image for --check, as OFFSET:FILE (--image 0x1000:boot.bin [--image ...])")
      ->type_name("OFFSET:FILE")
      ->group(Tools)
      ->check(Rule([](const std::string& v) {
        TImageAt im;
        return ParseImageAt(v, im, TFlash::MaxSize) ? std::string()
                                                    : "OFFSET:FILE, like 0x1000:boot.bin";
      }));
  App.add_option("--make-demo-images", C.DemoDir, "write boot.bin, part.bin and firm.bin into DIR")
      ->type_name("DIR")
      ->group(Tools);

  App.set_version_flag("--version", "quorvex-vboard " QUORVEX_VERSION,
                       "print the version and exit");
  try {
    App.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << App.help();
    std::exit(0);
  } catch (const CLI::CallForVersion&) {
    std::cout << App.version() << "\n";
    std::exit(0);
  } catch (const CLI::ParseError& E) {
    std::fprintf(stderr, "quorvex-vboard: %s\n%s", E.what(), App.help().c_str());
    std::exit(2);
  }
  if (o.StubCore != TBoardOptions::TStubCore::Machine)
    for (CLI::Option* M : {Blob, Elf, MmioTrace, NoDogs})
      if (M->count()) {
        std::fprintf(stderr, "quorvex-vboard: %s belongs to --stub-core machine\n%s",
                     M->get_name().c_str(), App.help().c_str());
        std::exit(2);
      }
  C.Check = !C.CheckFile.empty();
  C.Demo = !C.DemoDir.empty();
  // Demo images alone end the program before anything looks at --image.
  if (!C.Images.empty() && !C.Check && !C.Demo) {
    std::fprintf(stderr, "quorvex-vboard: --image belongs to --check\n%s", App.help().c_str());
    std::exit(2);
  }
  // A board that needs the slow timings: longer than the fast EN pulse (150 ms) and
  // than what remains of the fast second phase after the sample (100 - 10 ms), well
  // within the slow ones (1400 ms and 490 ms).
  if (o.SlowOnly) {
    if (!MinReset->count()) o.MinResetMs = 600;
    if (!MinHold->count()) o.MinHoldMs = 250;
  }
  return C;
}

// Ctrl-C and SIGTERM stop the server. They are taken by a thread of its own, which
// waits for them, so no handler needs to find the server through a global. They stay
// blocked to the end: the program ends right after the server.
class TStopOnSignal {
public:
  explicit TStopOnSignal(TServer& Server) {
    sigemptyset(&FSignals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1})
      sigaddset(&FSignals, s);
    pthread_sigmask(SIG_BLOCK, &FSignals, nullptr);
    FWaiter = std::thread([this, &Server] {
      // SIGUSR1 is the program's own: the server has ended.
      for (int Sig = 0; sigwait(&FSignals, &Sig) == 0 && Sig != SIGUSR1;)
        Server.Stop();
    });
  }
  ~TStopOnSignal() {
    pthread_kill(FWaiter.native_handle(), SIGUSR1);
    FWaiter.join();
  }
  TStopOnSignal(const TStopOnSignal&) = delete;
  TStopOnSignal& operator=(const TStopOnSignal&) = delete;

private:
  sigset_t FSignals{};
  std::thread FWaiter;
};

} // namespace

int main(int argc, char** argv) {
  const TCommandLine C = ParseCommandLine(argc, argv);
  if (C.Demo) {
    std::string err;
    if (!MakeDemoImages(C.DemoDir, err)) {
      std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
      return 1;
    }
    if (!C.Check) return 0;
  }
  if (C.Check) return CheckFlash(C.CheckFile, C.Images, std::cout);

  TFlash flash(C.Board.FlashMiB << 20);
  std::string err;
  if (!C.FlashFile.empty() && !flash.Load(C.FlashFile, err)) {
    std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
    return 1;
  }
  TTrace trace;
  if (!C.TraceFile.empty() && !trace.Open(C.TraceFile)) {
    std::fprintf(stderr, "quorvex-vboard: cannot create the trace file %s\n", C.TraceFile.c_str());
    return 1;
  }
  TServer server(C.Board, flash, trace.Enabled() ? &trace : nullptr, C.FlashFile);
  server.SetIdleLimit(std::chrono::nanoseconds(std::llround(C.IdleLimitS * 1e9)));
  // The flash file exists from the start, so a check right after a run never misses it.
  if (!C.FlashFile.empty() && !flash.Save(C.FlashFile, err)) {
    std::fprintf(stderr, "quorvex-vboard: %s\n", err.c_str());
    return 1;
  }
  int p = server.Listen(uint16_t(C.Port), err);
  if (p < 0) {
    std::fprintf(stderr, "quorvex-vboard: cannot listen on %s\n", err.c_str());
    return 1;
  }
  std::printf("rfc2217://127.0.0.1:%d\n", p);
  std::fflush(stdout);

  std::signal(SIGPIPE, SIG_IGN);
  {
    TStopOnSignal Stopper(server);
    server.Run();
  }
  return server.LastError().empty() ? 0 : 1;
}
