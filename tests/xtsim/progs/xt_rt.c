/* What freestanding C may call on the simulated core: the compiler emits calls to these
 * for struct copies and large initialisations. Byte loops on purpose: they are part of
 * what the programs exercise. */
#include <stddef.h>
#include <stdint.h>

void* memcpy(void* d, const void* s, size_t n) {
  uint8_t* dp = (uint8_t*)d;
  const uint8_t* sp = (const uint8_t*)s;
  while (n--)
    *dp++ = *sp++;
  return d;
}

void* memmove(void* d, const void* s, size_t n) {
  uint8_t* dp = (uint8_t*)d;
  const uint8_t* sp = (const uint8_t*)s;
  if (dp < sp) return memcpy(d, s, n);
  while (n--)
    dp[n] = sp[n];
  return d;
}

void* memset(void* d, int c, size_t n) {
  uint8_t* dp = (uint8_t*)d;
  while (n--)
    *dp++ = (uint8_t)c;
  return d;
}

int memcmp(const void* a, const void* b, size_t n) {
  const uint8_t *ap = (const uint8_t*)a, *bp = (const uint8_t*)b;
  for (; n; --n, ++ap, ++bp)
    if (*ap != *bp) return *ap - *bp;
  return 0;
}

/* Debian's libgcc for the lx106 toolchain has __modsi3, __moddi3, __divmoddi4 and
 * __udivmoddi4 but lacks the routines below, which C division and 64-bit multiplication
 * call (and which those four call in turn). They are written with 32-bit operations only,
 * so that nothing here calls back into the missing routines. */
typedef union {
  uint64_t w;
  struct {
    uint32_t lo, hi;
  } h;
} xt_u64;

static uint32_t udivmod32(uint32_t n, uint32_t d, uint32_t* rem) {
  uint32_t q = 0, r = 0;
  for (int i = 31; i >= 0; --i) {
    const uint32_t top = r >> 31; /* r << 1 would lose it: then r > d surely */
    r = (r << 1) | ((n >> i) & 1u);
    if (top || r >= d) {
      r -= d;
      q |= 1u << i;
    }
  }
  *rem = r;
  return q;
}

static void udivmod64(xt_u64 n, xt_u64 d, xt_u64* q, xt_u64* r) {
  uint32_t qlo = 0, qhi = 0, rlo = 0, rhi = 0;
  for (int i = 63; i >= 0; --i) {
    const uint32_t top = rhi >> 31;
    rhi = (rhi << 1) | (rlo >> 31);
    rlo = (rlo << 1) | ((i >= 32 ? n.h.hi >> (i - 32) : n.h.lo >> i) & 1u);
    if (top || rhi > d.h.hi || (rhi == d.h.hi && rlo >= d.h.lo)) {
      const uint32_t borrow = rlo < d.h.lo;
      rlo -= d.h.lo;
      rhi -= d.h.hi + borrow;
      if (i >= 32)
        qhi |= 1u << (i - 32);
      else
        qlo |= 1u << i;
    }
  }
  q->h.lo = qlo;
  q->h.hi = qhi;
  r->h.lo = rlo;
  r->h.hi = rhi;
}

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
  uint32_t r;
  const uint32_t un = n < 0 ? 0u - (uint32_t)n : (uint32_t)n;
  const uint32_t ud = d < 0 ? 0u - (uint32_t)d : (uint32_t)d;
  const uint32_t q = udivmod32(un, ud, &r);
  return (int32_t)((n < 0) != (d < 0) ? 0u - q : q);
}

uint64_t __umulsidi3(uint32_t a, uint32_t b) {
  const uint32_t al = a & 0xFFFFu, ah = a >> 16, bl = b & 0xFFFFu, bh = b >> 16;
  const uint32_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
  const uint32_t mid = (ll >> 16) + (lh & 0xFFFFu) + (hl & 0xFFFFu);
  xt_u64 p;
  p.h.lo = (ll & 0xFFFFu) | (mid << 16);
  p.h.hi = hh + (lh >> 16) + (hl >> 16) + (mid >> 16);
  return p.w;
}

uint64_t __muldi3(uint64_t a, uint64_t b) {
  xt_u64 x, y, p;
  x.w = a;
  y.w = b;
  p.w = __umulsidi3(x.h.lo, y.h.lo);
  p.h.hi += x.h.lo * y.h.hi + x.h.hi * y.h.lo;
  return p.w;
}

uint64_t __udivdi3(uint64_t n, uint64_t d) {
  xt_u64 x, y, q, r;
  x.w = n;
  y.w = d;
  udivmod64(x, y, &q, &r);
  return q.w;
}

uint64_t __umoddi3(uint64_t n, uint64_t d) {
  xt_u64 x, y, q, r;
  x.w = n;
  y.w = d;
  udivmod64(x, y, &q, &r);
  return r.w;
}

static xt_u64 neg64(xt_u64 v) {
  v.h.lo = ~v.h.lo;
  v.h.hi = ~v.h.hi;
  v.h.lo += 1;
  v.h.hi += v.h.lo == 0;
  return v;
}

int64_t __divdi3(int64_t n, int64_t d) {
  xt_u64 x, y, q, r;
  x.w = (uint64_t)n;
  y.w = (uint64_t)d;
  const int neg = (x.h.hi >> 31) != (y.h.hi >> 31);
  if (x.h.hi >> 31) x = neg64(x);
  if (y.h.hi >> 31) y = neg64(y);
  udivmod64(x, y, &q, &r);
  if (neg) q = neg64(q);
  return (int64_t)q.w;
}
