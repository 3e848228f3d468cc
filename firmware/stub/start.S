/* Entry of the flasher stub. The ROM loader jumps here after MEM_END; we
 * never return to it. Interrupts are masked first (level 15 in PS and every
 * source disabled in INTENABLE), then the stack moves to the stub's own DRAM
 * and C takes over. Only call0-ABI instructions are used. */
    .section .text.entry, "ax"
    .literal_position
    .literal .Lstack_top, _stack_top
    .align 4
    .global stub_entry
    .type stub_entry, @function
stub_entry:
    rsil    a2, 15
    movi    a2, 0
    wsr     a2, intenable
    rsync
    l32r    a1, .Lstack_top
    call0   stub_main
1:  j       1b
    .size stub_entry, . - stub_entry
