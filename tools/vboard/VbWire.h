#pragma once
// Wire helpers of the virtual board: SLIP framing and the little-endian packet
// fields. Written apart from the program's own packet layer on purpose, so that
// tests compare two independent implementations of the same wire format.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

using TBytes = std::vector<uint8_t>;

// One frame: 0xC0, the packet with 0xC0 -> DB DC and 0xDB -> DB DD, 0xC0.
TBytes SlipEncode(const uint8_t* p, size_t n);
inline TBytes SlipEncode(const TBytes& b) {
  return SlipEncode(b.data(), b.size());
}

// Byte-at-a-time frame decoder. Bytes outside a frame are dropped; a frame with a
// bad escape or longer than the limit is dropped whole and the hunt starts again.
class TSlipDecoder {
public:
  explicit TSlipDecoder(size_t MaxFrame) : Max(MaxFrame) {}
  // True when b completed a non-empty frame, which Frame() then holds.
  bool Put(uint8_t b);
  const TBytes& Frame() const { return Done; }
  uint64_t Dropped() const { return DroppedFrames; }
  void Reset();

private:
  enum class TState { Hunt, In, Esc } St = TState::Hunt;
  size_t Max;
  TBytes Buf, Done;
  uint64_t DroppedFrames = 0;
};

inline uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t GetLe16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
inline void PutLe32(TBytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(uint8_t(v >> (8 * i)));
}
inline void PutLe16(TBytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

// The loader's data checksum: 0xEF XOR-ed with every data byte.
uint32_t DataChecksum(const uint8_t* p, size_t n);

// A request packet: direction 0, opcode, size, checksum word, payload.
TBytes MakeRequest(uint8_t Cmd, const TBytes& Payload, uint32_t Chk = 0);
// An answer packet: direction 1, opcode, size, value, data.
TBytes MakeAnswer(uint8_t Cmd, uint32_t Value, const TBytes& Data);

std::string Hex(const uint8_t* p, size_t n);
inline std::string Hex(const TBytes& b) {
  return Hex(b.data(), b.size());
}

} // namespace vboard
