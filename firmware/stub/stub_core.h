/* Protocol core of the flasher stub: SLIP framing, command dispatch, the
 * checks of every request, and the flash work, scheduled so that a block is
 * written while the next one arrives. Plain C with no knowledge of the chip;
 * everything that touches hardware goes through the stub_hw_* functions
 * below, which the ESP32 target layer (stub_hw_esp32.c) implements, and on a
 * host the tests' simulation and the virtual board (through stub_host.h).
 *
 * Code size matters (the whole program must fit 3288 bytes of IRAM), so the
 * core stays small: no tables, no library calls, one division routine. */
#ifndef QUORVEX_STUB_CORE_H
#define QUORVEX_STUB_CORE_H

#include <stdint.h>

/* STUB_FAST=1 builds the fast stub: the same core with the fast path's
 * commands (compressed writes, digests, reading flash back, the part's id)
 * and the buffers they need. Its entry points carry their own names, so that
 * a host program (the virtual board) can link both builds side by side. */
#ifndef STUB_FAST
#define STUB_FAST 0
#endif
#if STUB_FAST
#define stub stub_fast
#define stub_greeting stub_fast_greeting
#define stub_init stub_fast_init
#define stub_send_greeting stub_fast_send_greeting
#define stub_service stub_fast_service
#define stub_checksum stub_fast_checksum
#define stub_chunk_len stub_fast_chunk_len
#define stub_baud_divider stub_fast_baud_divider
#define stub_udiv stub_fast_udiv
#include "stub_digest.h"
#include "stub_inflate.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opcodes the stub answers. */
enum {
  STUB_CMD_FLASH_BEGIN = 0x02,
  STUB_CMD_FLASH_DATA = 0x03,
  STUB_CMD_FLASH_END = 0x04,
  STUB_CMD_WRITE_REG = 0x09,
  STUB_CMD_READ_REG = 0x0A,
  STUB_CMD_SPI_ATTACH = 0x0D,
  STUB_CMD_CHANGE_BAUDRATE = 0x0F,
  STUB_CMD_ERASE_FLASH = 0xD0
};

/* Error codes carried in the second status byte (the first one is 1); the
 * loader protocol's own codes, so a client reads them the same either way. */
enum {
  STUB_ERR_INVALID =
      0x05, /* malformed frame, wrong length or order, bad argument, unknown command */
  STUB_ERR_FAILED = 0x06,     /* not done: no flash write under way, busy too long, no latch */
  STUB_ERR_CHECKSUM = 0x07,   /* FLASH_DATA checksum does not match its data */
  STUB_ERR_FLASH_WRITE = 0x08 /* the flash does not read back what was written */
};

/* The fast stub's own commands (firmware/stub/README.md has their words). */
enum {
  STUB_CMD_FAST_INFO = 0xE0,   /* the flash part: JEDEC id, size, what the stub found */
  STUB_CMD_DIGEST = 0xE1,      /* digests of a region, whole or per 4 KiB sector */
  STUB_CMD_WRITE_BEGIN = 0xE2, /* a region, the sectors to write, the stream's length */
  STUB_CMD_WRITE_DATA = 0xE3,  /* the next piece of the stream */
  STUB_CMD_WRITE_END = 0xE4,   /* answered when all is written */
  STUB_CMD_READ = 0xE5,        /* stream a region to the host, a digest at the end */
  STUB_CMD_READ_ACK = 0xE6,    /* host to stub: bytes of the read received so far */
  STUB_CMD_READ_DATA = 0xE7    /* stub to host: one packet of the read */
};
/* Our own error code beside the loader's: the compressed stream is not valid
 * or does not give exactly the announced bytes. */
enum { STUB_ERR_STREAM = 0x0A };
/* WRITE_BEGIN flags. */
enum { STUB_WRITE_DEFLATE = 1 };
enum {
  STUB_RING = 65536,       /* inflated bytes not yet programmed, and the 32 KiB history */
  STUB_DIGESTS_MAX = 1024, /* digests in one answer (8 KiB) */
  STUB_READ_PACKET_MAX = 4096,
  STUB_READ_WINDOW_MAX = 8, /* read packets sent and not yet acknowledged */
  STUB_PRODUCE_STEP = 256   /* bytes inflated between two looks at the UART */
};
/* What the fast stub's work costs in CPU cycles, for the host simulation's
 * clock (the chip needs no account: its clock runs anyway). Counted in the
 * cross-compiled code, one instruction a cycle: a digest word is 14
 * instructions (a load, four multiplications, two shift-amount settings and
 * two funnel shifts for the rotations, an add, an xor, a literal load and the
 * loop's step and branch); a symbol the inflater decodes through its table
 * about 60 (the bit-buffer refill and removal are calls); each byte it
 * stores or copies, or the writer copies out of the ring, about 8. */
#define STUB_CYCLES_DIGEST_WORD 16u
#define STUB_CYCLES_SYMBOL 60u
#define STUB_CYCLES_BYTE 8u

enum {
  STUB_SLIP_END = 0xC0,
  STUB_SLIP_ESC = 0xDB,
  STUB_SLIP_ESC_END = 0xDC,
  STUB_SLIP_ESC_ESC = 0xDD
};

enum {
  STUB_HEADER_SIZE = 8,
  STUB_BLOCK_HEADER = 16, /* size, sequence, 0, 0 in front of FLASH_DATA's data */
  STUB_MAX_BLOCK = 16384, /* largest FLASH_DATA block the program sends */
  STUB_FRAME_MAX = STUB_HEADER_SIZE + STUB_BLOCK_HEADER + STUB_MAX_BLOCK,
  STUB_SECTOR = 4096,           /* smallest erasable unit */
  STUB_BLOCK32 = 32768,         /* the larger erase units: a 4 KiB erase takes about a */
  STUB_BLOCK64 = 65536,         /* third of a 64 KiB one's time for a sixteenth of it */
  STUB_PAGE = 256,              /* page program never crosses this boundary */
  STUB_SPI_CHUNK = 64,          /* SPI1 data buffer W0..W15 */
  STUB_FLASH_LIMIT = 0x1000000, /* three address bytes reach 16 MiB */
  STUB_KEEPALIVE_BYTE = 0x00    /* outside any frame; receivers hunting for 0xC0 drop it */
};

/* Time is counted in ticks of 65536 CPU cycles. The CPU clock is not known:
 * the ROM loader runs it from the crystal (40 MHz, 26 MHz on some boards) and
 * an application may have left it at up to 240 MHz. Time limits that must be
 * long enough are converted at the fastest clock, the keep-alive interval
 * that must be short enough at the slowest. */
#define STUB_TICK_CYCLES 65536u
#define STUB_CLOCK_SLOW_KHZ 26000u
#define STUB_CLOCK_FAST_KHZ 240000u
#define STUB_TICKS_AT(khz, ms) ((uint32_t)((unsigned long long)(ms) * (khz) / STUB_TICK_CYCLES))
#define STUB_LIMIT_TICKS(ms) STUB_TICKS_AT(STUB_CLOCK_FAST_KHZ, ms)

/* Idle byte while the flash keeps an answer waiting: every 500 ms or sooner. */
#define STUB_KEEPALIVE_MS 500u
#define STUB_KEEPALIVE_TICKS STUB_TICKS_AT(STUB_CLOCK_SLOW_KHZ, STUB_KEEPALIVE_MS)

/* Busy-bit limits in milliseconds, far above datasheet maxima (page 3 ms,
 * 4 KiB 400 ms, 64 KiB 2 s, chip 200 s for 16 MiB parts). */
#define STUB_WAIT_PAGE_MS 50u
#define STUB_WAIT_ERASE_MS 6000u
#define STUB_WAIT_CHIP_MS 400000u

/* Status register 1's write-in-progress bit. */
enum { STUB_SR_BUSY = 0x01 };

/* What the stub found out about the flash part at attach (struct stub's
 * flash word, also the value of the ERASE_FLASH answer, which the program
 * logs): the JEDEC manufacturer byte, how the part is unprotected, and the
 * erase units besides 4 KiB sectors that the part itself confirms. */
enum {
  STUB_PART_MAKER = 0xFF,       /* bits 7..0: the manufacturer byte */
  STUB_PART_SFDP = 1u << 8,     /* a JEDEC parameter table (SFDP) was read */
  STUB_PART_ERASE32 = 1u << 9,  /* 0x52 erases 32 KiB, as the table lists */
  STUB_PART_ERASE64 = 1u << 10, /* 0xD8 erases 64 KiB, as the table or the maker confirms */
  STUB_PART_SR2 = 1u << 11      /* status register 2 at 0x35 (QE bit 1, CMP bit 6), and
                                   block protection in bits 2..6 of register 1, not 2..5 */
};

/* One FLASH_BEGIN session. The erase frontier only grows, from the start
 * address towards the end of the data. */
struct stub_flash_job {
  uint32_t end;        /* start + announced erase size (sector-rounded); no write goes past it */
  uint32_t erased;     /* the sectors below this were erased in this session */
  uint32_t sure;       /* the data certainly reaches below this: the last block's first byte */
  uint32_t block_size; /* bytes per block as announced */
  uint32_t blocks;     /* number of blocks announced */
  uint32_t next_seq;   /* the sequence number the next block must carry */
  uint32_t next_addr;  /* where that block goes */
  uint32_t active;     /* FLASH_BEGIN accepted and not yet ended */
};

/* The block being written while the next one arrives, and the flash
 * operation in flight. */
struct stub_work {
  const uint8_t* data;
  uint32_t addr, len; /* len 0: no block */
  uint32_t programmed, checked;
  uint32_t err;   /* first failure, reported with the next answer */
  uint32_t busy;  /* an erase or program was started and may still run */
  uint32_t since; /* its start, in ticks */
  uint32_t limit; /* and how long it may take */
};

#if STUB_FAST
/* One WRITE_BEGIN session: a region, the sectors of it to write (the others
 * already hold the image's bytes), and the stream that carries exactly the
 * bytes of those sectors, one after the other, compressed or as they are. */
struct stub_fast_write {
  uint32_t active;
  uint32_t offset, length, sectors; /* the region; its last sector may be partial */
  uint32_t total;                   /* bytes of the sectors to write: what the stream gives */
  uint32_t stream_len, stream_got;  /* stream bytes announced and received */
  uint32_t deflate;
  uint32_t seq;      /* the sequence number the next WRITE_DATA must carry */
  const uint8_t* in; /* the received piece not yet taken by the inflater */
  uint32_t in_left;
  uint32_t ended;          /* the stream's end has been decoded */
  uint32_t programmed;     /* stream bytes in flash (or found 0xFF and left erased) */
  uint32_t cur, cur_start; /* the sector being programmed and where its bytes start */
  uint32_t erase_next;     /* the first sector to write that may still need its erase */
  uint32_t err;            /* the first failure, reported with the next answer */
  uint8_t map[STUB_FLASH_LIMIT / STUB_SECTOR / 8]; /* bit k: write sector k */
};

/* A READ in progress: packets go out while the window allows, acknowledgements
 * come back between them. */
struct stub_fast_read {
  uint32_t active;
  uint32_t addr, len, packet, window;
  uint32_t sent, acked;
  uint32_t since; /* tick of the last acknowledgement (or the request) */
  struct stub_digest digest;
};
#endif

struct stub {
  struct stub_flash_job job;
  struct stub_work work;
  uint32_t rx_state;    /* 0 hunting for a frame, 1 inside one, 2 after an escape */
  uint32_t frame_len;   /* decoded bytes of the current frame (may exceed the buffer) */
  uint32_t frame_bad;   /* bad escape or overflow seen in the current frame */
  uint32_t rx_buf;      /* which buffer receives: the other may be being written */
  uint32_t last_alive;  /* tick of the last keep-alive byte or received frame */
  uint32_t flash;       /* STUB_PART_* facts about the flash part */
  uint32_t chip_erased; /* ERASE_FLASH succeeded in this run */
  uint8_t dirty[STUB_FLASH_LIMIT / STUB_SECTOR / 8]; /* sectors programmed since */
  /* Word-aligned so that the target may read them as words if it wants to. */
  uint32_t buf_words[2][(STUB_FRAME_MAX + 3) / 4];
#if STUB_FAST
  uint32_t jedec; /* the part's JEDEC id: maker, type, capacity (lowest byte first) */
  struct stub_fast_write fw;
  struct stub_fast_read fr;
  struct stub_inflate z;
  uint8_t ring[STUB_RING];
#endif
};

/* The greeting word ("OHAI" in wire order), the stub's only initialised data.
 * Volatile so that it is read from the data word the loader wrote, never
 * folded into the code as a constant. */
extern volatile uint32_t stub_greeting;

/* Sets the flash up; s must start zeroed (the target clears its .bss). */
void stub_init(struct stub* s);
void stub_send_greeting(void);
/* One turn of the main loop: takes a received byte (answering a frame that
 * it completes) or, with nothing received, advances the flash work by one
 * step that never waits. Returns 0 when there was neither input nor work
 * left, else 1. The target calls it forever. */
int stub_service(struct stub* s);

/* Checksum rule of the protocol over a data block. */
uint32_t stub_checksum(const uint8_t* data, uint32_t len);
/* Length of the next program chunk at addr: bounded by the SPI buffer, the
 * bytes left and the end of the 256-byte page. */
uint32_t stub_chunk_len(uint32_t addr, uint32_t left);
/* UART clock divider (integer part << 4 | sixteenths) for new_baud, derived
 * from the divider in use for old_baud; 0 when it cannot be represented. */
uint32_t stub_baud_divider(uint32_t cur_div16, uint32_t old_baud, uint32_t new_baud);
uint32_t stub_udiv(uint32_t n, uint32_t d);

/* ---- The hardware seam ---- */
/* Next received byte, or -1 at once when none is waiting. */
int stub_hw_getc(void);
void stub_hw_putc(uint8_t c);
/* Returns once every byte queued so far has left the wire. */
void stub_hw_tx_drain(void);
/* Current divider (sixteenths, as stub_baud_divider takes it) and setting a new one. */
uint32_t stub_hw_baud_div16(void);
void stub_hw_set_baud_div16(uint32_t div16);
/* Register access; a non-zero result refuses the address (unmapped or unaligned). */
int stub_hw_read_reg(uint32_t addr, uint32_t* value);
int stub_hw_write_reg(uint32_t addr, uint32_t value);
/* Waits at least us microseconds (at most 1000000) at the fastest clock, so
 * longer at slower ones. */
void stub_hw_delay_us(uint32_t us);
/* Monotonic ticks of STUB_TICK_CYCLES CPU cycles. */
uint32_t stub_hw_ticks(void);
/* Routes the flash pins to SPI1 and sets the controller up for plain SPI. */
void stub_hw_flash_attach(void);
/* One SPI flash transaction: the opcode (low 8 bits of op), a 24-bit address
 * when op has STUB_FLASH_ADDR, 8 dummy clocks when op has STUB_FLASH_DUMMY,
 * out_len bytes sent from out, then in_len bytes read into in. Lengths up to
 * STUB_SPI_CHUNK. in is word-aligned with room for in_len rounded up to
 * whole words, which the target may fill. */
#define STUB_FLASH_ADDR 0x100u
#define STUB_FLASH_DUMMY 0x200u
void stub_hw_flash_cmd(uint32_t op, uint32_t addr, const uint8_t* out, uint32_t out_len,
                       uint8_t* in, uint32_t in_len);
/* Only the fast stub uses these. A read transaction split in two: the start
 * returns at once and the controller shifts the bytes in while the core
 * digests the previous ones; the end waits for them and copies them to in
 * (word-aligned, as above). Nothing else touches the flash in between. */
void stub_hw_flash_read_start(uint32_t op, uint32_t addr, uint32_t in_len);
void stub_hw_flash_read_end(uint8_t* in, uint32_t in_len);
/* The SPI clock: the controller's input clock (APB) divided by div, 1 to 4. */
void stub_hw_flash_clock(uint32_t div);
/* The core has just done about n CPU cycles of computation (STUB_CYCLES_*).
 * Nothing on the chip, whose clock runs anyway; a host simulation advances
 * its clock by them. */
void stub_hw_cycles(uint32_t n);

#ifdef __cplusplus
}
#endif

#endif
