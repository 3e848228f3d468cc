#include "uIniStore.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "StrNatComp.h"
#include "uFileName.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- text

// Blanks and control characters, as trimmed from both ends of every line.
bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

bool IsBlankLine(std::string_view s) {
  for (char c : s)
    if (!IsTrimmed(c)) return false;
  return true;
}

// Characters that no settings file holds; their presence means the file is something else.
bool IsBinaryChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u >= 0x20) return false;
  return !(u == '\t' || u == '\n' || u == '\v' || u == '\f' || u == '\r' || u == 0x1A);
}

// A value that would break the file's line structure if written as it stands.
std::string OneLine(std::string_view v) {
  std::string s(v);
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// Code points to UTF-8. Surrogates (from UTF-16 units that pair with nothing) are
// written as three bytes like any other code point below 0x10000, so that such a text
// goes back to UTF-16 as it came.
void AppendUtf8(std::string& Out, char32_t Cp) {
  if (Cp < 0x80) {
    Out.push_back(char(Cp));
  } else if (Cp < 0x800) {
    Out.push_back(char(0xC0 | (Cp >> 6)));
    Out.push_back(char(0x80 | (Cp & 0x3F)));
  } else if (Cp < 0x10000) {
    Out.push_back(char(0xE0 | (Cp >> 12)));
    Out.push_back(char(0x80 | ((Cp >> 6) & 0x3F)));
    Out.push_back(char(0x80 | (Cp & 0x3F)));
  } else {
    Out.push_back(char(0xF0 | (Cp >> 18)));
    Out.push_back(char(0x80 | ((Cp >> 12) & 0x3F)));
    Out.push_back(char(0x80 | ((Cp >> 6) & 0x3F)));
    Out.push_back(char(0x80 | (Cp & 0x3F)));
  }
}

// The code point at i of a text this store made (UTF-8, surrogates allowed); i moves
// past it. A byte that starts no sequence reads as itself.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto At = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = At(i);
  const size_t Len = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  if (Len == 1 || i + Len > s.size()) return char32_t(At(i++));
  char32_t Cp = b & (0x7F >> Len);
  for (size_t k = 1; k < Len; ++k)
    Cp = Cp << 6 | (At(i + k) & 0x3F);
  i += Len;
  return Cp;
}

// Whether the bytes are UTF-8 as its standard has it: no overlong forms, no
// surrogates, nothing past U+10FFFF, no sequence cut short.
bool IsStrictUtf8(std::string_view s) {
  const auto At = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  for (size_t i = 0; i < s.size();) {
    const unsigned char b = At(i);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t Len;
    unsigned char Lo = 0x80, Hi = 0xBF; // the allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      Len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      Len = 3;
      if (b == 0xE0) Lo = 0xA0;
      if (b == 0xED) Hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      Len = 4;
      if (b == 0xF0) Lo = 0x90;
      if (b == 0xF4) Hi = 0x8F;
    } else {
      return false;
    }
    if (i + Len > s.size() || At(i + 1) < Lo || At(i + 1) > Hi) return false;
    for (size_t k = 2; k < Len; ++k)
      if ((At(i + k) & 0xC0) != 0x80) return false;
    i += Len;
  }
  return true;
}

std::string FromUtf16(std::string_view Bytes, bool Le) {
  std::string Out;
  const size_t n = Bytes.size() / 2;
  const auto Unit = [&](size_t k) -> char16_t {
    const auto a = static_cast<unsigned char>(Bytes[2 * k]);
    const auto b = static_cast<unsigned char>(Bytes[2 * k + 1]);
    return char16_t(Le ? a | b << 8 : a << 8 | b);
  };
  for (size_t k = 0; k < n; ++k) {
    const char16_t u = Unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
      const char16_t v = Unit(k + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        AppendUtf8(Out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (v - 0xDC00));
        ++k;
        continue;
      }
    }
    AppendUtf8(Out, u);
  }
  return Out;
}

std::string ToUtf16(std::string_view Text, bool Le) {
  std::string Out = Le ? "\xFF\xFE" : "\xFE\xFF";
  const auto Put = [&](char16_t u) {
    const char Lo = char(u & 0xFF), Hi = char(u >> 8);
    Out.push_back(Le ? Lo : Hi);
    Out.push_back(Le ? Hi : Lo);
  };
  for (size_t i = 0; i < Text.size();) {
    const char32_t Cp = NextCodePoint(Text, i);
    if (Cp >= 0x10000) {
      Put(char16_t(0xD800 + ((Cp - 0x10000) >> 10)));
      Put(char16_t(0xDC00 + ((Cp - 0x10000) & 0x3FF)));
    } else {
      Put(char16_t(Cp));
    }
  }
  return Out;
}

#ifndef _WIN32
std::string FromLatin1(std::string_view Bytes) {
  std::string Out;
  for (char c : Bytes)
    AppendUtf8(Out, static_cast<unsigned char>(c));
  return Out;
}
#endif

#ifdef _WIN32
// The ANSI code page and back, through UTF-16.
std::string FromAnsi(std::string_view Bytes) {
  if (Bytes.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, Bytes.data(), int(Bytes.size()), nullptr, 0);
  std::wstring W(size_t(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, Bytes.data(), int(Bytes.size()), W.data(), n);
  std::string Units;
  for (wchar_t c : W) {
    Units.push_back(char(c & 0xFF));
    Units.push_back(char(c >> 8));
  }
  return FromUtf16(Units, true);
}

std::string ToAnsi(std::string_view Text) {
  const std::string Units = ToUtf16(Text, true).substr(2);
  if (Units.empty()) return {};
  std::wstring W(Units.size() / 2, L'\0');
  for (size_t k = 0; k < W.size(); ++k)
    W[k] = wchar_t(static_cast<unsigned char>(Units[2 * k]) |
                   static_cast<unsigned char>(Units[2 * k + 1]) << 8);
  const int n =
      WideCharToMultiByte(CP_ACP, 0, W.data(), int(W.size()), nullptr, 0, nullptr, nullptr);
  std::string Out(size_t(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, W.data(), int(W.size()), Out.data(), n, nullptr, nullptr);
  return Out;
}
#endif

bool SameName(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = NextCodePoint(a, i), y = NextCodePoint(b, j);
    if (x == y) continue;
    if (x >= 0x10000 || y >= 0x10000 || NatUpCase(char16_t(x)) != NatUpCase(char16_t(y)))
      return false;
  }
  return i == a.size() && j == b.size();
}

// White space in the wider sense, as a boolean's word may be set off by it.
bool IsUnicodeSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view TrimSpaces(std::string_view s) {
  size_t b = 0;
  for (size_t i = 0; i < s.size();) {
    if (!IsUnicodeSpace(NextCodePoint(s, i))) break;
    b = i;
  }
  s.remove_prefix(b);
  size_t e = 0; // the end of the last character that is no space
  for (size_t i = 0; i < s.size();)
    if (!IsUnicodeSpace(NextCodePoint(s, i))) e = i;
  return s.substr(0, e);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ---------------------------------------------------------------- files

bool ReadWhole(const fs::path& File, std::string& Data) {
  std::ifstream F(File, std::ios::binary);
  if (!F) return false;
  // One byte beyond the limit, in case the file grew since it was looked at.
  Data.assign(IniMaxFileSize + 1, '\0');
  F.read(Data.data(), std::streamsize(Data.size()));
  Data.resize(size_t(F.gcount()));
  return !F.bad();
}

// Where a write of File lands: a link is followed to the file it names.
fs::path WriteTarget(const fs::path& File) {
  std::error_code Ec;
  if (!fs::is_symlink(fs::symlink_status(File, Ec))) return File;
  const fs::path Target = fs::weakly_canonical(File, Ec);
  return Ec ? File : Target;
}

std::string TempSuffix() {
  static const char Chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device Rd;
  std::string s = ".";
  for (int i = 0; i < 6; ++i)
    s.push_back(Chars[Rd() % (sizeof Chars - 1)]);
  return s;
}

#ifdef _WIN32
bool WriteReplacing(const fs::path& Final, const std::string& Data, bool Existed) {
  (void)Existed;
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    const fs::path Temp = Final.wstring() + fs::path(TempSuffix()).wstring();
    HANDLE H = CreateFileW(Temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (H == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    DWORD Done = 0;
    const bool Ok = WriteFile(H, Data.data(), DWORD(Data.size()), &Done, nullptr) &&
                    Done == Data.size() && FlushFileBuffers(H);
    CloseHandle(H);
    if (Ok && MoveFileExW(Temp.c_str(), Final.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    DeleteFileW(Temp.c_str());
    return false;
  }
  return false;
}
#else
bool WriteReplacing(const fs::path& Final, const std::string& Data, bool Existed) {
  struct stat Old {};
  if (Existed && ::stat(Final.c_str(), &Old) != 0) return false;
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    const std::string Temp = Final.string() + TempSuffix();
    // Nobody else may read the new contents before they have the old file's permissions.
    const int Fd =
        ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, Existed ? 0600 : 0666);
    if (Fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    bool Ok = !Existed || ::fchmod(Fd, Old.st_mode & 07777) == 0;
    for (size_t Done = 0; Ok && Done < Data.size();) {
      const ssize_t n = ::write(Fd, Data.data() + Done, Data.size() - Done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        Ok = false;
      else
        Done += size_t(n);
    }
    Ok = Ok && ::fsync(Fd) == 0;
    Ok = ::close(Fd) == 0 && Ok;
    if (Ok && ::rename(Temp.c_str(), Final.c_str()) == 0) return true;
    ::unlink(Temp.c_str());
    return false;
  }
  return false;
}
#endif

} // namespace

// ---------------------------------------------------------------- values

const char* IniLoadProblemText(TIniLoadProblem Problem) {
  switch (Problem) {
  case TIniLoadProblem::None:
    break;
  case TIniLoadProblem::NotRegular:
    return "is not a regular file";
  case TIniLoadProblem::Unreadable:
    return "cannot be read";
  case TIniLoadProblem::TooLarge:
    return "is larger than 1 MiB";
  case TIniLoadProblem::NotText:
    return "is not a text file";
  }
  return "";
}

bool IniTryStrToInt(std::string_view S, int32_t& Value) {
  if (S.empty()) {
    Value = 0;
    return true;
  }
  size_t i = 0;
  const size_t n = S.size();
  while (i < n && S[i] == ' ')
    ++i;
  bool Neg = false;
  if (i < n && (S[i] == '+' || S[i] == '-')) {
    Neg = S[i] == '-';
    ++i;
  }
  bool Hex = false;
  if (i < n && (S[i] == '$' || S[i] == 'x' || S[i] == 'X')) {
    Hex = true;
    ++i;
  } else if (i + 1 < n && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
    Hex = true;
    i += 2;
  }
  if (i >= n) return false;
  // Hexadecimal spells the 32 bits; decimal must fit a signed 32-bit.
  const uint64_t Limit = Hex ? 0xFFFFFFFFull : (Neg ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t m = 0;
  for (; i < n; ++i) {
    const int d = Hex ? HexDigit(S[i]) : (S[i] >= '0' && S[i] <= '9' ? S[i] - '0' : -1);
    if (d < 0) return false;
    m = m * (Hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (m > Limit) return false;
  }
  uint32_t Bits = static_cast<uint32_t>(m);
  if (Neg) Bits = 0u - Bits;
  Value = static_cast<int32_t>(Bits);
  return true;
}

bool IniTryStrToBool(std::string_view S, bool& Value) {
  const std::string_view Word = TrimSpaces(S);
  for (const char* w : {"TRUE", "YES", "Y"})
    if (SameName(Word, w)) {
      Value = true;
      return true;
    }
  for (const char* w : {"FALSE", "NO", "N"})
    if (SameName(Word, w)) {
      Value = false;
      return true;
    }
  int32_t v = 0;
  if (!IniTryStrToInt(S, v)) return false;
  Value = v != 0;
  return true;
}

std::string ConversionMessage(std::string_view Text, std::string_view Key) {
  if (Key.empty()) return Format("'%s' ist kein gültiger Integerwert", {Text});
  return Format("'%s' ist kein gültiger Integerwert (%s)", {Text, Key});
}

bool DecodeIniText(std::string_view Bytes, std::string& Text, TIniEncoding& Encoding) {
  if (Bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    Encoding = TIniEncoding::Utf8Bom;
    Text = Bytes.substr(3);
    if (!IsStrictUtf8(Text)) return false;
  } else if (Bytes.substr(0, 2) == "\xFF\xFE" || Bytes.substr(0, 2) == "\xFE\xFF") {
    const bool Le = Bytes[0] == '\xFF';
    Encoding = Le ? TIniEncoding::Utf16LE : TIniEncoding::Utf16BE;
    // Half a UTF-16 unit at the end means the file is cut or something else altogether.
    if (Bytes.size() % 2 != 0) return false;
    Text = FromUtf16(Bytes.substr(2), Le);
  } else {
    Encoding = TIniEncoding::Local;
#ifdef _WIN32
    Text = FromAnsi(Bytes);
#else
    Text = Bytes;
    // Not UTF-8: an older file in a single-byte code page.
    if (!IsStrictUtf8(Text)) {
      Encoding = TIniEncoding::Latin1;
      Text = FromLatin1(Bytes);
    }
#endif
  }
  for (char c : Text)
    if (IsBinaryChar(c)) return false;
  return true;
}

std::string EncodeIniText(std::string_view Text, TIniEncoding Encoding) {
  switch (Encoding) {
  case TIniEncoding::Utf8Bom:
    return "\xEF\xBB\xBF" + std::string(Text);
  case TIniEncoding::Utf16LE:
  case TIniEncoding::Utf16BE:
    return ToUtf16(Text, Encoding == TIniEncoding::Utf16LE);
  case TIniEncoding::Latin1: {
    std::string Out;
    for (size_t i = 0; i < Text.size();) {
      const char32_t Cp = NextCodePoint(Text, i);
      if (Cp > 0xFF) return std::string(Text);
      Out.push_back(char(Cp));
    }
    return Out;
  }
  case TIniEncoding::Local:
    break;
  }
#ifdef _WIN32
  return ToAnsi(Text);
#else
  return std::string(Text);
#endif
}

// ---------------------------------------------------------------- the store

void TIniStore::SetFileName(const fs::path& FileName) {
  FFileName = FileName;
  FWriteName.clear();
  FLoadProblem = TIniLoadProblem::None;
  FSections.clear();
  FPreamble.clear();
  FEncoding = TIniEncoding::Local;
  if (FileName.empty()) return;
  std::error_code Ec;
  const fs::file_status St = fs::status(FileName, Ec);
  if (!fs::exists(St)) return;
  // A FIFO would block the open until someone writes to it; a device or a folder holds
  // no settings either.
  std::string Data;
  if (!fs::is_regular_file(St))
    FLoadProblem = TIniLoadProblem::NotRegular;
  else if (!ReadWhole(FileName, Data))
    FLoadProblem = TIniLoadProblem::Unreadable;
  else if (Data.size() > IniMaxFileSize)
    FLoadProblem = TIniLoadProblem::TooLarge;
  else if (!SetBytes(Data))
    FLoadProblem = TIniLoadProblem::NotText;
}

bool TIniStore::SetBytes(std::string_view Data) {
  FSections.clear();
  FPreamble.clear();
  std::string Text;
  if (!DecodeIniText(Data, Text, FEncoding)) return false;
  TSection* Cur = nullptr;
  size_t Pos = 0;
  const size_t n = Text.size();
  while (Pos < n) {
    // Lines end at CR LF, LF or a lone CR.
    size_t End = Text.find_first_of("\r\n", Pos);
    if (End == std::string::npos) End = n;
    const std::string Raw = Text.substr(Pos, End - Pos);
    const std::string Line = TrimBlanks(Raw);
    Pos = End;
    if (Pos < n && Text[Pos] == '\r') ++Pos;
    if (Pos < n && Text[Pos] == '\n') ++Pos;

    if (Line.size() >= 2 && Line.front() == '[' && Line.back() == ']') {
      FSections.push_back(
          {TrimBlanks(std::string_view(Line).substr(1, Line.size() - 2)), {}, Raw, true});
      Cur = &FSections.back();
      continue;
    }
    if (!Cur) {
      FPreamble.push_back(Raw); // before the first section: kept, never read
      continue;
    }
    const size_t Eq = Line.find('=');
    // Empty lines and comments carry no key, but stay where they are.
    if (Line.empty() || Line[0] == ';' || Eq == std::string::npos)
      Cur->Lines.push_back({false, {}, Line, Raw, true});
    else
      Cur->Lines.push_back({true, TrimBlanks(std::string_view(Line).substr(0, Eq)),
                            TrimBlanks(std::string_view(Line).substr(Eq + 1)), Raw, true});
  }
  return true;
}

std::string TIniStore::Bytes() const {
  std::string Out;
  bool EndsBlank = true; // whether the text so far ends in an empty line (or is empty)
  const auto Put = [&](std::string_view Line) {
    Out.append(Line);
    Out += "\r\n";
    EndsBlank = IsBlankLine(Line);
  };
  for (const std::string& l : FPreamble)
    Put(l);
  for (const TSection& s : FSections) {
    // A section the program adds is set off from what comes before it.
    if (!s.Read && !EndsBlank) Put({});
    Put(s.Read ? s.Raw : "[" + s.Name + "]");
    for (const TLine& l : s.Lines)
      Put(l.Read ? l.Raw : l.IsKey ? l.Key + "=" + l.Value : l.Value);
    if (!s.Read) Put({});
  }
  return EncodeIniText(Out, FEncoding);
}

const TIniStore::TSection* TIniStore::FindSection(std::string_view Name) const {
  for (const TSection& s : FSections)
    if (SameName(s.Name, Name)) return &s;
  return nullptr;
}

const TIniStore::TLine* TIniStore::FindKey(std::string_view Section, std::string_view Key) const {
  const TSection* s = FindSection(Section);
  if (!s) return nullptr;
  for (const TLine& l : s->Lines)
    if (l.IsKey && SameName(l.Key, Key)) return &l;
  return nullptr;
}

bool TIniStore::SectionExists(std::string_view Section) const {
  return FindSection(Section) != nullptr;
}

bool TIniStore::ValueExists(std::string_view Section, std::string_view Key) const {
  return FindKey(Section, Key) != nullptr;
}

std::vector<std::string> TIniStore::SectionNames() const {
  std::vector<std::string> r;
  for (const TSection& s : FSections)
    r.push_back(s.Name);
  return r;
}

std::vector<std::string> TIniStore::KeyNames(std::string_view Section) const {
  std::vector<std::string> r;
  if (const TSection* s = FindSection(Section))
    for (const TLine& l : s->Lines)
      if (l.IsKey) r.push_back(l.Key);
  return r;
}

const std::string* TIniStore::Value(std::string_view Section, std::string_view Key) const {
  const TLine* l = FindKey(Section, Key);
  return l ? &l->Value : nullptr;
}

std::string TIniStore::ReadString(std::string_view Section, std::string_view Key,
                                  const std::string& Default) const {
  const std::string* v = Value(Section, Key);
  return v ? *v : Default;
}

int32_t TIniStore::ReadInteger(std::string_view Section, std::string_view Key,
                               int32_t Default) const {
  const std::string* v = Value(Section, Key);
  if (!v) return Default;
  int32_t r = 0;
  if (!IniTryStrToInt(*v, r)) throw EConvertError(ConversionMessage(*v, Key));
  return r;
}

bool TIniStore::ReadBoolean(std::string_view Section, std::string_view Key, bool Default) const {
  const std::string* v = Value(Section, Key);
  if (!v) return Default;
  bool r = false;
  if (!IniTryStrToBool(*v, r)) throw EConvertError(ConversionMessage(*v, Key));
  return r;
}

void TIniStore::WriteString(std::string_view Section, std::string_view Key,
                            std::string_view Value) {
  TSection* s = const_cast<TSection*>(FindSection(Section));
  if (!s) {
    FSections.push_back({OneLine(Section), {}, {}, false});
    s = &FSections.back();
  }
  const std::string v = OneLine(Value);
  for (TLine& l : s->Lines)
    if (l.IsKey && SameName(l.Key, Key)) {
      // The same value written back keeps the line as the user spelled it.
      if (l.Value != v) {
        l.Value = v;
        l.Read = false;
      }
      return;
    }
  // A new key goes after the section's last line that is not empty, so that the blank
  // lines separating it from the next section stay at its end.
  auto At = s->Lines.end();
  while (At != s->Lines.begin() && !std::prev(At)->IsKey && IsBlankLine(std::prev(At)->Value))
    --At;
  s->Lines.insert(At, {true, OneLine(Key), v, {}, false});
}

void TIniStore::WriteInteger(std::string_view Section, std::string_view Key, int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniStore::WriteBoolean(std::string_view Section, std::string_view Key, bool Value) {
  WriteString(Section, Key, Value ? "TRUE" : "FALSE");
}

bool TIniStore::UpdateFile() const {
  if (FFileName.empty() || FLoadProblem != TIniLoadProblem::None) return false;
  const fs::path& Target = WriteName();
  // The user's configuration folder may not be there yet; the program's always is.
  if (!FWriteName.empty() && !MakeUserFolder(FWriteName.parent_path())) return false;
  std::error_code Ec;
  const fs::file_status St = fs::status(Target, Ec);
  const bool Exists = fs::exists(St);
  // A file without write permission is the read-only attribute of this platform.
  if (Exists && (St.permissions() & fs::perms::owner_write) == fs::perms::none) return false;
  // Something that appeared there since loading and is no file is not replaced either.
  if (Exists && !fs::is_regular_file(St)) return false;
  return WriteReplacing(WriteTarget(Target), Bytes(), Exists);
}
