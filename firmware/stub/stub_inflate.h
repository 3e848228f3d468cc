/* Streaming inflater for raw deflate streams (RFC 1951), for the fast stub.
 * The compressed stream arrives in pieces (one data frame at a time) and may
 * stop anywhere, even inside a code; the state below carries every partial
 * step over to the next piece. Output goes into a ring buffer of a power of
 * two bytes (at least the 32 KiB window), which is also the history that
 * back-references copy from. Plain C, no library, no allocation, so that it
 * runs on the chip, on the host and under the fuzzer alike. */
#ifndef QUORVEX_STUB_INFLATE_H
#define QUORVEX_STUB_INFLATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { STUB_Z_WINDOW = 32768 };

/* What stub_inflate_run stopped for. */
enum {
  STUB_Z_MORE = 0, /* the input piece is used up: give the next one */
  STUB_Z_FULL = 1, /* the output reached the limit given: make room, call again */
  STUB_Z_END = 2,  /* the final block has ended */
  STUB_Z_ERROR = 3 /* not a valid stream; nothing more comes out */
};

/* Decoding tables of one Huffman code: the number of codes of each length and
 * the symbols in canonical order (RFC 1951 3.2.2), and a lookup of the first
 * STUB_Z_FAST_BITS bits for the short codes: length << 12 | symbol, 0 where
 * the code is longer. */
enum { STUB_Z_FAST_BITS = 9 };
struct stub_huff {
  uint16_t count[16];
  uint16_t sym[288];
  uint16_t fast[1u << STUB_Z_FAST_BITS];
};

struct stub_inflate {
  uint32_t state;
  uint32_t bits, nbits; /* bits taken from the input, lowest first, not used yet */
  uint32_t last;        /* the block being decoded is the final one */
  uint32_t len, dist;   /* the match being decoded or copied; a stored block's length */
  uint32_t extra;       /* extra bits still to read for len or dist */
  uint32_t hlit, hdist, hclen, n, rsym; /* dynamic block header progress */
  uint32_t out;                         /* bytes produced since the start of the stream */
  uint32_t work;                        /* symbols decoded, for the cost of the run */
  const uint8_t* in;
  uint32_t in_left;
  uint8_t clens[19];
  uint8_t lens[288 + 32];
  struct stub_huff lit, dst;
};

/* A fresh stream. */
void stub_inflate_init(struct stub_inflate* z);

/* Decodes in[0..in_len) into ring (mask + 1 bytes, a power of two of at least
 * STUB_Z_WINDOW), byte k of the stream at ring[k & mask], and never produces
 * byte limit or beyond (limit counts from the stream's start, like z->out).
 * Returns one of STUB_Z_*; *used gets the input bytes taken, which on
 * STUB_Z_MORE is all of them. Once STUB_Z_END or STUB_Z_ERROR has been
 * returned, every later call returns the same. */
uint32_t stub_inflate_run(struct stub_inflate* z, const uint8_t* in, uint32_t in_len,
                          uint32_t* used, uint8_t* ring, uint32_t mask, uint32_t limit);

/* After STUB_Z_END: whole input bytes that were taken ahead but belong past
 * the stream's end (at most two: a code is looked at 15 bits ahead). */
uint32_t stub_inflate_unused(const struct stub_inflate* z);

#ifdef __cplusplus
}
#endif

#endif
