/* The result port the execution programs report through, and their entry. The same
 * source is compiled for the simulated core, where the port is memory-mapped, and for the
 * host, where every access goes to a function that logs it; the test compares the logs. */
#ifndef XT_PORT_H
#define XT_PORT_H

#include <stdint.h>

#include "xt_port_map.h"

#ifdef XT_HOST
#ifdef __cplusplus
extern "C" {
#endif
void xt_host_w(uint32_t off, unsigned width, uint32_t v);
uint32_t xt_host_r(uint32_t off, unsigned width);
#ifdef __cplusplus
}
#endif
#define XT_W32(off, v) xt_host_w((off), 4, (uint32_t)(v))
#define XT_W16(off, v) xt_host_w((off), 2, (uint16_t)(v))
#define XT_W8(off, v) xt_host_w((off), 1, (uint8_t)(v))
#define XT_R32(off) xt_host_r((off), 4)
#define XT_R16(off) ((uint16_t)xt_host_r((off), 2))
#define XT_R8(off) ((uint8_t)xt_host_r((off), 1))
#else
#define XT_W32(off, v) (*(volatile uint32_t*)(XT_PORT_BASE + (off)) = (uint32_t)(v))
#define XT_W16(off, v) (*(volatile uint16_t*)(XT_PORT_BASE + (off)) = (uint16_t)(v))
#define XT_W8(off, v) (*(volatile uint8_t*)(XT_PORT_BASE + (off)) = (uint8_t)(v))
#define XT_R32(off) (*(volatile uint32_t*)(XT_PORT_BASE + (off)))
#define XT_R16(off) (*(volatile uint16_t*)(XT_PORT_BASE + (off)))
#define XT_R8(off) (*(volatile uint8_t*)(XT_PORT_BASE + (off)))
#endif

static inline void xt_put(uint32_t v) {
  XT_W32(XT_RESULT, v);
}
static inline void xt_put64(uint64_t v) {
  xt_put((uint32_t)v);
  xt_put((uint32_t)(v >> 32));
}

/* Keeps the compiler from folding a value into a constant: the arithmetic then happens
 * at run time, on the simulated core. */
#define XT_OPAQUE(x) xt_opaque_u32(x)
static inline uint32_t xt_opaque_u32(uint32_t v) {
#ifdef XT_HOST
  __asm__ volatile("" : "+r"(v));
#else
  __asm__ volatile("" : "+a"(v));
#endif
  return v;
}

/* Each program defines XT_MAIN; the build names it (one symbol per program on the host). */
int XT_MAIN(void);

#endif
