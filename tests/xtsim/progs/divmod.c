/* Division and remainder through libgcc: signed and unsigned, 32 and 64 bits, with
 * the rounding toward zero C requires for negative operands. No division by zero and no
 * INT_MIN / -1 (undefined in C). */
#include "xt_port.h"

static const uint32_t Values[] = {0u,          1u,          2u,          3u,          7u,
                                  10u,         0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFF9u,
                                  0xFFFFFFFEu, 0x12345678u, 65536u,      0x00010001u, 1000000007u};
#define N (sizeof Values / sizeof Values[0])

int XT_MAIN(void) {
  for (unsigned i = 0; i < N; ++i) {
    for (unsigned j = 0; j < N; ++j) {
      uint32_t a = XT_OPAQUE(Values[i]), b = XT_OPAQUE(Values[j]);
      if (b == 0) continue;
      int32_t sa = (int32_t)a, sb = (int32_t)b;
      xt_put(a / b);
      xt_put(a % b);
      if (!(sa == (int32_t)0x80000000 && sb == -1)) {
        xt_put((uint32_t)(sa / sb));
        xt_put((uint32_t)(sa % sb));
      }
      uint64_t wa = ((uint64_t)a << 32) | (b ^ 0x9E3779B9u), wb = (uint64_t)b;
      xt_put64(wa / wb);
      xt_put64(wa % wb);
      int64_t swa = (int64_t)wa, swb = (int64_t)(int32_t)b;
      if (!(swb == -1 && swa == (int64_t)0x8000000000000000ull)) {
        xt_put64((uint64_t)(swa / swb));
        xt_put64((uint64_t)(swa % swb));
      }
    }
  }
  /* Constant divisors: the compiler's multiply-and-shift replacements. */
  for (unsigned i = 0; i < N; ++i) {
    uint32_t a = XT_OPAQUE(Values[i]);
    int32_t sa = (int32_t)a;
    xt_put(a / 10u);
    xt_put(a % 10u);
    xt_put((uint32_t)(sa / 7));
    xt_put((uint32_t)(sa % 7));
    xt_put(a / 4096u);
    xt_put((uint32_t)(sa / 16));
  }
  return 0;
}
