// Frames for driving the stub in tests: requests built the way the program
// builds them (checksum rule included) and answers decoded from its output.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

using TBytes = std::vector<uint8_t>;

inline TBytes Words(std::initializer_list<uint32_t> ws) {
  TBytes b;
  for (uint32_t w : ws)
    for (int i = 0; i < 4; ++i)
      b.push_back(uint8_t(w >> (8 * i)));
  return b;
}

inline TBytes Cat(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline TBytes Slip(const TBytes& Packet) {
  TBytes f{0xC0};
  for (uint8_t c : Packet) {
    if (c == 0xC0)
      f.insert(f.end(), {0xDB, 0xDC});
    else if (c == 0xDB)
      f.insert(f.end(), {0xDB, 0xDD});
    else
      f.push_back(c);
  }
  f.push_back(0xC0);
  return f;
}

// The checksum the program puts in the header: 0 up to 16 payload bytes,
// else 0xEF XOR every byte from index 16 on.
inline uint32_t ProgramChecksum(const TBytes& Payload) {
  if (Payload.size() <= 16) return 0;
  uint32_t c = 0xEF;
  for (size_t i = 16; i < Payload.size(); ++i)
    c ^= Payload[i];
  return c;
}

inline TBytes Packet(uint8_t Cmd, const TBytes& Payload, uint32_t Chk) {
  TBytes p{0x00, Cmd, uint8_t(Payload.size()), uint8_t(Payload.size() >> 8)};
  p = Cat(p, Words({Chk}));
  return Cat(p, Payload);
}

inline TBytes Request(uint8_t Cmd, const TBytes& Payload) {
  return Slip(Packet(Cmd, Payload, ProgramChecksum(Payload)));
}

inline TBytes FlashData(uint32_t Seq, const TBytes& Data) {
  return Request(0x03, Cat(Words({uint32_t(Data.size()), Seq, 0, 0}), Data));
}

struct TAnswer {
  uint8_t Dir = 0, Cmd = 0;
  uint16_t Size = 0;
  uint32_t Value = 0;
  TBytes Data;
  uint8_t Status() const { return Data.size() > 0 ? Data[0] : 0xFF; }
  uint8_t Error() const { return Data.size() > 1 ? Data[1] : 0xFF; }
};

// Decodes every frame in a byte stream; bytes between frames (keep-alives)
// are counted in Stray.
inline std::vector<TAnswer> Answers(const TBytes& Out, size_t* Stray = nullptr) {
  std::vector<TAnswer> r;
  size_t stray = 0;
  for (size_t i = 0; i < Out.size();) {
    if (Out[i] != 0xC0) {
      ++stray;
      ++i;
      continue;
    }
    TBytes f;
    size_t j = i + 1;
    for (; j < Out.size() && Out[j] != 0xC0; ++j) {
      uint8_t c = Out[j];
      if (c == 0xDB && j + 1 < Out.size()) c = Out[++j] == 0xDC ? 0xC0 : 0xDB;
      f.push_back(c);
    }
    i = j + 1;
    if (f.empty()) continue;
    TAnswer a;
    if (f.size() >= 8) {
      a.Dir = f[0];
      a.Cmd = f[1];
      a.Size = uint16_t(f[2] | f[3] << 8);
      a.Value = uint32_t(f[4] | f[5] << 8 | f[6] << 16 | uint32_t(f[7]) << 24);
      a.Data.assign(f.begin() + 8, f.end());
    } else {
      a.Data = f;
    }
    r.push_back(a);
  }
  if (Stray) *Stray = stray;
  return r;
}
