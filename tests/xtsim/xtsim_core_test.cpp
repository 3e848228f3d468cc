// The core's run control on assembled routines (progs/unit.S): the bounds every run has,
// breakpoints, a hook's stop, the trace, code changed while it runs, CCOUNT and the clock,
// and interrupts pending against PS and INTENABLE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "XtTrace.h"
#include "progs/xt_port_map.h"

using namespace xtsim;

namespace {

struct TRig {
  TMemory Mem;
  TElf Elf;
  TCore Core{Mem};
  std::vector<uint32_t> Results;
  bool Refuse = false; // the port models nothing

  TRig() {
    AddEsp32Memories(Mem);
    Mem.AddMmio("result port", XT_PORT_BASE, 0x20, AllowRw, [this](TCore& C, TMmioAccess& A) {
      if (Refuse || !A.Write) return false;
      if (A.Offset == XT_EXIT) C.Stop("exit");
      if (A.Offset == XT_RESULT) Results.push_back(A.Value);
      return true;
    });
    std::string Error;
    EXPECT_TRUE(Elf.Load(QUORVEX_XT_PROGRAMS "/unit.elf", Error)) << Error;
    EXPECT_TRUE(Elf.LoadInto(Mem, Error)) << Error;
  }
  uint32_t At(const char* Symbol) {
    const TElfSymbol* S = Elf.FindSymbol(Symbol);
    EXPECT_NE(S, nullptr) << Symbol;
    return S ? S->Value : 0;
  }
  void Start(const char* Symbol) {
    Core.Reset(At(Symbol));
    Core.A[1] = 0x3FFDFF00; // a stack in SRAM 2
  }
};

TEST(XtCore, EveryRunEndsAtItsBounds) {
  TRig R;
  R.Start("unit_count");
  // MOVI.N, then ADDI.N and J in turn: one cycle each, two more for the jump.
  TStop S = R.Core.Run(1000);
  EXPECT_EQ(S.Reason, TStopReason::Limit);
  EXPECT_EQ(R.Core.Instructions(), 1000u);
  EXPECT_EQ(R.Core.A[2], 500u);
  EXPECT_EQ(R.Core.Cycles(), 1u + 500u + 499u * 3u);
  // Bounds count from the start of each run.
  EXPECT_EQ(R.Core.Run(10).Reason, TStopReason::Limit);
  EXPECT_EQ(R.Core.Instructions(), 1010u);
  const uint64_t Before = R.Core.Cycles();
  EXPECT_EQ(R.Core.Run(~0ull, 30).Reason, TStopReason::Limit);
  EXPECT_GE(R.Core.Cycles() - Before, 30u);
  EXPECT_LT(R.Core.Cycles() - Before, 33u);
}

TEST(XtCore, BreakpointsStopBeforeTheInstructionAndPassOnResume) {
  TRig R;
  R.Start("unit_count");
  const uint32_t Jump = R.At("unit_count_jump");
  R.Core.SetBreakpoint(Jump);
  for (uint32_t Round = 1; Round <= 3; ++Round) {
    const TStop S = R.Core.Run(100);
    ASSERT_EQ(S.Reason, TStopReason::Break) << S.Why;
    EXPECT_EQ(R.Core.Pc, Jump);
    EXPECT_EQ(R.Core.A[2], Round);
  }
  R.Core.ClearBreakpoint(Jump);
  EXPECT_EQ(R.Core.Run(100).Reason, TStopReason::Limit);
}

TEST(XtCore, AHookStopsTheRunAndTheTraceSeesCallsAndMmio) {
  TRig R;
  TTraceLog Trace;
  R.Core.SetTrace(&Trace);
  R.Start("unit_calls");
  const TStop S = R.Core.Run(1000);
  ASSERT_EQ(S.Reason, TStopReason::Stopped) << S.Why;
  EXPECT_EQ(S.Why, "exit");
  EXPECT_EQ(R.Results, std::vector<uint32_t>{0x55});
  const uint32_t Back = R.At("unit_calls_back"), Leaf = R.At("unit_leaf");
  ASSERT_EQ(Trace.Entries.size(), 4u);
  EXPECT_EQ(Trace.Entries[0].Kind, TTraceEntry::Call);
  EXPECT_EQ(Trace.Entries[0].Addr, Leaf);
  EXPECT_EQ(Trace.Entries[0].Value, Back); // the return address after CALL0
  EXPECT_EQ(Trace.Entries[1].Kind, TTraceEntry::Write);
  EXPECT_EQ(Trace.Entries[1].Addr, XT_PORT_BASE + XT_RESULT);
  EXPECT_EQ(Trace.Entries[1].Value, 0x55u);
  EXPECT_EQ(Trace.Entries[1].Width, 4);
  EXPECT_EQ(Trace.Entries[2].Kind, TTraceEntry::Return);
  EXPECT_EQ(Trace.Entries[2].Addr, Back);
  EXPECT_EQ(Trace.Entries[3].Kind, TTraceEntry::Write);
  EXPECT_EQ(Trace.Entries[3].Addr, XT_PORT_BASE + XT_EXIT);
  // The text form names the functions when an ELF's symbols are at hand.
  TTraceLog Named(nullptr, [&](uint32_t A) { return R.Elf.Symbolise(A); });
  EXPECT_NE(Named.Format(Trace.Entries[0]).find("call 0x"), std::string::npos);
  EXPECT_NE(Named.Format(Trace.Entries[0]).find("<unit_leaf>"), std::string::npos);
  EXPECT_NE(Named.Format(Trace.Entries[1]).find("write32 0x3ff7f000 = 0x00000055"),
            std::string::npos)
      << Named.Format(Trace.Entries[1]);
}

TEST(XtCore, AnAccessTheHookDoesNotModelFaults) {
  TRig R;
  R.Refuse = true;
  R.Start("unit_calls");
  const TStop S = R.Core.Run(1000);
  ASSERT_EQ(S.Reason, TStopReason::Fault);
  EXPECT_EQ(R.Core.Fault().Cause, TCause::StoreProhibited);
  EXPECT_EQ(R.Core.Fault().VAddr, XT_PORT_BASE + XT_RESULT);
  EXPECT_NE(S.Why.find("result port does not model it"), std::string::npos) << S.Why;
}

TEST(XtCore, CodeStoredOverDecodedCodeRunsAsStored) {
  TRig R;
  R.Start("unit_selfmod");
  const TStop S = R.Core.Run(1000);
  ASSERT_EQ(S.Reason, TStopReason::Stopped) << S.Why;
  EXPECT_EQ(R.Results, (std::vector<uint32_t>{1, 2, 5, 6}));
}

TEST(XtCore, CcountCountsCyclesAtTheConfiguredClock) {
  TRig R;
  R.Core.SetClockHz(80000000);
  R.Start("unit_ccount");
  ASSERT_EQ(R.Core.Run(100).Reason, TStopReason::Break);
  EXPECT_EQ(R.Core.A[3] - R.Core.A[2], 5u); // RSR and four NOPs, one cycle each
  EXPECT_DOUBLE_EQ(R.Core.Seconds(), double(R.Core.Cycles()) / 80e6);
  // WSR.CCOUNT sets it; skipped cycles count like executed ones.
  R.Core.WriteSpecial(SrCcount, 0xFFFFFFF0u);
  R.Core.SkipCycles(0x20);
  EXPECT_EQ(R.Core.ReadSpecial(SrCcount), 0x10u);
  R.Start("unit_ccount");
  ASSERT_EQ(R.Core.Run(100).Reason, TStopReason::Break);
  EXPECT_EQ(R.Core.A[2], 0x11u);
}

TEST(XtCore, APendingInterruptStopsTheRunOnceItIsTakeable) {
  {
    // Pending from the start: INTENABLE alone (PS.INTLEVEL still 15) takes nothing, the
    // RSIL to level 0 does.
    TRig R;
    R.Start("unit_irq");
    R.Core.RaiseInterrupt(3);
    const TStop S = R.Core.Run(100);
    ASSERT_EQ(S.Reason, TStopReason::Interrupt) << S.Why;
    EXPECT_EQ(R.Core.Pc, R.At("unit_irq_wait")); // right after the RSIL
  }
  {
    // Nothing pending: the WAITI sleeps, and stays asleep (time passing up to a run's
    // cycle bound) until a line is raised.
    TRig R;
    R.Start("unit_irq");
    ASSERT_EQ(R.Core.Run(100).Reason, TStopReason::Waiting);
    const uint64_t Asleep = R.Core.Cycles();
    EXPECT_EQ(R.Core.Run(100, 1000).Reason, TStopReason::Waiting);
    EXPECT_EQ(R.Core.Cycles(), Asleep + 1000);
    EXPECT_EQ(R.Core.Pc, R.At("unit_irq_wait") + 3);
    R.Core.RaiseInterrupt(3);
    EXPECT_EQ(R.Core.Run(100).Reason, TStopReason::Interrupt);
    // A line that is not enabled wakes nothing.
    R.Core.ClearInterrupt(3);
    R.Core.RaiseInterrupt(4);
    R.Start("unit_irq");
    EXPECT_EQ(R.Core.Run(100).Reason, TStopReason::Waiting);
  }
}

} // namespace
