/* Protocol core of the flasher stub; see stub_core.h. */
#include "stub_core.h"

/* SPI NOR opcodes common to the serial flash parts used with the ESP32. */
enum {
  NOR_WRSR = 0x01,
  NOR_PP = 0x02,
  NOR_READ = 0x03,
  NOR_RDSR = 0x05,
  NOR_WREN = 0x06,
  NOR_SE = 0x20,
  NOR_WRSR2 = 0x31,
  NOR_RDSR2 = 0x35,
  NOR_BE32 = 0x52,
  NOR_SFDP = 0x5A,
  NOR_RSTEN = 0x66,
  NOR_RST = 0x99,
  NOR_JEDEC_ID = 0x9F,
  NOR_RES = 0xAB,
  NOR_CE = 0xC7,
  NOR_BE64 = 0xD8,
  NOR_MODE_RESET = 0xFF
};

enum { SR_WEL = 0x02, SR1_BP012 = 0x1C, SR2_CMP = 0x40 };

#if STUB_FAST
/* The fast stub runs the SPI clock at the APB clock (40 MHz from the usual
 * crystal), where plain READ (0x03) is beyond some parts' limit (33 MHz on
 * older Macronix ones): it reads with FAST READ (0x0B, 8 dummy clocks), which
 * every part takes at its full clock. */
enum { NOR_FAST_READ = 0x0B };
#define READ_OP (NOR_FAST_READ | STUB_FLASH_ADDR | STUB_FLASH_DUMMY)
#else
#define READ_OP (NOR_READ | STUB_FLASH_ADDR)
#endif

volatile uint32_t stub_greeting = 0x4941484Fu; /* 'O' 'H' 'A' 'I', lowest byte first */

/* The buffer that receives; the other one may hold the block being written. */
static uint8_t* frame(struct stub* s) {
  return (uint8_t*)s->buf_words[s->rx_buf];
}

/* Request words sit on word boundaries (the buffers are word-aligned, the
 * header is 8 bytes and every field a whole word), and the chip and the hosts
 * the core is tested on are little-endian: a plain load reads them. */
static uint32_t get32(const uint8_t* p) {
  return *(const uint32_t*)(const void*)p;
}

uint32_t stub_udiv(uint32_t n, uint32_t d) {
  /* Shift-subtract division: the core has no divide instruction to rely on
   * and no runtime library behind it. d == 0 gives 0. */
  uint32_t q = 0, r = 0;
  int i;
  if (d == 0) return 0;
  for (i = 31; i >= 0; --i) {
    r = (r << 1) | ((n >> i) & 1u);
    if (r >= d) {
      r -= d;
      q |= 1u << i;
    }
  }
  return q;
}

uint32_t stub_checksum(const uint8_t* data, uint32_t len) {
  uint32_t c = 0xEF;
  uint32_t i;
  for (i = 0; i < len; ++i)
    c ^= data[i];
  return c;
}

uint32_t stub_chunk_len(uint32_t addr, uint32_t left) {
  uint32_t room = STUB_PAGE - (addr & (STUB_PAGE - 1));
  uint32_t n = left < STUB_SPI_CHUNK ? left : STUB_SPI_CHUNK;
  return n < room ? n : room;
}

uint32_t stub_baud_divider(uint32_t cur_div16, uint32_t old_baud, uint32_t new_baud) {
  /* cur_div16 * old_baud is sixteen times the UART clock. Deriving it from
   * the divider in use works whatever clock the ROM left the UART on; when
   * the product is implausible (no old rate, overflow) assume the 80 MHz APB. */
  uint32_t clk16 = 16u * 80000000u;
  uint32_t div;
  if (new_baud == 0) return 0;
  if (old_baud != 0 && cur_div16 != 0) {
    uint32_t p = cur_div16 * old_baud;
    if (stub_udiv(p, old_baud) == cur_div16 && p >= 16u * 1000000u) clk16 = p;
  }
  div = stub_udiv(clk16 + new_baud / 2, new_baud);
  /* The integer part is 20 bits wide and must be at least 1. */
  if (div < 16 || div > 0xFFFFFu) return 0;
  return div;
}

/* ---- output ---- */

static void put_escaped(uint8_t c) {
  if (c == STUB_SLIP_END) {
    stub_hw_putc(STUB_SLIP_ESC);
    c = STUB_SLIP_ESC_END;
  } else if (c == STUB_SLIP_ESC) {
    stub_hw_putc(STUB_SLIP_ESC);
    c = STUB_SLIP_ESC_ESC;
  }
  stub_hw_putc(c);
}

/* One frame: len bytes of the words, lowest first, escaped. */
static void send_frame(const uint32_t* words, uint32_t len) {
  const uint8_t* p = (const uint8_t*)words;
  stub_hw_putc(STUB_SLIP_END);
  while (len--)
    put_escaped(*p++);
  stub_hw_putc(STUB_SLIP_END);
}

void stub_send_greeting(void) {
  uint32_t w = stub_greeting;
  send_frame(&w, 4);
}

static __attribute__((noinline)) void reply(uint8_t cmd, uint32_t value, uint32_t err) {
  /* direction 1, the command, a data part of 2 bytes; the value; the status
   * (1 on failure) and the error code */
  uint32_t w[3];
  w[0] = 0x00020001u | (uint32_t)cmd << 8;
  w[1] = value;
  w[2] = (err ? 1u : 0u) | err << 8;
  send_frame(w, 10);
}

/* ---- flash ---- */

static uint32_t read_status(uint8_t opcode) {
  uint32_t v = 0xFF; /* a whole word: the target stores whole words */
  stub_hw_flash_cmd(opcode, 0, 0, 0, (uint8_t*)&v, 1);
  return v & 0xFF;
}

/* A command of just its opcode. */
static void command(uint32_t opcode) {
  stub_hw_flash_cmd(opcode, 0, 0, 0, 0, 0);
}

/* Starts a program, erase or status write behind the write-enable latch,
 * confirmed first: a flash that does not answer (not attached, wrong pins)
 * shows up here rather than as silently lost data. */
static uint32_t start_op(struct stub* s, uint32_t opcode, uint32_t addr, const uint8_t* out,
                         uint32_t out_len, uint32_t limit) {
  command(NOR_WREN);
  if ((read_status(NOR_RDSR) & (SR_WEL | STUB_SR_BUSY)) != SR_WEL) return STUB_ERR_FAILED;
  stub_hw_flash_cmd(opcode, addr, out, out_len, 0, 0);
  s->work.busy = 1;
  s->work.since = stub_hw_ticks();
  s->work.limit = limit;
  return 0;
}

static uint32_t is_dirty(struct stub* s, uint32_t a) {
  return s->dirty[a >> 15] & (1u << ((a >> 12) & 7));
}

/* One step of the flash work that never waits for the part: polls the
 * operation in flight, else starts the next erase, page program or read-back
 * chunk of the block in hand. With nothing in hand and mode WORK_AHEAD,
 * erases on into what the image will certainly cover, so that the next block
 * finds its sectors ready. Returns 1 while the block in hand is not written
 * and checked yet, or an operation is in flight (unless mode is WORK_BLOCK and
 * there is no block: an erase ahead may go on behind the next answer). */
enum { WORK_BLOCK, WORK_AHEAD, WORK_ALL };
static uint32_t work_step(struct stub* s, uint32_t mode) {
  struct stub_work* w = &s->work;
  struct stub_flash_job* j = &s->job;
  uint32_t a = j->erased, need, n, err;
  if (w->busy) {
    /* A part that stops answering reads 0xFF, busy bit included: not worth
     * waiting for (the next command's write-enable check, or the read-back,
     * reports it). */
    n = read_status(NOR_RDSR);
    if ((n & STUB_SR_BUSY) == 0 || n == 0xFF) {
      w->busy = 0;
    } else if (stub_hw_ticks() - w->since <= w->limit) {
      return w->len || mode != WORK_BLOCK;
    } else {
      err = STUB_ERR_FAILED;
      goto fail;
    }
  }
  if (w->err) return 0;
  /* Erase up to the end of the block's data, or ahead for the next block,
   * never past what the data certainly reaches. No further: an erase in
   * flight holds up the programming of the block that arrives meanwhile. */
  need = 0;
  if (w->len) {
    need = w->addr + w->len;
  } else if (mode == WORK_AHEAD && j->active) {
    need = j->next_addr + j->block_size;
    if (need > j->sure) need = j->sure;
  }
  if (a < need) {
    uint32_t op = NOR_SE, unit = STUB_SECTOR;
    if (s->chip_erased) {
      /* Erased by the chip erase and not written since: nothing to do. */
      if (!is_dirty(s, a)) {
        j->erased = a + STUB_SECTOR;
        return 1;
      }
    } else if ((s->flash & STUB_PART_ERASE64) && (a & (STUB_BLOCK64 - 1)) == 0 &&
               a + STUB_BLOCK64 <= j->sure) {
      op = NOR_BE64;
      unit = STUB_BLOCK64;
    } else if ((s->flash & STUB_PART_ERASE32) && (a & (STUB_BLOCK32 - 1)) == 0 &&
               a + STUB_BLOCK32 <= j->sure) {
      /* Only where the part's own table says 0x52 erases 32 KiB: on older
       * Macronix parts (with the same id as newer ones) it erases 64 KiB. */
      op = NOR_BE32;
      unit = STUB_BLOCK32;
    }
    j->erased = a + unit;
    err = start_op(s, op | STUB_FLASH_ADDR, a, 0, 0, STUB_LIMIT_TICKS(STUB_WAIT_ERASE_MS));
  } else if (!w->len) {
    return 0;
  } else if (w->programmed < w->len) {
    a = w->addr + w->programmed;
    n = stub_chunk_len(a, w->len - w->programmed);
    s->dirty[a >> 15] |= (uint8_t)(1u << ((a >> 12) & 7));
    err = start_op(s, NOR_PP | STUB_FLASH_ADDR, a, w->data + w->programmed, n,
                   STUB_LIMIT_TICKS(STUB_WAIT_PAGE_MS));
    w->programmed += n;
  } else if (w->checked < w->len) {
    /* Read back: a write into a sector that did not erase, or a flash that
     * ignored the command, must not be reported as success. */
    uint32_t back_words[STUB_SPI_CHUNK / 4];
    const uint8_t* back = (const uint8_t*)back_words;
    uint32_t i;
    n = w->len - w->checked < STUB_SPI_CHUNK ? w->len - w->checked : STUB_SPI_CHUNK;
    stub_hw_flash_cmd(READ_OP, w->addr + w->checked, 0, 0, (uint8_t*)back_words, n);
    err = 0;
    for (i = 0; i < n; ++i)
      if (back[i] != w->data[w->checked + i]) err = STUB_ERR_FLASH_WRITE;
    w->checked += n;
  } else {
    /* Done; the next step may erase ahead (the caller's loop goes on). */
    w->len = 0;
    return mode != WORK_BLOCK;
  }
  if (!err) return 1;
fail:
  w->err = err;
  w->len = 0;
  w->busy = 0;
  return 0;
}

/* Waits for the block in hand (with WORK_ALL also for an erase in flight),
 * sending a keep-alive byte now and then so that the program's per-byte time
 * limit does not run out meanwhile. The interval counts from the request's
 * arrival. Returns the first failure since the last report, which ends the
 * FLASH_BEGIN session: the image is not whole. */
static uint32_t finish(struct stub* s, uint32_t mode) {
  uint32_t err;
  while (work_step(s, mode)) {
    uint32_t now = stub_hw_ticks();
    if (now - s->last_alive >= STUB_KEEPALIVE_TICKS) {
      stub_hw_putc(STUB_KEEPALIVE_BYTE);
      s->last_alive = now;
    }
  }
  err = s->work.err;
  s->work.err = 0;
  if (err) s->job.active = 0;
  return err;
}

static uint32_t write_status(struct stub* s, uint32_t opcode, const uint8_t* sr, uint32_t len) {
  uint32_t err = start_op(s, opcode, 0, sr, len, STUB_LIMIT_TICKS(STUB_WAIT_PAGE_MS));
  return err ? err : finish(s, WORK_ALL);
}

/* Clears block protection left set by a bootloader or the factory, and
 * writes nothing when nothing is protected. Only the block-protect bits of
 * this maker's parts are cleared, so a quad-enable bit (bit 6 of status
 * register 1 on Macronix and ISSI, bit 1 of register 2 elsewhere) stays as
 * it is. Register 2 is read only on parts known to keep it at 0x35 (on
 * Macronix and ISSI 0x35 enters QPI mode); read as 0xFF it is not a value
 * to write back (on a part without it, that would set lock bits). Its CMP
 * bit inverts the protected range: with CMP set, clearing the block-protect
 * bits protects the whole array, so CMP is cleared too, unless the bits say
 * that nothing is protected.
 * Where there are two registers, both go in one 0x01 first, register 2 as
 * its second byte, which older parts need (a one-byte 0x01 clears their
 * QE). A part that ignores that form (newer GigaDevice) then gets 0x01 with
 * register 1 alone while that has bits to clear, and 0x31 with register 2.
 * What each write left is read back: a part that stays protected fails
 * here, not at its first block. */
static uint32_t unprotect(struct stub* s) {
  uint32_t mask = (s->flash & STUB_PART_SR2) ? 0x7C : 0x3C, pass, sr1, sr2, cmp, only2, err;
  uint8_t sr[2];
  for (pass = 0;; ++pass) {
    /* (A part that does not answer reads 0xFF: the write-enable check fails.) */
    sr1 = read_status(NOR_RDSR);
    sr2 = (s->flash & STUB_PART_SR2) ? read_status(NOR_RDSR2) : 0xFF;
    cmp = sr2 != 0xFF && (sr2 & SR2_CMP);
    if ((cmp ? ~sr1 & SR1_BP012 : sr1 & mask) == 0) return 0;
    if (pass > 1 + cmp) return STUB_ERR_FAILED;
    only2 = pass && (sr1 & mask) == 0;
    sr[0] = (uint8_t)(sr1 & ~(mask | SR_WEL | STUB_SR_BUSY)); /* (WEL and BUSY are read-only) */
    sr[1] = (uint8_t)(sr2 & ~(uint32_t)SR2_CMP);
    err =
        write_status(s, only2 ? NOR_WRSR2 : NOR_WRSR, sr + only2, pass == 0 && sr2 != 0xFF ? 2 : 1);
    if (err) return err;
  }
}

/* Manufacturer bytes (first byte of the JEDEC id) whose datasheets were
 * checked. Winbond (W25Q) and GigaDevice (GD25Q): status register 2 at 0x35,
 * block protection in bits 2..6 of register 1. Macronix (MX25L) and ISSI
 * (IS25LP): one status register, block protection in bits 2..5, QE in bit 6.
 * All four erase 64 KiB with 0xD8. Any other maker: bits 2..5 only (bit 6
 * is QE on some parts), and the erase units its SFDP table lists. */
enum { MFR_WINBOND = 0xEF, MFR_GIGADEVICE = 0xC8, MFR_MACRONIX = 0xC2, MFR_ISSI = 0x9D };

static uint32_t part_of(uint32_t maker) {
  switch (maker) {
  case MFR_WINBOND:
  case MFR_GIGADEVICE:
    return maker | STUB_PART_SR2 | STUB_PART_ERASE64;
  case MFR_MACRONIX:
  case MFR_ISSI:
    return maker | STUB_PART_ERASE64;
  }
  return maker;
}

static void sfdp_read(uint32_t addr, uint32_t* w, uint32_t len) {
  stub_hw_flash_cmd(NOR_SFDP | STUB_FLASH_ADDR | STUB_FLASH_DUMMY, addr, 0, 0, (uint8_t*)w, len);
}

/* The erase units the part's own parameter table lists (SFDP, JESD216): its
 * header ("SFDP"), then the first parameter header, which is the basic
 * table's (id 0, major revision 1, at least 9 words long); the table's 8th
 * and 9th words hold four erase types, each a size as a power of two and
 * its opcode. A part without the table reads 0xFF: no units. */
static uint32_t sfdp_erase_units(void) {
  uint32_t w[4], i, units = STUB_PART_SFDP;
  const uint8_t* b = (const uint8_t*)w;
  sfdp_read(0, w, 16);
  if (w[0] != 0x50444653u || b[8] != 0 || b[10] != 1 || b[11] < 9) return 0;
  sfdp_read((w[3] & 0xFFFFFFu) + 28, w, 8);
  for (i = 0; i < 8; i += 2) {
    if (b[i + 1] == NOR_BE32 && b[i] == 15) units |= STUB_PART_ERASE32;
    if (b[i + 1] == NOR_BE64 && b[i] == 16) units |= STUB_PART_ERASE64;
  }
  return units;
}

/* Reset recovery: an idle part is ready within tens of microseconds; one
 * whose program or erase the reset cut short takes longer, the longest
 * after an aborted chip erase. */
#define RESET_IDLE_US 100u
#define RESET_ABORTED_US 100000u

static void flash_prepare(struct stub* s) {
  uint32_t aborted;
  stub_hw_flash_attach();
#if STUB_FAST
  stub_hw_flash_clock(1);
#endif
  /* A previous program may have left the part in continuous-read mode (it
   * then takes the next bytes as an address): 32 clocks of ones end it. Then
   * out of deep power-down, and a reset, before anything else is sent. */
  stub_hw_flash_cmd(NOR_MODE_RESET | STUB_FLASH_ADDR, 0xFFFFFF, 0, 0, 0, 0);
  command(NOR_RES);
  stub_hw_delay_us(50);
  /* The reset would abort a program or erase that a previous program left
   * running, and lose what it was writing: it is waited out first, as long as
   * the longest block erase may take, the way the stub waits for its own. */
  s->work.busy = 1;
  s->work.since = s->last_alive = stub_hw_ticks();
  s->work.limit = STUB_LIMIT_TICKS(STUB_WAIT_ERASE_MS);
  aborted = finish(s, WORK_ALL);
  command(NOR_RSTEN);
  command(NOR_RST);
  stub_hw_delay_us(aborted ? RESET_ABORTED_US : RESET_IDLE_US);
  s->flash = part_of(read_status(NOR_JEDEC_ID)) | sfdp_erase_units();
#if STUB_FAST
  s->jedec = 0xFFFFFF;
  stub_hw_flash_cmd(NOR_JEDEC_ID, 0, 0, 0, (uint8_t*)&s->jedec, 3);
  s->jedec &= 0xFFFFFF;
#endif
}

/* ---- commands ---- */

/* FLASH_BEGIN only checks and records the region; the erasing is left to the
 * blocks. The erase size the program announces is its image rounded up to
 * whole 16 KiB blocks, so erasing it here would wipe whatever follows a small
 * image (a settings partition right after the 3 KiB partition table), and a
 * large image's erase would outlast the program's time limit for this answer.
 * The erase size stays the upper bound that no block may write past. */
static uint32_t cmd_flash_begin(struct stub* s, const uint8_t* p, uint32_t n) {
  struct stub_flash_job* j = &s->job;
  uint32_t erase, size, offset, err;
  /* 16 bytes; a fifth word (an encryption flag in the loader's protocol) is tolerated. */
  if (n != 16 && n != 20) return STUB_ERR_INVALID;
  erase = get32(p);
  j->active = 0;
  j->blocks = get32(p + 4);
  j->block_size = get32(p + 8);
  offset = get32(p + 12);
  if (j->block_size == 0 || j->block_size > STUB_MAX_BLOCK) return STUB_ERR_INVALID;
  /* Sectors are erased whole: an unaligned start would lose the bytes in front of it. */
  if (offset & (STUB_SECTOR - 1)) return STUB_ERR_INVALID;
  if (erase > STUB_FLASH_LIMIT || offset > STUB_FLASH_LIMIT) return STUB_ERR_INVALID;
  size = (erase + STUB_SECTOR - 1) & ~(uint32_t)(STUB_SECTOR - 1);
  if (size > STUB_FLASH_LIMIT - offset) return STUB_ERR_INVALID;
  /* Every block but the last is full and the last holds a byte at least, so
   * the data certainly reaches the last block's first byte; that must lie
   * inside the region. (Bounded first so that the product cannot wrap.) */
  j->sure = offset;
  if (j->blocks) {
    if (j->blocks - 1 >= size) return STUB_ERR_INVALID;
    j->sure += (j->blocks - 1) * j->block_size + 1;
    if (j->sure - offset > size) return STUB_ERR_INVALID;
  }
  /* Quick (a status register write), and a flash that does not answer shows up here. */
  err = unprotect(s);
  if (err) return err;
  j->end = offset + size;
  j->erased = offset;
  j->next_seq = 0;
  j->next_addr = offset;
  j->active = 1;
  return 0;
}

/* A block is checked and taken in hand; it is written while the next one
 * arrives, and its result goes with that one's answer. The last block is
 * answered only once it is written and read back, since the program may send
 * nothing after it. */
static uint32_t cmd_flash_data(struct stub* s, const uint8_t* p, uint32_t n) {
  struct stub_flash_job* j = &s->job;
  struct stub_work* w = &s->work;
  uint32_t len, seq, addr;
  if (n < STUB_BLOCK_HEADER) return STUB_ERR_INVALID;
  len = get32(p);
  seq = get32(p + 4);
  if (!j->active) return STUB_ERR_FAILED;
  if (len != n - STUB_BLOCK_HEADER || len == 0 || len > j->block_size) return STUB_ERR_INVALID;
  if (seq != j->next_seq || seq >= j->blocks) return STUB_ERR_INVALID;
  /* Erasing ahead relies on every block but the last being full. */
  if (seq + 1 != j->blocks && len != j->block_size) return STUB_ERR_INVALID;
  if (get32(p - 4) != stub_checksum(p + STUB_BLOCK_HEADER, len)) return STUB_ERR_CHECKSUM;
  /* Blocks arrive in order, so the block's place advances by addition. */
  addr = j->next_addr;
  if (addr >= j->end || len > j->end - addr) return STUB_ERR_INVALID;
  w->data = p + STUB_BLOCK_HEADER;
  w->addr = addr;
  w->len = len;
  w->programmed = 0;
  w->checked = 0;
  s->rx_buf ^= 1; /* the next frame goes to the other buffer */
  j->next_seq++;
  j->next_addr += j->block_size;
  return j->next_seq == j->blocks ? finish(s, WORK_BLOCK) : 0;
}

static uint32_t cmd_write_reg(const uint8_t* p, uint32_t n) {
  /* Groups of address, value, mask, delay in microseconds. */
  if (n == 0 || (n & 15) != 0) return STUB_ERR_INVALID;
  for (; n; n -= 16, p += 16) {
    uint32_t addr = get32(p), value = get32(p + 4), mask = get32(p + 8), delay = get32(p + 12);
    if (mask != 0xFFFFFFFFu) {
      uint32_t old;
      if (stub_hw_read_reg(addr, &old)) return STUB_ERR_INVALID;
      value = (old & ~mask) | (value & mask);
    }
    if (stub_hw_write_reg(addr, value)) return STUB_ERR_INVALID;
    /* A delay is bounded so that a bad request cannot stall the stub for long. */
    stub_hw_delay_us(delay < 1000000u ? delay : 1000000u);
  }
  return 0;
}

void stub_init(struct stub* s) {
  flash_prepare(s);
}

#if STUB_FAST
#include "stub_fast.inc"
#endif

/* Feeds one received byte to the frame decoder; 1 when it ends a frame.
 * Bytes before a frame's opening delimiter are noise; frames longer than the
 * buffer are consumed to their end and marked bad, so the stream stays in step. */
static uint32_t rx_byte(struct stub* s, uint32_t c) {
  if (s->rx_state == 0) {
    if (c == STUB_SLIP_END) {
      s->rx_state = 1;
      s->frame_len = 0;
      s->frame_bad = 0;
    }
    return 0;
  }
  if (s->rx_state == 2) {
    s->rx_state = 1;
    if (c == STUB_SLIP_ESC_END) {
      c = STUB_SLIP_END;
    } else if (c == STUB_SLIP_ESC_ESC) {
      c = STUB_SLIP_ESC;
    } else {
      s->frame_bad = 1;
      if (c != STUB_SLIP_END) return 0;
      s->rx_state = 0;
      return 1;
    }
  } else if (c == STUB_SLIP_ESC) {
    s->rx_state = 2;
    return 0;
  } else if (c == STUB_SLIP_END) {
    /* back-to-back delimiters: an empty frame, keep going */
    if (s->frame_len == 0 && !s->frame_bad) return 0;
    s->rx_state = 0;
    return 1;
  }
  if (s->frame_len < STUB_FRAME_MAX)
    frame(s)[s->frame_len++] = (uint8_t)c;
  else
    s->frame_bad = 1;
  return 0;
}

static void handle_frame(struct stub* s) {
  uint8_t* b = frame(s);
  const uint8_t* p = b + STUB_HEADER_SIZE;
  uint32_t n, value = 0, err;
  uint8_t cmd;
  s->last_alive = stub_hw_ticks();
  /* Too short to name a command, or not a request: nothing to answer. */
  if (s->frame_len < STUB_HEADER_SIZE || b[0] != 0) return;
  cmd = b[1];
  n = s->frame_len - STUB_HEADER_SIZE;
#if STUB_FAST
  if (fast_frame(s, cmd, p, n, s->frame_bad || ((uint32_t)b[2] | (uint32_t)b[3] << 8) != n)) return;
#endif
  /* Whatever comes next, the block in hand is written first and its
   * failure, if any, is this answer. Only a further block may go ahead while
   * an erase ahead is still running; everything else finds the part idle. */
  err = finish(s, cmd == STUB_CMD_FLASH_DATA ? WORK_BLOCK : WORK_ALL);
  if (!err && (s->frame_bad || ((uint32_t)b[2] | (uint32_t)b[3] << 8) != n)) err = STUB_ERR_INVALID;
  if (!err) {
    switch (cmd) {
    case STUB_CMD_FLASH_BEGIN:
      err = cmd_flash_begin(s, p, n);
      break;
    case STUB_CMD_FLASH_DATA:
      err = cmd_flash_data(s, p, n);
      break;
    case STUB_CMD_FLASH_END:
      err = (n == 0 || n == 4) ? 0 : STUB_ERR_INVALID;
      if (!err) s->job.active = 0;
      break;
    case STUB_CMD_READ_REG:
      err = (n == 4 && stub_hw_read_reg(get32(p), &value) == 0) ? 0 : STUB_ERR_INVALID;
      break;
    case STUB_CMD_WRITE_REG:
      err = cmd_write_reg(p, n);
      break;
    case STUB_CMD_SPI_ATTACH:
      /* Only the default flash pins are wired up; other pin sets are refused. */
      err = ((n == 4 || n == 8) && get32(p) == 0) ? 0 : STUB_ERR_INVALID;
      if (!err) flash_prepare(s);
      break;
    case STUB_CMD_CHANGE_BAUDRATE:
      value = n == 8 ? stub_baud_divider(stub_hw_baud_div16(), get32(p + 4), get32(p)) : 0;
      if (value == 0) {
        err = STUB_ERR_INVALID;
        break;
      }
      /* The answer goes out at the old rate; the switch follows once it has left. */
      reply(cmd, 0, 0);
      stub_hw_tx_drain();
      stub_hw_set_baud_div16(value);
      return;
    case STUB_CMD_ERASE_FLASH:
      err = n == 0 ? unprotect(s) : STUB_ERR_INVALID;
      if (!err) err = start_op(s, NOR_CE, 0, 0, 0, STUB_LIMIT_TICKS(STUB_WAIT_CHIP_MS));
      if (!err) err = finish(s, WORK_ALL);
      if (!err) {
        /* Until a sector is written again, erasing it would be wasted time. */
        uint32_t i;
        for (i = 0; i < sizeof s->dirty; ++i)
          s->dirty[i] = 0;
        s->chip_erased = 1;
        /* What the part was found to be, for the program's log of this answer. */
        value = s->flash;
      }
      break;
    default:
      err = STUB_ERR_INVALID;
      break;
    }
  }
  reply(cmd, value, err); /* value is 0 wherever err is set */
}

int stub_service(struct stub* s) {
  int c = stub_hw_getc();
#if STUB_FAST
  if (s->fr.active) return (int)read_step(s, c);
  if (c < 0 && s->fw.active) return (int)fast_step(s);
#endif
  if (c < 0) return (int)work_step(s, WORK_AHEAD);
  if (rx_byte(s, (uint32_t)c)) handle_frame(s);
  return 1;
}
