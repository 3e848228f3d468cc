#include "uFormat.h"

#include <cstddef>
#include <limits>
#include <vector>

namespace {

// Widths and precisions beyond this are refused: they can only come from a broken
// format and would otherwise make us allocate without bound.
constexpr int MaxFieldSize = 1 << 16;

[[noreturn]] void Invalid(std::string_view Form) {
  // The message of the runtime's conversion layer, in German like its other messages.
  throw EConvertError("Format '" + std::string(Form) +
                      "' ungültig oder nicht kompatibel mit Argument");
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a run of decimal digits at Pos; -1 when there is none.
int ReadNumber(std::string_view Form, size_t& Pos) {
  if (Pos >= Form.size() || !IsDigit(Form[Pos])) return -1;
  long long n = 0;
  while (Pos < Form.size() && IsDigit(Form[Pos])) {
    n = n * 10 + (Form[Pos] - '0');
    if (n > MaxFieldSize) Invalid(Form);
    ++Pos;
  }
  return static_cast<int>(n);
}

std::string Decimal(int64_t v) {
  // Built from the unsigned magnitude so that the smallest int64 converts too.
  uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + m % 10));
    m /= 10;
  } while (m != 0);
  return s;
}

std::string Hex(int64_t v) {
  // A negative value that fits 32 bits shows as its 32-bit two's complement.
  uint64_t m = (v < 0 && v >= std::numeric_limits<int32_t>::min())
                   ? static_cast<uint32_t>(static_cast<int32_t>(v))
                   : static_cast<uint64_t>(v);
  static const char Digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), Digits[m & 15]);
    m >>= 4;
  } while (m != 0);
  return s;
}

// Number of characters (code points) in UTF-8 text; widths count characters, not bytes.
size_t CharCount(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// The first Count characters of UTF-8 text.
std::string FirstChars(const std::string& s, size_t Count) {
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == Count) return s.substr(0, i);
      ++n;
    }
  }
  return s;
}

} // namespace

std::string Format(std::string_view Form, std::initializer_list<TFmtArg> Args) {
  const std::vector<const TFmtArg*> Arg = [&] {
    std::vector<const TFmtArg*> v;
    for (const TFmtArg& a : Args)
      v.push_back(&a);
    return v;
  }();
  std::string Out;
  size_t Next = 0; // index of the argument the next conversion takes
  size_t Pos = 0;
  while (Pos < Form.size()) {
    char c = Form[Pos++];
    if (c != '%') {
      Out += c;
      continue;
    }
    if (Pos >= Form.size()) Invalid(Form);
    if (Form[Pos] == '%') {
      Out += '%';
      ++Pos;
      continue;
    }
    // [index ":"]
    int Width = ReadNumber(Form, Pos);
    if (Width >= 0 && Pos < Form.size() && Form[Pos] == ':') {
      Next = static_cast<size_t>(Width);
      Width = -1;
      ++Pos;
    }
    // ["-"] [width]
    bool Left = false;
    if (Width < 0) {
      if (Pos < Form.size() && Form[Pos] == '-') {
        Left = true;
        ++Pos;
      }
      Width = ReadNumber(Form, Pos);
    }
    // ["." precision]
    int Prec = -1;
    if (Pos < Form.size() && Form[Pos] == '.') {
      ++Pos;
      Prec = ReadNumber(Form, Pos);
      if (Prec < 0) Prec = 0;
    }
    if (Pos >= Form.size()) Invalid(Form);
    char Type = Form[Pos++];
    if (Type >= 'A' && Type <= 'Z') Type = static_cast<char>(Type - 'A' + 'a');
    if (Next >= Arg.size()) Invalid(Form);
    const auto& V = Arg[Next++]->Value();

    std::string Field;
    switch (Type) {
    case 'd':
    case 'x': {
      const int64_t* n = std::get_if<int64_t>(&V);
      if (!n) Invalid(Form);
      std::string Digits = Type == 'd' ? Decimal(*n) : Hex(*n);
      if (Prec > 0 && Digits.size() < static_cast<size_t>(Prec))
        Digits.insert(0, static_cast<size_t>(Prec) - Digits.size(), '0');
      Field = (Type == 'd' && *n < 0) ? "-" + Digits : Digits;
      break;
    }
    case 's': {
      const std::string* s = std::get_if<std::string>(&V);
      if (!s) Invalid(Form);
      Field = Prec >= 0 ? FirstChars(*s, static_cast<size_t>(Prec)) : *s;
      break;
    }
    default:
      Invalid(Form);
    }
    size_t Len = CharCount(Field);
    if (Width > 0 && Len < static_cast<size_t>(Width)) {
      std::string Pad(static_cast<size_t>(Width) - Len, ' ');
      Field = Left ? Field + Pad : Pad + Field;
    }
    Out += Field;
  }
  return Out;
}

std::string TrimBlanks(std::string_view Text) {
  size_t b = 0;
  size_t e = Text.size();
  while (b < e && static_cast<unsigned char>(Text[b]) <= 0x20)
    ++b;
  while (e > b && static_cast<unsigned char>(Text[e - 1]) <= 0x20)
    --e;
  return std::string(Text.substr(b, e - b));
}
