/* The flash digest; see stub_digest.h. */
#include "stub_digest.h"

#define K1 0x6A09E667u /* sqrt(2) */
#define K2 0xBB67AE85u /* sqrt(3) */
#define K3 0x3C6EF373u /* sqrt(5), made odd */
#define K4 0xA54FF53Bu /* sqrt(7), made odd */

static uint32_t rotl(uint32_t x, uint32_t r) {
  return (x << r) | (x >> (32 - r));
}

/* Bijective: a right xor-shift and an odd multiplication can each be undone. */
static uint32_t mix(uint32_t x) {
  x ^= x >> 15;
  x *= K2;
  x ^= x >> 13;
  x *= K4;
  x ^= x >> 16;
  return x;
}

void stub_digest_init(struct stub_digest* d) {
  d->a = K3;
  d->b = K1;
  d->len = 0;
}

void stub_digest_words(struct stub_digest* d, const uint32_t* w, uint32_t n) {
  uint32_t a = d->a, b = d->b;
  d->len += n * 4;
  while (n--) {
    uint32_t v = *w++;
    a = rotl(a + v * K1, 13) * K2;
    b = rotl(b ^ (v * K3), 17) * K4;
  }
  d->a = a;
  d->b = b;
}

void stub_digest_tail(struct stub_digest* d, uint32_t w, uint32_t k) {
  stub_digest_words(d, &w, 1);
  d->len -= 4 - k;
}

void stub_digest_final(const struct stub_digest* d, uint32_t out[2]) {
  uint32_t a = d->a ^ d->len, b = d->b + rotl(d->len, 16);
  a = mix(a ^ rotl(b, 11));
  b = mix(b + a);
  out[0] = a;
  out[1] = b;
}
