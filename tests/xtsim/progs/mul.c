/* Multiplication: 16-bit operands (signed and unsigned), 32-bit products that wrap,
 * 64-bit products of 32-bit operands and of 64-bit ones. */
#include "xt_port.h"

static const uint32_t Values[] = {0u,          1u,          2u,          0xFFFFFFFFu, 0x7FFFFFFFu,
                                  0x80000000u, 0x0000FFFFu, 0x00007FFFu, 0xFFFF8000u, 0x00010001u,
                                  0x12345678u, 0xDEADBEEFu, 46341u,      65535u};
#define N (sizeof Values / sizeof Values[0])

int XT_MAIN(void) {
  for (unsigned i = 0; i < N; ++i) {
    for (unsigned j = 0; j < N; ++j) {
      uint32_t a = XT_OPAQUE(Values[i]), b = XT_OPAQUE(Values[j]);
      int16_t ha = (int16_t)a, hb = (int16_t)b;
      uint16_t ua = (uint16_t)a, ub = (uint16_t)b;
      xt_put((uint32_t)((int32_t)ha * (int32_t)hb)); /* MUL16S */
      xt_put((uint32_t)ua * (uint32_t)ub);           /* MUL16U */
      xt_put(a * b);                                 /* MULL */
      xt_put((uint32_t)((int32_t)a * (int32_t)b));
      xt_put64((uint64_t)a * b);
      xt_put64((uint64_t)((int64_t)(int32_t)a * (int32_t)b));
      uint64_t wa = ((uint64_t)a << 32) | b, wb = ((uint64_t)b << 32) | (a ^ 0x5A5A5A5Au);
      xt_put64(wa * wb);
    }
  }
  /* A multiply-accumulate loop of the kind checksums use. */
  uint32_t h = 2166136261u;
  for (unsigned i = 0; i < 200; ++i)
    h = (h ^ (i & 0xFF)) * 16777619u;
  xt_put(h);
  return 0;
}
