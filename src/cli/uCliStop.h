#pragma once
// Stop requests: Ctrl-C, SIGTERM and SIGHUP (a closing terminal or SSH session; on
// Windows the console's Ctrl-C, Ctrl-Break and close events). Before any board is
// touched a request ends the program at once. While boards are being worked on, the
// first asks every job to stop (each then resets its board and closes its port); a
// second ends the program at once, after pulsing the reset of every port still open.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "uCliOutput.h"

class TCliStop {
public:
  explicit TCliStop(TCliOutput& Out);
  TCliStop(const TCliStop&) = delete;
  TCliStop& operator=(const TCliStop&) = delete;

  // Starts taking the requests. Call before any other thread starts: on POSIX the
  // signals are blocked in every thread and taken by a thread of their own.
  void Catch();

  bool Requested() const { return FRequested; }

  // From here until EndRun boards may be touched: a request stops the jobs instead of
  // ending the program. OnForcedExit, if given, runs on the way out of a forced exit (it
  // writes what can still be said about the run).
  void BeginRun(std::function<void()> OnForcedExit = nullptr);
  void EndRun();

  // A port the forced exit resets: Force(Dtr, Rts) sets its lines from another thread
  // (TComPort::ForceLines). Remove it before what it refers to goes away.
  using TForce = std::function<bool(bool Dtr, bool Rts)>;
  int AddForcedReset(TForce Force);
  void RemoveForcedReset(int Id);

  // What a signal does; public for the platform's handler.
  void OnRequest();

private:
  [[noreturn]] void ExitNow();
  void ResetPorts();

  TCliOutput& FOut;
  std::atomic<bool> FRequested{false};
  std::mutex FLock; // guards everything below
  bool FRunning = false;
  int FCount = 0;
  std::chrono::steady_clock::time_point FFirstAt;
  int FNextId = 0;
  std::map<int, TForce> FPorts;
  std::function<void()> FOnForcedExit;
};

// The exit status of a run ended by a stop request (as after Ctrl-C: 128 + SIGINT).
inline constexpr int ExitStopped = 130;
