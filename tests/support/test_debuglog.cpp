#include <gtest/gtest.h>

#include <numeric>

#include "support/uDebugLog.h"

namespace {

using Lines = std::vector<std::string>;

TEST(DebugLog, SimpleWriters) {
  TDebugLog Log;
  Log.S("text");
  Log.D(-1);
  Log.D(2147483647);
  Log.H(-1);
  Log.H(0x1A);
  Log.B(true);
  Log.B(false);
  Log.L('=');
  Log.TH("ADR", 4096);
  Log.F("%s: %.4x", {"Block", 10});
  EXPECT_EQ(Log.Lines(), (Lines{"text", "-1", "2147483647", "FFFFFFFF", "0000001A", "TRUE", "FALSE",
                                std::string(60, '='), "ADR: 00001000", "Block: 000A"}));
}

TEST(DebugLog, BadFormatAppendsNothing) {
  TDebugLog Log;
  Log.S("before");
  EXPECT_THROW(Log.F("%d", {"x"}), EConvertError);
  EXPECT_EQ(Log.Lines(), Lines{"before"});
}

TEST(DebugLog, ClearThenWrite) {
  TDebugLog Log;
  Log.S("a");
  Log.S("b");
  Log.C();
  EXPECT_TRUE(Log.Lines().empty());
  Log.S("c");
  EXPECT_EQ(Log.Lines(), Lines{"c"});
}

TEST(DebugLog, BuffLayout) {
  std::vector<uint8_t> Bytes(20);
  std::iota(Bytes.begin(), Bytes.end(), uint8_t{0x41});
  TDebugLog Log;
  Log.BUFF(Bytes.data(), 20);
  EXPECT_EQ(Log.Lines(),
            (Lines{"0000:  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP",
                   "0010:  51 52 53 54 .. .. .. .. .. .. .. .. .. .. .. ..  QRST"}));
}

TEST(DebugLog, DumpLayout) {
  const uint8_t Bytes[] = {0x41, 0x54, 0x0D, 0x0A, 0x7E};
  TDebugLog Log;
  Log.DUMP(Bytes, sizeof Bytes, -1);
  EXPECT_EQ(Log.Lines(),
            (Lines{"Anzahl: 5", "0000:  41 54 0D 0A 7E .. .. .. .. .. .. .. .. .. .. ..  AT..."}));
}

TEST(DebugLog, DumpLineCountsAndEdges) {
  std::vector<uint8_t> Bytes(16, 0x7D);
  Bytes.push_back(0x20);
  TDebugLog Log;
  Log.BUFF(Bytes.data(), 0);
  EXPECT_TRUE(Log.Lines().empty());
  Log.BUFF(Bytes.data(), 16);
  ASSERT_EQ(Log.Lines().size(), 1u);
  EXPECT_EQ(Log.Lines()[0].find(".."), std::string::npos);
  EXPECT_EQ(Log.Lines()[0].substr(Log.Lines()[0].size() - 18), "  }}}}}}}}}}}}}}}}");
  Log.C();
  Log.BUFF(Bytes.data(), 17);
  ASSERT_EQ(Log.Lines().size(), 2u);
  std::string Second = "0010:  20";
  for (int k = 0; k < 15; ++k)
    Second += " ..";
  EXPECT_EQ(Log.Lines()[1], Second + "   "); // two spaces, then the blank as itself

  Log.C();
  Log.DUMP(Bytes.data(), Bytes.size(), 0);
  EXPECT_EQ(Log.Lines(), Lines{"Anzahl: 0"});
  Log.C();
  Log.DUMP(nullptr, 0, -1);
  EXPECT_EQ(Log.Lines(), Lines{"Anzahl: 0"});
}

TEST(DebugLog, PrintableRange) {
  const uint8_t Bytes[] = {0x1F, 0x20, 0x7D, 0x7E, 0x7F, 0x80, 0xFF, 0x30};
  TDebugLog Log;
  Log.BUFF(Bytes, sizeof Bytes);
  const std::string& Line = Log.Lines().at(0);
  EXPECT_EQ(Line.substr(Line.size() - 8), ". }....0");
}

TEST(DebugLog, LongDumpHasFiveDigitOffsets) {
  std::vector<uint8_t> Bytes(65536 + 16, 0);
  TDebugLog Log;
  Log.BUFF(Bytes.data(), static_cast<int32_t>(Bytes.size()));
  ASSERT_EQ(Log.Lines().size(), 4097u);
  EXPECT_EQ(Log.Lines()[4095].substr(0, 7), "FFF0:  ");
  EXPECT_EQ(Log.Lines()[4096].substr(0, 8), "10000:  ");
}

TEST(DebugLog, DumpNeverReadsPastItsArray) {
  // A count above the array's length is clipped to it.
  const uint8_t Bytes[] = {1, 2, 3};
  TDebugLog Log;
  Log.DUMP(Bytes, sizeof Bytes, 100);
  EXPECT_EQ(Log.Lines(),
            (Lines{"Anzahl: 3", "0000:  01 02 03 .. .. .. .. .. .. .. .. .. .. .. .. ..  ..."}));
}

struct RecordingView : IDebugView {
  Lines Seen;
  int Clears = 0;
  void LineAdded(const std::string& Line) override { Seen.push_back(Line); }
  void Cleared() override { ++Clears; }
};

TEST(DebugLog, ViewHearsEveryChange) {
  TDebugLog Log;
  RecordingView View;
  Log.SetView(&View);
  const uint8_t b[] = {0};
  Log.DUMP(b, 1, -1);
  Log.C();
  Log.S("x");
  EXPECT_EQ(View.Seen.size(), 3u);
  EXPECT_EQ(View.Clears, 1);
  EXPECT_EQ(View.Seen.back(), "x");
}

} // namespace
