/* The C library subset the bench application and its libraries call: memory and
 * string functions, a first-fit heap, a small printf onto UART0, the clock that
 * SNTP sets, and a random number generator for lwIP. Written for this image; it
 * is compiled and linked like the rest but never run. */
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define IRAM __attribute__((section(".iram1.text")))

/* ---- memory and strings (hot: kept in IRAM, as a product keeps them) ---- */

IRAM void* memcpy(void* dst, const void* src, size_t n) {
  unsigned char* d = dst;
  const unsigned char* s = src;
  if ((((uintptr_t)d | (uintptr_t)s) & 3u) == 0) {
    for (; n >= 4; n -= 4, d += 4, s += 4)
      *(uint32_t*)d = *(const uint32_t*)s;
  }
  while (n--)
    *d++ = *s++;
  return dst;
}

IRAM void* memmove(void* dst, const void* src, size_t n) {
  unsigned char* d = dst;
  const unsigned char* s = src;
  if (d <= s || d >= s + n) return memcpy(dst, src, n);
  while (n--)
    d[n] = s[n];
  return dst;
}

IRAM void* memset(void* dst, int c, size_t n) {
  unsigned char* d = dst;
  while (n--)
    *d++ = (unsigned char)c;
  return dst;
}

IRAM int memcmp(const void* a, const void* b, size_t n) {
  const unsigned char *x = a, *y = b;
  for (; n; --n, ++x, ++y)
    if (*x != *y) return *x - *y;
  return 0;
}

void* memchr(const void* s, int c, size_t n) {
  const unsigned char* p = s;
  for (; n; --n, ++p)
    if (*p == (unsigned char)c) return (void*)p;
  return NULL;
}

size_t strlen(const char* s) {
  const char* p = s;
  while (*p)
    ++p;
  return (size_t)(p - s);
}

size_t strnlen(const char* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n])
    ++n;
  return n;
}

int strcmp(const char* a, const char* b) {
  while (*a && *a == *b)
    ++a, ++b;
  return (unsigned char)*a - (unsigned char)*b;
}

int strncmp(const char* a, const char* b, size_t n) {
  for (; n; --n, ++a, ++b) {
    if (*a != *b) return (unsigned char)*a - (unsigned char)*b;
    if (!*a) break;
  }
  return 0;
}

char* strcpy(char* dst, const char* src) {
  char* d = dst;
  while ((*d++ = *src++) != 0) {
  }
  return dst;
}

char* strncpy(char* dst, const char* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i)
    dst[i] = src[i];
  for (; i < n; ++i)
    dst[i] = 0;
  return dst;
}

char* strcat(char* dst, const char* src) {
  strcpy(dst + strlen(dst), src);
  return dst;
}

char* strncat(char* dst, const char* src, size_t n) {
  char* d = dst + strlen(dst);
  while (n-- && *src)
    *d++ = *src++;
  *d = 0;
  return dst;
}

char* strchr(const char* s, int c) {
  for (;; ++s) {
    if (*s == (char)c) return (char*)s;
    if (!*s) return NULL;
  }
}

char* strrchr(const char* s, int c) {
  const char* last = NULL;
  for (;; ++s) {
    if (*s == (char)c) last = s;
    if (!*s) return (char*)last;
  }
}

char* strstr(const char* hay, const char* needle) {
  size_t n = strlen(needle);
  for (; *hay; ++hay)
    if (strncmp(hay, needle, n) == 0) return (char*)hay;
  return n ? NULL : (char*)hay;
}

size_t strspn(const char* s, const char* accept) {
  size_t n = 0;
  while (s[n] && strchr(accept, s[n]))
    ++n;
  return n;
}

size_t strcspn(const char* s, const char* reject) {
  size_t n = 0;
  while (s[n] && !strchr(reject, s[n]))
    ++n;
  return n;
}

char* strerror(int err) {
  switch (err) {
  case ENOMEM:
    return "out of memory";
  case EINVAL:
    return "invalid argument";
  default:
    return "error";
  }
}

/* ---- numbers ---- */

unsigned long strtoul(const char* s, char** end, int base) {
  while (*s == ' ' || *s == '\t')
    ++s;
  if (*s == '+') ++s;
  if ((base == 0 || base == 16) && s[0] == '0' && (s[1] | 0x20) == 'x') s += 2, base = 16;
  if (base == 0) base = *s == '0' ? 8 : 10;
  unsigned long v = 0;
  for (;; ++s) {
    int d = *s >= '0' && *s <= '9' ? *s - '0' : (*s | 0x20) >= 'a' ? (*s | 0x20) - 'a' + 10 : 99;
    if (d >= base) break;
    v = v * (unsigned)base + (unsigned)d;
  }
  if (end) *end = (char*)s;
  return v;
}

long strtol(const char* s, char** end, int base) {
  while (*s == ' ' || *s == '\t')
    ++s;
  if (*s == '-') return -(long)strtoul(s + 1, end, base);
  return (long)strtoul(s, end, base);
}

int atoi(const char* s) {
  return (int)strtol(s, NULL, 10);
}
int abs(int v) {
  return v < 0 ? -v : v;
}
long labs(long v) {
  return v < 0 ? -v : v;
}

/* Shell sort: small, no recursion, no scratch memory. */
void qsort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*)) {
  unsigned char* a = base;
  for (size_t gap = count / 2; gap > 0; gap /= 2) {
    for (size_t i = gap; i < count; ++i) {
      for (size_t j = i; j >= gap && cmp(a + (j - gap) * size, a + j * size) > 0; j -= gap) {
        unsigned char *x = a + (j - gap) * size, *y = a + j * size;
        for (size_t k = 0; k < size; ++k) {
          unsigned char t = x[k];
          x[k] = y[k];
          y[k] = t;
        }
      }
    }
  }
}

static uint32_t rand_state = 0x2545F491u;
void srand(unsigned seed) {
  rand_state = seed ? seed : 1u;
}
int rand(void) {
  rand_state ^= rand_state << 13;
  rand_state ^= rand_state >> 17;
  rand_state ^= rand_state << 5;
  return (int)(rand_state & RAND_MAX);
}

int errno;

/* ---- heap: first fit over a free list kept in address order, merged on free ---- */

struct block {
  size_t size; /* bytes after this header */
  struct block* next;
};

static union {
  struct block first;
  unsigned char bytes[96 * 1024];
} arena;
static struct block* free_list;

void* malloc(size_t n) {
  if (!free_list && !arena.first.size) {
    arena.first.size = sizeof arena - sizeof(struct block);
    free_list = &arena.first;
  }
  n = (n + 7u) & ~(size_t)7u;
  for (struct block** link = &free_list; *link; link = &(*link)->next) {
    struct block* b = *link;
    if (b->size < n) continue;
    if (b->size >= n + sizeof(struct block) + 16) {
      struct block* rest = (struct block*)((unsigned char*)(b + 1) + n);
      rest->size = b->size - n - sizeof(struct block);
      rest->next = b->next;
      b->size = n;
      *link = rest;
    } else {
      *link = b->next;
    }
    return b + 1;
  }
  errno = ENOMEM;
  return NULL;
}

void free(void* p) {
  if (!p) return;
  struct block *b = (struct block*)p - 1, **link = &free_list;
  while (*link && *link < b)
    link = &(*link)->next;
  b->next = *link;
  *link = b;
  if (b->next && (unsigned char*)(b + 1) + b->size == (unsigned char*)b->next) {
    b->size += sizeof(struct block) + b->next->size;
    b->next = b->next->next;
  }
  if (link != &free_list) {
    struct block* prev = (struct block*)((unsigned char*)link - offsetof(struct block, next));
    if ((unsigned char*)(prev + 1) + prev->size == (unsigned char*)b) {
      prev->size += sizeof(struct block) + b->size;
      prev->next = b->next;
    }
  }
}

void* calloc(size_t count, size_t size) {
  if (size && count > (size_t)-1 / size) return NULL;
  void* p = malloc(count * size);
  if (p) memset(p, 0, count * size);
  return p;
}

void* realloc(void* p, size_t n) {
  if (!p) return malloc(n);
  size_t old = ((struct block*)p - 1)->size;
  if (n <= old) return p;
  void* q = malloc(n);
  if (q) {
    memcpy(q, p, old);
    free(p);
  }
  return q;
}

/* ---- console: UART0 (TRM chapter UART Controller) ---- */

#define UART0_FIFO_AHB (*(volatile uint32_t*)0x60000000u)
#define UART0_STATUS (*(volatile uint32_t*)0x3FF4001Cu)

static void uart_put(char c) {
  while (((UART0_STATUS >> 16) & 0xFFu) >= 126u) {
  }
  UART0_FIFO_AHB = (unsigned char)c;
}

struct bench_stream {
  int unused;
};
static FILE console;
FILE *stdin = &console, *stdout = &console, *stderr = &console;

/* Formats into dst (n bytes, may be 0) and, when echo is set, onto the UART.
 * Handles flags - 0, width, precision, the l, ll and z sizes and d i u x X o c s p %. */
static int format(char* dst, size_t n, int echo, const char* fmt, va_list ap) {
  size_t out = 0;
#define EMIT(ch)                                                                                   \
  do {                                                                                             \
    char ch_ = (ch);                                                                               \
    if (out + 1 < n) dst[out] = ch_;                                                               \
    if (echo) uart_put(ch_);                                                                       \
    ++out;                                                                                         \
  } while (0)
  for (; *fmt; ++fmt) {
    if (*fmt != '%') {
      EMIT(*fmt);
      continue;
    }
    int left = 0, zero = 0, width = 0, prec = -1, size = 0;
    for (++fmt; *fmt == '-' || *fmt == '0'; ++fmt) {
      if (*fmt == '-')
        left = 1;
      else
        zero = 1;
    }
    if (*fmt == '*') width = va_arg(ap, int), ++fmt;
    while (*fmt >= '0' && *fmt <= '9')
      width = width * 10 + *fmt++ - '0';
    if (*fmt == '.') {
      prec = 0;
      if (*++fmt == '*') prec = va_arg(ap, int), ++fmt;
      while (*fmt >= '0' && *fmt <= '9')
        prec = prec * 10 + *fmt++ - '0';
    }
    for (; *fmt == 'l' || *fmt == 'z' || *fmt == 'h'; ++fmt)
      if (*fmt == 'l') ++size; /* size_t and short pass as int here */
    char buf[24], *s = buf;
    size_t len = 0;
    unsigned long long v = 0;
    int neg = 0, base = 10, upper = 0;
    switch (*fmt) {
    case 'd':
    case 'i': {
      long long x = size >= 2 ? va_arg(ap, long long) : size ? va_arg(ap, long) : va_arg(ap, int);
      neg = x < 0;
      v = neg ? 0ull - (unsigned long long)x : (unsigned long long)x;
      goto number;
    }
    case 'X':
      upper = 1; /* fall through */
    case 'x':
      base = 16;
      goto unsigned_number;
    case 'o':
      base = 8;
      goto unsigned_number;
    case 'p':
      base = 16, v = (uintptr_t)va_arg(ap, void*);
      goto number;
    case 'u':
    unsigned_number:
      v = size >= 2 ? va_arg(ap, unsigned long long)
          : size    ? va_arg(ap, unsigned long)
                    : va_arg(ap, unsigned);
    number : {
      char* e = buf + sizeof buf;
      s = e;
      do {
        unsigned d = (unsigned)(v % (unsigned)base);
        *--s = (char)(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
        v /= (unsigned)base;
      } while (v);
      while (prec > e - s && s > buf + 1)
        *--s = '0';
      if (zero && !left)
        while (e - s < width - neg && s > buf + 1)
          *--s = '0';
      if (neg) *--s = '-';
      len = (size_t)(e - s);
      break;
    }
    case 'c':
      buf[0] = (char)va_arg(ap, int), len = 1;
      break;
    case 's':
      s = va_arg(ap, char*);
      if (!s) s = "(null)";
      len = prec >= 0 ? strnlen(s, (size_t)prec) : strlen(s);
      break;
    case '%':
      buf[0] = '%', len = 1;
      break;
    default:
      return -1;
    }
    for (int pad = width - (int)len; !left && pad > 0; --pad)
      EMIT(' ');
    for (size_t i = 0; i < len; ++i)
      EMIT(s[i]);
    for (int pad = width - (int)len; left && pad > 0; --pad)
      EMIT(' ');
  }
  if (n) dst[out < n ? out : n - 1] = 0;
#undef EMIT
  return (int)out;
}

int vsnprintf(char* dst, size_t n, const char* fmt, va_list ap) {
  return format(dst, n, 0, fmt, ap);
}
int vfprintf(FILE* f, const char* fmt, va_list ap) {
  (void)f;
  return format(NULL, 0, 1, fmt, ap);
}
int vprintf(const char* fmt, va_list ap) {
  return vfprintf(stdout, fmt, ap);
}

int snprintf(char* dst, size_t n, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(dst, n, fmt, ap);
  va_end(ap);
  return r;
}

int sprintf(char* dst, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(dst, (size_t)-1 / 2, fmt, ap);
  va_end(ap);
  return r;
}

int printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vfprintf(stdout, fmt, ap);
  va_end(ap);
  return r;
}

int fprintf(FILE* f, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vfprintf(f, fmt, ap);
  va_end(ap);
  return r;
}

int putchar(int c) {
  uart_put((char)c);
  return (unsigned char)c;
}

int puts(const char* s) {
  while (*s)
    uart_put(*s++);
  uart_put('\n');
  return 0;
}

int fflush(FILE* f) {
  (void)f;
  return 0;
}

void abort(void) {
  puts("abort");
  for (;;)
    __asm__ volatile("waiti 0");
}

void exit(int status) {
  printf("exit %d\n", status);
  abort();
}

void bench_assert_failed(const char* file, int line, const char* expr) {
  printf("%s:%d: assertion failed: %s\n", file, line, expr);
  abort();
}

/* ---- time: seconds since 1970, set by SNTP, advanced by the CPU cycle counter ---- */

#define CPU_HZ 160000000u

static time_t clock_base;
static uint32_t clock_cycles;

static uint32_t ccount(void) {
  uint32_t c;
  __asm__ volatile("rsr %0, ccount" : "=a"(c));
  return c;
}

void bench_set_time(unsigned long seconds) {
  clock_base = (time_t)seconds - 2208988800LL; /* NTP counts from 1900 */
  clock_cycles = ccount();
}

time_t time(time_t* out) {
  time_t now = clock_base + (ccount() - clock_cycles) / CPU_HZ;
  if (out) *out = now;
  return now;
}

/* Civil date from a day count (proleptic Gregorian, eras of 400 years). */
struct tm* gmtime_r(const time_t* t, struct tm* out) {
  long long secs = *t, days = secs / 86400, rem = secs % 86400;
  if (rem < 0) rem += 86400, --days;
  out->tm_hour = (int)(rem / 3600);
  out->tm_min = (int)(rem / 60 % 60);
  out->tm_sec = (int)(rem % 60);
  out->tm_wday = (int)((days % 7 + 11) % 7); /* 1970-01-01 was a Thursday */
  long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = (unsigned)(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  int mday = (int)(doy - (153 * mp + 2) / 5 + 1), mon = (int)(mp < 10 ? mp + 3 : mp - 9);
  long long year = (long long)yoe + era * 400 + (mon <= 2);
  out->tm_mday = mday;
  out->tm_mon = mon - 1;
  out->tm_year = (int)(year - 1900);
  static const short before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  out->tm_yday = before[mon - 1] + mday - 1 + (leap && mon > 2);
  out->tm_isdst = 0;
  return out;
}

static struct tm tm_shared;
struct tm* gmtime(const time_t* t) {
  return gmtime_r(t, &tm_shared);
}
struct tm* localtime_r(const time_t* t, struct tm* out) {
  return gmtime_r(t, out);
}
struct tm* localtime(const time_t* t) {
  return gmtime_r(t, &tm_shared);
}

/* The fields SQLite's date functions ask for: %Y %m %d %H %M %S and %%. */
size_t strftime(char* dst, size_t n, const char* fmt, const struct tm* t) {
  size_t out = 0;
  for (; *fmt; ++fmt) {
    char field[8];
    const char* s = field;
    if (*fmt != '%' || !fmt[1]) {
      field[0] = *fmt, field[1] = 0;
    } else {
      switch (*++fmt) {
      case 'Y':
        snprintf(field, sizeof field, "%04d", t->tm_year + 1900);
        break;
      case 'm':
        snprintf(field, sizeof field, "%02d", t->tm_mon + 1);
        break;
      case 'd':
        snprintf(field, sizeof field, "%02d", t->tm_mday);
        break;
      case 'H':
        snprintf(field, sizeof field, "%02d", t->tm_hour);
        break;
      case 'M':
        snprintf(field, sizeof field, "%02d", t->tm_min);
        break;
      case 'S':
        snprintf(field, sizeof field, "%02d", t->tm_sec);
        break;
      default:
        field[0] = *fmt, field[1] = 0;
        break;
      }
    }
    for (; *s; ++s) {
      if (out + 1 >= n) return 0;
      dst[out++] = *s;
    }
  }
  if (n) dst[out] = 0;
  return out;
}
