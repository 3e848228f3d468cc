#include "uCliStop.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

// DoReset's pulse: EN held low through RTS, DTR released, for 50 ms.
constexpr auto ResetPulse = std::chrono::milliseconds(50);
// Requests closer together than this are one.
constexpr auto SameRequest = std::chrono::milliseconds(100);

#ifdef _WIN32
TCliStop* Instance = nullptr; // the console handler gets no context of its own
std::atomic<bool> RunOver{true};

BOOL WINAPI OnConsoleEvent(DWORD Event) {
  if (!Instance) return FALSE;
  Instance->OnRequest();
  // A closing console ends the process once this returns: give the jobs up to five
  // seconds to reset their boards and close their ports.
  if (Event == CTRL_CLOSE_EVENT || Event == CTRL_LOGOFF_EVENT || Event == CTRL_SHUTDOWN_EVENT)
    for (int i = 0; i < 50 && !RunOver; ++i)
      Sleep(100);
  return TRUE;
}
#endif

} // namespace

TCliStop::TCliStop(TCliOutput& Out) : FOut(Out) {}

void TCliStop::Catch() {
#ifdef _WIN32
  Instance = this;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGINT);
  sigaddset(&Set, SIGTERM);
  sigaddset(&Set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &Set, nullptr);
  // The thread lives as long as the program; it only ever waits or ends the program.
  std::thread([this, Set] {
    for (;;) {
      int Sig = 0;
      if (sigwait(&Set, &Sig) == 0) OnRequest();
    }
  }).detach();
#endif
}

void TCliStop::BeginRun(std::function<void()> OnForcedExit) {
  std::lock_guard<std::mutex> L(FLock);
  FRunning = true;
  FOnForcedExit = std::move(OnForcedExit);
#ifdef _WIN32
  RunOver = false;
#endif
}

void TCliStop::EndRun() {
  std::lock_guard<std::mutex> L(FLock);
  FRunning = false;
  FOnForcedExit = nullptr;
#ifdef _WIN32
  RunOver = true;
#endif
}

int TCliStop::AddForcedReset(TForce Force) {
  std::lock_guard<std::mutex> L(FLock);
  FPorts[++FNextId] = std::move(Force);
  return FNextId;
}

void TCliStop::RemoveForcedReset(int Id) {
  std::lock_guard<std::mutex> L(FLock);
  FPorts.erase(Id);
}

void TCliStop::OnRequest() {
  std::lock_guard<std::mutex> L(FLock);
  // One request can come twice: to the process and to its process group (timeout(1),
  // kill -INT -PGID). A second Ctrl-C a person types comes later than that.
  const auto Now = std::chrono::steady_clock::now();
  if (FCount == 1 && Now - FFirstAt < SameRequest) return;
  if (++FCount == 1) FFirstAt = Now;
  FRequested = true;
  if (!FRunning) {
    FOut.Message("stopped; no board was touched");
    ExitNow();
  }
  if (FCount == 1) {
    FOut.Message("stopping... (a second Ctrl-C quits at once)");
    return;
  }
  FOut.Message("quitting at once; resetting every board that is still connected");
  ResetPorts();
  if (FOnForcedExit) FOnForcedExit();
  ExitNow();
}

void TCliStop::ResetPorts() {
  // All boards at once: every EN low, one pause, every EN released.
  for (auto& P : FPorts)
    P.second(false, true);
  std::this_thread::sleep_for(ResetPulse);
  for (auto& P : FPorts)
    P.second(false, false);
}

void TCliStop::ExitNow() {
  FOut.Flush();
#ifdef _WIN32
  ExitProcess(ExitStopped);
#else
  _exit(ExitStopped);
#endif
}
