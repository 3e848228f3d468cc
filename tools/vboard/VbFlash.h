#pragma once
// The board's NOR flash, 4 MiB unless the board has a larger part (8 or 16 MiB).
// Erasing sets bytes to 0xFF; writing can only clear bits (new = old AND data), as on
// the real part.
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

class TFlash {
public:
  static constexpr uint32_t Size = 4u << 20;     // the usual part's, and the default
  static constexpr uint32_t MaxSize = 16u << 20; // what three address bytes reach
  static constexpr uint32_t SectorSize = 4096;
  static constexpr uint32_t BlockSize = 65536;

  // Capacity: a power of two from 64 KiB to MaxSize.
  explicit TFlash(uint32_t Capacity = Size) : Mem(Capacity, 0xFF) {}
  uint32_t Capacity() const { return uint32_t(Mem.size()); }
  // Loads FileName when it exists (it must hold exactly Capacity() bytes), else keeps
  // the erased contents. Returns false with Error set when the file is unusable.
  bool Load(const std::string& FileName, std::string& Error);
  // Writes the whole contents to FileName through a temporary file and a rename,
  // so a reader never sees half a flash. Returns false with Error set on failure.
  bool Save(const std::string& FileName, std::string& Error) const;

  // Erases every 4 KiB sector that [Offset, Offset + Len) touches. False when the
  // range leaves the flash (nothing is erased then).
  bool EraseRange(uint32_t Offset, uint32_t Len);
  void EraseAll();
  // NOR program. False when the range leaves the flash (nothing is written then).
  bool Program(uint32_t Offset, const uint8_t* p, uint32_t Len);

  const std::vector<uint8_t>& Bytes() const { return Mem; }

private:
  std::vector<uint8_t> Mem;
};

} // namespace vboard
