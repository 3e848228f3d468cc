/* Entry from the second-stage bootloader, which has loaded the RAM segments,
 * mapped the flash segments and set up a stack; and the application description
 * that the image's constant data begins with. */
#include <stdint.h>
#include <string.h>

#ifdef APP_NEXT_BUILD
#define APP_VERSION "1.0.1"
#else
#define APP_VERSION "1.0.0"
#endif

/* The layout readers of the image expect at the start of the first flash data
 * segment. The image tool fills in app_elf_sha256 after the link. */
struct app_desc {
  uint32_t magic_word;
  uint32_t secure_version;
  uint32_t reserved1[2];
  char version[32];
  char project_name[32];
  char time[16]; /* fixed, so that rebuilding the same source gives the same image */
  char date[16];
  char idf_ver[32];
  uint8_t app_elf_sha256[32];
  uint32_t reserved2[20];
};

__attribute__((section(".rodata_desc"), used)) const struct app_desc bench_app_desc = {
    .magic_word = 0xABCD5432u,
    .version = APP_VERSION,
    .project_name = "quorvex-bench-logger",
    .time = "00:00:00",
    .date = "Jan  1 2025",
    .idf_ver = "bare metal",
};

extern unsigned char _bss_start[], _bss_end[];
int app_main(void);

__attribute__((section(".iram1.text"), noreturn)) void call_start_cpu0(void) {
  memset(_bss_start, 0, (size_t)(_bss_end - _bss_start));
  app_main();
  for (;;)
    __asm__ volatile("waiti 0");
}
