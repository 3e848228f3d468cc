/* Byte and halfword loads and stores: sign and zero extension, little-endian byte
 * order, unaligned data handled byte by byte, narrowing and widening conversions. */
#include "xt_port.h"

static uint8_t buf[64];
static int8_t sbuf[16] = {0, 1, -1, 127, -128, 64, -64, 100, -100, 2, -2, 0x55, -0x56, 3, -3, 9};
static int16_t hbuf[12] = {0, 1, -1, 32767, -32768, 0x1234, -0x1234, 255, -255, 256, -256, 7};
static uint16_t ubuf[8] = {0, 1, 0xFFFF, 0x8000, 0x7FFF, 0x00FF, 0xFF00, 0x1234};

static uint32_t load_le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int XT_MAIN(void) {
  for (unsigned i = 0; i < sizeof buf; ++i)
    buf[i] = (uint8_t)(XT_OPAQUE(i) * 37u + 11u);
  for (unsigned i = 0; i < 16; ++i) {
    int8_t v = sbuf[XT_OPAQUE(i)];
    xt_put((uint32_t)(int32_t)v); /* L8UI and a sign extension */
    xt_put((uint32_t)(uint8_t)v);
    xt_put((uint32_t)(v * 3));
  }
  for (unsigned i = 0; i < 12; ++i) {
    int16_t v = hbuf[XT_OPAQUE(i)];
    xt_put((uint32_t)(int32_t)v); /* L16SI */
    xt_put((uint32_t)(uint16_t)v);
    xt_put((uint32_t)(int8_t)v);
  }
  for (unsigned i = 0; i < 8; ++i) {
    uint16_t v = ubuf[XT_OPAQUE(i)];
    xt_put(v); /* L16UI */
    xt_put((uint32_t)(int16_t)v);
    ubuf[i] = (uint16_t)(v * 3u + 1u); /* S16I */
  }
  for (unsigned i = 0; i < 8; ++i)
    xt_put(ubuf[i]);
  /* Unaligned 32-bit values assembled from bytes, and stored back byte by byte. */
  for (unsigned off = 0; off + 4 <= sizeof buf; off += 3) {
    uint32_t w = load_le32(buf + XT_OPAQUE(off));
    xt_put(w);
    buf[off] = (uint8_t)(w >> 24);
    buf[off + 1] = (uint8_t)(w >> 16);
  }
  for (unsigned i = 0; i < sizeof buf; i += 4)
    xt_put(load_le32(buf + i));
  /* Byte-order views through a union. */
  union {
    uint32_t w;
    uint16_t h[2];
    uint8_t b[4];
    int8_t sb[4];
  } u;
  u.w = XT_OPAQUE(0x8001FF7Fu);
  xt_put(u.h[0]);
  xt_put(u.h[1]);
  for (unsigned i = 0; i < 4; ++i) {
    xt_put(u.b[i]);
    xt_put((uint32_t)(int32_t)u.sb[i]);
  }
  u.b[1] = 0xC3;
  u.h[1] = 0x1234;
  xt_put(u.w);
  return 0;
}
