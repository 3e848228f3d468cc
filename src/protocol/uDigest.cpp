#include "uDigest.h"

#include <bit>

namespace {
// Odd constants from the fractional parts of the square roots of 2, 3, 5 and 7.
constexpr uint32_t K1 = 0x6A09E667u, K2 = 0xBB67AE85u, K3 = 0x3C6EF373u, K4 = 0xA54FF53Bu;

uint32_t Mix(uint32_t x) {
  x ^= x >> 15;
  x *= K2;
  x ^= x >> 13;
  x *= K4;
  return x ^ (x >> 16);
}
} // namespace

void TDigest64::Word(uint32_t W) {
  A = std::rotl(A + W * K1, 13) * K2;
  B = std::rotl(B ^ (W * K3), 17) * K4;
}

void TDigest64::Add(std::span<const uint8_t> Bytes) {
  for (uint8_t b : Bytes) {
    Pending |= uint32_t(b) << (8 * PendingBytes);
    ++Len;
    if (++PendingBytes == 4) {
      Word(Pending);
      Pending = PendingBytes = 0;
    }
  }
}

uint64_t TDigest64::Final() const {
  TDigest64 D = *this;
  // A last partial word goes in padded with zeros; the length tells it apart.
  if (D.PendingBytes) D.Word(D.Pending);
  uint32_t a = D.A ^ Len, b = D.B + std::rotl(Len, 16);
  a = Mix(a ^ std::rotl(b, 11));
  b = Mix(b + a);
  return uint64_t(b) << 32 | a;
}

uint64_t TDigest64::Of(std::span<const uint8_t> Bytes) {
  TDigest64 D;
  D.Add(Bytes);
  return D.Final();
}

std::vector<uint64_t> TDigest64::PerUnit(std::span<const uint8_t> Bytes, size_t Unit) {
  std::vector<uint64_t> R;
  for (size_t At = 0; At < Bytes.size(); At += Unit)
    R.push_back(Of(Bytes.subspan(At, std::min(Unit, Bytes.size() - At))));
  return R;
}
