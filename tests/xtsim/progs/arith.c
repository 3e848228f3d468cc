/* Addition, subtraction, negation, comparisons and conditional selection at the edges
 * of the signed and unsigned 32-bit ranges (wrapping, as -fwrapv defines it). */
#include "xt_port.h"

static const uint32_t Edges[] = {0u,          1u,          2u,          3u,          0x7FFFFFFEu,
                                 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFEu, 0xFFFFFFFFu,
                                 0x0000FFFFu, 0x00010000u, 0x00008000u, 0xFFFF8000u, 255u,
                                 256u,        0x12345678u, 0xEDCBA987u};
#define N (sizeof Edges / sizeof Edges[0])

static int32_t smin(int32_t a, int32_t b) {
  return a < b ? a : b;
}
static uint32_t umax(uint32_t a, uint32_t b) {
  return a > b ? a : b;
}

/* Branch-immediate constants: the comparisons the compiler turns into BEQI/BLTI/BLTUI. */
static uint32_t classify(int32_t v) {
  uint32_t r = 0;
  if (v == -1) r |= 1;
  if (v == 12) r |= 2;
  if (v < 8) r |= 4;
  if (v >= 256) r |= 8;
  if ((uint32_t)v < 32768u) r |= 16;
  if ((uint32_t)v >= 65536u) r |= 32;
  if (v != 4) r |= 64;
  if (v < 0) r |= 128;
  if (v == 0) r |= 256;
  return r;
}

int XT_MAIN(void) {
  uint32_t acc = 0;
  for (unsigned i = 0; i < N; ++i) {
    uint32_t a = XT_OPAQUE(Edges[i]);
    int32_t sa = (int32_t)a;
    xt_put(classify(sa));
    xt_put((uint32_t)(-sa));
    xt_put((uint32_t)(sa < 0 ? -sa : sa));
    xt_put(~a);
    for (unsigned j = 0; j < N; ++j) {
      uint32_t b = XT_OPAQUE(Edges[j]);
      int32_t sb = (int32_t)b;
      xt_put(a + b);
      xt_put(a - b);
      xt_put((uint32_t)(sa + sb));
      xt_put((a << 1) + b); /* ADDX2 */
      xt_put((a << 2) - b); /* SUBX4 */
      xt_put((a << 3) + b);
      uint32_t flags = (uint32_t)(sa < sb) | (uint32_t)(a < b) << 1 | (uint32_t)(sa >= sb) << 2 |
                       (uint32_t)(a >= b) << 3 | (uint32_t)(a == b) << 4 |
                       (uint32_t)((a & b) == 0) << 5 | (uint32_t)((a & b) == b) << 6 |
                       (uint32_t)((a & b) != 0) << 7 | (uint32_t)((a & b) != b) << 8;
      xt_put(flags);
      xt_put((uint32_t)smin(sa, sb));
      xt_put(umax(a, b));
      xt_put(a & b);
      xt_put(a | b);
      xt_put(a ^ b);
      xt_put(b ? a : 0x55u);       /* MOVEQZ / MOVNEZ */
      xt_put(sb < 0 ? a : b ^ 1u); /* MOVLTZ / MOVGEZ */
      acc = acc * 31u + (a ^ (b >> 3));
    }
  }
  xt_put(acc);
  /* Counting bits: NSAU, NSA and the loops libgcc and the compiler make of them. */
  for (unsigned i = 0; i < N; ++i) {
    uint32_t a = XT_OPAQUE(Edges[i]);
    xt_put(a ? (uint32_t)__builtin_clz(a) : 32u);
    xt_put((uint32_t)__builtin_clrsb((int32_t)a));
    xt_put(a ? (uint32_t)__builtin_ctz(a) : 32u);
    xt_put((uint32_t)__builtin_popcount(a));
    xt_put((uint32_t)__builtin_ffs((int)a));
  }
  return 0;
}
