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
  /* The ranges below 0x40100000 start and end on 8 KiB boundaries: counted in
   * 8 KiB units from the start of the peripherals, their bounds are small
   * numbers (addresses below that start wrap to large ones). Neighbouring
   * ranges are joined; both keep the code short. */
  uint32_t k = (a - 0x3FF00000u) >> 13;
  if (a & 3u) return 0;
  return k < 0x41u ||                 /* 0x3FF00000: peripherals (DPORT), RTC FAST data bus */
         k - 0x48u < 0x08u ||         /* 0x3FF90000: internal ROM 1 */
         k - 0x57u < 0x59u ||         /* 0x3FFAE000: SRAM 2, SRAM 1 (data bus), internal ROM 0 */
         k - 0xB8u < 0x29u ||         /* 0x40070000: SRAM 0/1, RTC FAST, instruction bus */
         a - 0x50000000u < 0x2000u || /* RTC SLOW */
         a - 0x60000000u < 0x40000u;  /* peripherals (AHB) */
}

#endif
