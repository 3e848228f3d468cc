/* One program with a function per fault the simulated chip must report. The test writes
 * the case number into fault_case before the run; each case ends in its fault, or, for
 * the endless loop, at the run's bound. */
#include "xt_port.h"

volatile uint32_t fault_case = 0;
static uint8_t buf[16] __attribute__((aligned(4)));
/* RET.N, in data RAM: fine as code, but data RAM cannot be executed. */
static uint32_t code_in_dram[2] __attribute__((aligned(4))) = {0x0000F00Du, 0};

__attribute__((noinline)) uint32_t fault_unaligned_l32i(void) {
  return *(volatile uint32_t*)(buf + XT_OPAQUE(1));
}

__attribute__((noinline)) uint32_t fault_code_byte(void) {
  return *(volatile uint8_t*)((uintptr_t)&fault_code_byte + XT_OPAQUE(1));
}

__attribute__((noinline)) void fault_jump_to_dram(void) {
  void (*f)(void) = (void (*)(void))(uintptr_t)XT_OPAQUE((uint32_t)(uintptr_t)code_in_dram);
  f();
}

__attribute__((noinline)) void fault_reserved_opcode(void) {
  __asm__ volatile(".byte 0x0e, 0x00, 0x00"); /* op0 14: no instruction format */
}

__attribute__((noinline)) void fault_ill(void) {
  __asm__ volatile("ill");
}

__attribute__((noinline)) void fault_rom_store(void) {
  *(volatile uint32_t*)XT_OPAQUE(0x40000400u) = 1;
}

__attribute__((noinline)) uint32_t fault_unmapped_load(void) {
  return *(volatile uint32_t*)XT_OPAQUE(0x20000000u);
}

__attribute__((noinline)) void fault_iram_byte_store(void) {
  *(volatile uint8_t*)((uintptr_t)&fault_iram_byte_store + XT_OPAQUE(0)) = 0;
}

__attribute__((noinline)) void fault_unaligned_s16i(void) {
  *(volatile uint16_t*)(buf + XT_OPAQUE(3)) = 7;
}

__attribute__((noinline)) void fault_forever(void) {
  for (;;)
    XT_OPAQUE(0);
}

int XT_MAIN(void) {
  switch (fault_case) {
  case 1:
    return (int)fault_unaligned_l32i();
  case 2:
    return (int)fault_code_byte();
  case 3:
    fault_jump_to_dram();
    break;
  case 4:
    fault_reserved_opcode();
    break;
  case 5:
    fault_ill();
    break;
  case 6:
    fault_rom_store();
    break;
  case 7:
    return (int)fault_unmapped_load();
  case 8:
    fault_iram_byte_store();
    break;
  case 9:
    fault_unaligned_s16i();
    break;
  case 10:
    fault_forever();
    break;
  }
  return 0;
}
