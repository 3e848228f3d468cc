#include "VbOptions.h"

#include <cctype>

namespace vboard {

bool ParseMac(const std::string& s, std::array<uint8_t, 6>& Mac) {
  if (s.size() != 17) return false;
  std::array<uint8_t, 6> m{};
  for (int i = 0; i < 6; ++i) {
    const char* p = s.c_str() + 3 * i;
    if (!std::isxdigit(static_cast<unsigned char>(p[0])) ||
        !std::isxdigit(static_cast<unsigned char>(p[1])) || (i < 5 && p[2] != ':'))
      return false;
    m[i] = static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16));
  }
  Mac = m;
  return true;
}

uint32_t ChipIdWord(TChip c) {
  switch (c) {
  case TChip::Esp32:
    return 0x00F01D83;
  case TChip::Esp32S2:
    return 0x000007C6;
  case TChip::Unknown:
    break;
  }
  return 0x0BAD0C1D;
}

void MacWords(const std::array<uint8_t, 6>& Mac, uint32_t& W1, uint32_t& W2) {
  // Laid out as little-endian bytes b0..b7 of w1 then w2, the display order is
  // b5 b4 b3 b2 b1 b0. The eFuse word above the MAC holds a check byte on a real
  // chip; a non-zero one here makes sure a reader masks it off.
  W1 = uint32_t(Mac[5]) | uint32_t(Mac[4]) << 8 | uint32_t(Mac[3]) << 16 | uint32_t(Mac[2]) << 24;
  uint8_t crc = 0;
  for (uint8_t b : Mac)
    crc = static_cast<uint8_t>((crc << 1 | crc >> 7) ^ b);
  W2 = uint32_t(Mac[1]) | uint32_t(Mac[0]) << 8 | uint32_t(crc | 1) << 16;
}

} // namespace vboard
