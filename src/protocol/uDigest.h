#pragma once
// The 64-bit digest the fast stub computes over flash regions (firmware/stub/
// stub_digest.h gives the reasoning), computed here over an image's bytes so that the
// two can be compared. Written apart from the stub's C on purpose; a test holds the two
// to the same values.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TDigest64 {
public:
  TDigest64() = default;
  void Add(std::span<const uint8_t> Bytes); // any number of bytes, in as many calls
  uint64_t Final() const;                   // the digest of everything added so far

  static uint64_t Of(std::span<const uint8_t> Bytes);
  // One digest per Unit bytes from the start, the last of what is left.
  static std::vector<uint64_t> PerUnit(std::span<const uint8_t> Bytes, size_t Unit = 4096);

private:
  void Word(uint32_t W);
  uint32_t A = 0x3C6EF373u, B = 0x6A09E667u, Len = 0;
  uint32_t Pending = 0, PendingBytes = 0; // a word not complete yet
};
