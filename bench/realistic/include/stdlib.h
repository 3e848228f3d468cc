/* Declarations only: the bench image's C library subset, defined in app/runtime.c. */
#ifndef BENCH_STDLIB_H
#define BENCH_STDLIB_H
#include <stddef.h>

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 0x7FFFFFFF

void* malloc(size_t n);
void* calloc(size_t count, size_t size);
void* realloc(void* p, size_t n);
void free(void* p);
void abort(void) __attribute__((noreturn));
void exit(int status) __attribute__((noreturn));
int atoi(const char* s);
long strtol(const char* s, char** end, int base);
unsigned long strtoul(const char* s, char** end, int base);
void qsort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*));
int abs(int v);
long labs(long v);
int rand(void);
void srand(unsigned seed);

#endif
