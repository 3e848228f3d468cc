/* Which addresses READ_REG and WRITE_REG may touch on the ESP32: word-aligned
 * addresses inside the ranges of the TRM's address map (TRM 1.3.1, Figure 1-1
 * and Table 1-4) that read and write without a bus error or a cache access.
 * Anything else (the cache-mapped flash and external RAM windows, unmapped
 * space) would raise an exception and kill the stub, so it is refused.
 * Kept apart from the target layer so that the host tests can check it. */
#ifndef QUORVEX_STUB_MAP_ESP32_H
#define QUORVEX_STUB_MAP_ESP32_H

#include <stdint.h>

static inline int stub_esp32_mapped(uint32_t a) {
  if (a & 3u) return 0;
  /* Neighbouring ranges are joined, which keeps the code short. */
  return (a >= 0x3FF00000u && a < 0x3FF82000u) || /* peripherals (DPORT), RTC FAST data bus */
         (a >= 0x3FF90000u && a < 0x3FFA0000u) || /* internal ROM 1 */
         (a >= 0x3FFAE000u && a < 0x40060000u) || /* SRAM 2, SRAM 1 (data bus), internal ROM 0 */
         (a >= 0x40070000u && a < 0x400C2000u) || /* SRAM 0/1, RTC FAST, instruction bus */
         (a >= 0x50000000u && a < 0x50002000u) || /* RTC SLOW */
         (a >= 0x60000000u && a < 0x60040000u);   /* peripherals (AHB) */
}

#endif
