/* ESP32 target layer of the flasher stub: UART0, the SPI1 flash controller,
 * the pad routing of the flash pins, the watchdogs, and the entry into C.
 * Register addresses and fields are from the ESP32 Technical Reference
 * Manual (TRM); the section is named beside each group.
 *
 * Everything is polled: start.S has masked every interrupt before we get
 * here, and nothing returns to the ROM.
 *
 * Volatile accesses keep the compiler's default MEMW serialisation, so the
 * peripheral reads and writes happen in program order (TRM 1.3, and the
 * chip errata on back-to-back peripheral accesses). */
#include "stub_core.h"
#include "stub_map_esp32.h"

#define REG(a) (*(volatile uint32_t*)(a))

/* ---- UART0 (TRM 13, UART Controller; register summary 13.5) ---- */
#define UART0_BASE 0x3FF40000u
#define UART0_FIFO 0x00u                /* reads go through the DPORT address */
#define UART0_FIFO_AHB REG(0x60000000u) /* writes through AHB: errata CPU-3.3 */
#define UART0_CLKDIV 0x14u              /* CLKDIV 19:0, CLKDIV_FRAG 23:20 */
/* RXFIFO_CNT 7:0, TXFIFO_CNT 23:16, ST_UTX_OUT 27:24 */
#define UART0_STATUS 0x1Cu
/* The three definitions a test may override (-D...) to build the stub with a misread
 * register address, key or bound: the machine-code board must then fail it. */
#ifndef UART0_MEM_RX_STATUS
#define UART0_MEM_RX_STATUS 0x60u /* RD_ADDR 12:2, WR_ADDR 23:13 */
#endif
#define UART_TX_FIFO_ROOM 126u /* the FIFO holds 128; keep a margin */

/* ---- SPI1, the flash controller (TRM 7, SPI; register summary 7.7) ---- */
#define SPI1_BASE 0x3FF42000u
#define SPI1_CMD 0x00u
#define SPI1_ADDR 0x04u
#define SPI1_CTRL 0x08u
#define SPI1_CLOCK 0x18u
#define SPI1_USER 0x1Cu
#define SPI1_USER1 0x20u
#define SPI1_USER2 0x24u
#define SPI1_MOSI_DLEN 0x28u
#define SPI1_MISO_DLEN 0x2Cu
#define SPI1_PIN 0x34u
#define SPI1_W0 0x80u /* W0..W15, 64 bytes */

#define SPI_CMD_USR (1u << 18)
#define SPI_USER_COMMAND (1u << 31)
#define SPI_USER_ADDR (1u << 30)
#define SPI_USER_DUMMY (1u << 29)
#define SPI_USER_MISO (1u << 28)
#define SPI_USER_MOSI (1u << 27)
#define SPI_USER_CS_SETUP (1u << 5)
#define SPI_USER_CS_HOLD (1u << 4)
#define SPI_CTRL_WP_HIGH (1u << 21) /* WP line high while idle; plain 1-bit SPI, MSB first */
/* f = APB / (CLKCNT_N + 1) with N = 3, H = 1, L = 3: 20 MHz from 80 MHz,
 * safe for every serial flash part. */
#define SPI_CLOCK_DIV4 ((3u << 12) | (1u << 6) | 3u)
#define SPI_PIN_CS0_ONLY 0x6u /* CS1 and CS2 disabled, clock idles low */
#ifndef SPI_DONE_POLLS
#define SPI_DONE_POLLS 100000u
#endif

/* ---- IO_MUX (TRM 4, IO_MUX and GPIO Matrix; register summary 4.12) ----
 * The flash sits on GPIO6..11; function 1 of those pads is the SPI flash
 * interface (SPICLK, SPIQ, SPID, SPIHD, SPIWP, SPICS0). */
#define IO_MUX_BASE 0x3FF49000u
#define IO_MUX_GPIO6 0x60u  /* SPICLK */
#define IO_MUX_GPIO7 0x64u  /* SPIQ */
#define IO_MUX_GPIO8 0x68u  /* SPID */
#define IO_MUX_GPIO9 0x54u  /* SPIHD */
#define IO_MUX_GPIO10 0x58u /* SPIWP */
#define IO_MUX_GPIO11 0x5Cu /* SPICS0 */
/* MCU_SEL = 1 (bits 14:12), FUN_DRV = 2 (11:10), FUN_IE (9), FUN_WPU (8) */
#define IO_MUX_SPI_PAD ((1u << 12) | (2u << 10) | (1u << 9))
#define IO_MUX_PULLUP (1u << 8)

/* ---- Watchdogs (TRM 18, Watchdog Timers; TRM 17.4 timer group registers,
 * TRM 31.4 low-power management registers) ---- */
#ifndef WDT_WKEY
#define WDT_WKEY 0x50D83AA1u
#endif
#define TIMG0_BASE 0x3FF5F000u
#define TIMG1_BASE 0x3FF60000u /* TIMG0 + 0x1000 */
#define TIMG_WDTCONFIG0 0x48u
#define TIMG_WDTFEED 0x60u
#define TIMG_WDTWPROTECT 0x64u
#define RTC_CNTL_BASE 0x3FF48000u
#define RTC_CNTL_WDTCONFIG0 0x8Cu
#define RTC_CNTL_WDTFEED 0xA0u
#define RTC_CNTL_WDTWPROTECT 0xA4u

/* CPU cycles per microsecond for delays that must last at least as long as
 * asked: the fastest clock the CPU may run at. At the crystal clock the ROM
 * loader uses they last several times longer, which does no harm. */
#define CYCLES_PER_US (STUB_CLOCK_FAST_KHZ / 1000u)

static inline uint32_t ccount(void) {
  uint32_t c;
  __asm__ __volatile__("rsr %0, ccount" : "=a"(c));
  return c;
}

/* Peripheral registers through a base pointer, so that the code holds one
 * address per block rather than one per register; the empty asm keeps the
 * compiler from folding base and offset back into one constant each. */
static inline volatile uint32_t* io(uint32_t base) {
  __asm__("" : "+a"(base));
  return (volatile uint32_t*)base;
}
#define AT(base, off) (base)[(off) / 4]

/* ---- UART ---- */

int stub_hw_getc(void) {
  /* RXFIFO_CNT alone can read 0 while a byte waits (errata UART-3.17), so the
   * FIFO's read and write pointers are compared too. The FIFO itself is read
   * through the DPORT address (an AHB read of it is undefined, errata
   * CPU-3.18) and with interrupts masked (errata CPU-3.21). */
  volatile uint32_t* u = io(UART0_BASE);
  if ((AT(u, UART0_STATUS) & 0xFFu) == 0) {
    uint32_t m = AT(u, UART0_MEM_RX_STATUS);
    if (((m >> 2) & 0x7FFu) == ((m >> 13) & 0x7FFu)) return -1;
  }
  return (int)(AT(u, UART0_FIFO) & 0xFFu);
}

void stub_hw_putc(uint8_t c) {
  while (((AT(io(UART0_BASE), UART0_STATUS) >> 16) & 0xFFu) >= UART_TX_FIFO_ROOM) {
  }
  UART0_FIFO_AHB = c;
}

void stub_hw_tx_drain(void) {
  /* FIFO empty and the transmitter back in its idle state (ST_UTX_OUT 0). */
  while (AT(io(UART0_BASE), UART0_STATUS) & ((0xFFu << 16) | (0xFu << 24))) {
  }
}

uint32_t stub_hw_baud_div16(void) {
  uint32_t d = AT(io(UART0_BASE), UART0_CLKDIV);
  return ((d & 0xFFFFFu) << 4) | ((d >> 20) & 0xFu);
}

void stub_hw_set_baud_div16(uint32_t div16) {
  AT(io(UART0_BASE), UART0_CLKDIV) = (div16 >> 4) | ((div16 & 0xFu) << 20);
}

/* ---- registers ---- */

/* One copy of the address check for both accessors: code space is tight. */
static __attribute__((noinline)) int mapped(uint32_t a) {
  return stub_esp32_mapped(a);
}

int stub_hw_read_reg(uint32_t addr, uint32_t* value) {
  if (!mapped(addr)) return -1;
  *value = REG(addr);
  return 0;
}

int stub_hw_write_reg(uint32_t addr, uint32_t value) {
  if (!mapped(addr)) return -1;
  REG(addr) = value;
  return 0;
}

/* ---- time ---- */

/* Kept together so that the code holds one address for both. */
static struct { uint32_t high, last; } tick;

void stub_hw_delay_us(uint32_t us) {
  /* A second at most is 2.4e8 cycles, well inside the 2^32 after which the
   * difference of two counts would wrap. */
  uint32_t start = ccount();
  while (ccount() - start < us * CYCLES_PER_US) {
  }
}

uint32_t stub_hw_ticks(void) {
  /* CCOUNT wraps every 2^32 cycles (18 s at 240 MHz); the waits that measure
   * time read it far more often than that. */
  uint32_t now = ccount();
  if (now < tick.last) tick.high += 1u << 16;
  tick.last = now;
  return tick.high + (now >> 16);
}

/* ---- SPI flash ---- */

void stub_hw_flash_attach(void) {
  volatile uint32_t* mux = io(IO_MUX_BASE);
  volatile uint32_t* spi = io(SPI1_BASE);
  AT(mux, IO_MUX_GPIO6) = IO_MUX_SPI_PAD;
  AT(mux, IO_MUX_GPIO7) = IO_MUX_SPI_PAD | IO_MUX_PULLUP;
  AT(mux, IO_MUX_GPIO8) = IO_MUX_SPI_PAD | IO_MUX_PULLUP;
  AT(mux, IO_MUX_GPIO9) = IO_MUX_SPI_PAD | IO_MUX_PULLUP;
  AT(mux, IO_MUX_GPIO10) = IO_MUX_SPI_PAD | IO_MUX_PULLUP;
  AT(mux, IO_MUX_GPIO11) = IO_MUX_SPI_PAD | IO_MUX_PULLUP;
  AT(spi, SPI1_CTRL) = SPI_CTRL_WP_HIGH;
  AT(spi, SPI1_CLOCK) = SPI_CLOCK_DIV4;
  AT(spi, SPI1_PIN) = SPI_PIN_CS0_ONLY;
}

void stub_hw_flash_cmd(uint32_t op, uint32_t addr, const uint8_t* out, uint32_t out_len,
                       uint8_t* in, uint32_t in_len) {
  volatile uint32_t* spi = io(SPI1_BASE);
  uint32_t user = SPI_USER_COMMAND | SPI_USER_CS_SETUP | SPI_USER_CS_HOLD;
  uint32_t i, polls;
  if (op & STUB_FLASH_ADDR) {
    user |= SPI_USER_ADDR;
    /* 24 address bits (ADDR_BITLEN 31:26), 8 dummy cycles (DUMMY_CYCLELEN 7:0)
     * where the dummy phase is switched on below */
    AT(spi, SPI1_USER1) = (23u << 26) | 7u;
    /* The address phase shifts out from bit 31 down. */
    AT(spi, SPI1_ADDR) = addr << 8;
  }
  if (op & STUB_FLASH_DUMMY) user |= SPI_USER_DUMMY;
  if (out_len) {
    user |= SPI_USER_MOSI;
    AT(spi, SPI1_MOSI_DLEN) = out_len * 8u - 1u;
    /* The buffer registers only take words; bytes go out lowest first. */
    for (i = 0; i < out_len; i += 4) {
      uint32_t w = 0, k;
      for (k = 0; k < 4 && i + k < out_len; ++k)
        w |= (uint32_t)out[i + k] << (8u * k);
      AT(spi, SPI1_W0 + i) = w;
    }
  }
  if (in_len) {
    user |= SPI_USER_MISO;
    AT(spi, SPI1_MISO_DLEN) = in_len * 8u - 1u;
  }
  AT(spi, SPI1_USER2) = (7u << 28) | (op & 0xFFu); /* 8-bit command phase */
  AT(spi, SPI1_USER) = user;
  AT(spi, SPI1_CMD) = SPI_CMD_USR;
  /* The controller clears the bit when done; the bound only guards a
   * controller that never finishes, which the caller's checks then catch. */
  for (polls = 0; (AT(spi, SPI1_CMD) & SPI_CMD_USR) && polls < SPI_DONE_POLLS; ++polls) {
  }
  /* Whole words: the caller's buffer is word-aligned with room for them. */
  for (i = 0; i < in_len; i += 4)
    *(uint32_t*)(void*)(in + i) = AT(spi, SPI1_W0 + i);
}

#if STUB_FAST
/* SPI_CLOCK_REG: with SPI_CLK_EQU_SYSCLK set the SPI clock is the APB clock
 * itself; else APB / (CLKCNT_N + 1), high for CLKCNT_H + 1 and low for the
 * rest of each period (TRM 7.7). */
#define SPI_CLK_EQU_SYSCLK (1u << 31)

void stub_hw_flash_clock(uint32_t div) {
  AT(io(SPI1_BASE), SPI1_CLOCK) =
      div <= 1 ? SPI_CLK_EQU_SYSCLK : ((div - 1u) << 12) | ((div / 2u - 1u) << 6) | (div - 1u);
}

/* The read half of stub_hw_flash_cmd, started and finished apart: the
 * controller shifts the bytes into W0..W15 while the CPU does other work. */
void stub_hw_flash_read_start(uint32_t op, uint32_t addr, uint32_t in_len) {
  volatile uint32_t* spi = io(SPI1_BASE);
  uint32_t user = SPI_USER_COMMAND | SPI_USER_CS_SETUP | SPI_USER_CS_HOLD | SPI_USER_MISO;
  if (op & STUB_FLASH_ADDR) {
    user |= SPI_USER_ADDR;
    AT(spi, SPI1_USER1) = (23u << 26) | 7u;
    AT(spi, SPI1_ADDR) = addr << 8;
  }
  if (op & STUB_FLASH_DUMMY) user |= SPI_USER_DUMMY;
  AT(spi, SPI1_MISO_DLEN) = in_len * 8u - 1u;
  AT(spi, SPI1_USER2) = (7u << 28) | (op & 0xFFu);
  AT(spi, SPI1_USER) = user;
  AT(spi, SPI1_CMD) = SPI_CMD_USR;
}

void stub_hw_flash_read_end(uint8_t* in, uint32_t in_len) {
  volatile uint32_t* spi = io(SPI1_BASE);
  uint32_t i, polls;
  for (polls = 0; (AT(spi, SPI1_CMD) & SPI_CMD_USR) && polls < SPI_DONE_POLLS; ++polls) {
  }
  for (i = 0; i < in_len; i += 4)
    *(uint32_t*)(void*)(in + i) = AT(spi, SPI1_W0 + i);
}

void stub_hw_cycles(uint32_t n) {
  (void)n; /* the chip's own clock counts them */
}
#endif

/* ---- start ---- */

static void watchdogs_off(void) {
  /* Each watchdog's registers are write-protected until its key is written
   * (TRM 18.2.2.3); zero in CONFIG0 clears the enable bit and every stage. */
  volatile uint32_t* t;
  for (t = io(TIMG0_BASE); t <= (volatile uint32_t*)TIMG1_BASE; t += 0x1000 / 4) {
    AT(t, TIMG_WDTWPROTECT) = WDT_WKEY;
    AT(t, TIMG_WDTFEED) = 1;
    AT(t, TIMG_WDTCONFIG0) = 0;
    AT(t, TIMG_WDTWPROTECT) = 0;
  }
  t = io(RTC_CNTL_BASE);
  AT(t, RTC_CNTL_WDTWPROTECT) = WDT_WKEY;
  AT(t, RTC_CNTL_WDTFEED) = 1u << 31;
  AT(t, RTC_CNTL_WDTCONFIG0) = 0;
  AT(t, RTC_CNTL_WDTWPROTECT) = 0;
}

/* Linker script symbols: the zero-initialised region. */
extern uint32_t _bss_start[], _bss_end[];

static struct stub the_stub;

void stub_main(void) __attribute__((noreturn));
void stub_main(void) {
  uint32_t* p;
  /* The ROM loads only the code and the 4 data bytes; the rest starts as
   * whatever the RAM held, and the core expects its state zeroed. */
  for (p = _bss_start; p < _bss_end; ++p)
    *p = 0;
  watchdogs_off();
  stub_init(&the_stub);
  stub_send_greeting();
  for (;;)
    stub_service(&the_stub);
}
