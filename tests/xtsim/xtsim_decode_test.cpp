// The decoding oracle: every instruction of the stub's ELF and of the corpus (the
// execution programs at three optimisation levels, the fault program, the core's test
// routines, an assembled list of every simulated instruction, and all of libgcc) decodes
// to what the cross objdump prints for it.
#include <gtest/gtest.h>

#include <iostream>

#include "XtIsa.h"
#include "XtOracle.h"
#include "XtPrograms.h"

using namespace xtoracle;

namespace {

void ExpectAgreement(const std::string& File, const TDecodeResult& R) {
  for (const std::string& P : R.Problems)
    ADD_FAILURE() << File << ": " << P;
  size_t Shown = 0;
  for (const TDecodeMismatch& M : R.Mismatches) {
    if (++Shown > 20) break;
    ADD_FAILURE() << File << ": 0x" << std::hex << M.Addr << " <" << M.Function << ">: ours \""
                  << M.Ours << "\", objdump \"" << M.Theirs << "\"";
  }
  EXPECT_EQ(R.Mismatches.size(), 0u) << File;
}

TEST(XtDecode, TheStubsElfAgreesWithObjdump) {
  const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, QUORVEX_XT_STUB_ELF);
  ExpectAgreement(QUORVEX_XT_STUB_ELF, R);
  // The whole of the code: 3288 bytes at most, in 2- and 3-byte instructions.
  EXPECT_GT(R.Compared, 1000u);
  std::cout << "stub: " << R.Compared << " instructions compared, " << R.Mnemonics.size()
            << " distinct opcodes\n";
}

TEST(XtDecode, TheCorpusAgreesWithObjdump) {
  uint64_t Compared = 0;
  std::set<std::string> All;
  for (const std::string& File : Corpus()) {
    SCOPED_TRACE(File);
    const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, File);
    ExpectAgreement(File, R);
    EXPECT_GT(R.Compared, 0u);
    Compared += R.Compared;
    All.insert(R.Mnemonics.begin(), R.Mnemonics.end());
  }
  std::cout << "corpus: " << Corpus().size() << " files, " << Compared << " instructions compared, "
            << All.size() << " distinct opcodes\n";
}

// Every operation the simulator has is in the assembled list, so that each has been
// checked against objdump at least once, whether or not a compiler emits it.
TEST(XtDecode, EveryOperationIsChecked) {
  const TDecodeResult R =
      CompareDecode(QUORVEX_XT_OBJDUMP, std::string(QUORVEX_XT_PROGRAMS) + "/allops.elf");
  ExpectAgreement("allops.elf", R);
  std::set<std::string> Bases;
  for (const std::string& M : R.Mnemonics) // "rsr.ps" is RSR
    Bases.insert(M.size() > 4 && M[3] == '.' && M[1] == 's' && M[2] == 'r' ? M.substr(0, 3) : M);
  for (unsigned Op = 1; Op < unsigned(xtsim::TOp::Count); ++Op) {
    const std::string Name = xtsim::Mnemonic(xtsim::TOp(Op));
    EXPECT_TRUE(Bases.count(Name)) << Name << " is not in allops.S";
  }
}

} // namespace
