/* Dense switches (jump tables, an indirect jump through a table in data memory),
 * sparse ones (compare chains), and calls through a table of function pointers. */
#include "xt_port.h"

static uint32_t dense(uint32_t k) {
  switch (k) {
  case 0:
    return 0x11;
  case 1:
    return 0x2222;
  case 2:
    return k * 3 + 7;
  case 3:
    return 0x44444444;
  case 4:
    return k << 20;
  case 5:
    return ~k;
  case 6:
    return 0x66;
  case 7:
    return k ^ 0xA5A5;
  case 8:
    return 0x80000000u;
  case 9:
    return 99;
  case 10:
    return 1010;
  case 11:
    return 0xB;
  default:
    return 0xDEFu;
  }
}

static int32_t sparse(int32_t k) {
  switch (k) {
  case -100000:
    return 1;
  case -3:
    return 2;
  case 17:
    return 3;
  case 255:
    return 4;
  case 256:
    return 5;
  case 4096:
    return 6;
  case 70000:
    return 7;
  case 0x7FFFFFFF:
    return 8;
  default:
    return -1;
  }
}

static uint32_t f_add(uint32_t a, uint32_t b) {
  return a + b;
}
static uint32_t f_sub(uint32_t a, uint32_t b) {
  return a - b;
}
static uint32_t f_xor(uint32_t a, uint32_t b) {
  return a ^ b;
}
static uint32_t f_mix(uint32_t a, uint32_t b) {
  return (a << 3) ^ (b >> 2);
}
static uint32_t (*const Ops[])(uint32_t, uint32_t) = {f_add, f_sub, f_xor, f_mix};

int XT_MAIN(void) {
  for (uint32_t k = 0; k < 14; ++k)
    xt_put(dense(XT_OPAQUE(k)));
  for (uint32_t k = 0xFFFFFFFEu; k != 2; ++k)
    xt_put(dense(XT_OPAQUE(k)));
  static const int32_t Keys[] = {-100000, -3, 17, 255, 256,  4096,  70000,          0x7FFFFFFF,
                                 0,       18, -4, 257, 4095, 69999, -2147483647 - 1};
  for (unsigned i = 0; i < sizeof Keys / sizeof Keys[0]; ++i)
    xt_put((uint32_t)sparse((int32_t)XT_OPAQUE((uint32_t)Keys[i])));
  uint32_t v = 1;
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t (*f)(uint32_t, uint32_t) = Ops[XT_OPAQUE(i) & 3];
    v = f(v, i * 0x01010101u);
    xt_put(v);
  }
  return 0;
}
