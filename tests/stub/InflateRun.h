// Drives the stub's streaming inflater the way the fast stub does: the stream in
// pieces, the output through a ring buffer in bounded steps. Shared by its tests and
// its fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "stub_inflate.h"

struct TInflated {
  uint32_t Result = STUB_Z_ERROR; // STUB_Z_END, STUB_Z_ERROR, or STUB_Z_MORE when cut short
  std::vector<uint8_t> Out;
  size_t Used = 0; // stream bytes that belong to the stream (unused look-ahead taken back)
};

// Piece: the stream's bytes handed over at a time; Step: output bytes allowed a call
// (the stub's STUB_PRODUCE_STEP); RingBits: the ring's size; Cap: output beyond this
// counts as an error (a bound for the fuzzer).
inline TInflated InflateStream(const uint8_t* Stream, size_t Size, size_t Piece, uint32_t Step,
                               uint32_t RingBits = 16, size_t Cap = 1u << 24) {
  TInflated R;
  stub_inflate z;
  stub_inflate_init(&z);
  std::vector<uint8_t> Ring(size_t(1) << RingBits);
  const uint32_t Mask = uint32_t(Ring.size() - 1);
  size_t At = 0;
  uint32_t Copied = 0;
  for (;;) {
    const size_t n = std::min(Piece, Size - At);
    uint32_t Used = 0;
    // As much room as the ring has: everything before Copied is taken out.
    const uint32_t Limit = Copied + std::min<uint32_t>(Step, uint32_t(Ring.size()));
    const uint32_t r =
        stub_inflate_run(&z, Stream + At, uint32_t(n), &Used, Ring.data(), Mask, Limit);
    if (Used > n || z.out > Limit) return R; // the inflater broke its own contract
    for (; Copied < z.out; ++Copied)
      R.Out.push_back(Ring[Copied & Mask]);
    At += Used;
    if (R.Out.size() > Cap) return R;
    if (r == STUB_Z_MORE) {
      if (At == Size) {
        R.Result = STUB_Z_MORE;
        return R;
      }
      continue;
    }
    if (r == STUB_Z_FULL) {
      if (z.out != Limit) return R; // full before the limit: no progress would follow
      continue;
    }
    R.Result = r;
    R.Used = At - (r == STUB_Z_END ? stub_inflate_unused(&z) : 0);
    return R;
  }
}

inline TInflated InflateStream(const std::vector<uint8_t>& Stream, size_t Piece, uint32_t Step,
                               uint32_t RingBits = 16) {
  return InflateStream(Stream.data(), Stream.size(), Piece, Step, RingBits);
}
