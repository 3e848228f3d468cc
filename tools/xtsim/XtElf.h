#pragma once
// A 32-bit little-endian Xtensa ELF file, as the cross linker writes it: the loadable
// segments, the sections and the symbols. Every offset and size is checked against the
// file, so a truncated or corrupt file gets an error, never a read outside it.
#include <cstdint>
#include <string>
#include <vector>

namespace xtsim {

class TMemory;

struct TElfSection {
  std::string Name;
  uint32_t Type = 0, Flags = 0, Addr = 0, Offset = 0, Size = 0;
  bool Executable() const { return (Flags & 4u) != 0; } // SHF_EXECINSTR
};

struct TElfSegment {
  uint32_t Offset = 0, VAddr = 0, PAddr = 0, FileSize = 0, MemSize = 0, Flags = 0;
};

struct TElfSymbol {
  std::string Name;
  uint32_t Value = 0, Size = 0;
  uint8_t Type = 0; // STT_NOTYPE 0, STT_OBJECT 1, STT_FUNC 2, STT_SECTION 3
  uint16_t Section = 0;
  bool Function() const { return Type == 2; }
};

class TElf {
public:
  bool Load(const std::string& Path, std::string& Error);
  bool Parse(std::vector<uint8_t> File, std::string& Error);

  uint32_t Entry = 0;
  std::vector<TElfSection> Sections;
  std::vector<TElfSegment> Segments; // PT_LOAD only
  std::vector<TElfSymbol> Symbols;
  const std::vector<uint8_t>& Bytes() const { return File; }

  // The bytes at [Addr, Addr + Len) as the file holds them in a section with contents.
  bool ReadAt(uint32_t Addr, void* Out, uint32_t Len) const;
  const TElfSymbol* FindSymbol(const std::string& Name) const;
  // "name+0x1c" for the function or object Addr falls in, or "" for none.
  std::string Symbolise(uint32_t Addr) const;
  // Writes every loadable segment into the map (the part beyond the file's bytes zeroed),
  // ignoring the access rules, as a loader does. False with Error when a segment lands
  // outside the map's storage.
  bool LoadInto(TMemory& Mem, std::string& Error) const;

private:
  std::vector<uint8_t> File;
};

} // namespace xtsim
