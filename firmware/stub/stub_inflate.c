/* Streaming inflater; see stub_inflate.h. Written from RFC 1951: block
 * types (3.2.3), stored blocks (3.2.4), the length and distance codes
 * (3.2.5), the fixed codes (3.2.6) and the dynamic block header (3.2.7).
 * Where the RFC leaves a choice open, the stricter reading is taken, so that a
 * stream is accepted exactly when a conforming decoder (zlib, which the host
 * compresses with) accepts it:
 *   - a set of code lengths that over-subscribes the code space is refused;
 *   - so is one that leaves it incomplete, except a literal/length or
 *     distance code of a single one-bit code (the RFC's one-distance-code
 *     case) and a distance code with no codes at all, which fails only when a
 *     block uses it; the code-length code must always be complete;
 *   - a dynamic header with more than 286 literal/length or 30 distance codes,
 *     a literal/length code without the end-of-block symbol, a repeat of the
 *     previous length at the first position or past the last are refused;
 *   - length symbols 286 and 287 and distance symbols 30 and 31 are refused,
 *     and so is a distance back past the start of the stream. */
#include "stub_inflate.h"

enum {
  S_HEADER,
  S_STORED_LEN,
  S_STORED,
  S_COUNTS,
  S_CODELEN_CODE,
  S_CODELENS,
  S_REPEAT,
  S_SYMBOL,
  S_LEN_EXTRA,
  S_DIST,
  S_DIST_EXTRA,
  S_COPY,
  S_END,
  S_ERROR
};

/* Bases and extra bits of the length symbols 257..285 and the distance
 * symbols 0..29 (RFC 1951 3.2.5), and the order in which the code-length
 * code's lengths are sent (3.2.7). */
static const uint16_t len_base[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
static const uint8_t len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t dist_base[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const uint8_t dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
static const uint8_t clen_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};

/* Makes at least n (at most 25) bits available; 0 when the input piece ends first. */
static uint32_t need(struct stub_inflate* z, uint32_t n) {
  while (z->nbits < n) {
    if (z->in_left == 0) return 0;
    z->bits |= (uint32_t)*z->in++ << z->nbits;
    z->nbits += 8;
    z->in_left--;
  }
  return 1;
}

static uint32_t take(struct stub_inflate* z, uint32_t n) {
  uint32_t v = z->bits & ((1u << n) - 1u);
  z->bits >>= n;
  z->nbits -= n;
  return v;
}

enum { KIND_CODES, KIND_LENS };

/* The decoding tables for the n code lengths at lens. Returns 0, or 1 when the
 * lengths do not form a code this decoder accepts (see the top of the file). */
static uint32_t build(struct stub_huff* h, const uint8_t* lens, uint32_t n, uint32_t kind) {
  uint16_t next[16];
  uint32_t i, len, left, code, max = 0;
  for (len = 0; len < 16; ++len)
    h->count[len] = 0;
  for (i = 0; i < n; ++i)
    h->count[lens[i]]++;
  h->count[0] = 0;
  left = 1;
  for (len = 1; len < 16; ++len) {
    left <<= 1;
    if (h->count[len] > left) return 1; /* over-subscribed */
    left -= h->count[len];
    if (h->count[len]) max = len;
  }
  /* Incomplete: refused, but for a single one-bit code, and for a code with
   * no lengths at all (a distance code a block never uses; decoding it fails). */
  if (left && (kind == KIND_CODES || max > 1)) return 1;
  /* Canonical codes: the shorter first, in symbol order within a length. */
  next[1] = 0;
  for (len = 1; len < 15; ++len)
    next[len + 1] = (uint16_t)(next[len] + h->count[len]);
  for (i = 0; i < n; ++i)
    if (lens[i]) h->sym[next[lens[i]]++] = (uint16_t)i;
  /* The lookup of the short codes: the bits arrive first bit of the code
   * first, lowest in the bit buffer, so a code's table index is its bits
   * reversed; every index that continues it with other bits is filled too. */
  for (i = 0; i < (1u << STUB_Z_FAST_BITS); ++i)
    h->fast[i] = 0;
  code = 0;
  i = 0;
  for (len = 1; len <= STUB_Z_FAST_BITS; ++len) {
    uint32_t k;
    for (k = 0; k < h->count[len]; ++k, ++code, ++i) {
      uint32_t rev = 0, b, j;
      for (b = 0; b < len; ++b)
        rev |= ((code >> b) & 1u) << (len - 1 - b);
      for (j = rev; j < (1u << STUB_Z_FAST_BITS); j += 1u << len)
        h->fast[j] = (uint16_t)(len << 12 | h->sym[i]);
    }
    code <<= 1;
  }
  return 0;
}

/* Decodes one symbol: its value, or -1 when the input piece ends before the
 * code does, or -2 for bits that are no code. */
static int32_t decode(struct stub_inflate* z, const struct stub_huff* h) {
  uint32_t e, len, code = 0, first = 0, index = 0;
  need(z, 15); /* as many as there are; a short code may be whole already */
  e = h->fast[z->bits & ((1u << STUB_Z_FAST_BITS) - 1u)];
  if (e && (e >> 12) <= z->nbits) {
    take(z, e >> 12);
    return (int32_t)(e & 0x1FFu);
  }
  /* Bit by bit through the canonical code: codes of one length are
   * consecutive numbers, starting where the shorter ones left off. */
  for (len = 1; len < 16; ++len) {
    uint32_t count;
    if (len > z->nbits) return -1;
    code |= (z->bits >> (len - 1)) & 1u;
    count = h->count[len];
    if (code - first < count) {
      take(z, len);
      return (int32_t)h->sym[index + code - first];
    }
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -2;
}

static void fixed_tables(struct stub_inflate* z) {
  uint32_t i;
  for (i = 0; i < 288; ++i)
    z->lens[i] = (uint8_t)(i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8);
  build(&z->lit, z->lens, 288, KIND_LENS);
  for (i = 0; i < 32; ++i)
    z->lens[i] = 5;
  build(&z->dst, z->lens, 32, KIND_LENS);
}

void stub_inflate_init(struct stub_inflate* z) {
  z->state = S_HEADER;
  z->bits = z->nbits = 0;
  z->last = 0;
  z->out = 0;
  z->work = 0;
}

uint32_t stub_inflate_unused(const struct stub_inflate* z) {
  return z->nbits >> 3;
}

uint32_t stub_inflate_run(struct stub_inflate* z, const uint8_t* in, uint32_t in_len,
                          uint32_t* used, uint8_t* ring, uint32_t mask, uint32_t limit) {
  uint32_t r;
  int32_t sym;
  z->in = in;
  z->in_left = in_len;
  for (;;) {
    switch (z->state) {
    case S_HEADER:
      if (!need(z, 3)) goto more;
      r = take(z, 3);
      z->last = r & 1u;
      r >>= 1;
      if (r == 0) {
        take(z, z->nbits & 7u); /* to the byte boundary */
        z->state = S_STORED_LEN;
      } else if (r == 1) {
        fixed_tables(z);
        z->state = S_SYMBOL;
      } else if (r == 2) {
        z->state = S_COUNTS;
      } else {
        goto bad;
      }
      break;
    case S_STORED_LEN:
      if (!need(z, 32)) goto more;
      z->len = take(z, 16);
      if (take(z, 16) != (~z->len & 0xFFFFu)) goto bad;
      z->state = S_STORED;
      break;
    case S_STORED:
      while (z->len) {
        uint8_t c;
        if (z->out == limit) goto full;
        if (z->nbits) { /* whole bytes taken ahead before the length was known */
          c = (uint8_t)take(z, 8);
        } else if (z->in_left) {
          c = *z->in++;
          z->in_left--;
        } else {
          goto more;
        }
        ring[z->out++ & mask] = c;
        z->len--;
      }
      z->state = z->last ? S_END : S_HEADER;
      break;
    case S_COUNTS:
      if (!need(z, 14)) goto more;
      z->hlit = take(z, 5) + 257;
      z->hdist = take(z, 5) + 1;
      z->hclen = take(z, 4) + 4;
      if (z->hlit > 286 || z->hdist > 30) goto bad;
      for (r = 0; r < 19; ++r)
        z->clens[r] = 0;
      z->n = 0;
      z->state = S_CODELEN_CODE;
      break;
    case S_CODELEN_CODE:
      while (z->n < z->hclen) {
        if (!need(z, 3)) goto more;
        z->clens[clen_order[z->n++]] = (uint8_t)take(z, 3);
      }
      if (build(&z->lit, z->clens, 19, KIND_CODES)) goto bad;
      z->n = 0;
      z->state = S_CODELENS;
      break;
    case S_CODELENS:
      while (z->n < z->hlit + z->hdist) {
        sym = decode(z, &z->lit);
        if (sym == -1) goto more;
        if (sym < 0) goto bad;
        if (sym < 16) {
          z->lens[z->n++] = (uint8_t)sym;
        } else {
          z->rsym = (uint32_t)sym;
          z->state = S_REPEAT;
          break;
        }
      }
      if (z->state == S_REPEAT) break;
      /* All lengths read: the two codes. */
      if (z->lens[256] == 0) goto bad;
      if (build(&z->lit, z->lens, z->hlit, KIND_LENS)) goto bad;
      if (build(&z->dst, z->lens + z->hlit, z->hdist, KIND_LENS)) goto bad;
      z->state = S_SYMBOL;
      break;
    case S_REPEAT: {
      uint32_t count, value = 0;
      if (z->rsym == 16) {
        if (!need(z, 2)) goto more;
        if (z->n == 0) goto bad;
        value = z->lens[z->n - 1];
        count = 3 + take(z, 2);
      } else if (z->rsym == 17) {
        if (!need(z, 3)) goto more;
        count = 3 + take(z, 3);
      } else {
        if (!need(z, 7)) goto more;
        count = 11 + take(z, 7);
      }
      if (z->n + count > z->hlit + z->hdist) goto bad;
      while (count--)
        z->lens[z->n++] = (uint8_t)value;
      z->state = S_CODELENS;
      break;
    }
    case S_SYMBOL:
      for (;;) {
        if (z->out == limit) goto full;
        sym = decode(z, &z->lit);
        if (sym == -1) goto more;
        if (sym < 0) goto bad;
        z->work++;
        if (sym < 256) {
          ring[z->out++ & mask] = (uint8_t)sym;
          continue;
        }
        break;
      }
      if (sym == 256) {
        z->state = z->last ? S_END : S_HEADER;
        break;
      }
      sym -= 257;
      if (sym >= 29) goto bad;
      z->len = len_base[sym];
      z->extra = len_extra[sym];
      z->state = S_LEN_EXTRA;
      break;
    case S_LEN_EXTRA:
      if (!need(z, z->extra)) goto more;
      z->len += take(z, z->extra);
      z->state = S_DIST;
      break;
    case S_DIST:
      sym = decode(z, &z->dst);
      if (sym == -1) goto more;
      if (sym < 0 || sym >= 30) goto bad;
      z->work++;
      z->dist = dist_base[sym];
      z->extra = dist_extra[sym];
      z->state = S_DIST_EXTRA;
      break;
    case S_DIST_EXTRA:
      if (!need(z, z->extra)) goto more;
      z->dist += take(z, z->extra);
      if (z->dist > z->out) goto bad; /* before the start of the stream */
      z->state = S_COPY;
      break;
    case S_COPY:
      /* The source may overlap what is being written (a run): byte by byte. */
      while (z->len) {
        if (z->out == limit) goto full;
        ring[z->out & mask] = ring[(z->out - z->dist) & mask];
        z->out++;
        z->len--;
      }
      z->state = S_SYMBOL;
      break;
    case S_END:
      *used = in_len - z->in_left;
      return STUB_Z_END;
    default:
      *used = in_len - z->in_left;
      return STUB_Z_ERROR;
    }
  }
more:
  *used = in_len;
  return STUB_Z_MORE;
full:
  *used = in_len - z->in_left;
  return STUB_Z_FULL;
bad:
  z->state = S_ERROR;
  *used = in_len - z->in_left;
  return STUB_Z_ERROR;
}
