// quorvex-cli: the window's Update, Erase and chip identification from a terminal or a
// script, on one board or several at once (one job per port, each on its own thread).
// Exit status: 0 every board succeeded, 1 a board failed, 2 bad input (nothing was sent
// to any board), 130 stopped by Ctrl-C or SIGTERM (every board reset, every port closed).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "link/uPortList.h"
#include "uCliPlan.h"
#include "uCliRun.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr int ExitOk = 0, ExitBoardFailed = 1, ExitBadInput = 2, ExitStopped = 130;

using json = nlohmann::json;

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD Event) {
  CliStopRequested = true;
  // A closing console ends the process when this returns: give the jobs a moment to
  // reset their boards.
  if (Event == CTRL_CLOSE_EVENT) Sleep(5000);
  return TRUE;
}

// Whether the console takes the escape sequences of the live display.
bool EnableLiveOutput(FILE* F) {
  HANDLE H = GetStdHandle(F == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD Mode = 0;
  if (!GetConsoleMode(H, &Mode)) return false;
  return SetConsoleMode(H, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#else
void OnSignal(int) {
  CliStopRequested = true;
}
bool EnableLiveOutput(FILE*) {
  return true;
}
#endif

// Ctrl-C and SIGTERM stop every job; a second one ends the program at once.
void CatchStopSignals() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction Sa {};
  Sa.sa_handler = OnSignal;
  Sa.sa_flags = SA_RESETHAND;
  sigemptyset(&Sa.sa_mask);
  sigaction(SIGINT, &Sa, nullptr);
  sigaction(SIGTERM, &Sa, nullptr);
#endif
}

// A file name from a port name: letters, digits, '-' and '.' kept, anything else '_'.
std::string LogFileName(const std::string& Port) {
  std::string N;
  for (char c : Port)
    N.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_');
  return N + ".log";
}

struct TCli {
  // Shared options
  std::vector<std::string> Ports;
  std::string SettingsPath, LogDir;
  bool Json = false, NoStub = false;
  uint32_t Baud = 0;
  // flash
  std::string Boot, Part, Firm;
  std::vector<std::string> Pairs;
  bool AutoErase = false;
  CLI::Option* AutoEraseOpt = nullptr;
  // erase
  bool Yes = false;

  std::string Command;
  TSettings Settings;

  // Bad input: the messages on stderr (and as JSON), nothing sent anywhere.
  int Refuse(const std::vector<std::string>& Problems) const {
    for (const std::string& P : Problems)
      std::fprintf(stderr, "quorvex-cli: %s\n", P.c_str());
    if (Json)
      std::cout << json{{"command", Command}, {"ok", false}, {"errors", Problems}}.dump(2)
                << std::endl;
    return ExitBadInput;
  }

  // Settings: --settings FILE, else the file the window reads ("Quorvex.ini" beside the
  // program, or in the user's configuration folder for an installed program); refused
  // values keep their defaults, with a warning.
  bool ReadSettings(std::string& Error) {
    const bool Given = !SettingsPath.empty();
    const std::string File = Given ? SettingsPath : SettingsFiles().Read.string();
    std::vector<TSettingProblem> Problems;
    if (!LoadSettings(File, Given, Settings, Problems, Error)) {
      if (Given) return false;
      std::fprintf(stderr, "quorvex-cli: %s; it is ignored\n", Error.c_str());
      Settings = TSettings();
    }
    for (const TSettingProblem& P : Problems)
      std::fprintf(stderr, "quorvex-cli: %s: %s; the default stays\n", File.c_str(),
                   ConversionText(P).c_str());
    return true;
  }

  int ListPorts() const {
    std::vector<std::string> System;
    const bool Ok = SystemPortNames(System);
    std::vector<std::string> Names =
        MergePortNames(Ok, System, {}, ParseNetPorts(Settings.NetPorts));
    SortIgnoringCase(Names);
    SortNatural(Names);
    if (Json) {
      std::cout << json{{"command", "ports"}, {"ok", true}, {"ports", Names}}.dump(2) << std::endl;
    } else {
      for (const std::string& N : Names)
        std::printf("%s\n", N.c_str());
    }
    return ExitOk;
  }

  int RunJobs(TFlashOp Op) {
    if (Ports.empty() && !Settings.ComPort.empty()) Ports.push_back(Settings.ComPort);
    std::vector<std::string> Problems = CheckPorts(Ports);
    std::vector<TFlashImage> Images;
    std::vector<uint64_t> Sizes;
    if (Op == TFlashOp::Update) {
      Images = ImageList(Boot, Part, Firm, Pairs, Problems);
      const std::vector<std::string> More = CheckImages(Images, Sizes);
      Problems.insert(Problems.end(), More.begin(), More.end());
    }
    if (!Problems.empty()) return Refuse(Problems);
    if (Op == TFlashOp::Erase && !Yes && !ConfirmOnTerminal()) return ExitBadInput;

    TConfig Config = Settings.Config;
    if (Baud) Config.FastBaud = Baud;
    if (NoStub) Config.UseStub = false;
    std::vector<TFlashRequest> Requests;
    for (const std::string& Port : Ports) {
      TFlashRequest R;
      R.Operation = Op;
      R.Port = Port;
      R.Config = Config;
      R.AutoErase = AutoEraseOpt && AutoEraseOpt->count() ? AutoErase : Settings.AutoErase;
      R.Images = Images;
      Requests.push_back(R);
    }

    TRunOptions Opt;
    Opt.Out = Json ? stderr : stdout;
    Opt.Live = isatty(fileno(Opt.Out)) && EnableLiveOutput(Opt.Out);
    for (uint64_t S : Sizes)
      Opt.TotalBytes += S;
    CatchStopSignals();
    const std::vector<TBoardResult> Results = RunBoards(Requests, Opt);

    WriteLogs(Results);
    const bool Stopped = CliStopRequested;
    size_t Good = 0;
    for (const TBoardResult& R : Results)
      Good += R.Result.Ok ? 1 : 0;
    if (Json)
      PrintJson(Results, Stopped);
    else
      PrintSummary(Results, Good, Stopped);
    if (Stopped) return ExitStopped;
    return Good == Results.size() ? ExitOk : ExitBoardFailed;
  }

  // Erase without --yes asks once, on a terminal only, before any board is touched.
  bool ConfirmOnTerminal() const {
    if (!isatty(fileno(stdin)) || !isatty(fileno(stderr))) {
      Refuse({"erase erases the whole flash: confirm with --yes (no terminal to ask on)"});
      return false;
    }
    std::string List;
    for (const std::string& P : Ports)
      List += (List.empty() ? "" : ", ") + P;
    std::fprintf(stderr, "Erase the whole flash of the board%s on %s? [y/N] ",
                 Ports.size() > 1 ? "s" : "", List.c_str());
    std::fflush(stderr);
    std::string Answer;
    std::getline(std::cin, Answer);
    if (Answer == "y" || Answer == "Y" || Answer == "yes" || Answer == "YES") return true;
    std::fprintf(stderr, "quorvex-cli: not confirmed; nothing was erased\n");
    return false;
  }

  void WriteLogs(const std::vector<TBoardResult>& Results) const {
    if (LogDir.empty()) return;
    for (const TBoardResult& R : Results) {
      const std::string Name = LogDir + "/" + LogFileName(R.Port);
      std::ofstream F(Name, std::ios::binary | std::ios::trunc);
      for (const std::string& L : R.Log)
        F << L << '\n';
      if (!F) std::fprintf(stderr, "quorvex-cli: cannot write the log %s\n", Name.c_str());
    }
  }

  void PrintJson(const std::vector<TBoardResult>& Results, bool Stopped) const {
    json Boards = json::array();
    bool All = true;
    for (const TBoardResult& R : Results) {
      All = All && R.Result.Ok;
      Boards.push_back({{"port", R.Port},
                        {"ok", R.Result.Ok},
                        {"stopped", R.Result.Stopped},
                        {"message", R.Result.Message},
                        {"chip", R.Chip.empty() ? json() : json(R.Chip)},
                        {"mac", R.Mac.empty() ? json() : json(R.Mac)},
                        {"seconds", R.Seconds}});
    }
    std::cout
        << json{{"command", Command}, {"ok", All}, {"stopped", Stopped}, {"boards", Boards}}.dump(2)
        << std::endl;
  }

  void PrintSummary(const std::vector<TBoardResult>& Results, size_t Good, bool Stopped) const {
    size_t W = 0;
    for (const TBoardResult& R : Results)
      W = std::max(W, R.Port.size());
    for (const TBoardResult& R : Results) {
      std::string Line = R.Port + std::string(W - R.Port.size() + 2, ' ');
      if (R.Result.Ok) {
        Line += "OK    ";
        if (!R.Chip.empty()) Line += "  " + R.Chip;
        if (!R.Mac.empty()) Line += "  " + R.Mac;
      } else {
        Line += "Error   " + R.Result.Message;
      }
      char Time[32];
      std::snprintf(Time, sizeof Time, "  %.1f s", R.Seconds);
      std::printf("%s%s\n", Line.c_str(), Time);
    }
    std::printf("%zu of %zu board%s OK%s\n", Good, Results.size(), Results.size() > 1 ? "s" : "",
                Stopped ? " (stopped)" : "");
    std::fflush(stdout);
  }
};

} // namespace

int main(int argc, char** argv) {
  TCli C;
  CLI::App App{"quorvex-cli: writes firmware into ESP32 boards through their ROM loader, "
               "on several boards at once."};
  App.set_version_flag("--version", "quorvex-cli " QUORVEX_VERSION, "print the version and exit");
  // "Title: text" paragraphs: the manual page makes a section of each.
  App.footer("Settings: the window's Quorvex.ini, beside the program or, when that folder "
             "cannot be written (an installed program), in the user's configuration folder: "
             "$XDG_CONFIG_HOME/quorvex/Quorvex.ini (~/.config/quorvex/Quorvex.ini), "
             "%APPDATA%\\Quorvex\\Quorvex.ini on Windows.\n"
             "Exit status: 0 every board succeeded, 1 a board failed, 2 bad input (nothing was "
             "sent to any board), 130 stopped by Ctrl-C or SIGTERM (every board reset, every "
             "port closed).");
  App.require_subcommand(1);
  App.fallthrough();
  App.add_option("-p,--port", C.Ports,
                 "serial port (ttyUSB0, COM3, rfc2217://host:port); give it once per board "
                 "to work on several boards in parallel (default: the window's last port)")
      ->allow_extra_args(false); // one name per --port, so that OFFSET FILE pairs can follow
  App.add_option("--settings", C.SettingsPath,
                 "settings file to read (default: the window's Quorvex.ini, beside the "
                 "program or, when its folder cannot be written, in the user's configuration "
                 "folder)");
  const TSettingKey& FastBaud = *FindSettingKey("FastBaud");
  App.add_option("--baud", C.Baud, "bit rate after the switch (default: FastBaud, 921600)")
      ->check(CLI::Range(uint32_t(FastBaud.Min), uint32_t(FastBaud.Max)));
  App.add_flag("--no-stub", C.NoStub, "write through the ROM loader's own commands, no stub");
  App.add_flag("--json", C.Json, "results as JSON on stdout (progress goes to stderr)");
  App.add_option("--log-dir", C.LogDir, "write each board's debug log to DIR/<port>.log")
      ->check(CLI::ExistingDirectory);

  CLI::App* Flash = App.add_subcommand(
      "flash", "write images: --boot/--part/--firm at 0x1000/0x8000/0x10000, and any "
               "OFFSET FILE pairs");
  Flash->add_option("--boot", C.Boot, "bootloader image, written at 0x1000 (header patched)");
  Flash->add_option("--part", C.Part, "partition table image, written at 0x8000");
  Flash->add_option("--firm", C.Firm, "application image, written at 0x10000");
  Flash->add_option("images", C.Pairs, "OFFSET FILE pairs, e.g. 0x200000 data.bin")
      ->type_name("OFFSET FILE");
  C.AutoEraseOpt = Flash->add_flag("--auto-erase,!--no-auto-erase", C.AutoErase,
                                   "erase the whole flash first (default: AutoErase, on)");
  CLI::App* Erase = App.add_subcommand("erase", "erase the whole flash");
  Erase->add_flag("-y,--yes", C.Yes, "do not ask (required when not on a terminal)");
  CLI::App* Info = App.add_subcommand("info", "connect, show the chip and its MAC, reset");
  CLI::App* Ports = App.add_subcommand("ports", "list the serial ports, as the window does");
  for (CLI::App* Sub : {Flash, Erase, Info, Ports})
    Sub->fallthrough();

  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError& E) {
    const int Code = App.exit(E);
    return Code == 0 ? ExitOk : ExitBadInput;
  }
  C.Command = App.get_subcommands().front()->get_name();

  std::string Error;
  if (!C.ReadSettings(Error)) return C.Refuse({Error});
  if (*Ports) return C.ListPorts();
  if (*Flash) return C.RunJobs(TFlashOp::Update);
  if (*Erase) return C.RunJobs(TFlashOp::Erase);
  if (*Info) return C.RunJobs(TFlashOp::None);
  return ExitBadInput;
}
