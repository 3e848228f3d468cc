// What the simulated chip does with the faults a stub could have (progs/faults.c): each
// run ends with the exception the silicon raises, its registers as the silicon sets them,
// and a report naming the cause, the instruction, the function and the address; an
// endless loop ends at the run's bound. The runner is tried as a user runs it, too.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "XtPrograms.h"

using namespace xtsim;

namespace {

const std::string FaultElf = std::string(QUORVEX_XT_PROGRAMS) + "/faults-O2.elf";

struct TFaultCase {
  uint32_t Case;
  const char* Name;
  TStopReason Reason;
  TCause Cause;
  const char* Function; // where PC is (the function, or the data object jumped to)
  const char* Mnemonic; // the faulting instruction, "" when it cannot be fetched
  const char* VSymbol;  // EXCVADDR relative to this symbol, or null for VAddr as it is
  uint32_t VAddr;       // the offset from it, or the address
  const char* Words;    // in the report
};

const TFaultCase Cases[] = {
    {1, "unaligned L32I", TStopReason::Fault, TCause::LoadStoreAlignment, "fault_unaligned_l32i",
     "l32i", "buf", 1, "not aligned"},
    {2, "L8UI from the code region", TStopReason::Fault, TCause::LoadStoreError, "fault_code_byte",
     "l8ui", "fault_code_byte", 1, "takes only aligned 32-bit words"},
    {3, "jump into data RAM", TStopReason::Fault, TCause::InstFetchProhibited, "code_in_dram", "",
     "code_in_dram", 0, "SRAM 2 is not executable"},
    {4, "reserved opcode", TStopReason::Fault, TCause::IllegalInstruction, "fault_reserved_opcode",
     ".byte", nullptr, 0, "not an instruction of this core"},
    {5, "ILL", TStopReason::Fault, TCause::IllegalInstruction, "fault_ill", "ill", nullptr, 0,
     "illegal instruction"},
    {6, "store into ROM", TStopReason::Fault, TCause::StoreProhibited, "fault_rom_store", "s32i",
     nullptr, 0x40000400, "internal ROM 0 is read-only"},
    {7, "load from nothing", TStopReason::Fault, TCause::LoadProhibited, "fault_unmapped_load",
     "l32i", nullptr, 0x20000000, "no memory there"},
    {8, "S8I into the code region", TStopReason::Fault, TCause::LoadStoreError,
     "fault_iram_byte_store", "s8i", "fault_iram_byte_store", 0, "takes only aligned 32-bit words"},
    {9, "unaligned S16I", TStopReason::Fault, TCause::LoadStoreAlignment, "fault_unaligned_s16i",
     "s16i", "buf", 3, "not aligned"},
    {10, "endless loop", TStopReason::Limit, TCause::IllegalInstruction, "fault_forever", "",
     nullptr, 0, ""},
};

TEST(XtFault, EachFaultEndsWithTheRightReport) {
  TElf Elf;
  std::string Error;
  ASSERT_TRUE(Elf.Load(FaultElf, Error)) << Error;
  auto Sym = [&](const char* Name) {
    const TElfSymbol* S = Elf.FindSymbol(Name);
    EXPECT_NE(S, nullptr) << Name;
    return S ? S->Value : 0;
  };
  for (const TFaultCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMemory Mem;
    AddEsp32Memories(Mem);
    ASSERT_TRUE(Elf.LoadInto(Mem, Error)) << Error;
    ASSERT_TRUE(Mem.Write(Sym("fault_case"), &C.Case, 4));
    TCore Core(Mem);
    Core.Reset(Elf.Entry);
    const TStop S = Core.Run(1000000);
    ASSERT_EQ(S.Reason, C.Reason) << S.Why;
    EXPECT_EQ(Elf.Symbolise(Core.Pc).rfind(C.Function, 0), 0u) << Elf.Symbolise(Core.Pc);
    if (C.Reason != TStopReason::Fault) {
      EXPECT_EQ(Core.Instructions(), 1000000u);
      continue;
    }
    const TFault& F = Core.Fault();
    EXPECT_EQ(F.Cause, C.Cause) << CauseName(F.Cause);
    EXPECT_EQ(F.Pc, Core.Pc);
    const uint32_t VAddr = C.VSymbol ? Sym(C.VSymbol) + C.VAddr : C.VAddr;
    EXPECT_EQ(F.HasVAddr, C.VSymbol != nullptr || C.VAddr != 0);
    if (F.HasVAddr) {
      EXPECT_EQ(F.VAddr, VAddr);
      EXPECT_EQ(Core.ReadSpecial(SrExcvaddr), VAddr);
    }
    // The registers the silicon sets on the way to its vector.
    EXPECT_EQ(Core.ReadSpecial(SrExccause), uint32_t(C.Cause));
    EXPECT_EQ(Core.ReadSpecial(SrEpc1), F.Pc);
    EXPECT_NE(Core.ReadSpecial(SrPs) & 0x10, 0u); // EXCM
    const std::string Report = FaultReport(F, [&](uint32_t A) { return Elf.Symbolise(A); });
    EXPECT_NE(Report.find(CauseName(C.Cause)), std::string::npos) << Report;
    EXPECT_NE(Report.find(C.Words), std::string::npos) << Report;
    EXPECT_NE(Report.find(std::string("<") + C.Function), std::string::npos) << Report;
    EXPECT_NE(Report.find("a15 "), std::string::npos) << Report;
    if (*C.Mnemonic) {
      ASSERT_TRUE(F.InsnKnown);
      EXPECT_EQ(Disassemble(F.Insn).rfind(C.Mnemonic, 0), 0u) << Disassemble(F.Insn);
      EXPECT_NE(Report.find(Disassemble(F.Insn)), std::string::npos) << Report;
    } else {
      // Nothing could be fetched: the report says who jumped there.
      EXPECT_FALSE(F.InsnKnown);
      EXPECT_EQ(Elf.Symbolise(F.FromPc).rfind("fault_jump_to_dram", 0), 0u);
      EXPECT_NE(Report.find("last jump from"), std::string::npos) << Report;
    }
  }
}

// The runner as a user starts it: a fault gives its report and exit status 3.
TEST(XtFault, TheRunnerPrintsTheReport) {
  const std::string Cmd =
      std::string("'") + QUORVEX_XTSIM_RUNNER + "' --set fault_case=2 '" + FaultElf + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> P(popen(Cmd.c_str(), "r"), pclose);
  ASSERT_TRUE(P);
  std::string Out;
  char Buf[512];
  while (std::fgets(Buf, sizeof Buf, P.get()))
    Out += Buf;
  const int Status = pclose(P.release());
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 3) << Out;
  EXPECT_NE(Out.find("LoadStoreErrorCause"), std::string::npos) << Out;
  EXPECT_NE(Out.find("<fault_code_byte"), std::string::npos) << Out;
  EXPECT_NE(Out.find("l8ui"), std::string::npos) << Out;
}

} // namespace
