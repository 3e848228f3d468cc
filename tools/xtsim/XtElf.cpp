#include "XtElf.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "XtMemory.h"

// Layout from the System V ABI's ELF chapter (Elf32_Ehdr, Elf32_Shdr, Elf32_Phdr, Elf32_Sym).

namespace xtsim {

namespace {

constexpr uint16_t EmXtensa = 94;
constexpr uint32_t PtLoad = 1, ShtSymtab = 2, ShtNobits = 8;

class TReader {
public:
  explicit TReader(const std::vector<uint8_t>& B) : B(B) {}
  bool Has(uint64_t Off, uint64_t Len) const { return Off <= B.size() && Len <= B.size() - Off; }
  uint32_t U8(uint64_t O) const { return B[O]; }
  uint32_t U16(uint64_t O) const { return B[O] | B[O + 1] << 8; }
  uint32_t U32(uint64_t O) const { return U16(O) | U16(O + 2) << 16; }
  // A NUL-terminated string inside [Base, Base + Size).
  bool Str(uint64_t Base, uint64_t Size, uint64_t At, std::string& S) const {
    if (!Has(Base, Size) || At >= Size) return false;
    S.clear();
    for (uint64_t i = Base + At; i < Base + Size; ++i) {
      if (B[i] == 0) return true;
      S += char(B[i]);
    }
    return false;
  }

private:
  const std::vector<uint8_t>& B;
};

} // namespace

bool TElf::Load(const std::string& Path, std::string& Error) {
  std::ifstream F(Path, std::ios::binary);
  if (!F) {
    Error = Path + ": cannot be read";
    return false;
  }
  std::vector<uint8_t> B((std::istreambuf_iterator<char>(F)), std::istreambuf_iterator<char>());
  if (!Parse(std::move(B), Error)) {
    Error = Path + ": " + Error;
    return false;
  }
  return true;
}

bool TElf::Parse(std::vector<uint8_t> Bytes, std::string& Error) {
  File = std::move(Bytes);
  Sections.clear();
  Segments.clear();
  Symbols.clear();
  const TReader R(File);
  if (!R.Has(0, 52) || File[0] != 0x7F || File[1] != 'E' || File[2] != 'L' || File[3] != 'F') {
    Error = "not an ELF file";
    return false;
  }
  if (File[4] != 1 || File[5] != 1) {
    Error = "not a 32-bit little-endian ELF file";
    return false;
  }
  if (R.U16(18) != EmXtensa) {
    Error = "not an Xtensa ELF file";
    return false;
  }
  Entry = R.U32(24);
  const uint32_t PhOff = R.U32(28), ShOff = R.U32(32);
  const uint32_t PhSize = R.U16(42), PhNum = R.U16(44), ShSize = R.U16(46), ShNum = R.U16(48),
                 ShStr = R.U16(50);
  if (PhNum && (PhSize < 32 || !R.Has(PhOff, uint64_t(PhSize) * PhNum))) {
    Error = "program headers outside the file";
    return false;
  }
  if (ShNum && (ShSize < 40 || !R.Has(ShOff, uint64_t(ShSize) * ShNum) || ShStr >= ShNum)) {
    Error = "section headers outside the file";
    return false;
  }
  for (uint32_t i = 0; i < PhNum; ++i) {
    const uint64_t H = PhOff + uint64_t(i) * PhSize;
    if (R.U32(H) != PtLoad) continue;
    TElfSegment S;
    S.Offset = R.U32(H + 4);
    S.VAddr = R.U32(H + 8);
    S.PAddr = R.U32(H + 12);
    S.FileSize = R.U32(H + 16);
    S.MemSize = R.U32(H + 20);
    S.Flags = R.U32(H + 24);
    if (!R.Has(S.Offset, S.FileSize) || S.FileSize > S.MemSize) {
      Error = "a loadable segment lies outside the file";
      return false;
    }
    Segments.push_back(S);
  }
  if (ShNum == 0) return true;
  const uint64_t StrHdr = ShOff + uint64_t(ShStr) * ShSize;
  const uint32_t StrOff = R.U32(StrHdr + 16), StrSize = R.U32(StrHdr + 20);
  for (uint32_t i = 0; i < ShNum; ++i) {
    const uint64_t H = ShOff + uint64_t(i) * ShSize;
    TElfSection S;
    if (!R.Str(StrOff, StrSize, R.U32(H), S.Name)) {
      Error = "a section name lies outside the string table";
      return false;
    }
    S.Type = R.U32(H + 4);
    S.Flags = R.U32(H + 8);
    S.Addr = R.U32(H + 12);
    S.Offset = R.U32(H + 16);
    S.Size = R.U32(H + 20);
    if (S.Type != ShtNobits && !R.Has(S.Offset, S.Size)) {
      Error = "section " + S.Name + " lies outside the file";
      return false;
    }
    Sections.push_back(S);
  }
  for (uint32_t i = 0; i < ShNum; ++i) {
    const TElfSection& Tab = Sections[i];
    if (Tab.Type != ShtSymtab) continue;
    const uint64_t H = ShOff + uint64_t(i) * ShSize;
    const uint32_t Link = R.U32(H + 24);
    if (Link >= Sections.size()) {
      Error = "symbol table without strings";
      return false;
    }
    const TElfSection& Str = Sections[Link];
    for (uint64_t E = Tab.Offset; E + 16 <= uint64_t(Tab.Offset) + Tab.Size; E += 16) {
      TElfSymbol S;
      if (!R.Str(Str.Offset, Str.Size, R.U32(E), S.Name)) {
        Error = "a symbol name lies outside its string table";
        return false;
      }
      S.Value = R.U32(E + 4);
      S.Size = R.U32(E + 8);
      S.Type = uint8_t(R.U8(E + 12) & 15);
      S.Section = uint16_t(R.U16(E + 14));
      Symbols.push_back(S);
    }
  }
  return true;
}

bool TElf::ReadAt(uint32_t Addr, void* Out, uint32_t Len) const {
  for (const TElfSection& S : Sections) {
    if (S.Type == ShtNobits || S.Addr == 0 || (S.Flags & 2u) == 0) continue; // SHF_ALLOC
    if (Addr - S.Addr < S.Size && uint64_t(Addr - S.Addr) + Len <= S.Size) {
      const uint8_t* P = File.data() + S.Offset + (Addr - S.Addr);
      std::copy(P, P + Len, static_cast<uint8_t*>(Out));
      return true;
    }
  }
  return false;
}

const TElfSymbol* TElf::FindSymbol(const std::string& Name) const {
  for (const TElfSymbol& S : Symbols)
    if (S.Name == Name) return &S;
  return nullptr;
}

std::string TElf::Symbolise(uint32_t Addr) const {
  const TElfSymbol* Best = nullptr;
  for (const TElfSymbol& S : Symbols)
    if ((S.Type == 1 || S.Type == 2) && S.Size && Addr - S.Value < S.Size)
      if (!Best || S.Value > Best->Value) Best = &S;
  if (!Best) return "";
  if (Addr == Best->Value) return Best->Name;
  char B[24];
  std::snprintf(B, sizeof B, "+0x%x", unsigned(Addr - Best->Value));
  return Best->Name + B;
}

bool TElf::LoadInto(TMemory& Mem, std::string& Error) const {
  for (const TElfSegment& S : Segments) {
    if (S.MemSize == 0) continue;
    std::vector<uint8_t> Image(File.begin() + S.Offset, File.begin() + S.Offset + S.FileSize);
    Image.resize(S.MemSize, 0);
    if (!Mem.Write(S.PAddr, Image.data(), S.MemSize)) {
      char B[96];
      std::snprintf(B, sizeof B, "segment at 0x%08x (%u bytes) lies outside the memory map",
                    unsigned(S.PAddr), unsigned(S.MemSize));
      Error = B;
      return false;
    }
  }
  return true;
}

} // namespace xtsim
