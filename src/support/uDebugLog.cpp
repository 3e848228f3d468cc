#include "uDebugLog.h"

#include <algorithm>

void TDebugLog::Add(std::string Line) {
  FLines.push_back(std::move(Line));
  if (FView) FView->LineAdded(FLines.back());
}

void TDebugLog::F(std::string_view Form, std::initializer_list<TFmtArg> Args) {
  // Format first: a format that does not fit raises before anything is appended.
  Add(Format(Form, Args));
}

void TDebugLog::C() {
  FLines.clear();
  if (FView) FView->Cleared();
}

void TDebugLog::S(const std::string& s1) {
  Add(s1);
}

void TDebugLog::D(int32_t n) {
  Add(Format("%d", {n}));
}

void TDebugLog::H(int32_t n) {
  Add(Format("%.8x", {n}));
}

void TDebugLog::B(bool b) {
  Add(b ? "TRUE" : "FALSE");
}

void TDebugLog::L(char c) {
  Add(std::string(60, c));
}

void TDebugLog::TH(const std::string& txt, int32_t n) {
  Add(txt + ": " + Format("%.8x", {n}));
}

void TDebugLog::DUMP(const uint8_t* arr, size_t len, int32_t anz) {
  // -1 means the whole array. A count outside 0..len is clipped to it so that the dump
  // never reads past the array it was given.
  size_t Count = anz < 0 ? (anz == -1 ? len : 0) : std::min(static_cast<size_t>(anz), len);
  if (!arr) Count = 0;
  Add("Anzahl: " + std::to_string(Count));
  BUFF(arr, static_cast<int32_t>(std::min<size_t>(Count, INT32_MAX)));
}

void TDebugLog::BUFF(const void* buf, int32_t anz) {
  if (!buf || anz <= 0) return;
  static const char Digits[] = "0123456789ABCDEF";
  const auto* b = static_cast<const uint8_t*>(buf);
  const size_t Count = static_cast<size_t>(anz);
  for (size_t Ofs = 0; Ofs < Count; Ofs += 16) {
    std::string Line = Format("%.4x: ", {static_cast<unsigned long long>(Ofs)});
    for (size_t k = Ofs; k < Ofs + 16; ++k) {
      if (k < Count) {
        Line += ' ';
        Line += Digits[b[k] >> 4];
        Line += Digits[b[k] & 15];
      } else {
        Line += " ..";
      }
    }
    Line += "  ";
    for (size_t k = Ofs; k < Ofs + 16 && k < Count; ++k)
      Line += (b[k] >= 32 && b[k] <= 125) ? static_cast<char>(b[k]) : '.';
    Add(std::move(Line));
  }
}
