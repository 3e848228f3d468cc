/* Shifts by 0, 31 and every amount in between, left, logical right and arithmetic
 * right, constant and variable; 64-bit shifts; rotations; field extraction. */
#include "xt_port.h"

static const uint32_t Values[] = {0u,          1u,          0x80000000u, 0xFFFFFFFFu,
                                  0x7FFFFFFFu, 0x12345678u, 0xF0F0F0F0u, 0x00008001u};
#define N (sizeof Values / sizeof Values[0])

static uint32_t rotl(uint32_t v, unsigned n) {
  return n ? (v << n) | (v >> (32 - n)) : v;
}

int XT_MAIN(void) {
  for (unsigned i = 0; i < N; ++i) {
    uint32_t v = XT_OPAQUE(Values[i]);
    int32_t sv = (int32_t)v;
    /* Constant amounts at the edges. */
    xt_put(v << 0);
    xt_put(v << 1);
    xt_put(v << 31);
    xt_put(v >> 1);
    xt_put(v >> 15);
    xt_put(v >> 16);
    xt_put(v >> 31);
    xt_put((uint32_t)(sv >> 1));
    xt_put((uint32_t)(sv >> 16));
    xt_put((uint32_t)(sv >> 31));
    xt_put((v >> 5) & 0x1Fu); /* EXTUI */
    xt_put((v >> 16) & 0xFFFFu);
    xt_put((v >> 30) & 3u);
    /* Every variable amount. */
    for (unsigned n = 0; n < 32; ++n) {
      unsigned k = XT_OPAQUE(n);
      xt_put(v << k);
      xt_put(v >> k);
      xt_put((uint32_t)(sv >> k));
      xt_put(rotl(v, k));
    }
    /* 64-bit shifts: funnel shifts through SAR, or libgcc. */
    uint64_t w = ((uint64_t)v << 32) | XT_OPAQUE(Values[(i + 3) % N]);
    int64_t sw = (int64_t)w;
    for (unsigned n = 0; n < 64; n += 7) {
      unsigned k = XT_OPAQUE(n);
      xt_put64(w << k);
      xt_put64(w >> k);
      xt_put64((uint64_t)(sw >> k));
    }
    xt_put64(w << 63);
    xt_put64(w >> 63);
    xt_put64((uint64_t)(sw >> 63));
  }
  return 0;
}
