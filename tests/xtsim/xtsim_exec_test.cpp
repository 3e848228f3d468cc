// The execution oracle: each program, cross-compiled three ways and run on the simulated
// core, makes exactly the accesses to its result port that the same C built for the host
// makes (every value reported, and for the volatile program every access in order).
#include <gtest/gtest.h>

#include <iostream>

#include "XtElf.h"
#include "XtOracle.h"
#include "XtPrograms.h"

using namespace xtoracle;

namespace {

class XtExec : public testing::TestWithParam<TProgram> {};

TEST_P(XtExec, MatchesTheHostBuild) {
  const TProgram& P = GetParam();
  const TRunResult Host = RunOnHost(P.HostMain);
  ASSERT_GT(Host.Log.size(), 1u);
  for (const std::string& V : Variants()) {
    SCOPED_TRACE(V);
    const std::string File = ProgramElf(P.Name, V);
    const TRunResult Core = RunOnCore(File, 200000000);
    xtsim::TElf Elf;
    std::string Error;
    Elf.Load(File, Error);
    EXPECT_EQ(CompareRuns(Core, Host, &Elf), "");
    std::cout << P.Name << "-" << V << ": " << Core.Log.size() << " checks, " << Core.Instructions
              << " instructions\n";
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, XtExec, testing::ValuesIn(Programs()),
                         [](const testing::TestParamInfo<TProgram>& I) { return I.param.Name; });

} // namespace
