#pragma once
// Small helpers shared by the board's tests: requests as the host sends them and
// the answer frames the board sends back.
#include <string>
#include <vector>

#include "VbEngine.h"
#include "VbWire.h"

namespace vbtest {
using vboard::TBytes;

inline TBytes Words(std::initializer_list<uint32_t> w) {
  TBytes b;
  for (uint32_t v : w)
    vboard::PutLe32(b, v);
  return b;
}

// A framed request; data commands get the checksum of what follows their 16-byte header.
inline TBytes Frame(uint8_t Cmd, const TBytes& Payload, bool WithChecksum = false) {
  uint32_t chk = WithChecksum && Payload.size() >= 16
                     ? vboard::DataChecksum(Payload.data() + 16, Payload.size() - 16)
                     : 0;
  return vboard::SlipEncode(vboard::MakeRequest(Cmd, Payload, chk));
}

// A data block: size, sequence, 0, 0, then the bytes.
inline TBytes Block(uint32_t Seq, const TBytes& Data) {
  TBytes b = Words({uint32_t(Data.size()), Seq, 0, 0});
  b.insert(b.end(), Data.begin(), Data.end());
  return b;
}

inline TBytes SyncFrame() {
  TBytes f{0xC0, 0x00, 0x08, 0x24, 0x00, 0x78, 0x01, 0x3A, 0x00, 0x07, 0x07, 0x12, 0x20};
  f.insert(f.end(), 32, 0x55);
  f.push_back(0xC0);
  return f;
}

inline std::vector<TBytes> Frames(const TBytes& Wire) {
  vboard::TSlipDecoder d(1 << 20);
  std::vector<TBytes> out;
  for (uint8_t b : Wire)
    if (d.Put(b)) out.push_back(d.Frame());
  return out;
}

struct TAns {
  uint8_t Cmd;
  uint32_t Value;
  uint8_t Status, Err;
};
// Decodes a one-frame answer with its two status bytes; Cmd 0xEE when it is not one.
inline TAns Ans(const TBytes& f) {
  if (f.size() != 10 || f[0] != 1 || vboard::GetLe16(&f[2]) != 2) return {0xEE, 0, 0xEE, 0xEE};
  return {f[1], vboard::GetLe32(&f[4]), f[8], f[9]};
}

inline TBytes StubCode() {
  TBytes c(vboard::StubCodeLen);
  for (size_t i = 0; i < c.size(); ++i)
    c[i] = uint8_t(i * 31 + 7); // includes 0xC0 and 0xDB, so escaping is exercised
  return c;
}

// The five requests that upload the stub and jump into it.
inline TBytes StubUpload(uint32_t CodeLen = vboard::StubCodeLen, uint32_t Entry = 0x400BE598) {
  TBytes code = StubCode();
  code.resize(CodeLen);
  TBytes w;
  auto add = [&](const TBytes& f) { w.insert(w.end(), f.begin(), f.end()); };
  add(Frame(vboard::opMemBegin, Words({CodeLen, 0, 6144, vboard::StubCodeAddr})));
  add(Frame(vboard::opMemData, Block(0, code), true));
  add(Frame(vboard::opMemBegin, Words({4, 1, 6144, vboard::StubDataAddr})));
  add(Frame(vboard::opMemData, Block(0, {1, 2, 3, 4}), true));
  add(Frame(vboard::opMemEnd, Words({0, Entry})));
  return w;
}
// The five requests that upload a real stub blob (the program's format) and start it.
inline TBytes BlobUpload(const TBytes& Blob) {
  vboard::TStubBlob S;
  std::string Why;
  if (!vboard::ParseStubBlob(Blob, S, Why)) return {};
  TBytes w;
  auto add = [&](const TBytes& f) { w.insert(w.end(), f.begin(), f.end()); };
  add(Frame(vboard::opMemBegin, Words({uint32_t(S.Code.size()), 0, 6144, S.CodeAddr})));
  add(Frame(vboard::opMemData, Block(0, S.Code), true));
  add(Frame(vboard::opMemBegin, Words({uint32_t(S.Data.size()), 1, 6144, S.DataAddr})));
  add(Frame(vboard::opMemData, Block(0, S.Data), true));
  add(Frame(vboard::opMemEnd, Words({0, S.Entry})));
  return w;
}
} // namespace vbtest
