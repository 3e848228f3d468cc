/* All of libgcc as one program for the decoding oracle: code and literals where the
 * execution programs have theirs, everything else on the data bus. Never run. */
SECTIONS
{
  .text 0x40080000 : { *(.literal .literal.*) *(.text .text.*) }
  .data 0x3FFB0000 : { *(.rodata .rodata.*) *(.data .data.*) *(.bss .bss.* COMMON) *(.eh_frame) }
}
