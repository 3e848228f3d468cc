#pragma once
// Runs one flash job per port, each on a thread of its own with its own debug log, shows
// their progress (a live line per board on a terminal, plain lines otherwise, nothing
// when quiet) and collects their results. A stop request stops every job; each then
// resets its board and closes its port.
#include <cstdint>
#include <string>
#include <vector>

#include "flash/uFlashJob.h"
#include "uCliOutput.h"
#include "uCliStop.h"

struct TBoardResult {
  std::string Port;
  TFlashResult Result;
  std::string
      Chip; // "ESP32", "ESP32-S2": the kind identified; "" before, or for a word we do not know
  std::string Mac; // "" until read
  double Seconds = 0;
  // The job's debug log, with each status the run showed and how it ended: a run that
  // never reached the chip still leaves the lines of its attempts.
  std::vector<std::string> Log;
};

struct TRunOptions {
  TStream Progress = TStream::Out; // where progress goes
  bool Quiet = false;              // no progress at all
  bool Verbose = false;            // each debug log line on stderr as it is written
  uint64_t TotalBytes = 0;         // of all images, for the progress of an Update
};

// The status the job shows while the whole flash is erased.
inline constexpr const char* ErasingStatus = "Erasing, please wait...";

// The chip's name for a kind, "" for none.
std::string ChipKindName(TController Kind);

// One request per port, all run at once; returns when every job has ended. Stop's
// requests stop the jobs; its forced exit resets their ports.
std::vector<TBoardResult> RunBoards(const std::vector<TFlashRequest>& Requests,
                                    const TRunOptions& Options, TCliOutput& Out, TCliStop& Stop);
