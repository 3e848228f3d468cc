/* Declarations only: the types zlib's configuration header asks this file for. */
#ifndef BENCH_SYS_TYPES_H
#define BENCH_SYS_TYPES_H

typedef long off_t;
typedef int ssize_t;

#endif
