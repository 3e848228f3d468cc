/* Declarations only: the bench image's C library subset, defined in app/runtime.c.
 * There is no file system; every stream is the console UART. */
#ifndef BENCH_STDIO_H
#define BENCH_STDIO_H
#include <stdarg.h>
#include <stddef.h>

typedef struct bench_stream FILE;
extern FILE *stdin, *stdout, *stderr;
#define EOF (-1)

int printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int fprintf(FILE* f, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int sprintf(char* dst, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int snprintf(char* dst, size_t n, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf(char* dst, size_t n, const char* fmt, va_list ap);
int vfprintf(FILE* f, const char* fmt, va_list ap);
int vprintf(const char* fmt, va_list ap);
int puts(const char* s);
int putchar(int c);
int fflush(FILE* f);

#endif
