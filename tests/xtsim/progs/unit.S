/* Small routines for the core's own tests, each entered at its symbol with a stack set
 * by the test; they report through the result port (see xt_port_map.h). */
#include "xt_port_map.h"
    .text
    .literal_position
    .literal .Lport, XT_PORT_BASE
    .literal .Lslot, unit_selfmod_slot
    .literal .Lnew, unit_selfmod_new

/* Counts in a2 for ever: for the bounds, breakpoints and stops. */
    .align 4
    .global unit_count
    .type unit_count, @function
unit_count:
    movi    a2, 0
.Lcount:
    addi    a2, a2, 1
    .global unit_count_jump
unit_count_jump:
    j       .Lcount
    .size unit_count, . - unit_count

/* Runs the two instructions in the slot, then stores the word at unit_selfmod_new over
 * them through the instruction bus and runs the slot again: the second result must come
 * from the new instructions, not from decoded ones kept from before. */
    .align 4
    .global unit_selfmod
    .type unit_selfmod, @function
unit_selfmod:
    .begin no-transform
    l32r    a4, .Lport
    movi    a5, 0
.Lagain:
    l32r    a6, .Lslot
    jx      a6
    .align 4
    .global unit_selfmod_slot
unit_selfmod_slot:
    movi.n  a2, 1
    movi.n  a3, 2
    memw
    s32i    a2, a4, XT_RESULT
    s32i    a3, a4, XT_RESULT
    bnez    a5, .Ldone
    l32r    a7, .Lnew
    l32i    a7, a7, 0
    s32i    a7, a6, 0
    isync
    movi    a5, 1
    j       .Lagain
.Ldone:
    movi    a2, 0
    s32i    a2, a4, XT_EXIT
    .align 4
    .global unit_selfmod_new
unit_selfmod_new:
    movi.n  a2, 5
    movi.n  a3, 6
    .end no-transform
    .size unit_selfmod, . - unit_selfmod

/* Reads CCOUNT twice around a known number of plain instructions: a2 and a3. */
    .align 4
    .global unit_ccount
    .type unit_ccount, @function
unit_ccount:
    .begin no-transform
    rsr.ccount a2
    nop
    nop
    nop
    nop
    rsr.ccount a3
    break   1, 2
    .end no-transform
    .size unit_ccount, . - unit_ccount

/* Calls and returns, and a port write in the callee: the trace's material. */
    .align 4
    .global unit_calls
    .type unit_calls, @function
unit_calls:
    addi    a1, a1, -16
    s32i    a0, a1, 0
    call0   unit_leaf
    .global unit_calls_back
unit_calls_back:
    l32r    a3, .Lport
    movi    a2, 0
    s32i    a2, a3, XT_EXIT
    .size unit_calls, . - unit_calls
    .align 4
    .global unit_leaf
    .type unit_leaf, @function
unit_leaf:
    l32r    a3, .Lport
    movi    a2, 0x55
    s32i    a2, a3, XT_RESULT
    ret
    .size unit_leaf, . - unit_leaf

/* Enables interrupt line 3 and lowers the level to 0, then waits: a pending line 3 stops
 * the run at the RSIL, a line raised later ends the WAITI. */
    .align 4
    .global unit_irq
    .type unit_irq, @function
unit_irq:
    movi    a2, 8
    wsr.intenable a2
    rsil    a3, 0
    .global unit_irq_wait
unit_irq_wait:
    waiti   0
    break   0, 0
    .size unit_irq, . - unit_irq
