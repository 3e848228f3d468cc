#pragma once
#include <cstdint>

// What the kernel holds for a tty, read with TCGETS2 (own translation unit: the
// kernel's termios header clashes with the C library's).
struct TLineProbe {
  bool Ok = false;
  uint32_t InSpeed = 0, OutSpeed = 0;
  bool Raw8N1 = false; // 8 data bits, no parity, one stop bit, no echo/canonical/flow control
};
TLineProbe ProbeLine(int Fd);
