/* Declarations only: the bench image's C library subset, defined in app/runtime.c. */
#ifndef BENCH_ERRNO_H
#define BENCH_ERRNO_H

extern int errno;
#define EINTR 4
#define EAGAIN 11
#define ENOMEM 12
#define EINVAL 22

#endif
