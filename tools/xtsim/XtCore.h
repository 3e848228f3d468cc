#pragma once
// The simulated Xtensa LX6 core as the ESP32 configures it, for code built with the call0
// ABI: sixteen address registers, the special registers below, and the exceptions the
// silicon raises for what such code can get wrong. An exception does not enter a vector:
// it halts the run with a fault report, since the code simulated here has no handler of
// its own and the ROM's would only hide the fault.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "XtIsa.h"
#include "XtMemory.h"

namespace xtsim {

// EXCCAUSE values (Xtensa ISA manual, Exception Causes).
enum class TCause : uint8_t {
  IllegalInstruction = 0,
  Syscall = 1,
  InstructionFetchError = 2,
  LoadStoreError = 3,
  LoadStoreAlignment = 9,
  InstFetchProhibited = 20,
  LoadProhibited = 28,
  StoreProhibited = 29,
};
const char* CauseName(TCause C);

struct TFault {
  TCause Cause = TCause::IllegalInstruction;
  uint32_t Pc = 0;        // the instruction that faulted (EPC1)
  uint32_t VAddr = 0;     // the address a load, store or fetch used (EXCVADDR)
  bool HasVAddr = false;  // Cause concerns an address
  uint32_t FromPc = 0;    // the last control transfer before the fault: who jumped here
  bool InsnKnown = false; // the faulting instruction's bytes could be read
  TInsn Insn;             // and what they decode to
  std::string Detail;     // what was wrong, in words ("8-bit load from iram")
  std::array<uint32_t, 16> A{};
  uint32_t Sar = 0, Ps = 0;
  uint64_t Cycles = 0, Instructions = 0;
};

enum class TStopReason : uint8_t {
  Limit,     // the run's instruction or cycle bound was reached
  Stopped,   // a hook called Stop
  Fault,     // an exception: see Fault()
  Break,     // BREAK or BREAK.N (a debug exception), or a breakpoint address
  Waiting,   // WAITI: the core sleeps until an interrupt it may take
  Interrupt, // an enabled interrupt above the current level is pending
};

struct TStop {
  TStopReason Reason = TStopReason::Limit;
  std::string Why; // a hook's text, or the fault's detail
};

// Optional observer of what the program does at its boundaries, for tests and for
// diagnosing a stub: every MMIO access, and every call and return.
class ITrace {
public:
  virtual ~ITrace() = default;
  virtual void Mmio(const TMmioAccess& A) = 0;
  // CALL0 or CALLX0 at From to To; Ret is the return address it leaves in a0.
  virtual void Call(uint32_t From, uint32_t To, uint32_t Ret, uint64_t Cycle) = 0;
  virtual void Return(uint32_t From, uint32_t To, uint64_t Cycle) = 0;
};

class TCore {
public:
  explicit TCore(TMemory& Memory);

  TMemory& Memory() { return Mem; }

  // Registers. PC is the next instruction to run. Reset clears the registers and sets PC
  // and PS; the default PS masks every interrupt (INTLEVEL 15) with EXCM clear, the state
  // code is in once a loader has jumped to it and it has masked interrupts itself.
  void Reset(uint32_t Pc, uint32_t Ps = 0x0F);
  uint32_t Pc = 0;
  uint32_t A[16] = {};
  uint32_t ReadSpecial(unsigned Sr) const;
  void WriteSpecial(unsigned Sr, uint32_t V);
  uint32_t Ps() const { return PsReg; }

  // Time: one cycle per instruction, two more for a taken branch, a jump, a call or a
  // return, plus a region's wait cycles per access. CCOUNT counts cycles.
  void SetClockHz(uint32_t Hz) { Clock = Hz ? Hz : 1; }
  uint32_t ClockHz() const { return Clock; }
  uint64_t Cycles() const { return CycleCount; }
  uint64_t Instructions() const { return Executed; }
  double Seconds() const { return double(CycleCount) / Clock; }
  // Lets time pass without executing: a hook that sees the program poll a register
  // that cannot change before its next event may skip the loop's cycles up to it.
  void SkipCycles(uint64_t N) { CycleCount += N; }

  // Runs until one of the bounds (counted from now), a fault, a hook's Stop, a break,
  // WAITI or a pending interrupt. Every run is bounded: there is no way to run forever.
  TStop Run(uint64_t MaxInstructions, uint64_t MaxCycles = ~0ull);
  // From a hook: the run ends once the current instruction completes.
  void Stop(std::string Why);
  // From a hook about to return false: what was wrong with the access, for the fault
  // report in place of "does not model it" (a register written while the peripheral is
  // busy, a FIFO read while empty).
  void Refuse(std::string Why) { RefuseWhy = std::move(Why); }

  // A store into [Base, Base + Size) at or above the stack pointer (a1) faults: the stack
  // has grown into What (the program's loaded data, say). Stores below a1 go through.
  void GuardFromStack(uint32_t Base, uint32_t Size, std::string What);
  void ClearStackGuards();

  // A run stops before the instruction at Addr (resuming from it runs it).
  void SetBreakpoint(uint32_t Addr);
  void ClearBreakpoint(uint32_t Addr);

  // Interrupt lines (INTERRUPT bits) and their priority levels; a pending, enabled
  // line above PS.INTLEVEL (with EXCM clear) stops the run with TStopReason::Interrupt.
  void RaiseInterrupt(unsigned Line);
  void ClearInterrupt(unsigned Line);
  void SetInterruptLevel(unsigned Line, unsigned Level);

  // The processor id (PRID): 0xCDCD on the ESP32's PRO CPU, 0xABAB on the APP CPU.
  void SetPrid(uint32_t V) { Prid = V; }

  void SetTrace(ITrace* T) { Trace = T; }

  const TFault& Fault() const { return LastFault; }

private:
  bool Step();
  bool EnterCode(uint32_t Addr);
  bool FetchFault(uint32_t Addr, uint32_t From, const char* What);
  bool Raise(TCause C, const TInsn* I, uint32_t VAddr, bool HasVAddr, std::string Detail);
  bool AccessSlow(uint32_t Addr, unsigned W, bool Write, uint32_t& V, const TInsn& I);
  const TRegion* DataRegion(uint32_t Addr);
  void SetWindow(const TRegion& R, uint32_t Addr);
  bool Mmio(const TRegion& R, uint32_t Addr, unsigned W, bool Write, uint32_t& V);
  bool Special(const TInsn& I);
  void CheckInterrupts();
  unsigned PendingLevel() const;

  TMemory& Mem;
  uint32_t MapGen = ~0u;

  // The code region being executed and its decode cache.
  uint32_t CodeBase = 0, CodeSize = 0;
  const uint8_t* CodeBytes = nullptr;
  TInsn* CodeSlots = nullptr;
  TStorage* CodeStore = nullptr;
  bool CodeReadable = false;
  // The data region last used, and when it is plain bytes, a window on them for the
  // loop's fast path.
  const TRegion* LastData = nullptr;
  struct TWindow {
    uint32_t Base = 0, Size = 0, Offset = 0;
    uint8_t* Bytes = nullptr;
    TStorage* Store = nullptr;
    bool Read = false, Write = false;
  } Fast;
  struct TGuard {
    uint32_t Base, Size;
    std::string What;
  };
  std::vector<TGuard> Guards;
  std::string RefuseWhy;
  std::unordered_set<uint32_t> Breakpoints;
  uint32_t ResumeAt = ~0u; // a breakpoint that stopped the last run is passed once

  uint32_t Sar = 0, PsReg = 0x1F, Epc[8] = {}, Eps[8] = {}, Excsave[8] = {};
  uint32_t Exccause = 0, Excvaddr = 0, Depc = 0, Vecbase = 0, Intenable = 0, Interrupt = 0;
  uint32_t Prid = 0xCDCD, Ccompare[3] = {}, Misc[4] = {}, Debug[9] = {}, Icount = 0,
           Icountlevel = 0, Cpenable = 0;
  uint8_t IntLevel[32] = {};
  uint64_t CcountBase = 0; // CCOUNT = cycles + base, so that WSR.CCOUNT sets it

  uint64_t CycleCount = 0, Executed = 0;
  uint64_t InnerLimit = 0, CycleLimit = 0;
  uint32_t Clock = 40000000;
  uint32_t LastTransfer = 0;
  bool StopRequested = false;
  bool Sleeping = false; // in WAITI
  TStop StopInfo;
  TFault LastFault;
  ITrace* Trace = nullptr;
};

// The fault as text: cause, PC, the instruction, the registers; Symbolise, when given,
// names the function an address falls in ("stub_service+0x1c").
std::string FaultReport(const TFault& F,
                        const std::function<std::string(uint32_t)>& Symbolise = nullptr);

} // namespace xtsim
