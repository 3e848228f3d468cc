/* Memory layout of the fast stub (the same core as stub.ld's, built with
 * STUB_FAST=1; ESP32 TRM 1.3.2, Embedded Memory, and Table 1-2, Embedded
 * Memory Address Mapping).
 *
 * Code: 0x40080000, at most 128 KiB. Internal SRAM 0 is 192 KiB on the
 * instruction bus at 0x40070000-0x4009FFFF; hardware may use its first
 * 64 KiB (0x40070000-0x4007FFFF) as the cache of external memory, so the code
 * starts above that. The ROM loader runs from ROM and keeps its variables and
 * stack in SRAM 1 and the first 8 KiB of SRAM 2 (see stub.ld); SRAM 0 is the
 * application's instruction RAM, and no application runs in download mode.
 * The instruction bus takes only aligned 32-bit accesses, so the code section
 * holds nothing but instructions and the literals L32R loads.
 *
 * Data: 0x3FFB0000-0x3FFDDFFF in Internal SRAM 2 (200 KiB on the data bus at
 * 0x3FFAE000-0x3FFDFFFF, byte-addressable), past the ROM's first 8 KiB and
 * ending where the standard stub's region ends. The loaded part holds the
 * greeting and the constant tables (the inflater's; constants cannot sit on
 * the instruction bus); then, not loaded, the receive buffers, the 64 KiB
 * inflate ring and the stack. */
ENTRY(stub_entry)

MEMORY
{
  iram (rx) : ORIGIN = 0x40080000, LENGTH = 0x20000
  dram (rw) : ORIGIN = 0x3FFB0000, LENGTH = 0x2E000
}

SECTIONS
{
  .text :
  {
    *(.literal.entry) *(.text.entry)
    *(.literal .literal.*)
    *(.text .text.*)
  } > iram

  .data :
  {
    *(.data .data.* .sdata*)
    *(.rodata .rodata.* .srodata*)
    . = ALIGN(4);
  } > dram

  .bss (NOLOAD) :
  {
    . = ALIGN(4);
    _bss_start = .;
    *(.bss .bss.* .sbss* COMMON)
    . = ALIGN(4);
    _bss_end = .;
  } > dram

  _stack_top = ORIGIN(dram) + LENGTH(dram);

  ASSERT(_stack_top - _bss_end >= 8192, "less than 8 KiB left for the stack")
}
