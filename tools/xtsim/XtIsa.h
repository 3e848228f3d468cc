#pragma once
// The Xtensa instructions this simulator knows: the core set with the options the ESP32's
// LX6 and our cross compiler share (code density, MUL16, MULL, NSA, the conditional moves,
// the special-register and synchronisation instructions). One decoded form serves the
// disassembler, the fault report and the execution loop, which keeps it pre-decoded.
#include <cstdint>
#include <optional>
#include <string>

namespace xtsim {

enum class TOp : uint8_t {
  Invalid, // no instruction of the simulated set: IllegalInstruction when executed
  // Arithmetic and logic, ar = as op at.
  Add,
  AddN,
  Addx2,
  Addx4,
  Addx8,
  Sub,
  Subx2,
  Subx4,
  Subx8,
  And,
  Or,
  Xor,
  Mull,
  Mul16u,
  Mul16s,
  Src,
  Moveqz,
  Movnez,
  Movltz,
  Movgez,
  // Two registers.
  Neg,
  Abs,
  Srl,
  Sra,
  Sll,
  Nsa,
  Nsau,
  MovN,
  // Immediates.
  Slli,
  Srai,
  Srli,
  Extui,
  Movi,
  MoviN,
  Addi,
  AddiN,
  Addmi,
  // The shift amount register.
  Ssr,
  Ssl,
  Ssa8l,
  Ssa8b,
  Ssai,
  // Loads and stores.
  L8ui,
  L16ui,
  L16si,
  L32i,
  L32iN,
  S8i,
  S16i,
  S32i,
  S32iN,
  L32r,
  // Branches.
  Beqz,
  Bnez,
  Bltz,
  Bgez,
  BeqzN,
  BnezN,
  Beqi,
  Bnei,
  Blti,
  Bgei,
  Bltui,
  Bgeui,
  Bnone,
  Beq,
  Blt,
  Bltu,
  Ball,
  Bbc,
  Bbci,
  Bany,
  Bne,
  Bge,
  Bgeu,
  Bnall,
  Bbs,
  Bbsi,
  // Jumps and calls (call0 ABI).
  J,
  Jx,
  Call0,
  Callx0,
  Ret,
  RetN,
  // Special registers, interrupts, exceptions, synchronisation.
  Rsr,
  Wsr,
  Xsr,
  Rsil,
  Waiti,
  Rfe,
  Rfi,
  Isync,
  Rsync,
  Esync,
  Dsync,
  Excw,
  Memw,
  Extw,
  Nop,
  NopN,
  Ill,
  IllN,
  Break,
  BreakN,
  Syscall,
  Simcall,
  Count
};

// One decoded instruction. The register fields keep the manual's names (ar, as, at), so
// each operation reads the ones its description names. Imm holds the operand value the
// disassembler prints: a signed immediate, a byte offset, a shift amount, or the absolute
// target of a branch, jump, call or L32R (computed from the instruction's address).
// Aux holds a second operand: the branch constant, the bit number, the EXTUI mask, the
// special register number.
struct TInsn {
  TOp Op = TOp::Invalid;
  uint8_t Len = 0; // 2 or 3 bytes; 0 while a cache slot is not decoded yet
  uint8_t R = 0, S = 0, T = 0;
  uint8_t Flags = 0; // the core's marks on a cached slot (a breakpoint)
  uint32_t Imm = 0;
  uint32_t Aux = 0;
  uint32_t Raw = 0; // the instruction's bytes, first byte lowest
};

// Length of the instruction starting with this byte: 3, 2, or 0 where no format exists.
inline unsigned InsnLength(uint8_t First) {
  unsigned Op0 = First & 15u;
  return Op0 < 8 ? 3 : Op0 < 14 ? 2 : 0;
}

// Decodes the instruction whose bytes (first byte lowest, three of them, or as many as
// its length needs) are in Raw, at address Pc. An encoding outside the simulated set gives
// TOp::Invalid, one byte long, with Raw keeping the bytes its format would have had.
TInsn Decode(uint32_t Raw, uint32_t Pc);

const char* Mnemonic(TOp Op);

// The special registers of the ESP32's core that the simulator models, by number.
enum : uint8_t {
  SrSar = 3,
  SrEpc1 = 177,
  SrEps2 = 194,
  SrExcsave1 = 209,
  SrInterrupt = 226, // reads INTERRUPT, writes INTSET
  SrIntclear = 227,
  SrIntenable = 228,
  SrPs = 230,
  SrVecbase = 231,
  SrExccause = 232,
  SrDebugcause = 233,
  SrCcount = 234,
  SrPrid = 235,
  SrExcvaddr = 238,
  SrCcompare0 = 240,
};
// The register's name as the disassembler spells it (lower case), or null when the core
// has no such register. Rsr, Wsr and Xsr differ: some registers are read-only or write-only.
const char* SpecialRegName(TOp Op, unsigned Sr);

// The instruction as text: the mnemonic, a tab, the operands separated by ", ", in the
// cross disassembler's notation (a2; 12; 0x100; a target as 0x400be000). Literal, when
// given, is the word an L32R loads, shown as " (0x...)".
std::string Disassemble(const TInsn& I, std::optional<uint32_t> Literal = std::nullopt);

#ifdef QUORVEX_XTSIM_MUTANT
// Only in tests/xtsim's mutant build of these sources: faults put in on purpose, so that a
// test can show the oracles catch them. The simulator itself is built without any of this.
enum class TMutation {
  None,
  AddiNMinusOne, // decoding: ADDI.N's immediate field 0 taken as 0, not as -1
  SraLogical,    // execution: SRA shifts zeros in, as SRL does
};
extern TMutation Mutation;
#endif

} // namespace xtsim
