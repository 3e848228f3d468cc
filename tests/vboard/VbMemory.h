#pragma once
// The resident memory of a process as Linux reports it, for the board's tests that
// bound what a misbehaving client can make it hold.
#include <malloc.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define VB_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VB_ASAN 1
#endif
#endif
#ifdef VB_ASAN
// From the sanitizer runtime (its header is not installed with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

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

// The bytes this process holds allocated now. Unlike the resident size it does not count
// what the allocator keeps after a free (the address sanitizer's quarantine holds
// hundreds of megabytes), so it shows what the code under test keeps.
inline size_t LiveHeapBytes() {
#ifdef VB_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

} // namespace vbtest
