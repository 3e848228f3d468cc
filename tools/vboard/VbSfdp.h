#pragma once
// A serial flash part's discoverable parameters (SFDP, JEDEC JESD216) as the
// 0x5A read returns them: the header, one parameter header, and the basic
// flash parameter table (JESD216's 9 words), with the erase types a part
// lists. Header-only so that the stub's own host tests can build the same
// tables as the board's flash model.
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vboard {

// One erase type of the table: its size as a power of two and its opcode.
struct TSfdpErase {
  uint8_t SizeLog2, Opcode;
};

struct TSfdpLayout {
  uint32_t TableAt = 0x30;  // the basic table's address (a word boundary)
  uint8_t Signature0 = 'S'; // first signature byte ("SFDP")
  uint8_t TableId = 0x00;   // first parameter header's id: 0 for the basic table
  uint8_t TableMajor = 1;   // its major revision
  uint8_t TableWords = 9;   // its length in words
};

inline std::vector<uint8_t> SfdpImage(std::initializer_list<TSfdpErase> Erases,
                                      const TSfdpLayout& L = {}) {
  std::vector<uint8_t> b(L.TableAt + 4u * 9u, 0xFF);
  // The header: signature, revision 1.0, one parameter header (the count is
  // one less), an unused byte.
  b[0] = L.Signature0, b[1] = 'F', b[2] = 'D', b[3] = 'P';
  b[4] = 0x00, b[5] = 0x01, b[6] = 0x00, b[7] = 0xFF;
  // The parameter header: id, revision, length in words, the table's address, id MSB.
  b[8] = L.TableId, b[9] = 0x00, b[10] = L.TableMajor, b[11] = L.TableWords;
  b[12] = uint8_t(L.TableAt), b[13] = uint8_t(L.TableAt >> 8), b[14] = uint8_t(L.TableAt >> 16);
  b[15] = 0xFF;
  uint8_t* t = b.data() + L.TableAt;
  // Word 1: 4 KiB erase available everywhere (bits 1..0 = 01) with opcode 0x20 (bits 15..8).
  t[0] = 0xE5, t[1] = 0x20, t[2] = 0xF1, t[3] = 0xFF;
  // Word 2: the density in bits, minus one (32 Mbit).
  t[4] = 0xFF, t[5] = 0xFF, t[6] = 0xFF, t[7] = 0x01;
  // Words 8 and 9: four erase types; an unused one has size 0.
  uint8_t* e = t + 28;
  for (int i = 0; i < 8; ++i)
    e[i] = 0;
  int k = 0;
  for (const TSfdpErase& x : Erases) {
    if (k == 4) break;
    e[2 * k] = x.SizeLog2;
    e[2 * k + 1] = x.Opcode;
    ++k;
  }
  return b;
}

} // namespace vboard
