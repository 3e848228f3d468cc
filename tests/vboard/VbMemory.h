#pragma once
// The resident memory of a process as Linux reports it, for the board's tests that
// bound what a misbehaving client can make it hold.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace vbtest {

// A "VmRSS:" (current) or "VmHWM:" (peak) figure of /proc/<Pid>/status in KiB; -1 when
// it cannot be read.
inline long MemoryKiB(const char* Field, const std::string& Pid = "self") {
  std::ifstream f("/proc/" + Pid + "/status");
  std::string Line;
  while (std::getline(f, Line))
    if (Line.rfind(Field, 0) == 0) return std::atol(Line.c_str() + std::strlen(Field));
  return -1;
}

// Starts this process's peak count afresh, so that VmHWM shows only what comes after.
inline bool ResetPeakMemory() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  return static_cast<bool>(f.flush());
}

} // namespace vbtest
