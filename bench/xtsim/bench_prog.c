/* The benchmark's workload on the simulated core, endless: a CRC-32 over a buffer, an
 * insertion sort of it, and a copy back, with loads and stores of every width. */
#include "xt_port.h"

static uint8_t buf[1024];
static uint16_t keys[128];

static uint32_t crc32(const uint8_t* p, unsigned n) {
  uint32_t c = 0xFFFFFFFFu;
  while (n--) {
    c ^= *p++;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

int XT_MAIN(void) {
  uint32_t seed = 1;
  for (;;) {
    for (unsigned i = 0; i < sizeof buf; ++i) {
      seed = seed * 1103515245u + 12345u;
      buf[i] = (uint8_t)(seed >> 16);
    }
    for (unsigned i = 0; i < 128; ++i)
      keys[i] = (uint16_t)(buf[2 * i] | buf[2 * i + 1] << 8);
    for (unsigned i = 1; i < 128; ++i) {
      uint16_t k = keys[i];
      unsigned j = i;
      for (; j > 0 && keys[j - 1] > k; --j)
        keys[j] = keys[j - 1];
      keys[j] = k;
    }
    xt_put(crc32(buf, sizeof buf) ^ keys[0] ^ keys[127]);
  }
}
