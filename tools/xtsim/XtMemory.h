#pragma once
// The address map a simulated core sees, supplied by its caller: regions, each either
// bytes (RAM, ROM) or a peripheral behind MMIO hooks, with the access rules of the bus it
// sits on. The ESP32 rules this can express (TRM, chapter System and Memory): the
// instruction bus takes loads and stores only as aligned 32-bit words; data RAM cannot be
// executed; ROM cannot be written; SRAM 1 appears on the data bus in reverse word order.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "XtIsa.h"

namespace xtsim {

class TCore;

// "0x0000abcd": addresses and words in reports.
std::string Hex32(uint32_t V);

enum TAllow : uint8_t {
  AllowRead = 1,  // loads (L32R included)
  AllowWrite = 2, // stores
  AllowFetch = 4, // instruction fetch
  AllowRw = AllowRead | AllowWrite,
};

// One access to an MMIO region, as its hook sees it.
struct TMmioAccess {
  uint32_t Addr = 0;   // the address the instruction used
  uint32_t Offset = 0; // from the region's base
  uint8_t Width = 0;   // 1, 2 or 4 bytes; naturally aligned
  bool Write = false;
  uint32_t Value = 0; // the value stored, zero-extended; a read hook sets it
  uint32_t Pc = 0;    // the instruction making the access
  uint64_t Cycle = 0; // the core's cycle count at the access
};

// A peripheral: Access handles one read or write and returns false for an access it
// does not model, which faults the core (a load or store prohibited) rather than
// letting the program go on with an invented value. A hook may call TCore::Stop and
// TCore::SkipCycles (see there).
using TMmioHook = std::function<bool(TCore& Core, TMmioAccess& A)>;

// Bytes behind one or more regions. Code fetched from them is decoded once and kept
// here, beside the bytes, so that a store through any region that maps them (an alias on
// another bus included) drops the decoded instructions it overwrites.
class TStorage {
public:
  explicit TStorage(uint32_t Size, uint8_t Fill = 0) : Bytes(Size, Fill) {}
  uint32_t Size() const { return uint32_t(Bytes.size()); }
  uint8_t* Data() { return Bytes.data(); }
  const uint8_t* Data() const { return Bytes.data(); }
  // Drops the decoded instructions that may cover bytes [Offset, Offset + Len).
  void Invalidate(uint32_t Offset, uint32_t Len);
  // The decode cache, one slot per byte offset, made on the first fetch.
  TInsn* Code();
  bool HasCode() const { return Decoded != nullptr; }

private:
  std::vector<uint8_t> Bytes;
  std::unique_ptr<TInsn[]> Decoded;
};

struct TRegion {
  std::string Name;
  uint32_t Base = 0, Size = 0;
  uint8_t Allow = 0;
  // Instruction bus: loads and stores only as aligned 32-bit words (others raise
  // LoadStoreError, as on the ESP32's IRAM, IROM and internal ROM).
  bool WordOnly = false;
  // Word order reversed against the storage (the last word of the storage first).
  bool Reversed = false;
  std::shared_ptr<TStorage> Store; // bytes; null for MMIO
  uint32_t StoreOffset = 0;
  TMmioHook Hook;
  uint32_t WaitCycles = 0; // extra core cycles per access (a slow bus)
  // Why code cannot run here, for the fault report of a jump or call into the region
  // (empty: the region's name and "is not executable").
  std::string NoFetch;

  bool Contains(uint32_t A) const { return A - Base < Size; }
  // Storage offset of address A inside the region (Reversed applied).
  uint32_t OffsetOf(uint32_t A) const {
    const uint32_t Off = A - Base;
    return StoreOffset + (Reversed ? ((Size - 4 - (Off & ~3u)) | (Off & 3u)) : Off);
  }
};

// The map: regions that do not overlap. The add functions throw std::invalid_argument
// for a region that overlaps another, is empty, wraps the address space or leaves its
// storage; such a map is a fault of the caller.
class TMemory {
public:
  TMemory();

  // New storage of Size bytes (Fill everywhere), mapped at Base.
  std::shared_ptr<TStorage> AddRam(const std::string& Name, uint32_t Base, uint32_t Size,
                                   uint8_t Allow, bool WordOnly = false, uint8_t Fill = 0);
  // Existing storage (from AddRam), mapped again: Size bytes from StoreOffset.
  void AddAlias(const std::string& Name, uint32_t Base, uint32_t Size, uint8_t Allow, bool WordOnly,
                std::shared_ptr<TStorage> Store, uint32_t StoreOffset, bool Reversed);
  void AddMmio(const std::string& Name, uint32_t Base, uint32_t Size, uint8_t Allow, TMmioHook Hook,
               uint32_t WaitCycles = 0);

  // The region holding A, or null.
  const TRegion* Find(uint32_t A) const;
  // Gives the region at Base the reason that a fault report names for a jump into it.
  void SetNoFetch(uint32_t Base, std::string Why);
  const std::vector<std::unique_ptr<TRegion>>& Regions() const { return List; }

  // Loader access to bytes, ignoring the access rules (code goes into fetch-only
  // memory this way). False when a byte of the range is not backed by storage.
  bool Write(uint32_t Addr, const void* Data, uint32_t Len);
  bool Read(uint32_t Addr, void* Data, uint32_t Len) const;
  bool Read32(uint32_t Addr, uint32_t& Value) const { return Read(Addr, &Value, 4); }

  // Bumped whenever the map changes, so that a core drops the regions it cached.
  uint32_t Generation() const { return Gen; }

private:
  void Add(std::unique_ptr<TRegion> R);
  std::vector<std::unique_ptr<TRegion>> List; // sorted by base
  uint32_t Gen = 0;
};

} // namespace xtsim
