#include "XtCore.h"

#include <bit>
#include <cstdio>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "simulated memory is read with host loads: a little-endian host is assumed");

namespace xtsim {

namespace {

// PS fields (Xtensa ISA manual, Processor Status register).
constexpr uint32_t PsIntlevel = 0xF, PsExcm = 1u << 4, PsMask = 0x00070FFFu;
// EXCM masks the interrupt levels up to this one (the ESP32's EXCMLEVEL).
constexpr unsigned ExcmLevel = 3;

const char* WidthName(unsigned W) {
  return W == 1 ? "8-bit" : W == 2 ? "16-bit" : "32-bit";
}

} // namespace

const char* CauseName(TCause C) {
  switch (C) {
  case TCause::IllegalInstruction:
    return "IllegalInstructionCause";
  case TCause::Syscall:
    return "SyscallCause";
  case TCause::InstructionFetchError:
    return "InstructionFetchErrorCause";
  case TCause::LoadStoreError:
    return "LoadStoreErrorCause";
  case TCause::LoadStoreAlignment:
    return "LoadStoreAlignmentCause";
  case TCause::InstFetchProhibited:
    return "InstFetchProhibitedCause";
  case TCause::LoadProhibited:
    return "LoadProhibitedCause";
  case TCause::StoreProhibited:
    return "StoreProhibitedCause";
  }
  return "?";
}

TCore::TCore(TMemory& Memory) : Mem(Memory) {
  for (uint8_t& L : IntLevel)
    L = 1;
}

void TCore::Reset(uint32_t NewPc, uint32_t NewPs) {
  Pc = NewPc;
  std::memset(A, 0, sizeof A);
  PsReg = NewPs & PsMask;
  Sar = 0;
  Exccause = Excvaddr = Depc = 0;
  std::memset(Epc, 0, sizeof Epc);
  Intenable = Interrupt = 0;
  LastTransfer = NewPc;
  ResumeAt = ~0u;
  Sleeping = false;
}

void TCore::Stop(std::string Why) {
  StopRequested = true;
  StopInfo = {TStopReason::Stopped, std::move(Why)};
  InnerLimit = 0;
}

void TCore::GuardFromStack(uint32_t Base, uint32_t Size, std::string What) {
  Guards.push_back({Base, Size, std::move(What)});
  LastData = nullptr; // the fast window must leave the guarded bytes out
  Fast = {};
}

void TCore::ClearStackGuards() {
  Guards.clear();
  LastData = nullptr;
  Fast = {};
}

void TCore::SetBreakpoint(uint32_t Addr) {
  Breakpoints.insert(Addr);
  MapGen = ~0u; // re-mark the cached slots
}

void TCore::ClearBreakpoint(uint32_t Addr) {
  Breakpoints.erase(Addr);
  MapGen = ~0u;
}

void TCore::RaiseInterrupt(unsigned Line) {
  Interrupt |= 1u << (Line & 31);
  InnerLimit = 0; // looked at between instructions
}

void TCore::ClearInterrupt(unsigned Line) {
  Interrupt &= ~(1u << (Line & 31));
}

void TCore::SetInterruptLevel(unsigned Line, unsigned Level) {
  IntLevel[Line & 31] = uint8_t(Level);
}

unsigned TCore::PendingLevel() const {
  unsigned Best = 0;
  for (uint32_t P = Interrupt & Intenable; P; P &= P - 1)
    Best = std::max<unsigned>(Best, IntLevel[std::countr_zero(P)]);
  return Best;
}

void TCore::CheckInterrupts() {
  unsigned Masked = PsReg & PsIntlevel;
  if ((PsReg & PsExcm) && Masked < ExcmLevel) Masked = ExcmLevel;
  const unsigned Level = PendingLevel();
  if (Level > Masked && !StopRequested) {
    StopRequested = true;
    StopInfo = {TStopReason::Interrupt, "interrupt level " + std::to_string(Level) + " pending"};
  }
}

uint32_t TCore::ReadSpecial(unsigned Sr) const {
  if (Sr >= 177 && Sr <= 183) return Epc[Sr - 176];
  if (Sr >= 194 && Sr <= 199) return Eps[Sr - 192];
  if (Sr >= 209 && Sr <= 215) return Excsave[Sr - 208];
  if (Sr >= 240 && Sr <= 242) return Ccompare[Sr - 240];
  if (Sr >= 244 && Sr <= 247) return Misc[Sr - 244];
  switch (Sr) {
  case SrSar:
    return Sar;
  case 96:
    return Debug[0];
  case 128:
    return Debug[1];
  case 129:
    return Debug[2];
  case 144:
    return Debug[3];
  case 145:
    return Debug[4];
  case 160:
    return Debug[5];
  case 161:
    return Debug[6];
  case 192:
    return Depc;
  case 224:
    return Cpenable;
  case SrInterrupt:
    return Interrupt;
  case SrIntenable:
    return Intenable;
  case SrPs:
    return PsReg;
  case SrVecbase:
    return Vecbase;
  case SrExccause:
    return Exccause;
  case SrCcount:
    return uint32_t(CycleCount + CcountBase);
  case SrPrid:
    return Prid;
  case 236:
    return Icount;
  case 237:
    return Icountlevel;
  case SrExcvaddr:
    return Excvaddr;
  }
  return 0;
}

void TCore::WriteSpecial(unsigned Sr, uint32_t V) {
  if (Sr >= 177 && Sr <= 183) Epc[Sr - 176] = V;
  if (Sr >= 194 && Sr <= 199) Eps[Sr - 192] = V & PsMask;
  if (Sr >= 209 && Sr <= 215) Excsave[Sr - 208] = V;
  if (Sr >= 240 && Sr <= 242) Ccompare[Sr - 240] = V;
  if (Sr >= 244 && Sr <= 247) Misc[Sr - 244] = V;
  switch (Sr) {
  case SrSar:
    Sar = V & 0x3F;
    break;
  case 96:
    Debug[0] = V & 3;
    break;
  case 128:
    Debug[1] = V;
    break;
  case 129:
    Debug[2] = V;
    break;
  case 144:
    Debug[3] = V;
    break;
  case 145:
    Debug[4] = V;
    break;
  case 160:
    Debug[5] = V;
    break;
  case 161:
    Debug[6] = V;
    break;
  case 192:
    Depc = V;
    break;
  case 224:
    Cpenable = V & 0xFF;
    break;
  case SrInterrupt:
    Interrupt |= V;
    break;
  case SrIntclear:
    Interrupt &= ~V;
    break;
  case SrIntenable:
    Intenable = V;
    break;
  case SrPs:
    PsReg = V & PsMask;
    break;
  case SrVecbase:
    Vecbase = V & ~0x3FFu;
    break;
  case SrExccause:
    Exccause = V & 0x3F;
    break;
  case SrCcount:
    CcountBase = uint64_t(V) - CycleCount;
    break;
  case 236:
    Icount = V;
    break;
  case 237:
    Icountlevel = V & 15;
    break;
  case SrExcvaddr:
    Excvaddr = V;
    break;
  }
}

bool TCore::Raise(TCause C, const TInsn* I, uint32_t VAddr, bool HasVAddr, std::string Detail) {
  TFault& F = LastFault;
  F = TFault{};
  F.Cause = C;
  F.Pc = Pc;
  F.VAddr = VAddr;
  F.HasVAddr = HasVAddr;
  F.FromPc = LastTransfer;
  if (I) {
    F.InsnKnown = true;
    F.Insn = *I;
  }
  const bool Double = (PsReg & PsExcm) != 0;
  F.Detail = std::move(Detail);
  if (Double) F.Detail += " (double exception: PS.EXCM was set)";
  std::memcpy(F.A.data(), A, sizeof A);
  F.Sar = Sar;
  F.Ps = PsReg;
  F.Cycles = CycleCount;
  F.Instructions = Executed;
  // What the silicon records before it would enter the vector.
  Exccause = uint32_t(C);
  if (HasVAddr) Excvaddr = VAddr;
  (Double ? Depc : Epc[1]) = Pc;
  PsReg |= PsExcm;
  StopRequested = true;
  StopInfo = {TStopReason::Fault, F.Detail};
  return false;
}

bool TCore::FetchFault(uint32_t Addr, uint32_t From, const char* What) {
  LastTransfer = From;
  return Raise(TCause::InstFetchProhibited, nullptr, Addr, true,
               std::string("instruction fetch from ") + Hex32(Addr) + ": " + What);
}

bool TCore::EnterCode(uint32_t Addr) {
  const TRegion* R = Mem.Find(Addr);
  if (!R) return FetchFault(Addr, LastTransfer, "no memory there");
  if (!(R->Allow & AllowFetch) || !R->Store)
    return FetchFault(Addr, LastTransfer,
                      (R->NoFetch.empty() ? R->Name + " is not executable" : R->NoFetch).c_str());
  CodeBase = R->Base;
  CodeSize = R->Size;
  CodeStore = R->Store.get();
  CodeBytes = CodeStore->Data() + R->StoreOffset;
  CodeSlots = CodeStore->Code() + R->StoreOffset;
  CodeReadable = (R->Allow & AllowRead) != 0;
  return true;
}

const TRegion* TCore::DataRegion(uint32_t Addr) {
  const TRegion* R = LastData && LastData->Contains(Addr) ? LastData : Mem.Find(Addr);
  if (!R) return nullptr;
  if (R != LastData || Addr - Fast.Base >= Fast.Size) SetWindow(*R, Addr);
  LastData = R;
  return R;
}

// Plain bytes with no rule beyond alignment go through the loop's fast path: the part of
// the region around Addr that no stack guard covers.
void TCore::SetWindow(const TRegion& R, uint32_t Addr) {
  Fast = {};
  if (!R.Store || R.Reversed || R.WordOnly || R.WaitCycles != 0) return;
  uint64_t Lo = R.Base, Hi = uint64_t(R.Base) + R.Size;
  for (const TGuard& G : Guards) {
    const uint64_t GLo = G.Base, GHi = uint64_t(G.Base) + G.Size;
    if (Addr >= GLo && Addr < GHi) return; // every access here is checked
    if (GHi <= Addr && GHi > Lo) Lo = GHi;
    if (GLo > Addr && GLo < Hi) Hi = GLo;
  }
  Fast.Base = uint32_t(Lo);
  Fast.Size = uint32_t(Hi - Lo);
  Fast.Offset = R.StoreOffset + uint32_t(Lo - R.Base);
  Fast.Bytes = R.Store->Data() + Fast.Offset;
  Fast.Store = R.Store.get();
  Fast.Read = (R.Allow & AllowRead) != 0;
  Fast.Write = (R.Allow & AllowWrite) != 0;
}

bool TCore::Mmio(const TRegion& R, uint32_t Addr, unsigned W, bool Write, uint32_t& V) {
  TMmioAccess M;
  M.Addr = Addr;
  M.Offset = Addr - R.Base;
  M.Width = uint8_t(W);
  M.Write = Write;
  // A narrow store puts only the register's low bytes on the bus.
  const uint32_t Mask = W == 4 ? ~0u : (1u << (8 * W)) - 1;
  M.Value = Write ? V & Mask : 0;
  M.Pc = Pc;
  M.Cycle = CycleCount;
  CycleCount += R.WaitCycles;
  if (!R.Hook(*this, M)) return false;
  if (!Write) {
    V = M.Value & Mask;
    M.Value = V;
  }
  if (Trace) Trace->Mmio(M);
  return true;
}

// The rules, in the order the hardware applies them: nothing mapped; the instruction bus
// taking only aligned words; alignment; the region's permission; then the access.
bool TCore::AccessSlow(uint32_t Addr, unsigned W, bool Write, uint32_t& V, const TInsn& I) {
  const TRegion* R = DataRegion(Addr);
  const TCause Prohibited = Write ? TCause::StoreProhibited : TCause::LoadProhibited;
  // Built only for a fault: MMIO accesses come this way by the million.
  auto Fail = [&](TCause C, const std::string& Why) {
    return Raise(C, &I, Addr, true,
                 std::string(WidthName(W)) + (Write ? " store to " : " load from ") + Hex32(Addr) +
                     Why);
  };
  if (!R) {
    if (Addr & (W - 1)) return Fail(TCause::LoadStoreAlignment, " not aligned");
    return Fail(Prohibited, ": no memory there");
  }
  if (R->WordOnly && (W != 4 || (Addr & 3)))
    return Fail(TCause::LoadStoreError, ": " + R->Name + " takes only aligned 32-bit words");
  if (Addr & (W - 1)) return Fail(TCause::LoadStoreAlignment, " not aligned");
  if (!(R->Allow & (Write ? AllowWrite : AllowRead)))
    return Fail(Prohibited, ": " + R->Name + (Write ? " is read-only" : " cannot be read"));
  if (!R->Store) {
    RefuseWhy.clear();
    if (!Mmio(*R, Addr, W, Write, V))
      return Fail(Prohibited,
                  ": " + R->Name + (RefuseWhy.empty() ? " does not model it" : ": " + RefuseWhy));
    return true;
  }
  if (Write)
    for (const TGuard& G : Guards)
      if (Addr - G.Base < G.Size && Addr >= A[1])
        return Fail(TCause::StoreProhibited,
                    ": the stack (a1 = " + Hex32(A[1]) + ") has grown into " + G.What);
  CycleCount += R->WaitCycles;
  const uint32_t Off = R->OffsetOf(Addr);
  if (Write) {
    std::memcpy(R->Store->Data() + Off, &V, W);
    R->Store->Invalidate(Off, W);
  } else {
    V = 0;
    std::memcpy(&V, R->Store->Data() + Off, W);
  }
  return true;
}

TStop TCore::Run(uint64_t MaxInstructions, uint64_t MaxCycles) {
  if (MapGen != Mem.Generation()) {
    // Regions or breakpoints changed: forget what was cached about them.
    MapGen = Mem.Generation();
    CodeBase = CodeSize = 0;
    CodeSlots = nullptr;
    LastData = nullptr;
    Fast = {};
    for (const auto& R : Mem.Regions())
      if (R->Store && R->Store->HasCode()) R->Store->Invalidate(0, R->Store->Size());
  }
  StopRequested = false;
  StopInfo = {};
  if (Sleeping) {
    // WAITI: nothing runs until an interrupt can be taken; time passes meanwhile.
    CheckInterrupts();
    if (StopRequested) {
      Sleeping = false;
      return StopInfo;
    }
    if (MaxCycles != ~0ull) CycleCount += MaxCycles;
    return {TStopReason::Waiting, "WAITI: asleep"};
  }
  const uint64_t EndInstr = MaxInstructions > ~0ull - Executed ? ~0ull : Executed + MaxInstructions;
  CycleLimit = MaxCycles > ~0ull - CycleCount ? ~0ull : CycleCount + MaxCycles;
  for (;;) {
    CheckInterrupts();
    if (StopRequested) break;
    if (Executed >= EndInstr || CycleCount >= CycleLimit) {
      StopInfo = {TStopReason::Limit, "the run's bound was reached"};
      break;
    }
    InnerLimit = EndInstr;
    Step();
  }
  return StopInfo;
}

// The execution loop. PC lives in a local while instructions run and goes back to the
// member before anything that may look at it (a fault, a hook, the trace).
bool TCore::Step() {
  uint32_t pc = Pc;
  uint32_t* const a = A;
  while (Executed < InnerLimit && CycleCount < CycleLimit) {
    uint32_t Off = pc - CodeBase;
    if (Off >= CodeSize) {
      Pc = pc;
      if (!EnterCode(pc)) return false;
      Off = pc - CodeBase;
    }
    TInsn* I = &CodeSlots[Off];
    if (I->Len == 0) {
      const unsigned Len = InsnLength(CodeBytes[Off]);
      if (Off + (Len ? Len : 1) > CodeSize) {
        Pc = pc;
        return FetchFault(CodeBase + CodeSize, LastTransfer,
                          "an instruction crosses the end of its region");
      }
      uint32_t Raw = CodeBytes[Off];
      if (Len >= 2) Raw |= uint32_t(CodeBytes[Off + 1]) << 8;
      if (Len == 3) Raw |= uint32_t(CodeBytes[Off + 2]) << 16;
      *I = Decode(Raw, pc);
      I->Flags = !Breakpoints.empty() && Breakpoints.count(pc) ? 1 : 0;
    }
    if (I->Flags) {
      if (pc != ResumeAt) {
        Pc = pc;
        ResumeAt = pc;
        StopRequested = true;
        StopInfo = {TStopReason::Break, "breakpoint at " + Hex32(pc)};
        return false;
      }
      ResumeAt = ~0u;
    }
    uint32_t npc = pc + I->Len;
    ++CycleCount;
    const uint32_t s = a[I->S], t = a[I->T];

#define XT_BRANCH(Cond)                                                                            \
  if (Cond) {                                                                                      \
    LastTransfer = pc;                                                                             \
    npc = I->Imm;                                                                                  \
    CycleCount += 2;                                                                               \
  }                                                                                                \
  break
#define XT_LOAD(W, Conv)                                                                           \
  {                                                                                                \
    const uint32_t Addr = s + I->Imm;                                                              \
    uint32_t V = 0;                                                                                \
    if (Addr - Fast.Base < Fast.Size && !(Addr & (W - 1)) && Fast.Read) {                          \
      std::memcpy(&V, Fast.Bytes + (Addr - Fast.Base), W);                                         \
    } else {                                                                                       \
      Pc = pc;                                                                                     \
      if (!AccessSlow(Addr, W, false, V, *I)) return false;                                        \
    }                                                                                              \
    a[I->T] = Conv;                                                                                \
  }                                                                                                \
  break
#define XT_STORE(W)                                                                                \
  {                                                                                                \
    const uint32_t Addr = s + I->Imm;                                                              \
    if (Addr - Fast.Base < Fast.Size && !(Addr & (W - 1)) && Fast.Write) {                         \
      std::memcpy(Fast.Bytes + (Addr - Fast.Base), &t, W);                                         \
      if (Fast.Store->HasCode()) Fast.Store->Invalidate(Fast.Offset + (Addr - Fast.Base), W);      \
    } else {                                                                                       \
      uint32_t V = t;                                                                              \
      Pc = pc;                                                                                     \
      if (!AccessSlow(Addr, W, true, V, *I)) return false;                                         \
    }                                                                                              \
  }                                                                                                \
  break

    switch (I->Op) {
    case TOp::Add:
    case TOp::AddN:
      a[I->R] = s + t;
      break;
    case TOp::Addx2:
      a[I->R] = (s << 1) + t;
      break;
    case TOp::Addx4:
      a[I->R] = (s << 2) + t;
      break;
    case TOp::Addx8:
      a[I->R] = (s << 3) + t;
      break;
    case TOp::Sub:
      a[I->R] = s - t;
      break;
    case TOp::Subx2:
      a[I->R] = (s << 1) - t;
      break;
    case TOp::Subx4:
      a[I->R] = (s << 2) - t;
      break;
    case TOp::Subx8:
      a[I->R] = (s << 3) - t;
      break;
    case TOp::And:
      a[I->R] = s & t;
      break;
    case TOp::Or:
      a[I->R] = s | t;
      break;
    case TOp::Xor:
      a[I->R] = s ^ t;
      break;
    case TOp::Mull:
      a[I->R] = s * t;
      break;
    case TOp::Mul16u:
      a[I->R] = (s & 0xFFFF) * (t & 0xFFFF);
      break;
    case TOp::Mul16s:
      a[I->R] = uint32_t(int32_t(int16_t(s)) * int32_t(int16_t(t)));
      break;
    case TOp::Src:
      a[I->R] = uint32_t(((uint64_t(s) << 32) | t) >> Sar);
      break;
    case TOp::Moveqz:
      if (t == 0) a[I->R] = s;
      break;
    case TOp::Movnez:
      if (t != 0) a[I->R] = s;
      break;
    case TOp::Movltz:
      if (int32_t(t) < 0) a[I->R] = s;
      break;
    case TOp::Movgez:
      if (int32_t(t) >= 0) a[I->R] = s;
      break;
    case TOp::Neg:
      a[I->R] = 0u - t;
      break;
    case TOp::Abs:
      a[I->R] = int32_t(t) < 0 ? 0u - t : t;
      break;
    case TOp::Srl:
      a[I->R] = uint32_t(uint64_t(t) >> Sar);
      break;
    case TOp::Sra:
      a[I->R] = uint32_t(int64_t(int32_t(t)) >> Sar);
#ifdef QUORVEX_XTSIM_MUTANT
      if (Mutation == TMutation::SraLogical) a[I->R] = uint32_t(uint64_t(t) >> Sar);
#endif
      break;
    case TOp::Sll:
      a[I->R] = uint32_t((uint64_t(s) << 32) >> Sar);
      break;
    case TOp::Nsa:
      a[I->T] = uint32_t(__builtin_clrsb(int32_t(s)));
      break;
    case TOp::Nsau:
      a[I->T] = s ? uint32_t(std::countl_zero(s)) : 32u;
      break;
    case TOp::MovN:
      a[I->T] = s;
      break;
    case TOp::Slli:
      a[I->R] = uint32_t(uint64_t(s) << I->Imm);
      break;
    case TOp::Srai:
      a[I->R] = uint32_t(int32_t(t) >> I->Imm);
      break;
    case TOp::Srli:
      a[I->R] = t >> I->Imm;
      break;
    case TOp::Extui:
      a[I->R] = (t >> I->Imm) & I->Aux;
      break;
    case TOp::Movi:
      a[I->T] = I->Imm;
      break;
    case TOp::MoviN:
      a[I->S] = I->Imm;
      break;
    case TOp::Addi:
    case TOp::Addmi:
      a[I->T] = s + I->Imm;
      break;
    case TOp::AddiN:
      a[I->R] = s + I->Imm;
      break;
    case TOp::Ssr:
      Sar = s & 31;
      break;
    case TOp::Ssl:
      Sar = 32 - (s & 31);
      break;
    case TOp::Ssa8l:
      Sar = (s & 3) << 3;
      break;
    case TOp::Ssa8b:
      Sar = 32 - ((s & 3) << 3);
      break;
    case TOp::Ssai:
      Sar = I->Imm;
      break;
    case TOp::L8ui:
      XT_LOAD(1, V);
    case TOp::L16ui:
      XT_LOAD(2, V);
    case TOp::L16si:
      XT_LOAD(2, uint32_t(int32_t(int16_t(V))));
    case TOp::L32i:
    case TOp::L32iN:
      XT_LOAD(4, V);
    case TOp::S8i:
      XT_STORE(1);
    case TOp::S16i:
      XT_STORE(2);
    case TOp::S32i:
    case TOp::S32iN:
      XT_STORE(4);
    case TOp::L32r: {
      // The literal pool normally sits in the code's own memory, below the code.
      uint32_t V = 0;
      if (CodeReadable && uint64_t(I->Imm - CodeBase) + 4 <= CodeSize) {
        std::memcpy(&V, CodeBytes + (I->Imm - CodeBase), 4);
      } else {
        Pc = pc;
        if (!AccessSlow(I->Imm, 4, false, V, *I)) return false;
      }
      a[I->T] = V;
      break;
    }
    case TOp::Beqz:
    case TOp::BeqzN:
      XT_BRANCH(s == 0);
    case TOp::Bnez:
    case TOp::BnezN:
      XT_BRANCH(s != 0);
    case TOp::Bltz:
      XT_BRANCH(int32_t(s) < 0);
    case TOp::Bgez:
      XT_BRANCH(int32_t(s) >= 0);
    case TOp::Beqi:
      XT_BRANCH(s == I->Aux);
    case TOp::Bnei:
      XT_BRANCH(s != I->Aux);
    case TOp::Blti:
      XT_BRANCH(int32_t(s) < int32_t(I->Aux));
    case TOp::Bgei:
      XT_BRANCH(int32_t(s) >= int32_t(I->Aux));
    case TOp::Bltui:
      XT_BRANCH(s < I->Aux);
    case TOp::Bgeui:
      XT_BRANCH(s >= I->Aux);
    case TOp::Bnone:
      XT_BRANCH((s & t) == 0);
    case TOp::Beq:
      XT_BRANCH(s == t);
    case TOp::Blt:
      XT_BRANCH(int32_t(s) < int32_t(t));
    case TOp::Bltu:
      XT_BRANCH(s < t);
    case TOp::Ball:
      XT_BRANCH((~s & t) == 0);
    case TOp::Bbc:
      XT_BRANCH(((s >> (t & 31)) & 1) == 0);
    case TOp::Bbci:
      XT_BRANCH(((s >> I->Aux) & 1) == 0);
    case TOp::Bany:
      XT_BRANCH((s & t) != 0);
    case TOp::Bne:
      XT_BRANCH(s != t);
    case TOp::Bge:
      XT_BRANCH(int32_t(s) >= int32_t(t));
    case TOp::Bgeu:
      XT_BRANCH(s >= t);
    case TOp::Bnall:
      XT_BRANCH((~s & t) != 0);
    case TOp::Bbs:
      XT_BRANCH(((s >> (t & 31)) & 1) != 0);
    case TOp::Bbsi:
      XT_BRANCH(((s >> I->Aux) & 1) != 0);
    case TOp::J:
      LastTransfer = pc;
      npc = I->Imm;
      CycleCount += 2;
      break;
    case TOp::Jx:
      LastTransfer = pc;
      npc = s;
      CycleCount += 2;
      break;
    case TOp::Call0:
    case TOp::Callx0: {
      const uint32_t To = I->Op == TOp::Call0 ? I->Imm : s;
      a[0] = npc;
      LastTransfer = pc;
      if (Trace) Trace->Call(pc, To, npc, CycleCount);
      npc = To;
      CycleCount += 2;
      break;
    }
    case TOp::Ret:
    case TOp::RetN:
      LastTransfer = pc;
      if (Trace) Trace->Return(pc, a[0], CycleCount);
      npc = a[0];
      CycleCount += 2;
      break;
    case TOp::Rsr:
      a[I->T] = ReadSpecial(I->Aux);
      break;
    case TOp::Wsr:
      WriteSpecial(I->Aux, t);
      if (I->Aux == SrPs || I->Aux == SrIntenable || I->Aux == SrInterrupt) InnerLimit = 0;
      break;
    case TOp::Xsr: {
      const uint32_t Old = ReadSpecial(I->Aux);
      WriteSpecial(I->Aux, t);
      a[I->T] = Old;
      if (I->Aux == SrPs || I->Aux == SrIntenable) InnerLimit = 0;
      break;
    }
    case TOp::Rsil:
      a[I->T] = PsReg;
      PsReg = (PsReg & ~PsIntlevel) | I->Imm;
      InnerLimit = 0;
      break;
    case TOp::Rfe:
      LastTransfer = pc;
      PsReg &= ~PsExcm;
      npc = Epc[1];
      CycleCount += 2;
      InnerLimit = 0;
      break;
    case TOp::Rfi:
      LastTransfer = pc;
      PsReg = Eps[I->Imm];
      npc = Epc[I->Imm];
      CycleCount += 2;
      InnerLimit = 0;
      break;
    case TOp::Waiti:
      PsReg = (PsReg & ~PsIntlevel) | I->Imm;
      Pc = npc;
      ++Executed;
      CheckInterrupts();
      if (!StopRequested) {
        Sleeping = true;
        StopRequested = true;
        StopInfo = {TStopReason::Waiting, "WAITI " + std::to_string(I->Imm)};
      }
      return false;
    case TOp::Isync:
    case TOp::Rsync:
    case TOp::Esync:
    case TOp::Dsync:
    case TOp::Excw:
    case TOp::Memw:
    case TOp::Extw:
    case TOp::Nop:
    case TOp::NopN:
      break;
    case TOp::Break:
    case TOp::BreakN:
      Pc = pc;
      StopRequested = true;
      StopInfo = {TStopReason::Break, Disassemble(*I) + " at " + Hex32(pc)};
      return false;
    case TOp::Syscall:
      Pc = pc;
      return Raise(TCause::Syscall, I, 0, false, "SYSCALL");
    case TOp::Simcall:
      Pc = pc;
      return Raise(TCause::IllegalInstruction, I, 0, false,
                   "SIMCALL: the chip has no simulator to call");
    case TOp::Ill:
    case TOp::IllN:
      Pc = pc;
      return Raise(TCause::IllegalInstruction, I, 0, false, "illegal instruction");
    case TOp::Invalid:
    case TOp::Count:
      Pc = pc;
      return Raise(TCause::IllegalInstruction, I, 0, false,
                   "illegal instruction: not an instruction of this core");
    }
#undef XT_BRANCH
#undef XT_LOAD
#undef XT_STORE
    pc = npc;
    ++Executed;
  }
  Pc = pc;
  return true;
}

std::string FaultReport(const TFault& F, const std::function<std::string(uint32_t)>& Symbolise) {
  auto Where = [&](uint32_t Addr) {
    std::string S = Hex32(Addr);
    if (Symbolise) {
      const std::string N = Symbolise(Addr);
      if (!N.empty()) S += " <" + N + ">";
    }
    return S;
  };
  std::string R = std::string("fault: ") + CauseName(F.Cause) + " (EXCCAUSE " +
                  std::to_string(unsigned(F.Cause)) + "): " + F.Detail + "\n";
  R += "  pc " + Where(F.Pc);
  if (F.InsnKnown) R += ": " + Disassemble(F.Insn);
  R += "\n";
  if (F.HasVAddr) R += "  excvaddr " + Where(F.VAddr) + "\n";
  if (F.FromPc != F.Pc) R += "  last jump from " + Where(F.FromPc) + "\n";
  for (unsigned i = 0; i < 16; ++i) {
    char B[32];
    std::snprintf(B, sizeof B, "%s%-3s 0x%08x", i % 4 ? "  " : "  ",
                  ("a" + std::to_string(i)).c_str(), unsigned(F.A[i]));
    R += B;
    if (i % 4 == 3) R += "\n";
  }
  char B[96];
  std::snprintf(B, sizeof B, "  sar %u  ps 0x%08x  after %llu instructions, %llu cycles\n",
                unsigned(F.Sar), unsigned(F.Ps), (unsigned long long)F.Instructions,
                (unsigned long long)F.Cycles);
  R += B;
  return R;
}

} // namespace xtsim
