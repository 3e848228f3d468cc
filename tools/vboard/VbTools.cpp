#include "VbTools.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "VbFlash.h"

namespace vboard {

namespace {
bool ReadFile(const std::string& Name, std::vector<uint8_t>& Out) {
  std::ifstream f(Name, std::ios::binary);
  if (!f) return false;
  Out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

bool WriteFile(const std::string& Name, const std::vector<uint8_t>& Data, std::string& Error) {
  std::ofstream f(Name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(Data.data()), std::streamsize(Data.size()));
  f.close();
  if (!f) {
    Error = Name + ": cannot write";
    return false;
  }
  return true;
}

std::string Hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

// Deterministic filler, so the demo images are the same on every machine.
void Fill(std::vector<uint8_t>& b, size_t From, uint32_t Seed) {
  uint32_t x = Seed;
  for (size_t i = From; i < b.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<uint8_t>(x);
  }
}

void PartEntry(std::vector<uint8_t>& t, size_t At, uint8_t Type, uint8_t Sub, uint32_t Off,
               uint32_t Size, const char* Label) {
  uint8_t* e = t.data() + At;
  std::memset(e, 0, 32);
  e[0] = 0xAA;
  e[1] = 0x50;
  e[2] = Type;
  e[3] = Sub;
  for (int i = 0; i < 4; ++i) {
    e[4 + i] = uint8_t(Off >> (8 * i));
    e[8 + i] = uint8_t(Size >> (8 * i));
  }
  std::strncpy(reinterpret_cast<char*>(e + 12), Label, 15);
}
} // namespace

bool ParseImageAt(const std::string& s, TImageAt& Out, uint32_t Limit) {
  size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == s.size()) return false;
  try {
    size_t used = 0;
    unsigned long v = std::stoul(s.substr(0, colon), &used, 0);
    if (used != colon || v >= Limit) return false;
    Out = {uint32_t(v), s.substr(colon + 1)};
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int CheckFlash(const std::string& FlashFile, const std::vector<TImageAt>& Images,
               std::ostream& Out) {
  std::vector<uint8_t> flash;
  // A 4, 8 or 16 MiB part's contents.
  if (!ReadFile(FlashFile, flash) ||
      (flash.size() != TFlash::Size && flash.size() != 2 * TFlash::Size &&
       flash.size() != TFlash::MaxSize)) {
    Out << FlashFile << ": not a readable flash file of 4, 8 or 16 MiB\n";
    return 2;
  }
  int rc = 0;
  for (const TImageAt& im : Images) {
    std::vector<uint8_t> img;
    if (!ReadFile(im.File, img)) {
      Out << Hex8(im.Offset) << "  " << im.File << ": cannot be read\n";
      rc = 2;
      continue;
    }
    Out << Hex8(im.Offset) << "  " << im.File << "  " << img.size() << " bytes  ";
    if (uint64_t(im.Offset) + img.size() > flash.size()) {
      Out << "MISMATCH: reaches past the end of the flash\n";
      rc = std::max(rc, 1);
      continue;
    }
    size_t diffs = 0, first = 0;
    bool onlyPatch = !img.empty() && img[0] == 0xE9;
    for (size_t i = 0; i < img.size(); ++i) {
      if (flash[im.Offset + i] == img[i]) continue;
      if (diffs++ == 0) first = i;
      if (!(i == 2 && flash[im.Offset + i] == 0x02) && !(i == 3 && flash[im.Offset + i] == 0x20))
        onlyPatch = false;
    }
    if (diffs == 0) {
      Out << "match\n";
      continue;
    }
    rc = std::max(rc, 1);
    if (onlyPatch) {
      Out << "MISMATCH only in header bytes 2,3 (flash holds 02 20: the bootloader header "
             "patch)\n";
      continue;
    }
    char b[96];
    std::snprintf(b, sizeof b, "MISMATCH: %zu bytes differ, first at %s (flash %02X, image %02X)\n",
                  diffs, Hex8(uint32_t(im.Offset + first)).c_str(), flash[im.Offset + first],
                  img[first]);
    Out << b;
  }
  Out << "written areas:";
  bool any = false;
  const uint32_t Size = uint32_t(flash.size());
  for (uint32_t s = 0; s < Size;) {
    auto erased = [&](uint32_t at) {
      for (uint32_t i = 0; i < TFlash::SectorSize; ++i)
        if (flash[at + i] != 0xFF) return false;
      return true;
    };
    if (erased(s)) {
      s += TFlash::SectorSize;
      continue;
    }
    uint32_t e = s;
    while (e < Size && !erased(e))
      e += TFlash::SectorSize;
    Out << " " << Hex8(s) << "-" << Hex8(e - 1);
    any = true;
    s = e;
  }
  Out << (any ? "\n" : " none (all erased)\n");
  return rc;
}

bool MakeDemoImages(const std::string& Dir, std::string& Error) {
  std::vector<uint8_t> boot(24576);
  Fill(boot, 0, 0x1234567);
  // Image header: magic, segment count, flash mode DIO, 4 MB at 40 MHz, entry point.
  const uint8_t bootHead[] = {0xE9, 0x03, 0x02, 0x20, 0x18, 0x07, 0x08, 0x40};
  std::memcpy(boot.data(), bootHead, sizeof bootHead);

  std::vector<uint8_t> part(3072, 0xFF);
  PartEntry(part, 0, 0x01, 0x02, 0x9000, 0x6000, "nvs");
  PartEntry(part, 32, 0x01, 0x01, 0xF000, 0x1000, "phy_init");
  PartEntry(part, 64, 0x00, 0x00, 0x10000, 0x100000, "factory");

  std::vector<uint8_t> firm(200000);
  Fill(firm, 0, 0x89ABCDE);
  const uint8_t firmHead[] = {0xE9, 0x06, 0x02, 0x20, 0x30, 0x1A, 0x08, 0x40};
  std::memcpy(firm.data(), firmHead, sizeof firmHead);

  std::string d = Dir.empty() ? "." : Dir;
  return WriteFile(d + "/boot.bin", boot, Error) && WriteFile(d + "/part.bin", part, Error) &&
         WriteFile(d + "/firm.bin", firm, Error);
}

} // namespace vboard
