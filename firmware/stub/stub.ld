/* Memory layout of the flasher stub (ESP32 TRM 1.3, System and Memory;
 * address map in TRM Table 1-4 and Figure 1-1).
 *
 * Code: 0x400BE000, at most 3288 bytes. This is SRAM 1 seen from the
 * instruction bus, which allows only aligned 32-bit accesses, so the code
 * section may hold nothing but instructions and the 32-bit literals that
 * L32R loads; .rodata must stay empty (asserted below).
 *
 * Data: exactly 4 bytes at 0x3FFDEBA8, the data image the ROM loader writes
 * with MEM_DATA.
 *
 * Buffers and stack (.bss, not loaded): 0x3FFC8000-0x3FFDDFFF, in SRAM 2
 * (0x3FFAE000-0x3FFDFFFF, data bus, byte-addressable): two frame buffers,
 * one receiving while the other is written to flash. The ROM's own
 * variables and stack live in SRAM 1 (data-bus addresses 0x3FFE0000 and up)
 * and in the first 8 KiB of SRAM 2; the rest of SRAM 2 is left to the
 * application, which is not running in download mode; the region ends below the data word and does not touch the code's
 * data-bus alias (SRAM 1 is mapped in reverse word order, so the code sits at
 * 0x3FFE1324-0x3FFE1FFF there). */
ENTRY(stub_entry)

MEMORY
{
  iram (rx)  : ORIGIN = 0x400BE000, LENGTH = 3288
  dram (rw)  : ORIGIN = 0x3FFDEBA8, LENGTH = 4
  dbss (rw)  : ORIGIN = 0x3FFC8000, LENGTH = 0x16000
}

SECTIONS
{
  .text :
  {
    *(.literal.entry) *(.text.entry)
    *(.literal .literal.*)
    *(.text .text.*)
  } > iram

  .rodata : { *(.rodata .rodata.* .srodata*) } > iram

  .data : { *(.data .data.* .sdata*) } > dram

  .bss (NOLOAD) :
  {
    . = ALIGN(4);
    _bss_start = .;
    *(.bss .bss.* .sbss* COMMON)
    . = ALIGN(4);
    _bss_end = .;
  } > dbss

  _stack_top = ORIGIN(dbss) + LENGTH(dbss);

  ASSERT(SIZEOF(.rodata) == 0, "constant data would sit in IRAM: keep .rodata empty")
  ASSERT(SIZEOF(.data) == 4, "the data image must be exactly 4 bytes")
  ASSERT(_stack_top - _bss_end >= 2048, "less than 2 KiB left for the stack")
}
