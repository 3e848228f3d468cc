#pragma once
// Packs a flasher stub into the blob the loader session reads. The standard stub:
// the fixed 3394-byte blob, a protocol-3 pickle of {text, text_start, entry, data,
// data_start} whose values sit at fixed offsets because the code is always 3288
// bytes and the data 4. The fast stub: a blob of our own, any number of segments
// of any size (layout at PackFastStub).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

constexpr size_t StubCodeSize = 3288;
constexpr size_t StubDataSize = 4;
constexpr size_t StubBlobSize = 3394;

struct TStubImage {
  std::vector<uint8_t> Code; // padded with zeros to StubCodeSize; longer is an error
  std::vector<uint8_t> Data; // padded with zeros to StubDataSize; longer is an error
  uint32_t TextStart = 0x400BE000;
  uint32_t Entry = 0x400BE598;
  uint32_t DataStart = 0x3FFDEBA8;
};

class EStubPack : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Raises EStubPack when the images do not fit or an address does not fit the
// pickle's signed 32-bit integer.
std::vector<uint8_t> PackStub(const TStubImage& Image);

// The fast stub's blob, all integers 32-bit little-endian:
//   "QVXF", the entry address, the number of segments, then for each segment its
//   load address, its length and its bytes, padded with zeros to a multiple of 4.
struct TFastSegment {
  uint32_t Address = 0;
  std::vector<uint8_t> Bytes;
};
constexpr char FastStubMagic[4] = {'Q', 'V', 'X', 'F'};
// Raises EStubPack for no segments or an empty one.
std::vector<uint8_t> PackFastStub(uint32_t Entry, const std::vector<TFastSegment>& Segments);
