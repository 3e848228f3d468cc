/* Entry of the execution programs: a stack, main, and its result to the exit word. */
#include "xt_port_map.h"
    .section .text.entry, "ax"
    .literal_position
    .literal .Lstack, _stack_top
    .literal .Lport, XT_PORT_BASE
    .align 4
    .global _start
    .type _start, @function
_start:
    l32r    a1, .Lstack
    call0   xt_main
    l32r    a3, .Lport
    memw
    s32i    a2, a3, XT_EXIT
1:  j       1b
    .size _start, . - _start
