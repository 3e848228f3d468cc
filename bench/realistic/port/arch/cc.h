/* lwIP's port header for the bench image: a little-endian Xtensa core, no OS. */
#ifndef BENCH_LWIP_CC_H
#define BENCH_LWIP_CC_H

#include <stdio.h>
#include <stdlib.h>

#define LWIP_NO_INTTYPES_H 1
#define LWIP_NO_CTYPE_H 1
#define BYTE_ORDER LITTLE_ENDIAN

typedef unsigned sys_prot_t;

#define LWIP_PLATFORM_DIAG(x)                                                                      \
  do {                                                                                             \
    printf x;                                                                                      \
  } while (0)
#define LWIP_PLATFORM_ASSERT(x)                                                                    \
  do {                                                                                             \
    printf("lwip assert: %s\n", x);                                                                \
    abort();                                                                                       \
  } while (0)
#define LWIP_RAND() ((u32_t)rand())

#endif
