#include "StubPack.h"

#include <string_view>

namespace {

class TWriter {
public:
  void Byte(uint8_t b) { Out.push_back(b); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i)
      Byte(uint8_t(v >> (8 * i)));
  }
  void Bytes(const std::vector<uint8_t>& b, size_t Size) {
    Out.insert(Out.end(), b.begin(), b.end());
    Out.insert(Out.end(), Size - b.size(), 0);
  }
  // BINUNICODE key followed by BINPUT of the next memo slot.
  void Key(std::string_view k) {
    Byte(0x58);
    U32(uint32_t(k.size()));
    Out.insert(Out.end(), k.begin(), k.end());
    Memo();
  }
  void Memo() {
    Byte(0x71);
    Byte(NextMemo++);
  }
  // BININT: a signed 32-bit integer.
  void Int(uint32_t v) {
    Byte(0x4A);
    U32(v);
  }
  std::vector<uint8_t> Out;

private:
  uint8_t NextMemo = 0;
};

void CheckAddress(const char* Name, uint32_t v) {
  if (v > 0x7FFFFFFFu)
    throw EStubPack(std::string(Name) + " does not fit a signed 32-bit pickle integer");
}

} // namespace

std::vector<uint8_t> PackStub(const TStubImage& Image) {
  if (Image.Code.size() > StubCodeSize)
    throw EStubPack("code image is " + std::to_string(Image.Code.size()) + " bytes, more than " +
                    std::to_string(StubCodeSize));
  if (Image.Data.size() > StubDataSize)
    throw EStubPack("data image is " + std::to_string(Image.Data.size()) + " bytes, more than " +
                    std::to_string(StubDataSize));
  CheckAddress("text_start", Image.TextStart);
  CheckAddress("entry", Image.Entry);
  CheckAddress("data_start", Image.DataStart);

  TWriter w;
  w.Byte(0x80); // PROTO 3
  w.Byte(0x03);
  w.Byte(0x7D); // EMPTY_DICT
  w.Memo();
  w.Byte(0x28); // MARK
  w.Key("text");
  w.Byte(0x42); // BINBYTES, 32-bit length
  w.U32(uint32_t(StubCodeSize));
  w.Bytes(Image.Code, StubCodeSize);
  w.Memo();
  w.Key("text_start");
  w.Int(Image.TextStart);
  w.Key("entry");
  w.Int(Image.Entry);
  w.Key("data");
  w.Byte(0x43); // SHORT_BINBYTES, 8-bit length
  w.Byte(uint8_t(StubDataSize));
  w.Bytes(Image.Data, StubDataSize);
  w.Memo();
  w.Key("data_start");
  w.Int(Image.DataStart);
  w.Byte(0x75); // SETITEMS
  w.Byte(0x2E); // STOP
  if (w.Out.size() != StubBlobSize) throw EStubPack("internal error: blob size");
  return std::move(w.Out);
}

std::vector<uint8_t> PackFastStub(uint32_t Entry, const std::vector<TFastSegment>& Segments) {
  if (Segments.empty()) throw EStubPack("a fast stub needs at least one segment");
  TWriter w;
  for (char c : FastStubMagic)
    w.Byte(uint8_t(c));
  w.U32(Entry);
  w.U32(uint32_t(Segments.size()));
  for (const TFastSegment& S : Segments) {
    if (S.Bytes.empty()) throw EStubPack("empty segment at " + std::to_string(S.Address));
    w.U32(S.Address);
    w.U32(uint32_t(S.Bytes.size()));
    w.Bytes(S.Bytes, (S.Bytes.size() + 3) / 4 * 4);
  }
  return std::move(w.Out);
}
