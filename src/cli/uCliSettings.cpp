#include "uCliSettings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "support/uFormat.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

constexpr size_t MaxFileSize = 1024 * 1024;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20)
    ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20)
    --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The text with UTF-16 narrowed to ASCII and a UTF-8 mark taken off.
std::string PlainText(const std::string& B) {
  const auto At = [&B](size_t i) { return static_cast<unsigned char>(B[i]); };
  if (B.size() >= 2 && ((At(0) == 0xFF && At(1) == 0xFE) || (At(0) == 0xFE && At(1) == 0xFF))) {
    const bool Le = At(0) == 0xFF;
    std::string T;
    for (size_t i = 2; i + 1 < B.size(); i += 2) {
      const unsigned u = Le ? At(i) | At(i + 1) << 8 : At(i) << 8 | At(i + 1);
      T.push_back(u < 0x80 ? static_cast<char>(u) : '?');
    }
    return T;
  }
  if (B.rfind("\xEF\xBB\xBF", 0) == 0) return B.substr(3);
  return B;
}

bool IsText(const std::string& T) {
  return std::none_of(T.begin(), T.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 && u != '\t' && u != '\n' && u != '\v' && u != '\f' && u != '\r' && u != 0x1A;
  });
}

std::string ConvertError(const std::string& Text, const std::string& Key) {
  return Format("'%s' ist kein gültiger Integerwert (%s)", {Text, Key});
}

} // namespace

bool CliStrToInt(const std::string& S, int32_t& Value) {
  if (S.empty()) {
    Value = 0;
    return true;
  }
  size_t i = 0;
  const size_t n = S.size();
  while (i < n && S[i] == ' ')
    ++i;
  bool Neg = false;
  if (i < n && (S[i] == '+' || S[i] == '-')) Neg = S[i++] == '-';
  bool Hex = false;
  if (i < n && (S[i] == '$' || S[i] == 'x' || S[i] == 'X')) {
    Hex = true;
    ++i;
  } else if (i + 1 < n && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
    Hex = true;
    i += 2;
  }
  if (i >= n) return false;
  const uint64_t Limit = Hex ? 0xFFFFFFFFull : (Neg ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t m = 0;
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(S[i]);
    int d = -1;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (Hex && std::isxdigit(c))
      d = std::toupper(c) - 'A' + 10;
    if (d < 0) return false;
    m = m * (Hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (m > Limit) return false;
  }
  uint32_t Bits = static_cast<uint32_t>(m);
  if (Neg) Bits = 0u - Bits;
  Value = static_cast<int32_t>(Bits);
  return true;
}

TCliSettings ParseSettings(const std::string& Bytes) {
  // The keys of CONFIG, upper-cased, with their values; the first of a name counts.
  std::vector<std::pair<std::string, std::string>> Keys;
  std::istringstream In(PlainText(Bytes));
  bool InConfig = false;
  for (std::string Raw; std::getline(In, Raw);) {
    // Lines end at CR LF or LF; a lone CR too.
    std::istringstream Parts(Raw);
    for (std::string L; std::getline(Parts, L, '\r');) {
      const std::string Line = Trim(L);
      if (Line.size() >= 2 && Line.front() == '[' && Line.back() == ']') {
        InConfig = Upper(Trim(Line.substr(1, Line.size() - 2))) == "CONFIG";
        continue;
      }
      const size_t Eq = Line.find('=');
      if (!InConfig || Line.empty() || Line[0] == ';' || Eq == std::string::npos) continue;
      const std::string Key = Upper(Trim(Line.substr(0, Eq)));
      const bool Seen =
          std::any_of(Keys.begin(), Keys.end(), [&Key](const auto& K) { return K.first == Key; });
      if (!Seen) Keys.emplace_back(Key, Trim(Line.substr(Eq + 1)));
    }
  }
  const auto Find = [&Keys](const std::string& Key) -> const std::string* {
    const std::string U = Upper(Key);
    for (const auto& K : Keys)
      if (K.first == U) return &K.second;
    return nullptr;
  };

  TCliSettings S;
  const auto Int = [&](const char* Key, uint32_t& Field, int32_t Min, int32_t Max) {
    const std::string* V = Find(Key);
    if (!V) return;
    int32_t v = 0;
    if (!CliStrToInt(*V, v) || v < Min || v > Max)
      S.Problems.push_back(ConvertError(*V, Key)); // the field keeps its default
    else
      Field = static_cast<uint32_t>(v);
  };
  const auto Bool = [&](const char* Key, bool& Field) {
    const std::string* V = Find(Key);
    if (!V) return;
    const std::string U = Upper(*V);
    int32_t v = 0;
    if (U == "TRUE" || U == "YES" || U == "Y")
      Field = true;
    else if (U == "FALSE" || U == "NO" || U == "N")
      Field = false;
    else if (CliStrToInt(*V, v))
      Field = v != 0;
    else
      S.Problems.push_back(ConvertError(*V, Key));
  };
  Int("ConnBaud", S.Config.ConnBaud, CliBaudMin, CliBaudMax);
  Int("FastBaud", S.Config.FastBaud, CliBaudMin, CliBaudMax);
  Bool("FastFirst", S.Config.FastFirst);
  Int("SlowLow", S.Config.SlowLow, 0, CliHoldMaxMs);
  Int("SlowHigh", S.Config.SlowHigh, 0, CliHoldMaxMs);
  Int("FastLow", S.Config.FastLow, 0, CliHoldMaxMs);
  Int("FastHigh", S.Config.FastHigh, 0, CliHoldMaxMs);
  Bool("DoBeep", S.Config.DoBeep);
  Bool("AutoErase", S.AutoErase);
  Bool("UseStub", S.Config.UseStub);
  if (const std::string* V = Find("ComPort")) S.ComPort = *V;
  if (const std::string* V = Find("NetPorts")) S.NetPorts = *V;
  return S;
}

bool LoadSettings(const std::string& File, bool Required, TCliSettings& S, std::string& Error) {
  S = TCliSettings();
  struct stat St {};
  if (::stat(File.c_str(), &St) != 0) {
    if (!Required) return true;
    Error = "settings file " + File + " not found";
    return false;
  }
  // A FIFO would block the read; a device or a folder holds no settings either.
  if (!S_ISREG(St.st_mode)) {
    Error = "settings file " + File + " is not a regular file";
    return false;
  }
  std::ifstream F(File, std::ios::binary);
  if (!F) {
    Error = "settings file " + File + " cannot be read";
    return false;
  }
  std::string Bytes(MaxFileSize + 1, '\0');
  F.read(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  Bytes.resize(static_cast<size_t>(F.gcount()));
  if (Bytes.size() > MaxFileSize) {
    Error = "settings file " + File + " is larger than 1 MiB";
    return false;
  }
  if (!IsText(PlainText(Bytes))) {
    Error = "settings file " + File + " is not a text file";
    return false;
  }
  S = ParseSettings(Bytes);
  return true;
}

std::string ProgramFolder() {
#ifdef _WIN32
  char Buf[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, Buf, MAX_PATH);
  std::string P(Buf, n < MAX_PATH ? n : 0);
  const size_t i = P.find_last_of("\\/");
#else
  char Buf[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", Buf, PATH_MAX);
  std::string P(Buf, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t i = P.rfind('/');
#endif
  return i == std::string::npos ? std::string() : P.substr(0, i + 1);
}
