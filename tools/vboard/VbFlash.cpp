#include "VbFlash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vboard {

bool TFlash::Load(const std::string& FileName, std::string& Error) {
  FILE* f = std::fopen(FileName.c_str(), "rb");
  if (!f) {
    if (errno == ENOENT) return true;
    Error = FileName + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> buf(Capacity() + 1);
  size_t n = std::fread(buf.data(), 1, buf.size(), f);
  std::fclose(f);
  if (n != Capacity()) {
    Error = FileName + ": a flash file must hold exactly " + std::to_string(Capacity()) + " bytes";
    return false;
  }
  buf.resize(Capacity());
  Mem.swap(buf);
  return true;
}

bool TFlash::Save(const std::string& FileName, std::string& Error) const {
  std::string tmp = FileName + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    Error = tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(Mem.data(), 1, Mem.size(), f) == Mem.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), FileName.c_str()) != 0) {
    Error = FileName + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool TFlash::EraseRange(uint32_t Offset, uint32_t Len) {
  uint64_t end = uint64_t(Offset) + Len;
  if (end > Capacity()) return false;
  if (Len == 0) return true;
  uint64_t first = Offset / SectorSize * SectorSize;
  uint64_t last = (end + SectorSize - 1) / SectorSize * SectorSize;
  std::memset(Mem.data() + first, 0xFF, size_t(last - first));
  return true;
}

void TFlash::EraseAll() {
  std::memset(Mem.data(), 0xFF, Mem.size());
}

bool TFlash::Program(uint32_t Offset, const uint8_t* p, uint32_t Len) {
  if (uint64_t(Offset) + Len > Capacity()) return false;
  for (uint32_t i = 0; i < Len; ++i)
    Mem[Offset + i] &= p[i];
  return true;
}

} // namespace vboard
