#include <gtest/gtest.h>

#include "support/uFormat.h"

namespace {

struct FmtCase {
  const char* Form;
  std::initializer_list<TFmtArg> Args;
  const char* Want;
};

TEST(Format, ConvertsAsDocumented) {
  const FmtCase Cases[] = {
      {"%d", {42}, "42"},
      {"%d", {-7}, "-7"},
      {"%3d", {7}, "  7"},
      {"%-3d|", {7}, "7  |"},
      {"%.3d", {-5}, "-005"},
      {"%5.3d", {5}, "  005"},
      {"%x", {255}, "FF"},
      {"%x", {-1}, "FFFFFFFF"},
      {"%x", {INT32_MIN}, "80000000"},
      {"%02x", {5}, " 5"},
      {"%.2x", {5}, "05"},
      {"%0.8x", {0x1234}, "00001234"},
      {"%.8x", {-1}, "FFFFFFFF"},
      {"%X", {171}, "AB"},
      {"%s", {"abc"}, "abc"},
      {"[%5s]", {"ab"}, "[   ab]"},
      {"[%-5s]", {"ab"}, "[ab   ]"},
      {"[%.2s]", {"abcd"}, "[ab]"},
      {"[%4s]", {"äö"}, "[  äö]"}, // widths count characters, not UTF-8 bytes
      {"100%%", {}, "100%"},
      {"%1:s %0:s %s", {"a", "b"}, "b a b"},
      {"%s=%d", {"n", 3}, "n=3"},
      {"%d", {static_cast<long long>(INT64_MIN)}, "-9223372036854775808"},
      {"Controller Error: %s", {"ESP32-S2"}, "Controller Error: ESP32-S2"},
  };
  for (const FmtCase& c : Cases)
    EXPECT_EQ(Format(c.Form, c.Args), c.Want) << c.Form;
}

TEST(Format, RejectsFormatsThatDoNotFit) {
  const FmtCase Cases[] = {
      {"%d", {}, ""},           // missing argument
      {"%d %d", {1}, ""},       // second one missing
      {"%d", {"text"}, ""},     // wrong kind
      {"%s", {5}, ""},          // wrong kind
      {"%f", {1}, ""},          // unknown type
      {"abc%", {}, ""},         // conversion cut off
      {"%5", {1}, ""},          // no type
      {"%2:d", {1, 2}, ""},     // index past the arguments
      {"%99999999d", {1}, ""},  // absurd width
      {"%.99999999d", {1}, ""}, // absurd precision
  };
  for (const FmtCase& c : Cases)
    EXPECT_THROW(Format(c.Form, c.Args), EConvertError) << c.Form;
}

TEST(Format, ErrorIsAnException) {
  try {
    Format("%q", {1});
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("%q"), std::string::npos);
  }
}

} // namespace
