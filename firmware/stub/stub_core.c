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
  NOR_RDSR2 = 0x35,
  NOR_RES = 0xAB,
  NOR_CE = 0xC7
};
enum { SR_WEL = 0x02 };

uint32_t stub_greeting = 0x4941484Fu; /* 'O' 'H' 'A' 'I', lowest byte first */

static uint8_t* frame(struct stub* s) {
  return (uint8_t*)s->buf_words;
}

static uint32_t get32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
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

static void put_word(uint32_t w) {
  int i;
  for (i = 0; i < 4; ++i)
    put_escaped((uint8_t)(w >> (8 * i)));
}

void stub_send_greeting(void) {
  stub_hw_putc(STUB_SLIP_END);
  put_word(stub_greeting);
  stub_hw_putc(STUB_SLIP_END);
}

static void reply(uint8_t cmd, uint32_t value, uint32_t err) {
  stub_hw_putc(STUB_SLIP_END);
  /* direction 1, the command, a data part of 2 bytes */
  put_word(0x00020001u | (uint32_t)cmd << 8);
  put_word(value);
  put_escaped(err ? 1 : 0);
  put_escaped((uint8_t)err);
  stub_hw_putc(STUB_SLIP_END);
}

/* ---- flash ---- */

static uint32_t read_status(uint8_t opcode) {
  uint8_t v = 0xFF;
  stub_hw_flash_cmd(opcode, 0, 0, 0, 0, &v, 1);
  return v;
}

/* Polls the busy bit until it clears or limit_ms passes. A long wait sends a
 * keep-alive byte now and then so that the program's per-byte time limit
 * does not run out while the flash is still busy. The last byte sent counts
 * from the request's arrival, not from this wait's start, so a request that
 * waits several times (the erases and page programs of one FLASH_DATA) is
 * kept alive as a whole. */
static uint32_t wait_idle(struct stub* s, uint32_t limit_ms) {
  uint32_t start = stub_hw_millis();
  for (;;) {
    uint32_t now;
    if ((read_status(NOR_RDSR) & STUB_SR_BUSY) == 0) return 0;
    now = stub_hw_millis();
    if (now - start > limit_ms) return STUB_ERR_FAILED;
    if (now - s->last_alive >= STUB_KEEPALIVE_MS) {
      stub_hw_putc(STUB_KEEPALIVE_BYTE);
      s->last_alive = now;
    }
  }
}

/* Write enable, confirmed by the latch bit: a flash that does not answer
 * (not attached, wrong pins) shows up here rather than as silently lost data. */
static uint32_t write_enable(void) {
  stub_hw_flash_cmd(NOR_WREN, 0, 0, 0, 0, 0, 0);
  return (read_status(NOR_RDSR) & (SR_WEL | STUB_SR_BUSY)) == SR_WEL ? 0 : STUB_ERR_FAILED;
}

static uint32_t flash_op(struct stub* s, uint8_t opcode, uint32_t addr, uint32_t addr_bits,
                         const uint8_t* out, uint32_t out_len, uint32_t limit_ms) {
  uint32_t err = write_enable();
  if (err) return err;
  stub_hw_flash_cmd(opcode, addr, addr_bits, out, out_len, 0, 0);
  return wait_idle(s, limit_ms);
}

/* Clears block protection left set by a bootloader or the factory, keeping
 * the second status register (its quad-enable bit) as it is. */
static uint32_t unprotect(struct stub* s) {
  uint8_t sr[2];
  uint32_t sr1 = read_status(NOR_RDSR);
  if ((sr1 & STUB_SR_PROTECT) == 0) return 0;
  sr[0] = (uint8_t)(sr1 & ~(uint32_t)STUB_SR_PROTECT);
  sr[1] = (uint8_t)read_status(NOR_RDSR2);
  return flash_op(s, NOR_WRSR, 0, 0, sr, 2, STUB_WAIT_STATUS_MS);
}

static void flash_prepare(void) {
  stub_hw_flash_attach();
  /* Leave deep power-down in case a previous program put the part there. */
  stub_hw_flash_cmd(NOR_RES, 0, 0, 0, 0, 0, 0);
  stub_hw_delay_us(50);
}

/* Erases the sectors in [addr, end), both sector aligned. Only sector erases:
 * the range is never more than one FLASH_DATA block's worth of sectors. */
static uint32_t erase_sectors(struct stub* s, uint32_t addr, uint32_t end) {
  for (; addr < end; addr += STUB_SECTOR) {
    uint32_t err = flash_op(s, NOR_SE, addr, 24, 0, 0, STUB_WAIT_SECTOR_MS);
    if (err) return err;
  }
  return 0;
}

static uint32_t program(struct stub* s, uint32_t addr, const uint8_t* data, uint32_t len) {
  uint32_t done = 0;
  while (done < len) {
    uint32_t n = stub_chunk_len(addr + done, len - done);
    uint32_t err = flash_op(s, NOR_PP, addr + done, 24, data + done, n, STUB_WAIT_PAGE_MS);
    if (err) return err;
    done += n;
  }
  /* Read back: a write into a sector that did not erase, or a flash that
   * ignored the command, must not be reported as success. */
  for (done = 0; done < len;) {
    uint8_t back[STUB_SPI_CHUNK];
    uint32_t n = len - done < STUB_SPI_CHUNK ? len - done : STUB_SPI_CHUNK;
    uint32_t i;
    stub_hw_flash_cmd(NOR_READ, addr + done, 24, 0, 0, back, n);
    for (i = 0; i < n; ++i)
      if (back[i] != data[done + i]) return STUB_ERR_FLASH_WRITE;
    done += n;
  }
  return 0;
}

/* ---- commands ---- */

/* FLASH_BEGIN only checks and records the region; the erasing is left to
 * FLASH_DATA. The erase size the program announces is its image rounded up to
 * whole 16 KiB blocks, so erasing it here would wipe whatever follows a small
 * image (a settings partition right after the 3 KiB partition table), and a
 * large image's erase would outlast the program's time limit for this answer.
 * The erase size stays the upper bound that no block may write past. */
static uint32_t cmd_flash_begin(struct stub* s, const uint8_t* p, uint32_t n) {
  uint32_t erase, size, offset, err;
  /* 16 bytes; a fifth word (an encryption flag in the loader's protocol) is tolerated. */
  if (n != 16 && n != 20) return STUB_ERR_INVALID;
  erase = get32(p);
  s->job.active = 0;
  s->job.blocks = get32(p + 4);
  s->job.block_size = get32(p + 8);
  offset = get32(p + 12);
  if (s->job.block_size == 0 || s->job.block_size > STUB_MAX_BLOCK) return STUB_ERR_INVALID;
  /* Sectors are erased whole: an unaligned start would lose the bytes in front of it. */
  if (offset & (STUB_SECTOR - 1)) return STUB_ERR_INVALID;
  if (erase > STUB_FLASH_LIMIT || offset > STUB_FLASH_LIMIT) return STUB_ERR_INVALID;
  size = (erase + STUB_SECTOR - 1) & ~(uint32_t)(STUB_SECTOR - 1);
  if (size > STUB_FLASH_LIMIT - offset) return STUB_ERR_INVALID;
  /* Quick (a status register write), and a flash that does not answer shows up here. */
  err = unprotect(s);
  if (err) return err;
  s->job.end = offset + size;
  s->job.erased = offset;
  s->job.next_seq = 0;
  s->job.next_addr = offset;
  s->job.active = 1;
  return 0;
}

static uint32_t cmd_flash_data(struct stub* s, const uint8_t* p, uint32_t n) {
  uint32_t len, seq, addr, from, to, err;
  if (n < STUB_BLOCK_HEADER) return STUB_ERR_INVALID;
  len = get32(p);
  seq = get32(p + 4);
  if (!s->job.active) return STUB_ERR_FAILED;
  if (len != n - STUB_BLOCK_HEADER || len == 0 || len > s->job.block_size) return STUB_ERR_INVALID;
  if (seq != s->job.next_seq || seq >= s->job.blocks) return STUB_ERR_INVALID;
  if (get32(frame(s) + 4) != stub_checksum(p + STUB_BLOCK_HEADER, len)) return STUB_ERR_CHECKSUM;
  /* Blocks arrive in order, so the block's place advances by addition and
   * no multiply can wrap. */
  addr = s->job.next_addr;
  if (addr >= s->job.end || len > s->job.end - addr) return STUB_ERR_INVALID;
  /* Erase just the sectors this block's data covers that this FLASH_BEGIN has
   * not erased yet: nothing past the image's last byte is touched, and each
   * answer waits for at most one block's sectors. A sector the data skips
   * (a short block before a later one) stays as it was. The end is sector
   * aligned, so the rounded-up end of the data never passes it. */
  to = (addr + len + STUB_SECTOR - 1) & ~(uint32_t)(STUB_SECTOR - 1);
  if (to > s->job.erased) {
    from = addr & ~(uint32_t)(STUB_SECTOR - 1);
    if (from < s->job.erased) from = s->job.erased;
    err = erase_sectors(s, from, to);
    if (err) return err;
    s->job.erased = to;
  }
  err = program(s, addr, p + STUB_BLOCK_HEADER, len);
  if (err) return err;
  s->job.next_seq++;
  s->job.next_addr += s->job.block_size;
  return 0;
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
  s->job.active = 0;
  s->frame_len = 0;
  s->frame_bad = 0;
  s->last_alive = 0;
  flash_prepare();
}

/* Reads the next frame into the buffer. Frames longer than the buffer are
 * consumed to their end and marked bad, so the stream stays in step. */
static int read_frame(struct stub* s) {
  uint8_t* b = frame(s);
  int c;
  do {
    c = stub_hw_getc();
    if (c < 0) return -1;
  } while (c != STUB_SLIP_END);
  s->frame_len = 0;
  s->frame_bad = 0;
  for (;;) {
    c = stub_hw_getc();
    if (c < 0) return -1;
    if (c == STUB_SLIP_END) {
      if (s->frame_len) return 0;
      continue; /* back-to-back delimiters: an empty frame, keep going */
    }
    if (c == STUB_SLIP_ESC) {
      c = stub_hw_getc();
      if (c < 0) return -1;
      if (c == STUB_SLIP_ESC_END) {
        c = STUB_SLIP_END;
      } else if (c == STUB_SLIP_ESC_ESC) {
        c = STUB_SLIP_ESC;
      } else {
        s->frame_bad = 1;
        if (c == STUB_SLIP_END) return 0;
        continue;
      }
    }
    if (s->frame_len < STUB_FRAME_MAX)
      b[s->frame_len++] = (uint8_t)c;
    else
      s->frame_bad = 1;
  }
}

int stub_poll(struct stub* s) {
  uint8_t* b = frame(s);
  const uint8_t* p = b + STUB_HEADER_SIZE;
  uint32_t n, value = 0, err;
  uint8_t cmd;
  if (read_frame(s) < 0) return -1;
  s->last_alive = stub_hw_millis();
  /* Too short to name a command, or not a request: nothing to answer. */
  if (s->frame_len < STUB_HEADER_SIZE || b[0] != 0) return 0;
  cmd = b[1];
  n = s->frame_len - STUB_HEADER_SIZE;
  if (s->frame_bad || ((uint32_t)b[2] | (uint32_t)b[3] << 8) != n) {
    reply(cmd, 0, STUB_ERR_INVALID);
    return 0;
  }
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
    if (!err) flash_prepare();
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
    return 0;
  case STUB_CMD_ERASE_FLASH:
    err = n == 0 ? unprotect(s) : STUB_ERR_INVALID;
    if (!err) err = flash_op(s, NOR_CE, 0, 0, 0, 0, STUB_WAIT_CHIP_MS);
    break;
  default:
    err = STUB_ERR_INVALID;
    break;
  }
  reply(cmd, err ? 0 : value, err);
  return 0;
}
