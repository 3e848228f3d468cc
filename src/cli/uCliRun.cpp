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

std::atomic<bool> CliStopRequested{false};

namespace {

using TClock = std::chrono::steady_clock;

// What the display shows of one board; guarded by the run's mutex.
struct TBoardView {
  std::string Port, Status, Mac;
  uint64_t Base = 0, ImageMax = 0, Pos = 0; // bytes of finished images, of the current one
  bool Done = false;
  bool Ok = false;
};

struct TShared {
  std::mutex M;
  std::condition_variable Changed;
  bool Dirty = false;
  std::vector<TBoardView> Views;
  TRunOptions Opt;

  // A plain line for a board, printed at once (not in live mode).
  void Plain(const std::string& Port, const std::string& Text) {
    if (Opt.Live) return;
    std::fprintf(Opt.Out, "%s: %s\n", Port.c_str(), Text.c_str());
    std::fflush(Opt.Out);
  }
};

class TBoardObserver : public IFlashObserver {
public:
  TBoardObserver(TShared& Sh, size_t Index) : FSh(Sh), FIndex(Index) {}
  void Status(const std::string& Text) override {
    Update([&](TBoardView& V) {
      V.Status = Text;
      FSh.Plain(V.Port, Text);
    });
  }
  // Plain output names each connect attempt once, not each of its tries.
  void ConnectTry(const std::string& Text) override {
    Update([&](TBoardView& V) { V.Status = Text; });
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
    });
  }
  void ProgressPos(uint32_t Pos) override {
    if (Pos == 0) return; // the bar taken back at an image's end
    Update([&](TBoardView& V) { V.Pos = Pos; });
  }
  void ProgressVisible(bool Visible) override {
    if (Visible) return;
    Update([&](TBoardView& V) {
      V.Base += V.ImageMax;
      V.ImageMax = V.Pos = 0;
    });
  }
  // The question was answered before any board was touched; a stop answers no.
  bool ConfirmErase() override { return !CliStopRequested; }
  void Finished(const TFlashResult& R) override {
    Update([&](TBoardView& V) {
      V.Done = true;
      V.Ok = R.Ok;
      // The live line keeps the reason in view; plain output has it in the summary.
      if (!R.Ok) V.Status += ": " + R.Message;
    });
  }

private:
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
};

int TerminalWidth() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO Info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &Info))
    return Info.srWindow.Right - Info.srWindow.Left + 1;
#else
  winsize W{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &W) == 0 && W.ws_col > 0) return W.ws_col;
#endif
  return 80;
}

std::string LiveLine(const TBoardView& V, uint64_t Total, size_t PortWidth) {
  std::string Line = V.Port;
  Line.append(PortWidth - V.Port.size() + 1, ' ');
  if (Total > 0) {
    const uint64_t Done = std::min(Total, V.Base + V.Pos);
    constexpr uint64_t Bar = 20;
    const size_t Filled = size_t(Done * Bar / Total);
    char Pc[16];
    std::snprintf(Pc, sizeof Pc, "] %3d%% ", int(Done * 100 / Total));
    Line.push_back('[');
    Line.append(Filled, '#');
    Line.append(Bar - Filled, '.');
    Line.append(Pc);
  }
  Line.append(V.Status);
  if (!V.Mac.empty()) Line.append("  ").append(V.Mac);
  return Line;
}

} // namespace

std::vector<TBoardResult> RunBoards(const std::vector<TFlashRequest>& Requests,
                                    const TRunOptions& Options) {
  TShared Sh;
  Sh.Opt = Options;
  size_t PortWidth = 0;
  for (const TFlashRequest& R : Requests) {
    Sh.Views.push_back({R.Port, "Waiting", "", 0, 0, 0, false, false});
    PortWidth = std::max(PortWidth, R.Port.size());
  }

  const size_t n = Requests.size();
  std::vector<TBoardResult> Results(n);
  std::vector<std::unique_ptr<TDebugLog>> Logs;
  std::vector<std::unique_ptr<TBoardObserver>> Observers;
  std::vector<std::unique_ptr<TFlashJob>> Jobs;
  for (size_t i = 0; i < n; ++i) {
    Logs.push_back(std::make_unique<TDebugLog>());
    Observers.push_back(std::make_unique<TBoardObserver>(Sh, i));
    Jobs.push_back(std::make_unique<TFlashJob>(Requests[i], *Observers[i], *Logs[i]));
    Results[i].Port = Requests[i].Port;
  }
  std::vector<std::thread> Threads;
  for (size_t i = 0; i < n; ++i)
    Threads.emplace_back([&, i] {
      const auto Start = TClock::now();
      TBoardResult& Res = Results[i];
      Res.Result = Jobs[i]->Run();
      Res.Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
      if (Jobs[i]->UsedCpu() == cESP32) Res.Chip = "ESP32";
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
    const size_t Width = size_t(std::max(20, TerminalWidth() - 1));
    std::string Out;
    if (Drawn) Out += "\x1b[" + std::to_string(Drawn) + "A";
    for (const TBoardView& V : Sh.Views) {
      std::string L = LiveLine(V, Options.TotalBytes, PortWidth);
      if (L.size() > Width) L.resize(Width); // a wrapped line would break the redraw
      Out += "\r\x1b[2K" + L + "\n";
    }
    Drawn = Sh.Views.size();
    std::fputs(Out.c_str(), Options.Out);
    std::fflush(Options.Out);
  };
  for (;;) {
    std::unique_lock<std::mutex> L(Sh.M);
    Sh.Changed.wait_for(L, std::chrono::milliseconds(100), [&] { return Sh.Dirty; });
    if (CliStopRequested && !Stopping) {
      Stopping = true;
      for (auto& J : Jobs)
        J->Stop();
    }
    const bool AllDone =
        std::all_of(Sh.Views.begin(), Sh.Views.end(), [](const TBoardView& V) { return V.Done; });
    if (Options.Live && (Sh.Dirty || AllDone)) Draw();
    Sh.Dirty = false;
    if (AllDone) break;
  }
  for (std::thread& T : Threads)
    T.join();
  for (size_t i = 0; i < n; ++i)
    Results[i].Log = Logs[i]->Lines();
  return Results;
}
