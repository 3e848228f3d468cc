#pragma once
// Helpers of the demo and the tests: comparing a flash file with the images that
// should be in it, and generating a set of demo images.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vboard {

struct TImageAt {
  uint32_t Offset;
  std::string File;
};

// Parses "0x1000:boot.bin" (the offset in hex with 0x, or decimal, below Limit: the
// usual 4 MiB part unless said). False on error.
bool ParseImageAt(const std::string& s, TImageAt& Out, uint32_t Limit = 4u << 20);

// Prints, for each image, where it is and whether the flash holds it byte for byte,
// then the flash areas that are not erased. No patch is applied: a bootloader image
// (first byte 0xE9) written by the program carries 0x02 0x20 in header bytes 2 and 3,
// so an image file with other values there differs in exactly those two bytes; that
// case is named as such. Returns 0 when every image matches, 1 on a difference, 2
// when a file cannot be read.
int CheckFlash(const std::string& FlashFile, const std::vector<TImageAt>& Images,
               std::ostream& Out);

// Writes boot.bin (24576 bytes, starts with 0xE9, header bytes 2 and 3 already
// 0x02 0x20), part.bin (3072 bytes, a partition table) and firm.bin (200000 bytes,
// starts with 0xE9) into Dir, which must exist. Returns false with Error set.
bool MakeDemoImages(const std::string& Dir, std::string& Error);

} // namespace vboard
