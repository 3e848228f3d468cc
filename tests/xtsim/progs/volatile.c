/* Volatile accesses to the port in program order, at every width: stores, loads of a
 * register whose reads have a side effect (a counter), and read-back of a scratch
 * register. The test compares the whole sequence of accesses, not only the results. */
#include "xt_port.h"

int XT_MAIN(void) {
  XT_W32(XT_SCRATCH, 0x11223344u);
  uint32_t c1 = XT_R32(XT_COUNTER);
  XT_W8(XT_SCRATCH + 1, 0xAA);
  uint32_t c2 = XT_R32(XT_COUNTER);
  xt_put(XT_R32(XT_SCRATCH));
  XT_W16(XT_SCRATCH + 2, 0xBEEF);
  xt_put(XT_R16(XT_SCRATCH + 2));
  xt_put(XT_R8(XT_SCRATCH + 3));
  xt_put(c2 - c1);
  for (uint32_t i = 0; i < 10; ++i) {
    XT_W32(XT_SCRATCH + 4, i);
    uint32_t c = XT_R32(XT_COUNTER);
    XT_W8(XT_SCRATCH + 8 + (i & 7), (uint8_t)c);
    if (c & 1) xt_put(c);
  }
  for (unsigned i = 0; i < 8; ++i)
    xt_put(XT_R8(XT_SCRATCH + 8 + i));
  /* A polling loop: reads until the counter passes a mark. */
  uint32_t polls = 0;
  while (XT_R32(XT_COUNTER) < 40u)
    ++polls;
  xt_put(polls);
  return 0;
}
