// The decoding oracle: every instruction of the stub's ELF and of the corpus (the
// execution programs at three optimisation levels, the fault program, the core's test
// routines, an assembled list of every simulated instruction, and all of libgcc) decodes
// to what the cross objdump prints for it.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>

#include "XtElf.h"
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
            << " distinct opcodes (" << R.Operations.size() << " operations)\n";
}

TEST(XtDecode, TheCorpusAgreesWithObjdump) {
  uint64_t Compared = 0;
  std::set<std::string> All;
  std::set<unsigned> Ops;
  for (const std::string& File : Corpus()) {
    SCOPED_TRACE(File);
    const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, File);
    ExpectAgreement(File, R);
    EXPECT_GT(R.Compared, 0u);
    Compared += R.Compared;
    All.insert(R.Mnemonics.begin(), R.Mnemonics.end());
    Ops.insert(R.Operations.begin(), R.Operations.end());
  }
  std::cout << "corpus: " << Corpus().size() << " files, " << Compared << " instructions compared, "
            << All.size() << " distinct opcodes (" << Ops.size() << " operations)\n";
}

// The comparison looks at every instruction: in a copy of the stub's ELF with one operand
// field changed (the target register of an L32I.N), exactly that instruction no longer
// matches objdump's listing of the original.
TEST(XtDecode, ACorruptedOperandFieldInACopyIsCaughtWhereItIs) {
  xtsim::TElf Elf;
  std::string Error;
  ASSERT_TRUE(Elf.Load(QUORVEX_XT_STUB_ELF, Error)) << Error;
  uint32_t At = 0;
  for (const xtsim::TElfSymbol& F : Elf.Symbols) {
    if (!F.Function()) continue;
    for (uint32_t A = F.Value; A < F.Value + F.Size && !At;) {
      uint8_t B[3] = {};
      ASSERT_TRUE(Elf.ReadAt(A, B, 3));
      const xtsim::TInsn I = xtsim::Decode(B[0] | B[1] << 8 | B[2] << 16, A);
      if (I.Op == xtsim::TOp::L32iN) At = A;
      A += I.Len;
    }
    if (At) break;
  }
  ASSERT_NE(At, 0u) << "no L32I.N in the stub";
  std::vector<uint8_t> Copy = Elf.Bytes();
  const xtsim::TElfSection* Text = nullptr;
  for (const auto& S : Elf.Sections)
    if (S.Name == ".text") Text = &S;
  ASSERT_NE(Text, nullptr);
  Copy[Text->Offset + (At - Text->Addr)] ^= 0x10; // bit 4: the t field's lowest bit
  const std::string Path = testing::TempDir() + "/stub-corrupted.elf";
  {
    std::ofstream Out(Path, std::ios::binary);
    Out.write(reinterpret_cast<const char*>(Copy.data()), std::streamsize(Copy.size()));
  }
  const TDecodeResult R = CompareDecode(QUORVEX_XT_OBJDUMP, Path, QUORVEX_XT_STUB_ELF);
  ASSERT_EQ(R.Mismatches.size(), 1u);
  EXPECT_EQ(R.Mismatches[0].Addr, At);
  EXPECT_EQ(R.Mismatches[0].Ours.rfind("l32i.n\ta", 0), 0u) << R.Mismatches[0].Ours;
  EXPECT_NE(R.Mismatches[0].Ours, R.Mismatches[0].Theirs);
  // objdump reads the copy as this decoder does.
  EXPECT_EQ(CompareDecode(QUORVEX_XT_OBJDUMP, Path).Mismatches.size(), 0u);
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
