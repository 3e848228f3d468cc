// The oracles fail a simulator that is wrong: this binary links a build of the simulator
// with faults compiled in (QUORVEX_XTSIM_MUTANT), switches each on in turn and runs the
// oracles of the other tests against it. A mutation that no oracle caught would mean the
// oracles check less than they claim.
#include <gtest/gtest.h>

#include <iostream>

#include "XtElf.h"
#include "XtIsa.h"
#include "XtOracle.h"
#include "XtPrograms.h"

using namespace xtoracle;
using xtsim::Mutation;
using xtsim::TMutation;

namespace {

struct TMutationGuard {
  explicit TMutationGuard(TMutation M) { Mutation = M; }
  ~TMutationGuard() { Mutation = TMutation::None; }
};

std::vector<std::string> AllElves() {
  std::vector<std::string> F = Corpus();
  F.push_back(QUORVEX_XT_STUB_ELF);
  return F;
}

// How many of the programs (in every variant) the execution oracle fails.
unsigned ExecFailures(std::string* First) {
  unsigned Failed = 0;
  for (const TProgram& P : Programs()) {
    const TRunResult Host = RunOnHost(P.HostMain);
    for (const std::string& V : Variants()) {
      const std::string Diff = CompareRuns(RunOnCore(ProgramElf(P.Name, V), 200000000), Host);
      if (Diff.empty()) continue;
      if (First && First->empty()) *First = P.Name + ("-" + V) + ": " + Diff;
      ++Failed;
    }
  }
  return Failed;
}

TEST(XtMutant, WithoutAMutationTheMutantBuildPassesBothOracles) {
  TMutationGuard G(TMutation::None);
  for (const std::string& F : AllElves()) {
    const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, F);
    EXPECT_TRUE(R.Problems.empty()) << F;
    EXPECT_EQ(R.Mismatches.size(), 0u) << F;
  }
  std::string First;
  EXPECT_EQ(ExecFailures(&First), 0u) << First;
}

// A corrupted operand field: ADDI.N's immediate 0 decoded as 0 instead of -1.
TEST(XtMutant, TheDecodingOracleCatchesACorruptedOperandField) {
  TMutationGuard G(TMutation::AddiNMinusOne);
  size_t Caught = 0;
  for (const std::string& F : AllElves()) {
    const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, F);
    for (const TDecodeMismatch& M : R.Mismatches) {
      // Exactly the instructions the mutation touches, and nothing else.
      EXPECT_EQ(M.Theirs.rfind("addi.n\t", 0), 0u) << M.Theirs;
      EXPECT_EQ(M.Theirs.substr(M.Theirs.size() - 4), ", -1") << M.Theirs;
      EXPECT_EQ(M.Ours.substr(M.Ours.size() - 3), ", 0") << M.Ours;
      ++Caught;
    }
  }
  EXPECT_GT(Caught, 0u);
  std::cout << "decoding oracle: " << Caught << " instructions caught with ADDI.N's field wrong\n";
}

// A wrong ALU operation: SRA shifting in zeros.
TEST(XtMutant, TheExecutionOracleCatchesAWrongAluOperation) {
  TMutationGuard G(TMutation::SraLogical);
  std::string First;
  const unsigned Failed = ExecFailures(&First);
  EXPECT_GT(Failed, 0u);
  std::cout << "execution oracle: " << Failed
            << " program builds failed with SRA wrong; first: " << First << "\n";
  // The decoder is not touched by it.
  EXPECT_EQ(CompareDecode(QUORVEX_XT_OBJDUMP, QUORVEX_XT_STUB_ELF).Mismatches.size(), 0u);
}

} // namespace
