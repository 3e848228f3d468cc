/* Declarations only: the bench image's C library subset, defined in app/runtime.c. */
#ifndef BENCH_TIME_H
#define BENCH_TIME_H
#include <stddef.h>

typedef long long time_t;
struct tm {
  int tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
};

time_t time(time_t* out);
struct tm* gmtime(const time_t* t);
struct tm* gmtime_r(const time_t* t, struct tm* out);
struct tm* localtime(const time_t* t);
struct tm* localtime_r(const time_t* t, struct tm* out);
size_t strftime(char* dst, size_t n, const char* fmt, const struct tm* t);

#endif
