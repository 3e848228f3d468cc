#include "VbWire.h"

namespace vboard {

TBytes SlipEncode(const uint8_t* p, size_t n) {
  TBytes out;
  out.reserve(n + n / 16 + 2);
  out.push_back(0xC0);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == 0xC0) {
      out.push_back(0xDB);
      out.push_back(0xDC);
    } else if (p[i] == 0xDB) {
      out.push_back(0xDB);
      out.push_back(0xDD);
    } else {
      out.push_back(p[i]);
    }
  }
  out.push_back(0xC0);
  return out;
}

void TSlipDecoder::Reset() {
  St = TState::Hunt;
  Buf.clear();
}

bool TSlipDecoder::Put(uint8_t b) {
  switch (St) {
  case TState::Hunt:
    if (b == 0xC0) {
      St = TState::In;
      Buf.clear();
    }
    return false;
  case TState::In:
    if (b == 0xC0) {
      if (Buf.empty()) return false; // back-to-back delimiters: this one opens the frame
      Done.swap(Buf);
      Buf.clear();
      St = TState::Hunt;
      return true;
    }
    if (b == 0xDB) {
      St = TState::Esc;
      return false;
    }
    break;
  case TState::Esc:
    if (b == 0xDC) {
      b = 0xC0;
    } else if (b == 0xDD) {
      b = 0xDB;
    } else {
      ++DroppedFrames;
      Reset();
      return false;
    }
    St = TState::In;
    break;
  }
  if (Buf.size() >= Max) {
    ++DroppedFrames;
    Reset();
    return false;
  }
  Buf.push_back(b);
  return false;
}

uint32_t DataChecksum(const uint8_t* p, size_t n) {
  uint8_t c = 0xEF;
  for (size_t i = 0; i < n; ++i)
    c ^= p[i];
  return c;
}

TBytes MakeRequest(uint8_t Cmd, const TBytes& Payload, uint32_t Chk) {
  TBytes b{0x00, Cmd};
  PutLe16(b, uint16_t(Payload.size()));
  PutLe32(b, Chk);
  b.insert(b.end(), Payload.begin(), Payload.end());
  return b;
}

TBytes MakeAnswer(uint8_t Cmd, uint32_t Value, const TBytes& Data) {
  TBytes b{0x01, Cmd};
  PutLe16(b, uint16_t(Data.size()));
  PutLe32(b, Value);
  b.insert(b.end(), Data.begin(), Data.end());
  return b;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    s[2 * i] = d[p[i] >> 4];
    s[2 * i + 1] = d[p[i] & 15];
  }
  return s;
}

} // namespace vboard
