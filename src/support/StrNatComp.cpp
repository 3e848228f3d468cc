#include "StrNatComp.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <cwctype>
#include <locale.h>
#include <wctype.h>
#endif

namespace {

char16_t At(std::u16string_view s, size_t Pos) { // 1-based; 0 outside the text
  return (Pos >= 1 && Pos <= s.size()) ? s[Pos - 1] : u'\0';
}

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool IsSpace(char16_t c) {
  return c >= 1 && c <= 32;
}

std::u16string_view From(std::u16string_view s, size_t Pos) { // remainder from 1-based Pos
  return Pos - 1 < s.size() ? s.substr(Pos - 1) : std::u16string_view();
}

#ifndef _WIN32
// Latin-1 fallback for a system without the C.UTF-8 locale.
char16_t Latin1UpCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  return c;
}
#endif

} // namespace

char16_t NatUpCase(char16_t c) {
#ifdef _WIN32
  // The platform's own mapping of one character.
  wchar_t w[1] = {static_cast<wchar_t>(c)};
  CharUpperBuffW(w, 1);
  return static_cast<char16_t>(w[0]);
#else
  // The C library's Unicode case table, read through a private UTF-8 locale so that
  // the process's own locale setting does not change the order. Surrogate halves
  // have no case and stay as they are.
  static const locale_t Utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!Utf8) return Latin1UpCase(c);
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  wint_t u = towupper_l(static_cast<wint_t>(c), Utf8);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
#endif
}

int CompareRight(std::u16string_view x, std::u16string_view y) {
  for (size_t k = 1;; ++k) {
    const bool dx = IsDigit(At(x, k)), dy = IsDigit(At(y, k));
    if (!dx && !dy) return 0;
    if (!dx) return -1;
    if (!dy) return 1;
  }
}

int CompareLeft(std::u16string_view x, std::u16string_view y) {
  for (size_t k = 1;; ++k) {
    const char16_t cx = At(x, k), cy = At(y, k);
    const bool dx = IsDigit(cx), dy = IsDigit(cy);
    if (!dx && !dy) return 0;
    if (!dx) return -1;
    if (!dy) return 1;
    if (cx < cy) return -1;
    if (cx > cy) return 1;
  }
}

int NatCompare(std::u16string_view a, std::u16string_view b, bool CaseSensitive) {
  size_t i = 0, j = 0;
  for (;;) {
    char16_t ca = At(a, ++i), cb = At(b, ++j);
    while (IsSpace(ca))
      ca = At(a, ++i);
    while (IsSpace(cb))
      cb = At(b, ++j);
    if (IsDigit(ca) && IsDigit(cb)) {
      const int r = (ca == u'0' || cb == u'0') ? CompareLeft(From(a, i), From(b, j))
                                               : CompareRight(From(a, i), From(b, j));
      if (r != 0) return r;
    }
    if (ca == 0 && cb == 0) return 0;
    if (!CaseSensitive) {
      ca = NatUpCase(ca);
      cb = NatUpCase(cb);
    }
    if (ca < cb) return -1;
    if (ca > cb) return 1;
  }
}

int NatSortCompare(const std::vector<std::u16string>& List, size_t Index1, size_t Index2) {
  return NatCompare(List.at(Index1), List.at(Index2), false);
}
