/* Every instruction the simulator decodes, with operands at the edges of their fields:
 * the decoding oracle's check of the encodings that compiled C rarely or never uses.
 * Assembled only, never run. */
    .text
    .literal_position
    .literal .Lw0, 0x12345678
    .literal .Lw1, 0xFFFFFFFF
    .align 4
    .global allops
    .type allops, @function
allops:
    .begin no-transform
    add a0, a1, a2
    add a15, a14, a13
    add.n a3, a4, a5
    addx2 a6, a7, a8
    addx4 a9, a10, a11
    addx8 a12, a13, a14
    sub a15, a0, a1
    subx2 a2, a3, a4
    subx4 a5, a6, a7
    subx8 a8, a9, a10
    and a11, a12, a13
    or a14, a15, a0
    xor a1, a2, a3
    mull a4, a5, a6
    mul16u a7, a8, a9
    mul16s a10, a11, a12
    src a13, a14, a15
    moveqz a0, a1, a2
    movnez a3, a4, a5
    movltz a6, a7, a8
    movgez a9, a10, a11
    neg a12, a13
    abs a14, a15
    srl a0, a1
    sra a2, a3
    sll a4, a5
    nsa a6, a7
    nsau a8, a9
    mov.n a10, a11
    mov.n a1, a15
    slli a2, a3, 1
    slli a4, a5, 15
    slli a4, a5, 16
    slli a6, a7, 31
    srai a8, a9, 0
    srai a10, a11, 15
    srai a10, a11, 16
    srai a12, a13, 31
    srli a14, a15, 0
    srli a0, a1, 15
    extui a2, a3, 0, 1
    extui a4, a5, 15, 16
    extui a6, a7, 16, 16
    extui a8, a9, 31, 1
    extui a10, a11, 7, 9
    movi a12, -2048
    movi a13, 2047
    movi a14, 0
    movi a15, -1
    movi a0, 255
    movi a1, 256
    movi a2, -256
    movi a3, -255
    movi.n a4, -32
    movi.n a5, 95
    movi.n a6, 0
    movi.n a7, -1
    addi a8, a9, -128
    addi a10, a11, 127
    addi a12, a13, 1
    addi.n a14, a15, -1
    addi.n a0, a1, 1
    addi.n a2, a3, 15
    addmi a4, a5, -32768
    addmi a6, a7, 32512
    addmi a8, a9, 256
    ssr a10
    ssl a11
    ssa8l a12
    ssa8b a13
    ssai 0
    ssai 31
    ssai 16
    l8ui a14, a15, 0
    l8ui a0, a1, 255
    l16ui a2, a3, 0
    l16ui a4, a5, 510
    l16si a6, a7, 2
    l16si a8, a9, 510
    l32i a10, a11, 0
    l32i a12, a13, 1020
    l32i.n a14, a15, 0
    l32i.n a0, a1, 60
    s8i a2, a3, 255
    s16i a4, a5, 510
    s32i a6, a7, 1020
    s32i.n a8, a9, 60
    s32i.n a10, a11, 0
    l32r a12, .Lw0
    l32r a13, .Lw1
.Lback:
    beqz a14, .Lback
    bnez a15, .Lfwd
    bltz a0, .Lback
    bgez a1, .Lfwd
    beqz.n a2, .Lnear
    bnez.n a3, .Lnear
    nop
    nop
.Lnear:
    beqi a4, -1, .Lback
    beqi a4, 1, .Lback
    bnei a5, 256, .Lfwd
    bnei a5, 10, .Lfwd
    blti a6, 12, .Lback
    blti a6, 128, .Lback
    bgei a7, 32, .Lfwd
    bgei a7, 64, .Lfwd
    bltui a8, 32768, .Lback
    bltui a8, 65536, .Lback
    bgeui a9, 2, .Lfwd
    bgeui a9, 256, .Lfwd
    bnone a10, a11, .Lback
    beq a12, a13, .Lfwd
    blt a14, a15, .Lback
    bltu a0, a1, .Lfwd
    ball a2, a3, .Lback
    bbc a4, a5, .Lfwd
    bbci a6, 0, .Lback
    bbci a6, 15, .Lback
    bbci a6, 16, .Lback
    bbci a7, 31, .Lfwd
    bany a8, a9, .Lback
    bne a10, a11, .Lfwd
    bge a12, a13, .Lback
    bgeu a14, a15, .Lfwd
    bnall a0, a1, .Lback
    bbs a2, a3, .Lfwd
    bbsi a4, 0, .Lback
    bbsi a4, 16, .Lback
    bbsi a5, 31, .Lfwd
.Lfwd:
    j .Lback
    jx a6
    call0 allops
    callx0 a7
    ret
    ret.n
    rsr.sar a8
    wsr.sar a9
    xsr.sar a10
    rsr.ps a11
    wsr.ps a12
    xsr.ps a13
    rsr.ccount a14
    wsr.ccount a15
    rsr.intenable a0
    wsr.intenable a1
    xsr.intenable a2
    rsr.interrupt a3
    wsr.intset a4
    wsr.intclear a5
    rsr.exccause a6
    wsr.exccause a7
    rsr.excvaddr a8
    rsr.epc1 a9
    wsr.epc1 a10
    rsr.epc2 a11
    rsr.eps2 a12
    rsr.excsave1 a13
    xsr.excsave1 a14
    rsr.depc a15
    rsr.vecbase a0
    rsr.prid a1
    rsr.ccompare0 a2
    wsr.ccompare0 a3
    rsr.debugcause a4
    rsr.icount a5
    rsr.icountlevel a6
    rsr.ibreakenable a7
    rsr.ibreaka0 a8
    rsr.dbreaka0 a9
    rsr.dbreakc0 a10
    rsil a11, 0
    rsil a12, 15
    waiti 0
    waiti 15
    rfe
    rfi 2
    rfi 3
    isync
    rsync
    esync
    dsync
    excw
    memw
    extw
    nop
    nop.n
    ill
    ill.n
    break 0, 0
    break 15, 15
    break.n 0
    break.n 15
    syscall
    simcall
    .end no-transform
    .size allops, . - allops
