/* The execution programs on the ESP32's memories: code and literals in SRAM 0 (instruction
 * bus), data, constants and the stack in SRAM 2 (data bus). */
ENTRY(_start)
MEMORY
{
  iram (rx) : ORIGIN = 0x40080000, LENGTH = 0x20000
  dram (rw) : ORIGIN = 0x3FFB0000, LENGTH = 0x30000
}
SECTIONS
{
  .text : { *(.literal.entry) *(.text.entry) *(.literal .literal.*) *(.text .text.*) } > iram
  .rodata : { *(.rodata .rodata.*) } > dram
  .data : { *(.data .data.*) } > dram
  .bss (NOLOAD) : { *(.bss .bss.* COMMON) } > dram
  _stack_top = ORIGIN(dram) + LENGTH(dram);
}
