/* Entry of the flasher stub. The ROM loader jumps here after MEM_END; we
 * never return to it. Interrupts are masked first (level 15 in PS and every
 * source disabled in INTENABLE), then the stack moves to the stub's own DRAM
 * and C takes over. Only call0-ABI instructions are used.
 *
 * PS is written whole rather than with RSIL so that WOE is cleared too: the
 * ROM runs the windowed ABI, and with WOE set any use of a4..a15 here that
 * lands on a register pane still owned by one of the ROM's older frames
 * raises a window overflow exception, which the ROM's handler serves by
 * spilling that frame to wherever its stack pointer says. With WOE clear
 * those stale frames are simply overwritten; nothing returns to them. */
    .section .text.entry, "ax"
    .literal_position
    .literal .Lstack_top, _stack_top
    .align 4
    .global stub_entry
    .type stub_entry, @function
stub_entry:
    movi    a2, 0x0F        /* INTLEVEL 15; EXCM, UM and WOE 0 */
    wsr     a2, ps
    rsync
    movi    a2, 0
    wsr     a2, intenable
    rsync
    l32r    a1, .Lstack_top
    call0   stub_main
1:  j       1b
    .size stub_entry, . - stub_entry
