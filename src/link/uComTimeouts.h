#pragma once
// The time limits of a serial port in the Windows communications layout, kept by the
// port and applied by every backend.
#include <cstdint>

struct TComTimeouts {
  int32_t ReadInterval = -1;
  int32_t ReadTotalMultiplier = 0;
  int32_t ReadTotalConstant = 0;
  int32_t WriteTotalMultiplier = 100;
  int32_t WriteTotalConstant = 1000;
  bool operator==(const TComTimeouts&) const = default;
};
