#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "support/StrNatComp.h"

namespace {

struct NatCase {
  std::u16string a, b;
  int Insensitive, Sensitive;
};

TEST(NatCompare, Table) {
  const NatCase Cases[] = {
      {u"COM2", u"COM10", -1, -1}, {u"COM10", u"COM9", 1, 1},
      {u"COM100", u"COM99", 1, 1}, {u"a12", u"a13", -1, -1},
      {u"COM01", u"COM1", -1, -1}, {u"x01", u"x001", 1, 1},
      {u"x007", u"x07", -1, -1},   {u"x0", u"x00", -1, -1},
      {u"1.5", u"1.25", -1, -1},   {u"1.05", u"1.5", -1, -1},
      {u"1.10", u"1.9", 1, 1},     {u"x1 2", u"x12", -1, -1},
      {u"COM 3", u"COM3", 0, 0},   {u" COM3", u"COM3 ", 0, 0},
      {u"com3", u"COM3", 0, 1},    {u"A", u"a", 0, -1},
      {u"ab", u"a_", -1, 1},       {u"COM1", u"COMA", -1, -1},
      {u"x12", u"x12a", -1, -1},   {u"a", u"a1", -1, -1},
      {u"", u"a", -1, -1},         {u"", u"", 0, 0},
  };
  for (const NatCase& c : Cases) {
    const std::string Name(c.a.begin(), c.a.end());
    EXPECT_EQ(NatCompare(c.a, c.b, false), c.Insensitive) << Name;
    EXPECT_EQ(NatCompare(c.a, c.b, true), c.Sensitive) << Name;
    // The order is antisymmetric.
    EXPECT_EQ(NatCompare(c.b, c.a, false), -c.Insensitive) << Name;
    EXPECT_EQ(NatCompare(c.b, c.a, true), -c.Sensitive) << Name;
  }
}

TEST(NatCompare, SpacesAndControlCharactersAreSkippedButNotZero) {
  EXPECT_EQ(NatCompare(u"\tCOM\r\n3", u"COM3", true), 0);
  EXPECT_EQ(NatCompare(std::u16string(u"COM\0"
                                      u"3",
                                      5),
                       u"COM3", true),
            -1);
}

TEST(NatCompare, UpperCasesBeyondAscii) {
  EXPECT_EQ(NatCompare(u"\u00e4x", u"\u00c4x", false), 0); // ä / Ä
  EXPECT_EQ(NatCompare(u"\u03b1", u"\u0391", false), 0);   // Greek alpha
  EXPECT_EQ(NatCompare(u"\u00e4", u"\u00c4", true), 1);
  EXPECT_EQ(NatUpCase(u'\u00df'), u'\u00df'); // ß has no single-character upper case
  EXPECT_EQ(NatUpCase(u'\xD800'), u'\xD800'); // nor has half a surrogate pair
}

TEST(NatCompare, DigitRunSteps) {
  EXPECT_EQ(CompareRight(u"12a", u"99b"), 0);
  EXPECT_EQ(CompareRight(u"9", u"10"), -1);
  EXPECT_EQ(CompareRight(u"100", u"99"), 1);
  EXPECT_EQ(CompareLeft(u"05", u"1"), -1);
  EXPECT_EQ(CompareLeft(u"0", u"00"), -1);
  EXPECT_EQ(CompareLeft(u"01x", u"01y"), 0);
}

TEST(NatSortCompare, SortsThePortList) {
  std::vector<std::u16string> List = {u"COM10",  u"COM2",  u"COM1",  u"com3",  u"COM20",
                                      u"COM100", u"COM 4", u"CNCA0", u"CNCB0", u"COM9"};
  std::vector<size_t> Idx(List.size());
  std::iota(Idx.begin(), Idx.end(), size_t{0});
  std::stable_sort(Idx.begin(), Idx.end(),
                   [&](size_t x, size_t y) { return NatSortCompare(List, x, y) < 0; });
  std::vector<std::u16string> Sorted;
  for (size_t i : Idx)
    Sorted.push_back(List[i]);
  EXPECT_EQ(Sorted,
            (std::vector<std::u16string>{u"CNCA0", u"CNCB0", u"COM1", u"COM2", u"com3", u"COM 4",
                                         u"COM9", u"COM10", u"COM20", u"COM100"}));
  EXPECT_EQ(NatSortCompare(List, 0, 1), 1);
  EXPECT_EQ(NatSortCompare(List, 3, 3), 0);
}

} // namespace
