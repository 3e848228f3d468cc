#pragma once
// A scripted in-memory byte link for the loader session: records every write and
// purge, answers each write with the next scripted reply, and returns -1 once its
// input is exhausted (a time-out without the waiting).
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/uComIo.h"

using Bytes = std::vector<uint8_t>;

class TFakeLink : public IByteLink {
public:
  std::deque<uint8_t> In;         // bytes waiting to be read
  std::deque<Bytes> Replies;      // each write moves the next one into In
  std::vector<Bytes> Writes;      // every write, whole
  std::vector<int> Timeouts;      // the limit of every read
  std::vector<std::string> Calls; // "purge" and "write" in order
  int32_t Baud = 115200;

  int ComGetSer(int TimeOut) override {
    Timeouts.push_back(TimeOut);
    if (In.empty()) return -1;
    int b = In.front();
    In.pop_front();
    return b;
  }
  void ClearBuffer(bool Input, bool Output) override {
    Calls.push_back(Input && Output ? "purge" : "purge-part");
    if (Input) In.clear();
  }
  int Write(const void* Buffer, int32_t Count) override {
    Calls.push_back("write");
    auto p = static_cast<const uint8_t*>(Buffer);
    Writes.emplace_back(p, p + Count);
    if (!Replies.empty()) {
      In.insert(In.end(), Replies.front().begin(), Replies.front().end());
      Replies.pop_front();
    }
    return Count;
  }
  int32_t CustomBaudRate() const override { return Baud; }
  void SetCustomBaudRate(int32_t Value) override { Baud = Value; }

  void Feed(const Bytes& b) { In.insert(In.end(), b.begin(), b.end()); }
};

// SLIP-frames a packet, delimiters included.
inline Bytes Slip(const Bytes& Packet) {
  Bytes f{0xC0};
  for (uint8_t b : Packet) {
    if (b == 0xC0) {
      f.push_back(0xDB);
      f.push_back(0xDC);
    } else if (b == 0xDB) {
      f.push_back(0xDB);
      f.push_back(0xDD);
    } else {
      f.push_back(b);
    }
  }
  f.push_back(0xC0);
  return f;
}

// Undoes Slip for a well-formed frame (the test's own check of what was sent).
inline Bytes Unslip(const Bytes& Frame) {
  Bytes p;
  for (size_t i = 1; i + 1 < Frame.size(); ++i) {
    if (Frame[i] == 0xDB) {
      ++i;
      p.push_back(Frame[i] == 0xDC ? 0xC0 : 0xDB);
    } else {
      p.push_back(Frame[i]);
    }
  }
  return p;
}

inline void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(uint8_t(v >> (8 * i)));
}

inline uint32_t GetLe32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// A response packet: header and a two-byte status/code data part.
inline Bytes ResponsePacket(uint8_t Command, uint32_t Value = 0, uint8_t Status = 0,
                            uint8_t Code = 0, uint8_t Direction = 1) {
  Bytes p{Direction, Command, 2, 0};
  PutLe32(p, Value);
  p.push_back(Status);
  p.push_back(Code);
  return p;
}

// A request packet as this program builds it: header, checksum and payload.
inline Bytes RequestPacket(uint8_t Command, const Bytes& Payload) {
  uint32_t Chk = 0;
  if (Payload.size() > 16) {
    Chk = 0xEF;
    for (size_t i = 16; i < Payload.size(); ++i)
      Chk ^= Payload[i];
  }
  Bytes p{0, Command, uint8_t(Payload.size()), uint8_t(Payload.size() >> 8)};
  PutLe32(p, Chk);
  p.insert(p.end(), Payload.begin(), Payload.end());
  return p;
}

inline Bytes Words(std::initializer_list<uint32_t> w) {
  Bytes b;
  for (uint32_t v : w)
    PutLe32(b, v);
  return b;
}
