/* Struct copies (inline and through memcpy), structs passed and returned by value,
 * arrays of structs, bit-fields and packed layouts. */
#include "xt_port.h"

struct small {
  uint8_t a;
  uint16_t b;
  uint32_t c;
};
struct big {
  uint32_t w[13];
  uint8_t tail[3];
};
struct bits {
  uint32_t lo : 3;
  uint32_t mid : 11;
  int32_t sgn : 5;
  uint32_t hi : 13;
};
struct __attribute__((packed)) packed {
  uint8_t tag;
  uint32_t word;
  uint16_t half;
};

static struct big make_big(uint32_t seed) {
  struct big b;
  for (unsigned i = 0; i < 13; ++i)
    b.w[i] = seed * (i + 1) ^ (seed >> i);
  b.tail[0] = (uint8_t)seed;
  b.tail[1] = (uint8_t)(seed >> 8);
  b.tail[2] = (uint8_t)(seed >> 16);
  return b;
}

static uint32_t sum_big(struct big b) {
  uint32_t s = 0;
  for (unsigned i = 0; i < 13; ++i)
    s = s * 3 + b.w[i];
  return s + b.tail[0] + b.tail[1] * 7u + b.tail[2] * 11u;
}

static struct small swap_small(struct small s) {
  struct small r = {(uint8_t)s.c, (uint16_t)(s.a | (s.b << 8)), s.c ^ s.b};
  return r;
}

static struct big pool[4];
static struct packed packs[5];

int XT_MAIN(void) {
  for (uint32_t i = 0; i < 4; ++i)
    pool[i] = make_big(XT_OPAQUE(0x1234567u * (i + 1)));
  struct big copy = pool[2];
  pool[2] = pool[0];
  pool[0] = copy;
  for (unsigned i = 0; i < 4; ++i)
    xt_put(sum_big(pool[i]));
  struct small s = {XT_OPAQUE(0xAB), (uint16_t)XT_OPAQUE(0xCDEF), XT_OPAQUE(0x01234567)};
  for (unsigned i = 0; i < 5; ++i) {
    s = swap_small(s);
    xt_put(s.a);
    xt_put(s.b);
    xt_put(s.c);
  }
  struct bits b = {0};
  for (uint32_t i = 0; i < 40; ++i) {
    uint32_t v = XT_OPAQUE(i * 0x9E3779B9u);
    b.lo = v;
    b.mid = v >> 3;
    b.sgn = (int32_t)(v >> 14);
    b.hi = v >> 19;
    xt_put(b.lo);
    xt_put(b.mid);
    xt_put((uint32_t)b.sgn);
    xt_put(b.hi);
    xt_put(b.lo + b.mid + (uint32_t)b.sgn + b.hi);
  }
  for (uint32_t i = 0; i < 5; ++i) {
    packs[i].tag = (uint8_t)(0xF0 + i);
    packs[i].word = XT_OPAQUE(0x89ABCDEFu + i * 0x11111111u);
    packs[i].half = (uint16_t)XT_OPAQUE(0x8000u + i);
  }
  for (unsigned i = 0; i < 5; ++i) {
    xt_put(packs[i].tag);
    xt_put(packs[i].word);
    xt_put(packs[i].half);
  }
  xt_put(sizeof(struct packed) * 5);
  return 0;
}
