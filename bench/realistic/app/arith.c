/* Arithmetic helpers that the compiler calls on this core (no divider, no
 * floating-point unit) and that Debian's libgcc for xtensa-lx106 does not hold:
 * 32- and 64-bit division and remainder, the 64-bit product, and the two
 * double-precision operations SQLite still uses with SQLITE_OMIT_FLOATING_POINT.
 * Written with shifts, additions and 32-bit products only, so that none of them
 * calls itself. */
#include <stdint.h>

typedef union {
  double d;
  uint64_t u;
} bits64;

static uint32_t udivmod32(uint32_t n, uint32_t d, uint32_t* rem) {
  uint32_t q = 0, r = 0;
  if (d == 0) {
    *rem = n;
    return UINT32_MAX;
  }
  for (int i = 31; i >= 0; --i) {
    r = (r << 1) | ((n >> i) & 1u);
    if (r >= d) r -= d, q |= 1u << i;
  }
  *rem = r;
  return q;
}

static uint64_t udivmod64(uint64_t n, uint64_t d, uint64_t* rem) {
  uint64_t q = 0, r = 0;
  if (d == 0) {
    *rem = n;
    return UINT64_MAX;
  }
  for (int i = 63; i >= 0; --i) {
    r = (r << 1) | ((n >> i) & 1u);
    if (r >= d) r -= d, q |= (uint64_t)1 << i;
  }
  *rem = r;
  return q;
}

uint32_t __udivsi3(uint32_t n, uint32_t d);
uint32_t __umodsi3(uint32_t n, uint32_t d);
int32_t __divsi3(int32_t n, int32_t d);
uint64_t __udivdi3(uint64_t n, uint64_t d);
uint64_t __umoddi3(uint64_t n, uint64_t d);
int64_t __divdi3(int64_t n, int64_t d);
int64_t __moddi3(int64_t n, int64_t d);
uint64_t __muldi3(uint64_t a, uint64_t b);
double __muldf3(double a, double b);
int32_t __fixdfsi(double a);

uint32_t __udivsi3(uint32_t n, uint32_t d) {
  uint32_t r;
  return udivmod32(n, d, &r);
}

uint32_t __umodsi3(uint32_t n, uint32_t d) {
  uint32_t r;
  udivmod32(n, d, &r);
  return r;
}

int32_t __divsi3(int32_t n, int32_t d) {
  uint32_t r, un = n < 0 ? 0u - (uint32_t)n : (uint32_t)n,
              ud = d < 0 ? 0u - (uint32_t)d : (uint32_t)d;
  uint32_t q = udivmod32(un, ud, &r);
  return (int32_t)((n < 0) != (d < 0) ? 0u - q : q);
}

uint64_t __udivdi3(uint64_t n, uint64_t d) {
  uint64_t r;
  return udivmod64(n, d, &r);
}

uint64_t __umoddi3(uint64_t n, uint64_t d) {
  uint64_t r;
  udivmod64(n, d, &r);
  return r;
}

int64_t __divdi3(int64_t n, int64_t d) {
  uint64_t r, un = n < 0 ? 0u - (uint64_t)n : (uint64_t)n,
              ud = d < 0 ? 0u - (uint64_t)d : (uint64_t)d;
  uint64_t q = udivmod64(un, ud, &r);
  return (int64_t)((n < 0) != (d < 0) ? 0u - q : q);
}

/* libgcc's own __moddi3 would pull in a helper that is missing as well. */
int64_t __moddi3(int64_t n, int64_t d) {
  uint64_t r, un = n < 0 ? 0u - (uint64_t)n : (uint64_t)n,
              ud = d < 0 ? 0u - (uint64_t)d : (uint64_t)d;
  udivmod64(un, ud, &r);
  return (int64_t)(n < 0 ? 0u - r : r);
}

/* Full 64-bit product of two 32-bit values, from 16-bit halves. */
static uint64_t mul32x32(uint32_t a, uint32_t b) {
  uint32_t a0 = a & 0xFFFFu, a1 = a >> 16, b0 = b & 0xFFFFu, b1 = b >> 16;
  uint32_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  uint32_t mid = (p00 >> 16) + (p01 & 0xFFFFu) + (p10 & 0xFFFFu);
  uint32_t lo = (p00 & 0xFFFFu) | (mid << 16);
  uint32_t hi = p11 + (p01 >> 16) + (p10 >> 16) + (mid >> 16);
  return (uint64_t)hi << 32 | lo;
}

uint64_t __muldi3(uint64_t a, uint64_t b) {
  uint32_t al = (uint32_t)a, ah = (uint32_t)(a >> 32), bl = (uint32_t)b, bh = (uint32_t)(b >> 32);
  uint64_t p = mul32x32(al, bl);
  return p + ((uint64_t)(ah * bl + al * bh) << 32);
}

/* 128-bit product of two 64-bit values, as high and low halves. */
static void mul64x64(uint64_t a, uint64_t b, uint64_t* hi, uint64_t* lo) {
  uint32_t a0 = (uint32_t)a, a1 = (uint32_t)(a >> 32), b0 = (uint32_t)b, b1 = (uint32_t)(b >> 32);
  uint64_t p00 = mul32x32(a0, b0), p01 = mul32x32(a0, b1), p10 = mul32x32(a1, b0),
           p11 = mul32x32(a1, b1);
  uint64_t mid = (p00 >> 32) + (uint32_t)p01 + (uint32_t)p10;
  *lo = (p00 & 0xFFFFFFFFu) | (mid << 32);
  *hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}

#define EXP_MAX 0x7FF
#define FRAC_BITS 52
#define FRAC_MASK (((uint64_t)1 << FRAC_BITS) - 1)
#define HIDDEN ((uint64_t)1 << FRAC_BITS)

/* Mantissa with its hidden bit and unbiased-by-1023 exponent; subnormals normalised. */
static uint64_t unpack(uint64_t u, int* exp) {
  uint64_t m = u & FRAC_MASK;
  int e = (int)((u >> FRAC_BITS) & EXP_MAX);
  if (e == 0) {
    e = 1;
    while (m && !(m & HIDDEN))
      m <<= 1, --e;
  } else {
    m |= HIDDEN;
  }
  *exp = e;
  return m;
}

/* IEEE 754 binary64 product, rounded to nearest, ties to even. */
double __muldf3(double a, double b) {
  bits64 x = {a}, y = {b}, r;
  uint64_t sign = (x.u ^ y.u) & ((uint64_t)1 << 63);
  int ex = (int)((x.u >> FRAC_BITS) & EXP_MAX), ey = (int)((y.u >> FRAC_BITS) & EXP_MAX);
  int xnan = ex == EXP_MAX && (x.u & FRAC_MASK), ynan = ey == EXP_MAX && (y.u & FRAC_MASK);
  int xzero = !(x.u << 1), yzero = !(y.u << 1);
  if (xnan || ynan || (ex == EXP_MAX && yzero) || (ey == EXP_MAX && xzero)) {
    r.u = 0x7FF8000000000000ull;
    return r.d;
  }
  if (ex == EXP_MAX || ey == EXP_MAX) {
    r.u = sign | 0x7FF0000000000000ull;
    return r.d;
  }
  if (xzero || yzero) {
    r.u = sign;
    return r.d;
  }
  uint64_t mx = unpack(x.u, &ex), my = unpack(y.u, &ey), hi, lo;
  /* mx, my in [2^52, 2^53): the product is in [2^104, 2^106). */
  mul64x64(mx << 11, my << 11, &hi, &lo); /* now in [2^126, 2^128) */
  int e = ex + ey - 1023;
  if (!(hi >> 63))
    hi = hi << 1 | lo >> 63, lo <<= 1;
  else
    ++e;
  /* hi holds 64 significant bits: keep 53, round on the other 11 and on lo. */
  uint64_t v = hi;
  int sticky = lo != 0;
  if (e <= 0) { /* subnormal result: shift right, folding what falls off into sticky */
    int shift = 1 - e;
    if (shift > 63) {
      r.u = sign;
      return r.d;
    }
    sticky |= (v & (((uint64_t)1 << shift) - 1)) != 0;
    v >>= shift;
    e = 0;
  }
  uint64_t m = v >> 11, rest = v & 0x7FFu;
  if (rest > 0x400u || (rest == 0x400u && (sticky || (m & 1u)))) {
    ++m;
    if (m >> 53) m >>= 1, ++e;
  }
  if (e == 0 && (m & HIDDEN)) e = 1; /* rounded up into the normal range */
  if (e >= EXP_MAX) {
    r.u = sign | 0x7FF0000000000000ull;
    return r.d;
  }
  r.u = sign | (uint64_t)e << FRAC_BITS | (m & FRAC_MASK);
  return r.d;
}

/* Truncation toward zero; out-of-range values saturate, NaN gives 0. */
int32_t __fixdfsi(double a) {
  bits64 x = {a};
  int e = (int)((x.u >> FRAC_BITS) & EXP_MAX) - 1023;
  int neg = (int)(x.u >> 63);
  if (e < 0) return 0;
  if (e == EXP_MAX - 1023 && (x.u & FRAC_MASK)) return 0;
  if (e >= 31) return neg ? INT32_MIN : INT32_MAX;
  uint32_t v = (uint32_t)(((x.u & FRAC_MASK) | HIDDEN) >> (FRAC_BITS - e));
  return neg ? -(int32_t)v : (int32_t)v;
}
