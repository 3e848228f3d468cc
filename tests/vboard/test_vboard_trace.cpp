// The board's trace writer: every line is one JSON object, whatever text it carries.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "VbTestServer.h"
#include "VbTrace.h"

using namespace vboard;
using namespace vbtest;

TEST(VboardTrace, EveryLineIsJsonWithItsTextKept) {
  const struct {
    const char* Name;
    std::string Text;
    std::string Read; // what a JSON reader finds
  } Cases[] = {
      {"plain", "the client does not read", "the client does not read"},
      {"quotes and backslashes", "say \"\\x\"", "say \"\\x\""},
      {"control characters", "a\tb\nc\x01", "a\tb\nc\x01"},
      {"UTF-8 beyond Latin-1", "Grüße ✓ \xF0\x9F\x98\x80", "Grüße ✓ \xF0\x9F\x98\x80"},
      {"bytes that are no UTF-8",
       "a\xFF"
       "b\xC3",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"},
      {"empty", "", ""},
  };
  const std::string File = TempPath("trace_writer.jsonl");
  {
    TTrace T;
    ASSERT_TRUE(T.Open(File));
    T.SetNow(1234567891);
    for (const auto& c : Cases)
      T.Write(TTraceLine("note").Str("why", c.Text).Num("n", -5).Bool("ok", true));
  }
  std::istringstream Lines(ReadText(File));
  std::string Line;
  for (const auto& c : Cases) {
    ASSERT_TRUE(std::getline(Lines, Line)) << c.Name;
    EXPECT_EQ(Line.rfind("{\"t\":1234.567,\"ev\":\"note\",\"why\":", 0), 0u) << Line;
    const nlohmann::json J = nlohmann::json::parse(Line, nullptr, false);
    ASSERT_FALSE(J.is_discarded()) << c.Name << ": " << Line;
    EXPECT_EQ(J["why"], c.Read) << c.Name;
    EXPECT_EQ(J["n"], -5);
    EXPECT_EQ(J["ok"], true);
  }
  EXPECT_FALSE(std::getline(Lines, Line)) << "one line an event";
}
