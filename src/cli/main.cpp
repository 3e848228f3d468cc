// quorvex-cli: the window's Update, Erase and chip identification from a terminal or a
// script, on one board or several at once (one job per port, each on its own thread),
// the machine's serial ports, and a board's own serial output.
//
// Exit status: 0 every board succeeded; 1 a board failed; 2 bad input or arguments
// (nothing was sent to any board); 3 every board succeeded but output could not be
// written (a closed pipe, a full disk, a closed terminal); 130 stopped by Ctrl-C, SIGTERM
// or SIGHUP (every board reset, every port closed).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "link/uPortList.h"
#include "support/uFormat.h"
#include "uCliJson.h"
#include "uCliMonitor.h"
#include "uCliOutput.h"
#include "uCliPlan.h"
#include "uCliRun.h"
#include "uCliStop.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr int ExitOk = 0, ExitBoardFailed = 1, ExitBadInput = 2, ExitOutputLost = 3;
constexpr uint32_t MonitorBaud = 115200;

using json = nlohmann::ordered_json;

// A file name from a port name: letters, digits, '-' and '.' kept, anything else '_'.
std::string PortFileName(const std::string& Port) {
  std::string N;
  for (char c : Port)
    N.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
  return N;
}

std::string LogFileName(const std::string& Port) {
  return PortFileName(Port) + ".log";
}

// The file a read of several boards writes for one of them: the port's name before the
// extension (backup.bin: backup.ttyUSB0.bin), so that no board overwrites another's.
std::string ReadFileFor(const std::string& File, const std::string& Port) {
  const size_t Slash = File.find_last_of("/\\");
  const size_t Dot = File.rfind('.');
  const bool Ext = Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash + 1);
  const std::string Stem = Ext ? File.substr(0, Dot) : File, Tail = Ext ? File.substr(Dot) : "";
  return Stem + "." + PortFileName(Port) + Tail;
}

// The options a run takes; given before the subcommand, after it, or both.
struct TOptions {
  std::vector<std::string> Ports;
  std::string SettingsPath, LogDir;
  bool Json = false, NoStub = false, Standard = false, Quiet = false, Verbose = false;
  uint32_t Baud = 0;

  void Merge(const TOptions& Later) {
    Ports.insert(Ports.end(), Later.Ports.begin(), Later.Ports.end());
    if (!Later.SettingsPath.empty()) SettingsPath = Later.SettingsPath;
    if (!Later.LogDir.empty()) LogDir = Later.LogDir;
    if (Later.Baud) Baud = Later.Baud;
    Json = Json || Later.Json;
    NoStub = NoStub || Later.NoStub;
    Standard = Standard || Later.Standard;
    Quiet = Quiet || Later.Quiet;
    Verbose = Verbose || Later.Verbose;
  }
};

// Which of the options a subcommand takes.
enum TOptionSet : unsigned {
  oPort = 1,
  oSettings = 2,
  oBaud = 4,
  oNoStub = 8,
  oJson = 16,
  oLogDir = 32,
  oQuiet = 64,
  oVerbose = 128,
  oMonitorBaud = 256, // --baud as the rate of a board's own output
  oStandard = 512,
  oRun = oPort | oSettings | oBaud | oNoStub | oStandard | oJson | oLogDir | oQuiet | oVerbose,
};

void AddOptions(CLI::App& A, TOptions& O, unsigned Set) {
  if (Set & oPort)
    A.add_option("-p,--port", O.Ports,
                 Set & oMonitorBaud
                     ? "serial port: ttyUSB0, COM3, rfc2217://host:port or usb-serial:SERIAL "
                       "(the adapter's USB serial number; see ports) (default: the window's last "
                       "port)"
                     : "serial port: ttyUSB0, COM3, rfc2217://host:port or usb-serial:SERIAL "
                       "(the adapter's USB serial number; see ports); once per board to work on "
                       "several boards in parallel (default: the window's last port)")
        ->allow_extra_args(false); // one name per --port, so that OFFSET FILE pairs can follow
  if (Set & oSettings)
    A.add_option("--settings", O.SettingsPath,
                 "settings file to read (default: the window's Quorvex.ini, beside the "
                 "program or, when its folder cannot be written, in the user's configuration "
                 "folder)");
  const TSettingKey& FastBaud = *FindSettingKey("FastBaud");
  const auto Rates = CLI::Range(uint32_t(FastBaud.Min), uint32_t(FastBaud.Max));
  if (Set & oMonitorBaud)
    A.add_option("--baud", O.Baud, "bit rate of the board's output (default 115200)")->check(Rates);
  else if (Set & oBaud)
    A.add_option("--baud", O.Baud, "bit rate after the switch (default: FastBaud, 921600)")
        ->check(Rates);
  if (Set & oNoStub)
    A.add_flag("--no-stub", O.NoStub, "write through the ROM loader's own commands, no stub");
  if (Set & oStandard)
    A.add_flag("--standard", O.Standard,
               "the standard path: the standard stub, every byte sent in 16 KiB blocks with "
               "its pauses (flash uses it unless FastWrite=TRUE in the settings; verify, read "
               "and info use the fast stub: compressed, sectors that already hold the image "
               "left alone, every image checked by its digest)");
  if (Set & oJson)
    A.add_flag("--json", O.Json,
               "the result as one JSON document on stdout (docs/json.md); progress goes to "
               "stderr");
  if (Set & oLogDir)
    A.add_option("--log-dir", O.LogDir, "write each board's debug log to DIR/<port>.log")
        ->check(CLI::ExistingDirectory);
  if (Set & oQuiet)
    A.add_flag("-q,--quiet", O.Quiet,
               Set & oMonitorBaud ? "only the board's output"
                                  : "no progress: only the summary (or the JSON document)");
  if (Set & oVerbose)
    A.add_flag("-v,--verbose", O.Verbose, "every board's debug log lines on stderr as they come");
}

struct TCli {
  TCli(TCliOutput& O, TCliStop& S) : Out(O), Stop(S) {}
  TCliOutput& Out;
  TCliStop& Stop;
  TOptions Opt;
  // flash
  std::string Boot, Part, Firm;
  std::vector<std::string> Pairs;
  bool EraseAll = false, Monitor = false;
  uint32_t MonitorRate = 0;
  // erase
  bool Yes = false;
  // read
  std::string ReadOffset, ReadLength, ReadFile;

  std::string Command;
  TSettings Settings;
  std::vector<std::string> Warnings;

  // Bad input: the messages on stderr (and as JSON), nothing sent anywhere.
  int Refuse(const std::vector<std::string>& Problems) {
    for (const std::string& P : Problems)
      Out.Message(P);
    if (Opt.Json) WriteJson(JsonDocument(Command, ExitBadInput, false, Problems, Warnings));
    return ExitBadInput;
  }

  void WriteJson(const json& Doc) { Out.Write(TStream::Out, Doc.dump(2) + "\n"); }

  // Settings: --settings FILE, else the file the window reads ("Quorvex.ini" beside the
  // program, or in the user's configuration folder for an installed program); refused
  // values keep their defaults, with a warning.
  bool ReadSettings(std::string& Error) {
    const bool Given = !Opt.SettingsPath.empty();
    const std::string File = Given ? Opt.SettingsPath : SettingsFiles().Read.string();
    std::vector<TSettingProblem> Problems;
    if (!LoadSettings(File, Given, Settings, Problems, Error)) {
      if (Given) return false;
      Warn(Error + "; it is ignored");
      Settings = TSettings();
    }
    for (const TSettingProblem& P : Problems)
      Warn("settings file " + File + ": " + SettingProblemText(P));
    return true;
  }

  void Warn(const std::string& Text) {
    Out.Message(Text);
    Warnings.push_back(Text);
  }

  // The status after the results were written: a loss of output turns success into 3.
  int Finish(int Status) {
    Out.Flush();
    if (!Out.Lost()) return Status;
    Out.Message("output was lost (" + Out.LostText() + "); every board was still finished");
    return Status == ExitOk ? ExitOutputLost : Status;
  }

  int ListPorts() {
    std::vector<TSystemPort> System;
    const bool Ok = SystemPorts(System);
    std::vector<std::string> Names;
    for (const TSystemPort& P : System)
      Names.push_back(P.Name);
    Names = MergePortNames(Ok, Names, {}, ParseNetPorts(Settings.NetPorts));
    SortIgnoringCase(Names);
    SortNatural(Names);
    const auto Entry = [&System](const std::string& Name) {
      for (const TSystemPort& P : System)
        if (P.Name == Name) return P;
      return TSystemPort{Name, {}, {}};
    };
    if (Opt.Json) {
      json Doc = JsonDocument(Command, ExitOk, false, {}, Warnings);
      for (const std::string& N : Names)
        Doc["ports"].push_back(JsonPort(Entry(N)));
      WriteJson(Doc);
      return Finish(ExitOk);
    }
    size_t W = 0;
    for (const std::string& N : Names)
      W = std::max(W, N.size());
    std::string Text;
    for (const std::string& N : Names) {
      const TSystemPort P = Entry(N);
      std::string Line = N;
      if (!Opt.Quiet) {
        std::string Details;
        if (P.Usb.Known()) {
          Details = "USB " + P.Usb.Vid + ":" + P.Usb.Pid;
          if (!P.Usb.Serial.empty()) Details += "  serial " + P.Usb.Serial;
          const std::string Maker =
              P.Usb.Manufacturer + (P.Usb.Manufacturer.empty() ? "" : " ") + P.Usb.Product;
          if (!Maker.empty()) Details += "  " + Maker;
        }
        if (!P.Driver.empty())
          Details += (Details.empty() ? "" : "  ") + std::string("driver ") + P.Driver;
        if (!Details.empty()) Line += std::string(W - N.size() + 2, ' ') + Details;
      }
      Text += Line + "\n";
    }
    Out.Write(TStream::Out, Text);
    return Finish(ExitOk);
  }

  int RunJobs(TFlashOp Op) {
    if (Opt.Ports.empty() && !Settings.ComPort.empty()) Opt.Ports.push_back(Settings.ComPort);
    std::vector<TSystemPort> System;
    SystemPorts(System);
    std::vector<std::string> Problems = CheckPorts(Opt.Ports, System);
    std::vector<TFlashImage> Images;
    std::vector<uint64_t> Sizes;
    // The fast stub for verify, read and info, and for flash when the settings' FastWrite
    // says so; never with --standard or the ROM loader. It knows the part's size, so the
    // images may use up to the largest part until it says how large this one is.
    const bool Fast = !Opt.Standard && !Opt.NoStub && Settings.Config.UseStub &&
                      (Op != TFlashOp::Update || Settings.Config.FastWrite);
    const uint32_t FlashLimit = Fast ? EspFastFlashMax : EspFlashSize;
    if ((Op == TFlashOp::Verify || Op == TFlashOp::Read) && !Fast)
      Problems.push_back(Command + " needs the fast stub: leave out --standard and --no-stub "
                                   "(and UseStub=FALSE in the settings)");
    uint32_t ReadAt = 0, ReadLen = 0;
    if (Op == TFlashOp::Read) {
      const std::string A = ParseOffset(ReadOffset, ReadAt), L = ParseOffset(ReadLength, ReadLen);
      if (!A.empty()) Problems.push_back("OFFSET " + A);
      if (!L.empty()) Problems.push_back("LENGTH " + L);
      if (A.empty() && L.empty() && (ReadLen == 0 || uint64_t(ReadAt) + ReadLen > FlashLimit))
        Problems.push_back(Format("%d bytes at 0x%x: the region must hold at least one byte and "
                                  "end inside the flash (at most %d MiB)",
                                  {ReadLen, ReadAt, FlashLimit >> 20}));
    }
    if (Op == TFlashOp::Update || Op == TFlashOp::Verify) {
      Images = ImageList(Boot, Part, Firm, Pairs, Problems);
      const std::vector<std::string> More = CheckImages(Images, Sizes, FlashLimit);
      Problems.insert(Problems.end(), More.begin(), More.end());
      if (Monitor && Opt.Ports.size() > 1)
        Problems.push_back("--monitor watches one board: give one --port");
    }
    if (!Problems.empty()) return Refuse(Problems);
    if (Op == TFlashOp::Erase && !Yes && !ConfirmOnTerminal()) return ExitBadInput;

    TConfig Config = Settings.Config;
    if (Opt.Baud) Config.FastBaud = Opt.Baud;
    if (Opt.NoStub) Config.UseStub = false;
    Config.FastWrite = Fast;
    std::vector<TFlashRequest> Requests;
    for (const std::string& Port : Opt.Ports) {
      TFlashRequest R;
      R.Operation = Op;
      R.Port = Port;
      R.Config = Config;
      // Only the command line's own flag erases the whole chip; the window's AutoErase,
      // default and saved choice alike, is the window's.
      R.AutoErase = EraseAll;
      R.Images = Images;
      R.FlashLimit = FlashLimit;
      R.ReadOffset = ReadAt;
      R.ReadLength = ReadLen;
      R.ReadFile = Opt.Ports.size() > 1 ? ReadFileFor(ReadFile, Port) : ReadFile;
      Requests.push_back(R);
    }

    TRunOptions Run;
    Run.Progress = Opt.Json ? TStream::Err : TStream::Out;
    Run.Quiet = Opt.Quiet;
    Run.Verbose = Opt.Verbose;
    for (uint64_t S : Sizes)
      Run.TotalBytes += S;
    Stop.BeginRun([this] { ReportForcedExit(); });
    const std::vector<TBoardResult> Results = RunBoards(Requests, Run, Out, Stop);
    // The results are written from here on: a forced exit adds no document of its own.
    Stop.BeginRun();
    // Stopped: a job ended by the request (one that had finished before it keeps its result).
    const bool Stopped = std::any_of(Results.begin(), Results.end(),
                                     [](const TBoardResult& R) { return R.Result.Stopped; });

    WriteLogs(Results);
    size_t Good = 0;
    for (const TBoardResult& R : Results) {
      Good += R.Result.Ok ? 1 : 0;
      if (!R.Result.Ok && !R.Result.Stopped) Out.Message(R.Port + ": " + R.Result.Message);
    }
    int Status = Stopped ? ExitStopped : Good == Results.size() ? ExitOk : ExitBoardFailed;
    // Progress lost on the way (stderr gone) already keeps the status from 0.
    Out.Flush();
    if (Status == ExitOk && Out.Lost()) Status = ExitOutputLost;
    if (Opt.Json) {
      json Doc = JsonDocument(Command, Status, Stopped, {}, Warnings);
      for (const TBoardResult& R : Results)
        Doc["boards"].push_back(JsonBoard(R, FindSystemPort(R.Port, System), Images, Sizes));
      WriteJson(Doc);
    } else {
      PrintSummary(Results, Images, Good, Stopped);
    }
    if (Monitor && Status == ExitOk) {
      Out.Flush();
      Status = RunMonitor(Opt.Ports.front(), MonitorRate ? MonitorRate : MonitorBaud, Opt.Quiet,
                          Out, Stop);
    }
    return Finish(Status);
  }

  // The forced exit (a second signal): what can still be said; the jobs are still running.
  void ReportForcedExit() {
    if (Opt.Json)
      WriteJson(JsonDocument(Command, ExitStopped, true,
                             {"stopped at once by a second signal: the boards' results are "
                              "unknown; each board's reset was pulsed"},
                             Warnings));
  }

  int RunMonitorCommand() {
    if (Opt.Ports.empty() && !Settings.ComPort.empty()) Opt.Ports.push_back(Settings.ComPort);
    std::vector<TSystemPort> System;
    SystemPorts(System);
    std::vector<std::string> Problems = CheckPorts(Opt.Ports, System);
    if (Problems.empty() && Opt.Ports.size() > 1)
      Problems.push_back("monitor watches one board: give one --port");
    if (!Problems.empty()) return Refuse(Problems);
    Stop.BeginRun();
    return Finish(
        RunMonitor(Opt.Ports.front(), Opt.Baud ? Opt.Baud : MonitorBaud, Opt.Quiet, Out, Stop));
  }

  // Erase without --yes asks once, on a terminal only, before any board is touched.
  bool ConfirmOnTerminal() {
    if (!isatty(fileno(stdin)) || !isatty(fileno(stderr))) {
      Refuse({"erase erases the whole flash: confirm with --yes (no terminal to ask on)"});
      return false;
    }
    std::string List;
    for (const std::string& P : Opt.Ports)
      List += (List.empty() ? "" : ", ") + P;
    Out.Write(TStream::Err, "Erase the whole flash of the board" +
                                std::string(Opt.Ports.size() > 1 ? "s" : "") + " on " + List +
                                "? [y/N] ");
    std::string Answer;
    std::getline(std::cin, Answer);
    if (Answer == "y" || Answer == "Y" || Answer == "yes" || Answer == "YES") return true;
    Out.Message("not confirmed; nothing was erased");
    return false;
  }

  void WriteLogs(const std::vector<TBoardResult>& Results) {
    if (Opt.LogDir.empty()) return;
    for (const TBoardResult& R : Results) {
      const std::string Name = Opt.LogDir + "/" + LogFileName(R.Port);
      std::ofstream F(Name, std::ios::binary | std::ios::trunc);
      for (const std::string& L : R.Log)
        F << L << '\n';
      if (!F) Warn("cannot write the log " + Name);
    }
  }

  void PrintSummary(const std::vector<TBoardResult>& Results,
                    const std::vector<TFlashImage>& Images, size_t Good, bool Stopped) {
    const bool Colour = Out.Colour(TStream::Out);
    size_t W = 0;
    for (const TBoardResult& R : Results)
      W = std::max(W, R.Port.size());
    std::string Text;
    for (const TBoardResult& R : Results) {
      std::string Line = R.Port + std::string(W - R.Port.size() + 2, ' ');
      const std::string Word = R.Result.Ok ? "OK" : "Error";
      Line += Colour ? (R.Result.Ok ? "\x1b[32m" : "\x1b[31m") + Word + "\x1b[0m" : Word;
      if (R.Result.Ok) {
        Line += "    ";
        if (!R.Chip.empty()) Line += "  " + R.Chip;
        if (!R.Mac.empty()) Line += "  " + R.Mac;
        if (R.Result.PartKnown) Line += "  flash " + FlashPartText(R.Result.Part);
      } else {
        Line += "   " + R.Result.Message;
      }
      char Time[32];
      std::snprintf(Time, sizeof Time, "  %.1f s", R.Seconds);
      Text += Line + Time + "\n";
      // A line per image the run came to: written, unchanged, or the sectors rewritten.
      for (size_t i = 0; i < R.Result.Images.size() && i < Images.size(); ++i) {
        const TImageReport& Im = R.Result.Images[i];
        if (Im.Outcome == TImageOutcome::NotStarted && !Im.Compared) continue;
        Text += std::string(W + 2, ' ') + Images[i].FileName + ": " + Im.Text() + "\n";
      }
    }
    Text += std::to_string(Good) + " of " + std::to_string(Results.size()) + " board" +
            (Results.size() > 1 ? "s" : "") + " OK" + (Stopped ? " (stopped)" : "") + "\n";
    Out.Write(TStream::Out, Text);
  }
};

// The subcommand named on the command line, before it is parsed (for the JSON of an
// argument error): the first argument that names one.
std::string CommandIn(int argc, char** argv, const std::vector<std::string>& Names) {
  for (int i = 1; i < argc; ++i)
    for (const std::string& N : Names)
      if (N == argv[i]) return N;
  return {};
}

bool JsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--json") == 0) return true;
  return false;
}

} // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // A reader that went away (| head) must not end the program in the middle of a write
  // to a board: the write to the pipe fails instead, and the output is counted lost.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  TCliOutput Out;
  TCliStop Stop(Out);
  Stop.Catch();
  TCli C(Out, Stop);

  CLI::App App{"quorvex-cli: writes firmware into ESP32 boards through their ROM loader, on "
               "several boards at once.",
               CliName};
  App.set_version_flag("--version", "quorvex-cli " QUORVEX_VERSION, "print the version and exit");
  App.require_subcommand(1);
  App.fallthrough();
  App.failure_message([](const CLI::App*, const CLI::Error& E) {
    return std::string(CliName) + ": " + E.what() + "\n" + CliName +
           ": run it with --help for more information\n";
  });
  const std::string RunStatus =
      "Exit status: 0 every board OK, 1 a board failed, 2 bad input (no board touched), 3 "
      "output lost (every board OK), 130 stopped (every board reset).";
  // "Title: text" paragraphs: the manual page makes a section of each.
  App.footer("Settings: the window's Quorvex.ini, beside the program or, when that folder "
             "cannot be written (an installed program), in the user's configuration folder: "
             "$XDG_CONFIG_HOME/quorvex/Quorvex.ini (~/.config/quorvex/Quorvex.ini), "
             "%APPDATA%\\Quorvex\\Quorvex.ini on Windows.\n" +
             RunStatus);
  TOptions Before;
  AddOptions(App, Before, oRun);

  TOptions FlashOpt, EraseOpt, InfoOpt, PortsOpt, MonitorOpt, VerifyOpt, ReadOpt;
  CLI::App* Flash = App.add_subcommand(
      "flash", "write images: --boot/--part/--firm at 0x1000/0x8000/0x10000, and any OFFSET FILE "
               "pairs. Only the regions written are erased, unless --erase-all");
  AddOptions(*Flash, FlashOpt, oRun);
  Flash->add_option("--boot", C.Boot, "bootloader image, written at 0x1000 (header patched)");
  Flash->add_option("--part", C.Part, "partition table image, written at 0x8000");
  Flash->add_option("--firm", C.Firm, "application image, written at 0x10000");
  Flash
      ->add_option("images", C.Pairs,
                   std::string("OFFSET FILE pairs, e.g. 0x200000 data.bin; OFFSET: ") + OffsetRule +
                       "; a leading 0 without x is refused as ambiguous")
      ->type_name("OFFSET FILE");
  Flash->add_flag("--erase-all,--auto-erase", C.EraseAll,
                  "erase the whole chip first (the window's AutoErase does not apply here)");
  bool NoAutoErase = false;
  Flash->add_flag("--no-auto-erase", NoAutoErase,
                  "erase only the regions written (the default; kept for older scripts)");
  Flash->add_flag("--monitor", C.Monitor,
                  "after a successful flash, show the board's own output until Ctrl-C (one "
                  "board)");
  Flash->add_option("--monitor-baud", C.MonitorRate, "bit rate for --monitor (default 115200)")
      ->check(CLI::Range(9600u, 5000000u));
  CLI::App* Verify = App.add_subcommand(
      "verify", "compare the flash with images (the same arguments as flash) by their digests; "
                "nothing is written. Exit status 1 names the sectors that differ");
  AddOptions(*Verify, VerifyOpt, oRun);
  Verify->add_option("--boot", C.Boot, "bootloader image at 0x1000 (as flash patches it)");
  Verify->add_option("--part", C.Part, "partition table image at 0x8000");
  Verify->add_option("--firm", C.Firm, "application image at 0x10000");
  Verify->add_option("images", C.Pairs, "OFFSET FILE pairs, as for flash")
      ->type_name("OFFSET FILE");
  CLI::App* Read = App.add_subcommand(
      "read", "read LENGTH bytes of the flash from OFFSET into FILE, checked by their digest "
              "(with several --port, one file each: FILE with the port before its extension)");
  AddOptions(*Read, ReadOpt, oRun);
  Read->add_option("offset", C.ReadOffset, std::string("where to begin; ") + OffsetRule)
      ->type_name("OFFSET")
      ->required();
  Read->add_option("length", C.ReadLength, "how many bytes, written as an OFFSET is")
      ->type_name("LENGTH")
      ->required();
  Read->add_option("file", C.ReadFile, "the file to write (replaced whole, or left alone)")
      ->type_name("FILE")
      ->required();
  CLI::App* Erase = App.add_subcommand("erase", "erase the whole flash");
  AddOptions(*Erase, EraseOpt, oRun);
  Erase->add_flag("-y,--yes", C.Yes, "do not ask (required when not on a terminal)");
  CLI::App* Info = App.add_subcommand(
      "info", "connect, show the chip, its MAC and (with the fast stub) the flash part, reset");
  AddOptions(*Info, InfoOpt, oRun);
  CLI::App* Ports = App.add_subcommand(
      "ports", "list the serial ports as the window does, with their USB details");
  AddOptions(*Ports, PortsOpt, oSettings | oJson | oQuiet);
  Ports->get_option("--quiet")->description("the names alone, one a line");
  CLI::App* Monitor = App.add_subcommand(
      "monitor", "reset the board into its application and show what it sends until Ctrl-C");
  AddOptions(*Monitor, MonitorOpt, oPort | oSettings | oQuiet | oMonitorBaud);
  for (CLI::App* Sub : {Flash, Verify, Read, Erase, Info, Ports, Monitor})
    Sub->fallthrough();
  Flash->footer("Erase: only the 4 KiB sectors the images cover are erased; --erase-all erases "
                "the whole chip first.\n" +
                RunStatus);
  Ports->footer("Exit status: 0 listed, 2 bad input, 3 output lost.");
  Monitor->footer("Exit status: 130 ended by Ctrl-C (the port closed), 1 the port failed, 2 bad "
                  "input, 3 output lost.");

  std::ostringstream HelpOut, ErrOut;
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError& E) {
    std::string Message = E.what();
    // Without a subcommand the parser only says one is needed; say which are known and
    // what was given instead.
    if (App.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&E)) {
      const std::vector<std::string> Left = App.remaining();
      const std::string Known = "flash, verify, read, erase, info, ports or monitor";
      Message = Left.empty() ? "a subcommand is required: " + Known
                             : "'" + Left.front() + "' is no subcommand: " + Known;
      C.Out.Message(Message);
      C.Out.Message("run it with --help for more information");
    } else {
      const int Code = App.exit(E, HelpOut, ErrOut);
      Out.Write(TStream::Out, HelpOut.str());
      Out.Write(TStream::Err, ErrOut.str());
      if (Code == 0) return C.Finish(ExitOk);
    }
    if (JsonAsked(argc, argv)) {
      C.Command =
          CommandIn(argc, argv, {"flash", "verify", "read", "erase", "info", "ports", "monitor"});
      C.WriteJson(JsonDocument(C.Command, ExitBadInput, false, {Message}, {}));
    }
    return C.Finish(ExitBadInput);
  }
  CLI::App* Sub = App.get_subcommands().front();
  C.Command = Sub->get_name();
  C.Opt = Before;
  C.Opt.Merge(Sub == Flash    ? FlashOpt
              : Sub == Verify ? VerifyOpt
              : Sub == Read   ? ReadOpt
              : Sub == Erase  ? EraseOpt
              : Sub == Info   ? InfoOpt
              : Sub == Ports  ? PortsOpt
                              : MonitorOpt);
  if (C.Monitor && C.Opt.Json)
    return C.Finish(C.Refuse({"--monitor and --json exclude each other: the board's output "
                              "would mix with the JSON document"}));
  if (C.Opt.Quiet && C.Opt.Verbose)
    return C.Finish(C.Refuse({"--quiet and --verbose exclude each other"}));

  std::string Error;
  if (!C.ReadSettings(Error)) return C.Finish(C.Refuse({Error}));
  if (*Ports) return C.ListPorts();
  if (*Monitor) return C.RunMonitorCommand();
  if (*Flash) return C.RunJobs(TFlashOp::Update);
  if (*Verify) return C.RunJobs(TFlashOp::Verify);
  if (*Read) return C.RunJobs(TFlashOp::Read);
  if (*Erase) return C.RunJobs(TFlashOp::Erase);
  if (*Info) return C.RunJobs(TFlashOp::None);
  return C.Finish(ExitBadInput);
}
