// The agreement script: requests every build of the stub must answer alike (the host
// build, the virtual board's, the blob on the simulated core), with the flash contents
// they start from and what the flash must hold after the two FLASH_ENDs.
#pragma once

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "StubWire.h"

#ifdef QUORVEX_STUB_BLOB
// The committed blob, resources/stub_esp32.bin.
inline TBytes ReadBlob() {
  std::ifstream f(QUORVEX_STUB_BLOB, std::ios::binary);
  return TBytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
#endif

inline uint32_t Le32(const TBytes& b, size_t At) {
  return uint32_t(b[At] | b[At + 1] << 8 | b[At + 2] << 16 | uint32_t(b[At + 3]) << 24);
}

// Answers as text, for failure messages.
inline std::string Show(const std::vector<TAnswer>& As) {
  std::ostringstream o;
  for (const TAnswer& a : As) {
    o << std::hex << "[dir " << int(a.Dir) << " cmd " << int(a.Cmd) << " size " << a.Size
      << " value " << a.Value << " data";
    for (uint8_t b : a.Data)
      o << ' ' << int(b);
    o << "] ";
  }
  return o.str();
}

// "" when each side sent exactly one answer and the two agree (the value word too where
// Value says it is defined), else both, as text.
inline std::string SameAnswer(const std::vector<TAnswer>& A, const std::vector<TAnswer>& B,
                              bool Value) {
  const bool Same = A.size() == 1 && B.size() == 1 && A[0].Dir == B[0].Dir &&
                    A[0].Cmd == B[0].Cmd && A[0].Size == B[0].Size && A[0].Data == B[0].Data &&
                    (!Value || A[0].Value == B[0].Value);
  return Same ? "" : Show(A) + " against " + Show(B);
}

struct TScriptStep {
  const char* Name;
  TBytes In;
  bool Value; // the answer's value word is defined and compared
};

struct TAgreementScript {
  TBytes Old;   // the flash before the script: an erase of more than the data covers shows
  TBytes Image; // 10000 bytes at 0x10000, in 4 KiB blocks
  TBytes Table; // a partition table: 16 KiB announced, settings follow at 0x9000
  std::vector<TScriptStep> Steps;

  // What is wrong with Flash after the step of that name ("" when nothing is).
  std::string CheckAfter(const std::string& Step, const TBytes& Flash) const {
    auto Kept = [&](size_t From, size_t To) {
      return std::equal(Old.begin() + From, Old.begin() + To, Flash.begin() + From);
    };
    auto Erased = [&](size_t From, size_t To) {
      return std::all_of(Flash.begin() + From, Flash.begin() + To,
                         [](uint8_t b) { return b == 0xFF; });
    };
    std::string Wrong;
    if (Step == "FLASH_END") {
      // The image in the sectors it covers, the rest left alone.
      if (!std::equal(Image.begin(), Image.end(), Flash.begin() + 0x10000)) Wrong += " image;";
      if (!Erased(0x10000 + Image.size(), 0x13000)) Wrong += " tail not erased;";
      if (!Kept(0, 0x10000)) Wrong += " below changed;";
      if (!Kept(0x13000, Old.size())) Wrong += " above changed;";
    }
    if (Step == "FLASH_END partition table") {
      // The bytes after the table inside the announced 16 KiB survive.
      if (!std::equal(Table.begin(), Table.end(), Flash.begin() + 0x8000)) Wrong += " table;";
      if (!Erased(0x8000 + Table.size(), 0x9000)) Wrong += " tail not erased;";
      if (!Kept(0x9000, 0x10000)) Wrong += " settings changed;";
    }
    return Wrong;
  }
};

inline TAgreementScript AgreementScript(size_t FlashSize) {
  TAgreementScript S;
  S.Old.resize(FlashSize);
  for (size_t i = 0; i < S.Old.size(); ++i)
    S.Old[i] = uint8_t((i * 13) ^ (i >> 12));
  S.Image.resize(10000);
  for (size_t i = 0; i < S.Image.size(); ++i)
    S.Image[i] = uint8_t(i * 7 + (i >> 8));
  S.Table.resize(3072);
  for (size_t i = 0; i < S.Table.size(); ++i)
    S.Table[i] = uint8_t(0xA5 ^ i);
  const TBytes& Image = S.Image;
  auto Block = [&](uint32_t Seq) {
    size_t From = Seq * 4096u, n = std::min<size_t>(4096, Image.size() - From);
    return TBytes(Image.begin() + From, Image.begin() + From + n);
  };
  TBytes BadSum = Slip(Packet(0x03, Cat(Words({4096, 1, 0, 0}), Block(1)),
                              ProgramChecksum(Cat(Words({4096, 1, 0, 0}), Block(1))) ^ 0x5A));
  S.Steps = {
      {"FLASH_BEGIN", Request(0x02, Words({12288, 3, 4096, 0x10000})), false},
      {"block 0", FlashData(0, Block(0)), false},
      {"block 1, bad checksum", BadSum, false},
      {"block 2 before block 1", FlashData(2, Block(2)), false},
      {"block 1", FlashData(1, Block(1)), false},
      {"block 2", FlashData(2, Block(2)), false},
      {"FLASH_END", Request(0x04, Words({1})), false},
      {"block after the end", FlashData(3, Block(0)), false},
      {"FLASH_BEGIN partition table", Request(0x02, Words({16384, 1, 16384, 0x8000})), false},
      {"partition table", FlashData(0, S.Table), false},
      {"FLASH_END partition table", Request(0x04, Words({1})), false},
      {"READ_REG chip id", Request(0x0A, Words({0x40001000})), true},
      {"ERASE_FLASH", Request(0xD0, {}), false},
      {"unknown command", Request(0x77, Words({1, 2})), false},
  };
  return S;
}
