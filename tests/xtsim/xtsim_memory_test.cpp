// The simulator's memory map and ELF reader, without the cross toolchain: the map's
// consistency rules, the ESP32's SRAM 1 alias, the loader's writes and what they do to
// decoded code, and ELF files corrupted every way the reader must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "XtCore.h"
#include "XtElf.h"
#include "XtEsp32.h"
#include "XtMemory.h"

using namespace xtsim;

namespace {

TEST(XtMemory, RefusesMapsThatCannotBeMeant) {
  const TMmioHook Hook = [](TCore&, TMmioAccess&) { return true; };
  auto Shared = std::make_shared<TStorage>(0x1000);
  struct {
    const char* Name;
    std::function<void(TMemory&)> Add;
  } Cases[] = {
      {"overlap", [](TMemory& M) { M.AddRam("b", 0x1800, 0x1000, AllowRw); }},
      {"empty", [](TMemory& M) { M.AddRam("b", 0x8000, 0, AllowRw); }},
      {"wraps", [](TMemory& M) { M.AddRam("b", 0xFFFFF000u, 0x2000, AllowRw); }},
      {"leaves its storage",
       [&](TMemory& M) { M.AddAlias("b", 0x8000, 0x1001, AllowRw, false, Shared, 0, false); }},
      {"reversed in half words",
       [&](TMemory& M) { M.AddAlias("b", 0x8000, 0x802, AllowRw, false, Shared, 0, true); }},
      {"fetch in reversed order",
       [](TMemory& M) {
         M.AddAlias("b", 0x8000, 0x1000, AllowRead | AllowFetch, false,
                    std::make_shared<TStorage>(0x1000), 0, true);
       }},
      {"fetch from MMIO", [&](TMemory& M) { M.AddMmio("b", 0x8000, 16, AllowFetch, Hook); }},
      {"MMIO without a hook", [](TMemory& M) { M.AddMmio("b", 0x8000, 16, AllowRw, nullptr); }},
      {"a second fetch view of one storage",
       [&](TMemory& M) {
         M.AddAlias("b", 0x8000, 0x1000, AllowRead | AllowFetch, false, Shared, 0, false);
       }},
      {"no storage",
       [](TMemory& M) { M.AddAlias("b", 0x8000, 16, AllowRw, false, nullptr, 0, false); }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TMemory M;
    M.AddRam("a", 0x1000, 0x1000, AllowRw);
    M.AddAlias("fetch view", 0x20000, 0x1000, AllowRead | AllowFetch, false, Shared, 0, false);
    EXPECT_THROW(C.Add(M), std::invalid_argument);
    // A refused region leaves the map as it was.
    EXPECT_EQ(M.Regions().size(), 2u);
    EXPECT_EQ(M.Find(0x1800)->Name, "a");
  }
}

TEST(XtMemory, Sram1OnTheDataBusIsInReverseWordOrder) {
  TMemory M;
  AddEsp32Memories(M);
  // The stub's first code word (0x400BE000) is the data bus's word 0x3FFE1FFC (stub.ld).
  const uint32_t Code = 0x11223344;
  ASSERT_TRUE(M.Write(0x400BE000, &Code, 4));
  uint32_t V = 0;
  ASSERT_TRUE(M.Read32(0x3FFE1FFC, V));
  EXPECT_EQ(V, Code);
  // Inside a word the byte order is the same on both buses.
  uint8_t B = 0;
  ASSERT_TRUE(M.Read(0x3FFE1FFD, &B, 1));
  EXPECT_EQ(B, 0x33);
  // The ends meet the other way round.
  const uint32_t Last = 0xCAFEF00D;
  ASSERT_TRUE(M.Write(0x3FFE0000, &Last, 4));
  ASSERT_TRUE(M.Read32(0x400BFFFC, V));
  EXPECT_EQ(V, Last);
}

TEST(XtMemory, LoaderWritesOnlyWhereThereIsStorage) {
  TMemory M;
  M.AddRam("ram", 0x1000, 0x100, AllowRw);
  M.AddMmio("port", 0x1100, 0x10, AllowRw, [](TCore&, TMmioAccess&) { return true; });
  const uint8_t Bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(M.Write(0x10F8, Bytes, 8));
  // Running into the MMIO region or off the map writes nothing at all.
  const uint8_t Other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_FALSE(M.Write(0x10FC, Other, 8));
  EXPECT_FALSE(M.Write(0x0FFC, Other, 8));
  uint8_t Back[8] = {};
  ASSERT_TRUE(M.Read(0x10F8, Back, 8));
  EXPECT_EQ(std::memcmp(Back, Bytes, 8), 0);
  EXPECT_FALSE(M.Read(0x10FC, Back, 8));
}

// MOVI.N a2, imm (imm 0..15) followed by BREAK 0, 0, assembled by hand: the decoded
// instructions a run keeps must go when a loader writes over them.
TEST(XtMemory, LoaderWritesDropDecodedCode) {
  TMemory M;
  AddEsp32Memories(M);
  TCore Core(M);
  auto Program = [&](uint8_t Imm) {
    const uint8_t Code[5] = {0x0C, uint8_t(Imm << 4 | 2), 0x00, 0x40, 0x00};
    ASSERT_TRUE(M.Write(0x40080000, Code, sizeof Code));
  };
  Program(1);
  Core.Reset(0x40080000);
  EXPECT_EQ(Core.Run(100).Reason, TStopReason::Break);
  EXPECT_EQ(Core.A[2], 1u);
  Program(5);
  Core.Reset(0x40080000);
  EXPECT_EQ(Core.Run(100).Reason, TStopReason::Break);
  EXPECT_EQ(Core.A[2], 5u);
}

// A minimal Xtensa executable: one loadable segment with 8 bytes of code at 0x40080000,
// and the sections .text, .symtab (one function, "entry"), .strtab and .shstrtab.
std::vector<uint8_t> SmallElf() {
  std::vector<uint8_t> F(52 + 32, 0);
  auto Put16 = [&](size_t At, uint32_t V) {
    F[At] = uint8_t(V);
    F[At + 1] = uint8_t(V >> 8);
  };
  auto Put32 = [&](size_t At, uint32_t V) {
    Put16(At, V & 0xFFFF);
    Put16(At + 2, V >> 16);
  };
  auto Append = [&](const std::vector<uint8_t>& B) {
    const size_t At = F.size();
    F.insert(F.end(), B.begin(), B.end());
    return uint32_t(At);
  };
  const uint8_t Ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::memcpy(F.data(), Ident, sizeof Ident);
  Put16(16, 2);  // ET_EXEC
  Put16(18, 94); // EM_XTENSA
  Put32(20, 1);
  Put32(24, 0x40080000); // entry
  Put32(28, 52);         // program headers
  Put16(40, 52);
  Put16(42, 32);
  Put16(44, 1);
  Put16(46, 40);
  const uint32_t Code = Append({0x0C, 0x12, 0x00, 0x40, 0x00, 0xF0, 0x0D, 0x00});
  Put32(52, 1); // PT_LOAD
  Put32(56, Code);
  Put32(60, 0x40080000);
  Put32(64, 0x40080000);
  Put32(68, 8);
  Put32(72, 8);
  Put32(76, 5);
  const uint32_t Str = Append({0, 'e', 'n', 't', 'r', 'y', 0});
  std::vector<uint8_t> Sym(32, 0); // the null symbol, then "entry"
  Sym[16] = 1;
  Sym[20] = 0x00, Sym[21] = 0x00, Sym[22] = 0x08, Sym[23] = 0x40;
  Sym[24] = 8;
  Sym[28] = 0x12; // global function
  Sym[30] = 1;    // in section 1
  const uint32_t Syms = Append(Sym);
  const std::string Names = std::string("\0.text\0.symtab\0.strtab\0.shstrtab\0", 33);
  const uint32_t Shstr = Append(std::vector<uint8_t>(Names.begin(), Names.end()));
  const uint32_t ShOff = uint32_t(F.size());
  F.resize(F.size() + 5 * 40, 0);
  auto Section = [&](unsigned I, uint32_t Name, uint32_t Type, uint32_t Flags, uint32_t Addr,
                     uint32_t Off, uint32_t Size, uint32_t Link) {
    const size_t H = ShOff + I * 40;
    Put32(H, Name);
    Put32(H + 4, Type);
    Put32(H + 8, Flags);
    Put32(H + 12, Addr);
    Put32(H + 16, Off);
    Put32(H + 20, Size);
    Put32(H + 24, Link);
  };
  Section(1, 1, 1, 6, 0x40080000, Code, 8, 0); // .text: alloc, exec
  Section(2, 7, 2, 0, 0, Syms, 32, 3);         // .symtab, strings in 3
  Section(3, 15, 3, 0, 0, Str, 7, 0);          // .strtab
  Section(4, 23, 3, 0, 0, Shstr, 33, 0);       // .shstrtab
  Put32(32, ShOff);
  Put16(48, 5);
  Put16(50, 4);
  return F;
}

TEST(XtElf, ReadsAWellFormedFile) {
  TElf Elf;
  std::string Error;
  ASSERT_TRUE(Elf.Parse(SmallElf(), Error)) << Error;
  EXPECT_EQ(Elf.Entry, 0x40080000u);
  ASSERT_EQ(Elf.Segments.size(), 1u);
  ASSERT_NE(Elf.FindSymbol("entry"), nullptr);
  EXPECT_EQ(Elf.Symbolise(0x40080005), "entry+0x5");
  EXPECT_EQ(Elf.Symbolise(0x40080008), "");
  TMemory M;
  AddEsp32Memories(M);
  ASSERT_TRUE(Elf.LoadInto(M, Error)) << Error;
  TCore Core(M);
  Core.Reset(Elf.Entry);
  EXPECT_EQ(Core.Run(100).Reason, TStopReason::Break);
  EXPECT_EQ(Core.A[2], 1u);
  // Code outside the map is refused with the place named.
  TMemory Empty;
  EXPECT_FALSE(Elf.LoadInto(Empty, Error));
  EXPECT_NE(Error.find("0x40080000"), std::string::npos) << Error;
}

TEST(XtElf, RefusesCorruptFiles) {
  struct {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Spoil;
  } Cases[] = {
      {"empty", [](std::vector<uint8_t>& F) { F.clear(); }},
      {"cut inside the header", [](std::vector<uint8_t>& F) { F.resize(40); }},
      {"not ELF", [](std::vector<uint8_t>& F) { F[1] = 'X'; }},
      {"64-bit", [](std::vector<uint8_t>& F) { F[4] = 2; }},
      {"big-endian", [](std::vector<uint8_t>& F) { F[5] = 2; }},
      {"another machine", [](std::vector<uint8_t>& F) { F[18] = 40; }},
      {"program headers past the end", [](std::vector<uint8_t>& F) { F[29] = 0x70; }},
      {"segment past the end", [](std::vector<uint8_t>& F) { F[69] = 0x10; }},
      {"section headers past the end", [](std::vector<uint8_t>& F) { F[34] = 0x10; }},
      {"cut inside the section headers", [](std::vector<uint8_t>& F) { F.resize(F.size() - 20); }},
      {"string table index out of range", [](std::vector<uint8_t>& F) { F[50] = 9; }},
      {"section name past its table", [](std::vector<uint8_t>& F) { F[F.size() - 4 * 40] = 0xF0; }},
      {"symbol strings in no section",
       [](std::vector<uint8_t>& F) { F[F.size() - 3 * 40 + 24] = 0x33; }},
      {"symbol name past its table",
       [](std::vector<uint8_t>& F) {
         // The second symbol's name offset sits in .symtab at file offset 92 + 7 + 16.
         F[52 + 32 + 8 + 7 + 16] = 0x40;
       }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::vector<uint8_t> F = SmallElf();
    C.Spoil(F);
    TElf Elf;
    std::string Error;
    EXPECT_FALSE(Elf.Parse(F, Error));
    EXPECT_FALSE(Error.empty());
  }
}

} // namespace
