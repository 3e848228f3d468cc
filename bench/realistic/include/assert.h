/* Declarations only: a failed assertion reports through app/runtime.c and stops. */
#ifndef BENCH_ASSERT_H
#define BENCH_ASSERT_H

#ifdef NDEBUG
#define assert(e) ((void)0)
#else
void bench_assert_failed(const char* file, int line, const char* expr) __attribute__((noreturn));
#define assert(e) ((e) ? (void)0 : bench_assert_failed(__FILE__, __LINE__, #e))
#endif

#endif
