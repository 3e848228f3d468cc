// The program's own serial service, RFC 2217 backend and loader session against the
// board: a full connect, identification, baud switch, stub upload and flash write,
// with what the program received compared byte for byte with the board's trace.
#include <gtest/gtest.h>

#include <algorithm>

#include "VbSession.h"
#include "VbTestUtil.h"

using namespace vbtest;

namespace {

// The runs of the stub path, on both kinds of board.
class VboardProductOnBoard : public ::testing::TestWithParam<TStubCore> {};
INSTANTIATE_TEST_SUITE_P(Boards, VboardProductOnBoard, BoardKinds(), BoardKindName);

TEST_P(VboardProductOnBoard, FullUploadAndFlashThroughTheRfc2217Backend) {
  TBoardServer board;
  board.Opt.StubCore = GetParam();
  ASSERT_TRUE(vboard::ParseMac("30:AE:A4:07:0D:64", board.Opt.Mac));
  board.Start();
  TSession s(board.Url());
  TComIo& comIo = s.comIo;
  TEsp& esp = s.esp;
  ASSERT_NO_FATAL_FAILURE(s.ConnectAndIdentify());
  // The last answer the program decoded is the last one the board sent.
  auto out = board.TracedPackets("frame_out");
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), vboard::Hex(reinterpret_cast<const uint8_t*>(&esp.Response), 10));
  uint32_t w1 = 0, w2 = 0;
  esp.readReg(0x3FF5A004, w1);
  esp.readReg(0x3FF5A008, w2);
  uint32_t m1 = 0, m2 = 0;
  vboard::MacWords(board.Opt.Mac, m1, m2);
  EXPECT_EQ(w1, m1);
  EXPECT_EQ(w2, m2);
  esp.changeBaud(921600, 115200);
  EXPECT_EQ(comIo.CustomBaudRate(), 921600);
  esp.ESP32_InstallStub();

  // An image of one full block and a short one, with bytes that need escaping.
  TBytes image(16384 + 1000);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = uint8_t(i * 13 + (i >> 8));
  esp.eraseChip();
  esp.flashStart(0x10000, uint32_t(image.size()), 16384);
  esp.flashWrite(image.data(), 16384);
  esp.flashWrite(image.data() + 16384, 1000);
  s.ResetAndLeave(board);

  // The flash holds the image, and the flash data requests in the trace carry it.
  std::string flash = ReadText(board.FlashFile);
  ASSERT_EQ(flash.size(), vboard::TFlash::Size);
  EXPECT_EQ(TBytes(flash.begin() + 0x10000, flash.begin() + 0x10000 + long(image.size())), image);
  EXPECT_EQ(uint8_t(flash[0x10000 + image.size()]), 0xFF);
  std::string data;
  for (const std::string& pkt : board.TracedPackets("frame_in"))
    if (pkt.compare(0, 4, "0003") == 0) data += pkt.substr(2 * (8 + 16));
  EXPECT_EQ(data, vboard::Hex(image));
  // Every answer frame the board sent after the stub started was accepted as sent:
  // the last one is what the program holds.
  out = board.TracedPackets("frame_out");
  EXPECT_EQ(out.back(), vboard::Hex(reinterpret_cast<const uint8_t*>(&esp.Response), 10));
  std::string trace = ReadText(board.TraceFile);
  EXPECT_NE(trace.find("\"mode\",\"mode\":\"stub\""), std::string::npos);
  EXPECT_NE(trace.find("\"baud\",\"side\":\"board\",\"rate\":921600"), std::string::npos);
  // The final reset pulse boots the application.
  EXPECT_NE(trace.rfind("\"mode\",\"mode\":\"app\""), std::string::npos);
  EXPECT_GT(trace.rfind("\"mode\",\"mode\":\"app\""), trace.rfind("\"mode\",\"mode\":\"stub\""));
}

TEST(VboardProduct, RomLoaderWritesWithoutTheStub) {
  TBoardServer board;
  // Old contents around the image, so every erase shows.
  const TBytes old(0x20000, 0x00);
  board.Flash.Program(0x8000, old.data(), uint32_t(old.size()));
  board.Start();
  TSession s(board.Url());
  ASSERT_NO_FATAL_FAILURE(s.ConnectAndIdentify());
  s.esp.changeBaud(921600, 115200);
  s.esp.romSpiAttach();
  s.esp.spiSetParams();

  // 16 KiB and a bit: driven in the stub path's 16 KiB pieces.
  TBytes image(16384 + 2500);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = uint8_t(i * 13 + (i >> 8));
  s.esp.romFlashStart(0x10000, uint32_t(image.size()));
  s.esp.romFlashWrite(image.data(), 16384);
  s.esp.romFlashWrite(image.data() + 16384, 2500);
  s.ResetAndLeave(board);

  std::string flash = ReadText(board.FlashFile);
  ASSERT_EQ(flash.size(), vboard::TFlash::Size);
  EXPECT_EQ(TBytes(flash.begin() + 0x10000, flash.begin() + 0x10000 + long(image.size())), image);
  // The padding and the rest of the image's last sector are erased; nothing past it
  // or before the image is.
  for (uint32_t a = 0x10000 + uint32_t(image.size()); a < 0x15000; ++a)
    ASSERT_EQ(uint8_t(flash[a]), 0xFF) << a;
  EXPECT_EQ(uint8_t(flash[0x15000]), 0x00);
  EXPECT_EQ(uint8_t(flash[0xFFFF]), 0x00);
  // No stub: the data went out as 1 KiB blocks, after SPI_ATTACH.
  std::vector<std::string> in = board.TracedPackets("frame_in");
  const size_t attach =
      size_t(std::find_if(in.begin(), in.end(),
                          [](const std::string& p) { return p.starts_with("000d"); }) -
             in.begin());
  ASSERT_LT(attach, in.size());
  size_t blocks = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i].compare(0, 4, "0003") == 0) {
      EXPECT_GT(i, attach);
      EXPECT_EQ(in[i].substr(4, 4), "1004"); // 1040 bytes: header and 1 KiB
      ++blocks;
    }
    EXPECT_NE(in[i].compare(0, 4, "0005"), 0) << "MEM_BEGIN sent";
  }
  EXPECT_EQ(blocks, 19u);
  std::string trace = ReadText(board.TraceFile);
  EXPECT_NE(trace.find("\"ev\":\"erase\",\"addr\":65536,\"len\":20480"), std::string::npos);
  EXPECT_EQ(trace.find("\"mode\",\"mode\":\"stub\""), std::string::npos);
}

TEST_P(VboardProductOnBoard, FailedStubUploadsThenTheRomLoaderAfterAReset) {
  // What each stub fault looks like to the program, and that the board, reset back
  // into its loader, then takes an image without the stub.
  struct {
    const char* Name;
    void (*Fault)(vboard::TBoardOptions&);
    const char* Message;
  } cases[] = {
      {"wrong greeting", [](vboard::TBoardOptions& o) { o.BadGreeting = true; },
       "Error Entry-Code"},
      {"no greeting", [](vboard::TBoardOptions& o) { o.NoGreeting = true; }, "Error ENTRY"},
      {"MEM_BEGIN refused", [](vboard::TBoardOptions& o) { o.RefuseOpcode = 0x05; }, "Error ENTRY"},
      {"MEM_END refused", [](vboard::TBoardOptions& o) { o.RefuseOpcode = 0x06; }, "Error ENTRY"},
      {"MEM_DATA unanswered", [](vboard::TBoardOptions& o) { o.DropOpcode = 0x07; },
       "Error MEM_DATA"},
  };
  const TBytes image(3000, 0x5A);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBoardServer board;
    board.Opt.StubCore = GetParam();
    c.Fault(board.Opt);
    board.Start();
    TSession s(board.Url());
    ASSERT_NO_FATAL_FAILURE(s.ConnectAndIdentify());
    s.esp.changeBaud(921600, 115200);
    std::string raised;
    try {
      s.esp.ESP32_InstallStub();
    } catch (const Exception& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, c.Message);

    ASSERT_NO_FATAL_FAILURE(s.ConnectAndIdentify());
    s.esp.changeBaud(921600, 115200);
    s.esp.romSpiAttach();
    s.esp.spiSetParams();
    s.esp.romFlashStart(0x8000, uint32_t(image.size()));
    s.esp.romFlashWrite(image.data(), uint32_t(image.size()));
    s.ResetAndLeave(board);
    std::string flash = ReadText(board.FlashFile);
    ASSERT_EQ(flash.size(), vboard::TFlash::Size);
    EXPECT_EQ(TBytes(flash.begin() + 0x8000, flash.begin() + 0x8000 + long(image.size())), image);
  }
}

} // namespace
