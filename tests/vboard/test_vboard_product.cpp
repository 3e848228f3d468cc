// The program's own serial service, RFC 2217 backend and loader session against the
// board: a full connect, identification, baud switch, stub upload and flash write,
// with what the program received compared byte for byte with the board's trace.
#include <gtest/gtest.h>

#include "VbTestServer.h"
#include "VbTestUtil.h"
#include "link/uComIo.h"
#include "protocol/uComEsp.h"
#include "protocol/uEsp.h"

using namespace vbtest;

namespace {

class TView : public IEntryView {
public:
  std::string PortText() const override { return Port; }
  std::string StatusText() const override { return Status; }
  void SetStatusText(const std::string& Text) override { Status = Text; }
  void ProcessMessages() override {}
  const TConfig& Config() const override { return Cfg; }
  std::string Port, Status;
  TConfig Cfg;
};

TEST(VboardProduct, FullUploadAndFlashThroughTheRfc2217Backend) {
  TBoardServer board;
  ASSERT_TRUE(vboard::ParseMac("30:AE:A4:07:0D:64", board.Opt.Mac));
  board.Start();
  TView view;
  view.Port = board.Url();
  TDebugLog debug;
  TComIo comIo;
  TEsp esp(comIo, debug);
  TComEsp comEsp(comIo, view, debug);
  comEsp.AttachEsp(&esp);

  ASSERT_TRUE(comEsp.DoConnect());
  comIo.ComFlush();
  uint32_t id = 0, w1 = 0, w2 = 0;
  esp.readReg(0x40001000, id);
  EXPECT_EQ(id, 0x00F01D83u);
  // The last answer the program decoded is the last one the board sent.
  auto out = board.TracedPackets("frame_out");
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), vboard::Hex(reinterpret_cast<const uint8_t*>(&esp.Response), 10));
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
  comIo.DoReset();
  comIo.DisConnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the chip leaves reset 10 ms later
  board.Stop();

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

} // namespace
