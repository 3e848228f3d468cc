#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "uError.h"

// Raised by the formatter (a format that does not fit its arguments) and by the
// integer conversion of the settings reader.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// One argument of Format: an integer (shown by %d and %x) or a text (%s).
class TFmtArg {
public:
  TFmtArg(int v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(unsigned v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(long v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(unsigned long v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(long long v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(unsigned long long v) : V(static_cast<int64_t>(v)) {}
  TFmtArg(const char* s) : V(std::string(s)) {}
  TFmtArg(std::string s) : V(std::move(s)) {}
  TFmtArg(std::string_view s) : V(std::string(s)) {}
  const std::variant<int64_t, std::string>& Value() const { return V; }

private:
  std::variant<int64_t, std::string> V;
};

// "%" [index ":"] ["-"] [width] ["." precision] type, types d, x (upper case), s; "%%".
// Texts are UTF-8. Raises EConvertError when the format does not fit its arguments.
std::string Format(std::string_view Form, std::initializer_list<TFmtArg> Args);

// The text without the blanks and control characters (bytes up to 0x20) at either end.
std::string TrimBlanks(std::string_view Text);
