/* Link map of the bench application, in the order its image holds the segments
 * (ESP32 TRM, System and Memory, address map):
 *   constant data  flash, data bus   0x3F400020
 *   initialised    SRAM 2 (DRAM)     0x3FFB0000   .bss follows, not in the image
 *   RAM code       SRAM 0 (IRAM)     0x40080000
 *   code           flash, instr. bus 0x400D0000 + the offset below
 * The cache MMU maps flash in 64 KiB pages, so a flash segment's address and its
 * position in the image must agree modulo 64 KiB: the constant data starts right
 * after the 24-byte image header and its own 8-byte segment header (0x20), and
 * the code's address is chosen from where the segments before it end, so that no
 * padding is needed. */
ENTRY(call_start_cpu0)

MEMORY
{
  drom (r)  : ORIGIN = 0x3F400020, LENGTH = 0x400000 - 0x20
  dram (rw) : ORIGIN = 0x3FFB0000, LENGTH = 0x50000
  iram (rx) : ORIGIN = 0x40080000, LENGTH = 0x20000
  irom (rx) : ORIGIN = 0x400D0000, LENGTH = 0x330000
}

SECTIONS
{
  .flash.rodata :
  {
    KEEP(*(.rodata_desc))
    *(.rodata .rodata.*)
    . = ALIGN(4);
  } > drom

  .dram0.data :
  {
    *(.data .data.* .sdata .sdata.*)
    . = ALIGN(4);
  } > dram

  .dram0.bss (NOLOAD) :
  {
    . = ALIGN(8);
    _bss_start = .;
    *(.bss .bss.* .sbss .sbss.* COMMON)
    . = ALIGN(8);
    _bss_end = .;
  } > dram

  .iram0.text :
  {
    *(.iram1.literal .iram1.text .iram1.literal.* .iram1.text.*)
    . = ALIGN(4);
  } > iram

  /* Image header 24 bytes, then each segment as an 8-byte header and its data. */
  .flash.text 0x400D0000 + ((24 + 8 + SIZEOF(.flash.rodata) + 8 + SIZEOF(.dram0.data)
                             + 8 + SIZEOF(.iram0.text) + 8) % 0x10000) :
  {
    /* Each function's literal pool right before its code, where L32R reaches it. */
    *(.literal .text .literal.* .text.*)
    . = ALIGN(4);
  } > irom

  /DISCARD/ : { *(.debug .debug.* .debug_*) }
  .xtensa.info 0 : { *(.xtensa.info) }
  .comment 0 : { *(.comment) }
  .xt.prop 0 : { *(.xt.prop .xt.prop.*) }
  .xt.lit 0 : { *(.xt.lit .xt.lit.*) }
}
