#include "uCliRun.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

using TClock = std::chrono::steady_clock;

constexpr const char* Green = "\x1b[32m";
constexpr const char* Red = "\x1b[31m";
constexpr const char* Plain = "\x1b[0m";

// What the display shows of one board; guarded by the run's mutex.
struct TBoardView {
  std::string Port, Status, Mac;
  TClock::time_point StatusSince = TClock::now();
  uint64_t Base = 0, ImageMax = 0, Pos = 0; // bytes of finished images, of the current one
  bool EraseBar = false;                    // the bar is the ROM loader's erase, not an image
  bool Done = false;
  bool Ok = false;
  bool Erasing() const { return Status == ErasingStatus; }
};

struct TShared {
  std::mutex M;
  std::condition_variable Changed;
  bool Dirty = false;
  std::vector<TBoardView> Views;
  TRunOptions Opt;
  TCliOutput* Out = nullptr;
  bool Live = false;

  // A plain line for a board, printed at once (neither live nor quiet).
  void Plain(const std::string& Port, const std::string& Text) {
    if (Live || Opt.Quiet) return;
    Out->Write(Opt.Progress, Port + ": " + Text + "\n");
  }
};

// Each debug log line on stderr as it is written (--verbose).
class TLogEcho : public IDebugView {
public:
  TLogEcho(TCliOutput& Out, std::string Port) : FOut(Out), FPort(std::move(Port)) {}
  void LineAdded(const std::string& Line) override {
    FOut.Write(TStream::Err, FPort + ": " + Line + "\n");
  }
  void Cleared() override {}

private:
  TCliOutput& FOut;
  std::string FPort;
};

class TBoardObserver : public IFlashObserver {
public:
  TBoardObserver(TShared& Sh, size_t Index, TDebugLog& Log, const TCliStop& Stop)
      : FSh(Sh), FIndex(Index), FLog(Log), FStop(Stop) {}
  void Status(const std::string& Text) override {
    FLog.S("Status: " + Text);
    Update([&](TBoardView& V) {
      SetStatus(V, Text);
      FSh.Plain(V.Port, Text);
    });
  }
  // Plain output names each connect attempt once, not each of its tries.
  void ConnectTry(const std::string& Text) override {
    FLog.S("Status: " + Text);
    Update([&](TBoardView& V) { SetStatus(V, Text); });
  }
  void Led(bool) override {}
  void Mac(const std::string& Text) override {
    Update([&](TBoardView& V) {
      if (Text != "---") FSh.Plain(V.Port, "MAC " + Text);
      V.Mac = Text == "---" ? std::string() : Text;
    });
  }
  void ProgressMax(uint32_t Max) override {
    Update([&](TBoardView& V) {
      V.ImageMax = Max;
      V.Pos = 0;
      V.EraseBar = V.Erasing();
    });
  }
  void ProgressPos(uint32_t Pos) override {
    if (Pos == 0) return; // the bar taken back at an image's end
    Update([&](TBoardView& V) { V.Pos = Pos; });
  }
  void ProgressVisible(bool Visible) override {
    if (Visible) return;
    Update([&](TBoardView& V) {
      if (!V.EraseBar) V.Base += V.ImageMax;
      V.ImageMax = V.Pos = 0;
      V.EraseBar = false;
    });
  }
  // The question was answered before any board was touched; a stop answers no.
  bool ConfirmErase() override { return !FStop.Requested(); }
  void Finished(const TFlashResult& R) override {
    FLog.S(R.Ok ? std::string("Result: OK") : "Result: Error: " + R.Message);
    Update([&](TBoardView& V) {
      V.Done = true;
      V.Ok = R.Ok;
      // The live line keeps the reason in view; plain output has it in the summary.
      if (!R.Ok) V.Status += ": " + R.Message;
    });
  }

private:
  static void SetStatus(TBoardView& V, const std::string& Text) {
    if (Text != V.Status) V.StatusSince = TClock::now();
    V.Status = Text;
  }
  template <class F> void Update(F Change) {
    {
      std::lock_guard<std::mutex> L(FSh.M);
      Change(FSh.Views[FIndex]);
      FSh.Dirty = true;
    }
    FSh.Changed.notify_all();
  }
  TShared& FSh;
  size_t FIndex;
  TDebugLog& FLog;
  const TCliStop& FStop;
};

int TerminalWidth(TStream S) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO Info;
  if (GetConsoleScreenBufferInfo(
          GetStdHandle(S == TStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &Info))
    return Info.srWindow.Right - Info.srWindow.Left + 1;
#else
  winsize W{};
  if (ioctl(S == TStream::Out ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &W) == 0 && W.ws_col > 0)
    return W.ws_col;
#endif
  return 80;
}

std::string Seconds(TClock::duration D) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(D).count()) + " s";
}

// What a board still running waits for once a stop was asked: a command already sent
// is answered before the board can be reset.
std::string StoppingText(const TBoardView& V) {
  return V.Erasing() && !V.EraseBar ? "stopping, waiting for the chip erase to end"
                                    : "stopping, waiting for the current step to end";
}

// One board's live line, cut to Width visible characters; its end result in colour.
std::string LiveLine(const TBoardView& V, uint64_t Total, size_t PortWidth, bool Stopping,
                     bool Colour, size_t Width) {
  std::string Line = V.Port;
  Line.append(PortWidth - V.Port.size() + 1, ' ');
  const uint64_t BarMax = V.EraseBar ? V.ImageMax : Total;
  if (BarMax > 0) {
    const uint64_t Done = std::min(BarMax, V.EraseBar ? V.Pos : V.Base + V.Pos);
    constexpr uint64_t Bar = 20;
    const size_t Filled = size_t(Done * Bar / BarMax);
    char Pc[16];
    std::snprintf(Pc, sizeof Pc, "] %3d%% ", int(Done * 100 / BarMax));
    Line.push_back('[');
    Line.append(Filled, '#');
    Line.append(Bar - Filled, '.');
    Line.append(Pc);
  }
  std::string Status = V.Status;
  // A chip erase shows no progress of its own: its time shows that it goes on.
  const std::string Took = Seconds(TClock::now() - V.StatusSince);
  if (!V.Done && V.Erasing() && !V.EraseBar) Status.append(" ").append(Took);
  if (!V.Done && Stopping) Status = StoppingText(V).append(" (").append(Took).append(")");
  const std::string Tail = V.Mac.empty() ? std::string() : std::string("  ").append(V.Mac);
  if (Line.size() + Status.size() + Tail.size() > Width) {
    // A wrapped line would break the redraw.
    std::string All = (Line + Status + Tail).substr(0, Width);
    return All;
  }
  if (Colour && V.Done) Status = (V.Ok ? Green : Red) + Status + Plain;
  return Line + Status + Tail;
}

} // namespace

std::string ChipKindName(TController Kind) {
  switch (Kind) {
  case cESP32:
    return "ESP32";
  case cESP32S2:
    return "ESP32-S2";
  case cNONE:
    break;
  }
  return {};
}

std::vector<TBoardResult> RunBoards(const std::vector<TFlashRequest>& Requests,
                                    const TRunOptions& Options, TCliOutput& Out, TCliStop& Stop) {
  TShared Sh;
  Sh.Opt = Options;
  Sh.Out = &Out;
  Sh.Live = !Options.Quiet && Out.Live(Options.Progress);
  const bool Colour = Sh.Live && Out.Colour(Options.Progress);
  size_t PortWidth = 0;
  for (const TFlashRequest& R : Requests) {
    TBoardView V;
    V.Port = R.Port;
    V.Status = "Waiting";
    Sh.Views.push_back(V);
    PortWidth = std::max(PortWidth, R.Port.size());
  }

  const size_t n = Requests.size();
  std::vector<TBoardResult> Results(n);
  std::vector<std::unique_ptr<TDebugLog>> Logs;
  std::vector<std::unique_ptr<TLogEcho>> Echoes;
  std::vector<std::unique_ptr<TBoardObserver>> Observers;
  std::vector<std::unique_ptr<TFlashJob>> Jobs;
  std::vector<int> Forced;
  for (size_t i = 0; i < n; ++i) {
    Logs.push_back(std::make_unique<TDebugLog>());
    if (Options.Verbose) {
      Echoes.push_back(std::make_unique<TLogEcho>(Out, Requests[i].Port));
      Logs.back()->SetView(Echoes.back().get());
    }
    Observers.push_back(std::make_unique<TBoardObserver>(Sh, i, *Logs[i], Stop));
    Jobs.push_back(std::make_unique<TFlashJob>(Requests[i], *Observers[i], *Logs[i]));
    TFlashJob* Job = Jobs.back().get();
    Forced.push_back(
        Stop.AddForcedReset([Job](bool Dtr, bool Rts) { return Job->ForceLines(Dtr, Rts); }));
    Results[i].Port = Requests[i].Port;
  }
  std::vector<std::thread> Threads;
  for (size_t i = 0; i < n; ++i)
    Threads.emplace_back([&, i] {
      const auto Start = TClock::now();
      TBoardResult& Res = Results[i];
      Res.Result = Jobs[i]->Run();
      Res.Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
      Res.Chip = ChipKindName(Jobs[i]->UsedCpu());
      {
        std::lock_guard<std::mutex> L(Sh.M);
        Res.Mac = Sh.Views[i].Mac;
        Sh.Views[i].Done = true;
        Sh.Dirty = true;
      }
      Sh.Changed.notify_all();
    });

  bool Stopping = false;
  size_t Drawn = 0; // lines of the live display on screen
  const auto Draw = [&] {
    const size_t Width = size_t(std::max(20, TerminalWidth(Options.Progress) - 1));
    std::string Text;
    if (Drawn) Text += "\x1b[" + std::to_string(Drawn) + "A";
    for (const TBoardView& V : Sh.Views)
      Text +=
          "\r\x1b[2K" + LiveLine(V, Options.TotalBytes, PortWidth, Stopping, Colour, Width) + "\n";
    Drawn = Sh.Views.size();
    Out.Write(Options.Progress, Text);
  };
  auto LastDraw = TClock::now();
  for (;;) {
    std::unique_lock<std::mutex> L(Sh.M);
    Sh.Changed.wait_for(L, std::chrono::milliseconds(100), [&] { return Sh.Dirty; });
    if (Stop.Requested() && !Stopping) {
      Stopping = true;
      for (size_t i = 0; i < n; ++i) {
        Jobs[i]->Stop();
        if (!Sh.Views[i].Done) Sh.Plain(Sh.Views[i].Port, StoppingText(Sh.Views[i]));
      }
      Sh.Dirty = true;
    }
    const bool AllDone =
        std::all_of(Sh.Views.begin(), Sh.Views.end(), [](const TBoardView& V) { return V.Done; });
    // Redrawn on every change, and once a second while nothing changes (the erase's time).
    const bool Tick = TClock::now() - LastDraw >= std::chrono::seconds(1);
    if (Sh.Live && (Sh.Dirty || AllDone || Tick)) {
      Draw();
      LastDraw = TClock::now();
    }
    Sh.Dirty = false;
    if (AllDone) break;
  }
  for (std::thread& T : Threads)
    T.join();
  for (int Id : Forced)
    Stop.RemoveForcedReset(Id);
  for (size_t i = 0; i < n; ++i)
    Results[i].Log = Logs[i]->Lines();
  return Results;
}
