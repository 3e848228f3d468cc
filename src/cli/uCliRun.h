#pragma once
// Runs one flash job per port, each on a thread of its own with its own debug log, shows
// their progress (a live line per board on a terminal, plain lines otherwise) and
// collects their results. A stop request (Ctrl-C) stops every job; each then resets its
// board and closes its port.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flash/uFlashJob.h"

struct TBoardResult {
  std::string Port;
  TFlashResult Result;
  std::string Chip; // "ESP32" once identified; "" before
  std::string Mac;  // "" until read
  double Seconds = 0;
  std::vector<std::string> Log; // the job's debug log
};

struct TRunOptions {
  FILE* Out = stdout;      // where progress goes
  bool Live = false;       // redraw a line per board in place (a terminal)
  uint64_t TotalBytes = 0; // of all images, for the progress of an Update
};

// Set from a signal handler: the run stops every job at its next step.
extern std::atomic<bool> CliStopRequested;

// One request per port, all run at once; returns when every job has ended.
std::vector<TBoardResult> RunBoards(const std::vector<TFlashRequest>& Requests,
                                    const TRunOptions& Options);
