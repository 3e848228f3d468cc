#include "XtIsa.h"

#include <cstdio>

// Field layout of the 24-bit formats (little-endian bit numbering, Xtensa ISA manual,
// chapter "Instruction Formats and Opcodes"): op0 3:0, t 7:4, s 11:8, r 15:12, op1 19:16,
// op2 23:20; imm8 is 23:16, imm12 23:12, imm16 23:8, the call and jump offset 23:6. The
// 16-bit formats keep op0, t, s and r in the same places.

namespace xtsim {

#ifdef QUORVEX_XTSIM_MUTANT
TMutation Mutation = TMutation::None;
#endif

namespace {

enum class TFmt : uint8_t {
  None,   // rfe
  Rrr,    // add ar, as, at
  Rrt,    // neg ar, at
  Rrs,    // sll ar, as
  Ts,     // nsa at, as; mov.n at, as
  S,      // jx as
  Slli,   // slli ar, as, sa
  ShiftT, // srai ar, at, sa
  Extui,  // extui ar, at, shift, bits
  Mem,    // l32i at, as, offset; addi at, as, imm
  RsImm,  // addi.n ar, as, imm
  TImm,   // movi at, imm
  SImm,   // movi.n as, imm
  BrS,    // beqz as, target
  BrSC,   // beqi as, constant, target; bbci as, bit, target
  BrST,   // beq as, at, target
  Target, // j target
  L32r,   // l32r at, target
  Sr,     // rsr.name at
  TLevel, // rsil at, level
  Imm,    // ssai 5; waiti 0; break.n 1
  Break,  // break s, t
};

struct TOpInfo {
  const char* Name;
  TFmt Fmt;
};

constexpr TOpInfo Ops[] = {
    {".byte", TFmt::None},   {"add", TFmt::Rrr},      {"add.n", TFmt::Rrr},
    {"addx2", TFmt::Rrr},    {"addx4", TFmt::Rrr},    {"addx8", TFmt::Rrr},
    {"sub", TFmt::Rrr},      {"subx2", TFmt::Rrr},    {"subx4", TFmt::Rrr},
    {"subx8", TFmt::Rrr},    {"and", TFmt::Rrr},      {"or", TFmt::Rrr},
    {"xor", TFmt::Rrr},      {"mull", TFmt::Rrr},     {"mul16u", TFmt::Rrr},
    {"mul16s", TFmt::Rrr},   {"src", TFmt::Rrr},      {"moveqz", TFmt::Rrr},
    {"movnez", TFmt::Rrr},   {"movltz", TFmt::Rrr},   {"movgez", TFmt::Rrr},
    {"neg", TFmt::Rrt},      {"abs", TFmt::Rrt},      {"srl", TFmt::Rrt},
    {"sra", TFmt::Rrt},      {"sll", TFmt::Rrs},      {"nsa", TFmt::Ts},
    {"nsau", TFmt::Ts},      {"mov.n", TFmt::Ts},     {"slli", TFmt::Slli},
    {"srai", TFmt::ShiftT},  {"srli", TFmt::ShiftT},  {"extui", TFmt::Extui},
    {"movi", TFmt::TImm},    {"movi.n", TFmt::SImm},  {"addi", TFmt::Mem},
    {"addi.n", TFmt::RsImm}, {"addmi", TFmt::Mem},    {"ssr", TFmt::S},
    {"ssl", TFmt::S},        {"ssa8l", TFmt::S},      {"ssa8b", TFmt::S},
    {"ssai", TFmt::Imm},     {"l8ui", TFmt::Mem},     {"l16ui", TFmt::Mem},
    {"l16si", TFmt::Mem},    {"l32i", TFmt::Mem},     {"l32i.n", TFmt::Mem},
    {"s8i", TFmt::Mem},      {"s16i", TFmt::Mem},     {"s32i", TFmt::Mem},
    {"s32i.n", TFmt::Mem},   {"l32r", TFmt::L32r},    {"beqz", TFmt::BrS},
    {"bnez", TFmt::BrS},     {"bltz", TFmt::BrS},     {"bgez", TFmt::BrS},
    {"beqz.n", TFmt::BrS},   {"bnez.n", TFmt::BrS},   {"beqi", TFmt::BrSC},
    {"bnei", TFmt::BrSC},    {"blti", TFmt::BrSC},    {"bgei", TFmt::BrSC},
    {"bltui", TFmt::BrSC},   {"bgeui", TFmt::BrSC},   {"bnone", TFmt::BrST},
    {"beq", TFmt::BrST},     {"blt", TFmt::BrST},     {"bltu", TFmt::BrST},
    {"ball", TFmt::BrST},    {"bbc", TFmt::BrST},     {"bbci", TFmt::BrSC},
    {"bany", TFmt::BrST},    {"bne", TFmt::BrST},     {"bge", TFmt::BrST},
    {"bgeu", TFmt::BrST},    {"bnall", TFmt::BrST},   {"bbs", TFmt::BrST},
    {"bbsi", TFmt::BrSC},    {"j", TFmt::Target},     {"jx", TFmt::S},
    {"call0", TFmt::Target}, {"callx0", TFmt::S},     {"ret", TFmt::None},
    {"ret.n", TFmt::None},   {"rsr", TFmt::Sr},       {"wsr", TFmt::Sr},
    {"xsr", TFmt::Sr},       {"rsil", TFmt::TLevel},  {"waiti", TFmt::Imm},
    {"rfe", TFmt::None},     {"rfi", TFmt::Imm},      {"isync", TFmt::None},
    {"rsync", TFmt::None},   {"esync", TFmt::None},   {"dsync", TFmt::None},
    {"excw", TFmt::None},    {"memw", TFmt::None},    {"extw", TFmt::None},
    {"nop", TFmt::None},     {"nop.n", TFmt::None},   {"ill", TFmt::None},
    {"ill.n", TFmt::None},   {"break", TFmt::Break},  {"break.n", TFmt::Imm},
    {"syscall", TFmt::None}, {"simcall", TFmt::None},
};
static_assert(sizeof Ops / sizeof Ops[0] == size_t(TOp::Count), "one entry per operation");

// Branch constants of BEQI, BNEI, BLTI, BGEI (b4const) and of BLTUI, BGEUI (b4constu).
constexpr int32_t B4Const[16] = {-1, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16, 32, 64, 128, 256};
constexpr uint32_t B4ConstU[16] = {32768, 65536, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16, 32, 64, 128, 256};

constexpr uint32_t Sext(uint32_t V, unsigned Bits) {
  const uint32_t M = 1u << (Bits - 1);
  V &= (M << 1) - 1;
  return (V ^ M) - M;
}

void Decode0(TInsn& I, unsigned Op1, unsigned Op2) {
  const unsigned R = I.R, S = I.S, T = I.T;
  auto Is = [&](TOp Op) { I.Op = Op; };
  if (Op1 == 0) { // RST0
    switch (Op2) {
    case 0: // ST0
      switch (R) {
      case 0: { // SNM0
        const unsigned M = T >> 2, N = T & 3;
        if (M == 0 && N == 0 && S == 0) Is(TOp::Ill);
        if (M == 2 && N == 0 && S == 0) Is(TOp::Ret);
        if (M == 2 && N == 2) Is(TOp::Jx);
        if (M == 3 && N == 0) Is(TOp::Callx0);
        return;
      }
      case 2: // SYNC
        if (S != 0) return;
        switch (T) {
        case 0:
          return Is(TOp::Isync);
        case 1:
          return Is(TOp::Rsync);
        case 2:
          return Is(TOp::Esync);
        case 3:
          return Is(TOp::Dsync);
        case 8:
          return Is(TOp::Excw);
        case 12:
          return Is(TOp::Memw);
        case 13:
          return Is(TOp::Extw);
        case 15:
          return Is(TOp::Nop);
        }
        return;
      case 3: // RFEI
        if (T == 0 && S == 0) Is(TOp::Rfe);
        if (T == 1 && S >= 2 && S <= 7) {
          Is(TOp::Rfi);
          I.Imm = S;
        }
        return;
      case 4:
        Is(TOp::Break);
        I.Imm = S;
        I.Aux = T;
        return;
      case 5:
        if (T == 0 && S == 0) Is(TOp::Syscall);
        if (T == 0 && S == 1) Is(TOp::Simcall);
        return;
      case 6:
        Is(TOp::Rsil);
        I.Imm = S;
        return;
      case 7:
        if (T == 0) {
          Is(TOp::Waiti);
          I.Imm = S;
        }
        return;
      }
      return;
    case 1:
      return Is(TOp::And);
    case 2:
      return Is(TOp::Or);
    case 3:
      return Is(TOp::Xor);
    case 4: // ST1
      switch (R) {
      case 0:
        if (T == 0) Is(TOp::Ssr);
        return;
      case 1:
        if (T == 0) Is(TOp::Ssl);
        return;
      case 2:
        if (T == 0) Is(TOp::Ssa8l);
        return;
      case 3:
        if (T == 0) Is(TOp::Ssa8b);
        return;
      case 4:
        if (T < 2) {
          Is(TOp::Ssai);
          I.Imm = S | (T << 4);
        }
        return;
      case 14:
        return Is(TOp::Nsa);
      case 15:
        return Is(TOp::Nsau);
      }
      return;
    case 6: // RT0
      if (S == 0) Is(TOp::Neg);
      if (S == 1) Is(TOp::Abs);
      return;
    case 8:
      return Is(TOp::Add);
    case 9:
      return Is(TOp::Addx2);
    case 10:
      return Is(TOp::Addx4);
    case 11:
      return Is(TOp::Addx8);
    case 12:
      return Is(TOp::Sub);
    case 13:
      return Is(TOp::Subx2);
    case 14:
      return Is(TOp::Subx4);
    case 15:
      return Is(TOp::Subx8);
    }
    return;
  }
  if (Op1 == 1) { // RST1
    switch (Op2) {
    case 0:
    case 1:
      Is(TOp::Slli);
      I.Imm = 32 - (((Op2 & 1) << 4) | T);
      return;
    case 2:
    case 3:
      Is(TOp::Srai);
      I.Imm = ((Op2 & 1) << 4) | S;
      return;
    case 4:
      Is(TOp::Srli);
      I.Imm = S;
      return;
    case 6:
      I.Aux = (R << 4) | S;
      if (SpecialRegName(TOp::Xsr, I.Aux)) Is(TOp::Xsr);
      return;
    case 8:
      return Is(TOp::Src);
    case 9:
      if (S == 0) Is(TOp::Srl);
      return;
    case 10:
      if (T == 0) Is(TOp::Sll);
      return;
    case 11:
      if (S == 0) Is(TOp::Sra);
      return;
    case 12:
      return Is(TOp::Mul16u);
    case 13:
      return Is(TOp::Mul16s);
    }
    return;
  }
  if (Op1 == 2) { // RST2
    if (Op2 == 8) Is(TOp::Mull);
    return;
  }
  if (Op1 == 3) { // RST3
    switch (Op2) {
    case 0:
    case 1: {
      const TOp Op = Op2 == 0 ? TOp::Rsr : TOp::Wsr;
      I.Aux = (R << 4) | S;
      if (SpecialRegName(Op, I.Aux)) Is(Op);
      return;
    }
    case 8:
      return Is(TOp::Moveqz);
    case 9:
      return Is(TOp::Movnez);
    case 10:
      return Is(TOp::Movltz);
    case 11:
      return Is(TOp::Movgez);
    }
    return;
  }
  if (Op1 == 4 || Op1 == 5) {
    Is(TOp::Extui);
    I.Imm = ((Op1 & 1) << 4) | S;
    I.Aux = 0xFFFFu >> (15 - Op2);
  }
}

void DecodeLsai(TInsn& I, uint32_t Raw) {
  const uint32_t Imm8 = (Raw >> 16) & 0xFF;
  switch (I.R) {
  case 0:
    I.Op = TOp::L8ui, I.Imm = Imm8;
    break;
  case 1:
    I.Op = TOp::L16ui, I.Imm = Imm8 << 1;
    break;
  case 2:
    I.Op = TOp::L32i, I.Imm = Imm8 << 2;
    break;
  case 4:
    I.Op = TOp::S8i, I.Imm = Imm8;
    break;
  case 5:
    I.Op = TOp::S16i, I.Imm = Imm8 << 1;
    break;
  case 6:
    I.Op = TOp::S32i, I.Imm = Imm8 << 2;
    break;
  case 9:
    I.Op = TOp::L16si, I.Imm = Imm8 << 1;
    break;
  case 10:
    I.Op = TOp::Movi, I.Imm = Sext((uint32_t(I.S) << 8) | Imm8, 12);
    break;
  case 12:
    I.Op = TOp::Addi, I.Imm = Sext(Imm8, 8);
    break;
  case 13:
    I.Op = TOp::Addmi, I.Imm = Sext(Imm8, 8) << 8;
    break;
  }
}

void DecodeSi(TInsn& I, uint32_t Raw, uint32_t Pc) {
  const unsigned N = I.T & 3, M = I.T >> 2;
  switch (N) {
  case 0:
    I.Op = TOp::J;
    I.Imm = Pc + 4 + Sext(Raw >> 6, 18);
    return;
  case 1: {
    constexpr TOp Bz[4] = {TOp::Beqz, TOp::Bnez, TOp::Bltz, TOp::Bgez};
    I.Op = Bz[M];
    I.Imm = Pc + 4 + Sext(Raw >> 12, 12);
    return;
  }
  case 2: {
    constexpr TOp Bi[4] = {TOp::Beqi, TOp::Bnei, TOp::Blti, TOp::Bgei};
    I.Op = Bi[M];
    I.Aux = uint32_t(B4Const[I.R]);
    I.Imm = Pc + 4 + Sext(Raw >> 16, 8);
    return;
  }
  default: // ENTRY and the loop and boolean branches are not simulated
    if (M < 2) return;
    I.Op = M == 2 ? TOp::Bltui : TOp::Bgeui;
    I.Aux = B4ConstU[I.R];
    I.Imm = Pc + 4 + Sext(Raw >> 16, 8);
  }
}

void DecodeB(TInsn& I, uint32_t Raw, uint32_t Pc) {
  constexpr TOp B[16] = {TOp::Bnone, TOp::Beq,  TOp::Blt,  TOp::Bltu, TOp::Ball, TOp::Bbc,
                         TOp::Bbci,  TOp::Bbci, TOp::Bany, TOp::Bne,  TOp::Bge,  TOp::Bgeu,
                         TOp::Bnall, TOp::Bbs,  TOp::Bbsi, TOp::Bbsi};
  I.Op = B[I.R];
  if (I.Op == TOp::Bbci || I.Op == TOp::Bbsi) I.Aux = ((I.R & 1u) << 4) | I.T;
  I.Imm = Pc + 4 + Sext(Raw >> 16, 8);
}

void DecodeNarrow(TInsn& I, unsigned Op0, uint32_t Pc) {
  const unsigned R = I.R, S = I.S, T = I.T;
  switch (Op0) {
  case 8:
    I.Op = TOp::L32iN, I.Imm = R << 2;
    return;
  case 9:
    I.Op = TOp::S32iN, I.Imm = R << 2;
    return;
  case 10:
    I.Op = TOp::AddN;
    return;
  case 11:
    I.Op = TOp::AddiN, I.Imm = T == 0 ? uint32_t(-1) : T;
#ifdef QUORVEX_XTSIM_MUTANT
    if (Mutation == TMutation::AddiNMinusOne && T == 0) I.Imm = 0;
#endif
    return;
  case 12:
    if (T < 8) {
      const uint32_t V = ((T & 7u) << 4) | R; // -32..95
      I.Op = TOp::MoviN;
      I.Imm = V >= 96 ? V - 128 : V;
    } else {
      I.Op = (T & 4) ? TOp::BnezN : TOp::BeqzN;
      I.Imm = Pc + 4 + (((T & 3u) << 4) | R);
    }
    return;
  case 13:
    if (R == 0) I.Op = TOp::MovN;
    if (R == 15) {
      if (T == 0 && S == 0) I.Op = TOp::RetN;
      if (T == 2) I.Op = TOp::BreakN, I.Imm = S;
      if (T == 3 && S == 0) I.Op = TOp::NopN;
      if (T == 6 && S == 0) I.Op = TOp::IllN;
    }
    return;
  }
}

std::string Hex(uint32_t V) {
  char B[16];
  std::snprintf(B, sizeof B, "0x%x", unsigned(V));
  return B;
}

// Immediates as the disassembler prints them: small ones in decimal, others in hex.
std::string Num(uint32_t V) {
  const int32_t S = int32_t(V);
  if (S > -256 && S < 256) return std::to_string(S);
  return Hex(V);
}

std::string Reg(unsigned N) {
  return "a" + std::to_string(N);
}

} // namespace

const char* Mnemonic(TOp Op) {
  return Op < TOp::Count ? Ops[size_t(Op)].Name : "?";
}

const char* SpecialRegName(TOp Op, unsigned Sr) {
  const bool R = Op == TOp::Rsr, W = Op == TOp::Wsr, X = Op == TOp::Xsr;
  static const char* const Level[] = {"epc1",     "epc2",     "epc3",     "epc4",     "epc5",
                                      "epc6",     "epc7",     "eps2",     "eps3",     "eps4",
                                      "eps5",     "eps6",     "eps7",     "excsave1", "excsave2",
                                      "excsave3", "excsave4", "excsave5", "excsave6", "excsave7"};
  if (Sr >= 177 && Sr <= 183) return Level[Sr - 177];
  if (Sr >= 194 && Sr <= 199) return Level[7 + Sr - 194];
  if (Sr >= 209 && Sr <= 215) return Level[13 + Sr - 209];
  switch (Sr) {
  case SrSar:
    return "sar";
  case 96:
    return "ibreakenable";
  case 128:
    return "ibreaka0";
  case 129:
    return "ibreaka1";
  case 144:
    return "dbreaka0";
  case 145:
    return "dbreaka1";
  case 160:
    return "dbreakc0";
  case 161:
    return "dbreakc1";
  case 192:
    return "depc";
  case 224:
    return "cpenable";
  case SrInterrupt:
    return R ? "interrupt" : W ? "intset" : nullptr;
  case SrIntclear:
    return W ? "intclear" : nullptr;
  case SrIntenable:
    return "intenable";
  case SrPs:
    return "ps";
  case SrVecbase:
    return "vecbase";
  case SrExccause:
    return "exccause";
  case SrDebugcause:
    return R ? "debugcause" : nullptr;
  case SrCcount:
    return "ccount";
  case SrPrid:
    return R ? "prid" : nullptr;
  case 236:
    return "icount";
  case 237:
    return "icountlevel";
  case SrExcvaddr:
    return "excvaddr";
  case 240:
    return "ccompare0";
  case 241:
    return "ccompare1";
  case 242:
    return "ccompare2";
  case 244:
    return "misc0";
  case 245:
    return "misc1";
  case 246:
    return "misc2";
  case 247:
    return "misc3";
  }
  (void)X;
  return nullptr;
}

TInsn Decode(uint32_t Raw, uint32_t Pc) {
  TInsn I;
  const unsigned Op0 = Raw & 15u;
  const unsigned Len = InsnLength(uint8_t(Raw));
  I.Len = uint8_t(Len ? Len : 1);
  I.Raw = Raw & (Len == 3 ? 0xFFFFFFu : Len == 2 ? 0xFFFFu : 0xFFu);
  I.T = (Raw >> 4) & 15u;
  I.S = (Raw >> 8) & 15u;
  I.R = (Raw >> 12) & 15u;
  const unsigned Op1 = (I.Raw >> 16) & 15u, Op2 = (I.Raw >> 20) & 15u;
  switch (Op0) {
  case 0:
    Decode0(I, Op1, Op2);
    break;
  case 1:
    I.Op = TOp::L32r;
    I.Imm = ((Pc + 3) & ~3u) + ((0xFFFF0000u | (I.Raw >> 8)) << 2);
    break;
  case 2:
    DecodeLsai(I, I.Raw);
    break;
  case 5:
    if ((I.T & 3) == 0) {
      I.Op = TOp::Call0;
      I.Imm = (Pc & ~3u) + (Sext(I.Raw >> 6, 18) << 2) + 4;
    }
    break;
  case 6:
    DecodeSi(I, I.Raw, Pc);
    break;
  case 7:
    DecodeB(I, I.Raw, Pc);
    break;
  default:
    if (Len == 2) DecodeNarrow(I, Op0, Pc);
  }
  // Nothing of the simulated set: one byte, as a disassembler steps over it.
  if (I.Op == TOp::Invalid) I.Len = 1;
  return I;
}

std::string Disassemble(const TInsn& I, std::optional<uint32_t> Literal) {
  if (I.Op == TOp::Invalid || I.Op >= TOp::Count) {
    // As the cross disassembler shows a byte it cannot decode ("%#02x": 00, 0xe).
    char B[16];
    std::snprintf(B, sizeof B, ".byte %#02x", unsigned(I.Raw & 0xFF));
    return B;
  }
  const TOpInfo& Info = Ops[size_t(I.Op)];
  std::string Name = Info.Name, Ops;
  const std::string A = Reg(I.R), As = Reg(I.S), At = Reg(I.T);
  switch (Info.Fmt) {
  case TFmt::None:
    break;
  case TFmt::Rrr:
    Ops = A + ", " + As + ", " + At;
    break;
  case TFmt::Rrt:
    Ops = A + ", " + At;
    break;
  case TFmt::Rrs:
    Ops = A + ", " + As;
    break;
  case TFmt::Ts:
    Ops = At + ", " + As;
    break;
  case TFmt::S:
    Ops = As;
    break;
  case TFmt::Slli:
    Ops = A + ", " + As + ", " + Num(I.Imm);
    break;
  case TFmt::ShiftT:
    Ops = A + ", " + At + ", " + Num(I.Imm);
    break;
  case TFmt::Extui:
    Ops = A + ", " + At + ", " + Num(I.Imm) + ", " + Num(uint32_t(__builtin_popcount(I.Aux)));
    break;
  case TFmt::Mem:
    Ops = At + ", " + As + ", " + Num(I.Imm);
    break;
  case TFmt::RsImm:
    Ops = A + ", " + As + ", " + Num(I.Imm);
    break;
  case TFmt::TImm:
    Ops = At + ", " + Num(I.Imm);
    break;
  case TFmt::SImm:
    Ops = As + ", " + Num(I.Imm);
    break;
  case TFmt::BrS:
    Ops = As + ", " + Hex(I.Imm);
    break;
  case TFmt::BrSC:
    Ops = As + ", " + Num(I.Aux) + ", " + Hex(I.Imm);
    break;
  case TFmt::BrST:
    Ops = As + ", " + At + ", " + Hex(I.Imm);
    break;
  case TFmt::Target:
    Ops = Hex(I.Imm);
    break;
  case TFmt::L32r:
    Ops = At + ", " + Hex(I.Imm);
    if (Literal) Ops += " (" + Hex(*Literal) + ")";
    break;
  case TFmt::Sr:
    Name += std::string(".") + SpecialRegName(I.Op, I.Aux);
    Ops = At;
    break;
  case TFmt::TLevel:
    Ops = At + ", " + Num(I.Imm);
    break;
  case TFmt::Imm:
    Ops = Num(I.Imm);
    break;
  case TFmt::Break:
    Ops = Num(I.Imm) + ", " + Num(I.Aux);
    break;
  }
  return Ops.empty() ? Name : Name + "\t" + Ops;
}

} // namespace xtsim
