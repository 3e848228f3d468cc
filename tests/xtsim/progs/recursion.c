/* Recursion deep enough to use kilobytes of stack: each frame holds a local array, so a
 * stack pointer or a frame slot off by a word shows in the sums. */
#include "xt_port.h"

static uint32_t deep(uint32_t n, uint32_t seed) {
  volatile uint32_t local[8];
  for (unsigned i = 0; i < 8; ++i)
    local[i] = seed ^ (n * 8 + i);
  if (n == 0) return seed;
  uint32_t below = deep(n - 1, seed * 1103515245u + 12345u);
  uint32_t s = 0;
  for (unsigned i = 0; i < 8; ++i)
    s += local[i];
  return below ^ s;
}

static uint32_t ackermann(uint32_t m, uint32_t n) {
  if (m == 0) return n + 1;
  if (n == 0) return ackermann(m - 1, 1);
  return ackermann(m - 1, ackermann(m, n - 1));
}

static uint32_t fib(uint32_t n) {
  return n < 2 ? n : fib(n - 1) + fib(n - 2);
}

static int is_odd(uint32_t n);
static int is_even(uint32_t n) {
  return n == 0 ? 1 : is_odd(n - 1);
}
static int is_odd(uint32_t n) {
  return n == 0 ? 0 : is_even(n - 1);
}

int XT_MAIN(void) {
  xt_put(deep(XT_OPAQUE(1500), 1));
  xt_put(deep(XT_OPAQUE(10), 0xFFFFFFFFu));
  xt_put(ackermann(2, XT_OPAQUE(3)));
  xt_put(ackermann(XT_OPAQUE(3), 3));
  for (uint32_t i = 0; i < 20; ++i)
    xt_put(fib(XT_OPAQUE(i)));
  xt_put((uint32_t)is_even(XT_OPAQUE(777)));
  xt_put((uint32_t)is_odd(XT_OPAQUE(1000)));
  return 0;
}
