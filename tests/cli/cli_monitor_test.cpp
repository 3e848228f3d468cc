// quorvex-cli monitor and flash --monitor: the board is reset into its application and
// its own output shown, as text with what is no text escaped, until Ctrl-C.
#include "CliRun.h"

#include "uCliMonitor.h"

using namespace clitest;

namespace {

// The escaping on its own: text passes, anything else shows as \xNN, and a UTF-8
// sequence cut between two reads is held until its end arrives.
TEST(CliMonitor, BytesThatAreNoTextAreEscaped) {
  const struct {
    const char* Name;
    std::vector<std::string> Reads;
    std::string Shown;
  } Cases[] = {
      {"text and line ends", {"boot: ok\r\n\tdone\n"}, "boot: ok\r\n\tdone\n"},
      {"controls", {std::string("a\0b\x1b[2Jc\x7f", 9)}, "a\\x00b\\x1B[2Jc\\x7F"},
      {"UTF-8",
       {"\xC2\xB5s \xE2\x9C\x93 \xF0\x9F\x98\x80"},
       "\xC2\xB5s \xE2\x9C\x93 \xF0\x9F\x98\x80"},
      {"a sequence across reads", {"\xE2\x9C", "\x93!"}, "\xE2\x9C\x93!"},
      {"invalid bytes", {"\xFF\xC0\x80\xED\xA0\x80z"}, "\\xFF\\xC0\\x80\\xED\\xA0\\x80z"},
      {"a lead byte without its end", {"x\xE2\x9C"}, "x\\xE2\\x9C"},
      {"C1 controls",
       {"\xC2\x9B"
        "31m"},
       "\\xC2\\x9B31m"},
      {"a lead byte then text", {"\xE2", "A"}, "\\xE2A"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TTextEscaper E;
    std::string Shown;
    for (const std::string& R : C.Reads)
      Shown += E.Feed(reinterpret_cast<const uint8_t*>(R.data()), R.size());
    Shown += E.Finish();
    EXPECT_EQ(Shown, C.Shown);
  }
}

// The virtual board's own line after its boot banner has arrived whole.
bool BootLineShown(const std::string& SoFar) {
  const size_t At = SoFar.find("application running");
  return At != std::string::npos && SoFar.find('\n', At) != std::string::npos;
}

// `monitor` against the virtual board: its boot text after the reset into its
// application, until Ctrl-C; exit status 130, the port closed.
TEST(CliMonitor, ShowsTheBootTextUntilCtrlC) {
  TBoard Bd(false);
  Bd.S.Start();
  bool Typed = false;
  const TRunResult R = RunCliOnTerminal({"monitor", "--port", Bd.S.Url()}, {},
                                        [&](int Master, const std::string& SoFar) {
                                          if (!Typed && BootLineShown(SoFar))
                                            Typed = write(Master, "\x03", 1) == 1;
                                        });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Bd.S.Stop();
  ASSERT_TRUE(Typed) << R.Out;
  EXPECT_EQ(R.Status, 130) << R.Out;
  EXPECT_NE(R.Out.find("rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\r\n"
                       "quorvex virtual board: application running, no image at 0x10000 (first "
                       "byte 0xFF)"),
            std::string::npos)
      << R.Out;
  EXPECT_NE(R.Out.find("quorvex-cli: monitor on " + Bd.S.Url() + " at 115200 bit/s"),
            std::string::npos);
  // Reset with both lines released: EN low through RTS alone, then the application.
  EXPECT_NE(Bd.Trace().find("\"mode\":\"app\""), std::string::npos);
  EXPECT_EQ(Bd.Trace().find("\"mode\":\"loader\""), std::string::npos);
  EXPECT_GT(Bd.Last("client_gone"), Bd.Last("mode")) << "the port was closed";
}

// flash --monitor: after a successful flash the new application's boot shows; a failed
// flash shows no monitor.
TEST(CliMonitor, FlashThenShowTheNewApplication) {
  TFiles F;
  // An application image header: magic, 3 segments, DIO, 4 MB, entry 0x400D1234.
  F.Firm[0] = 0xE9;
  F.Firm[1] = 3;
  F.Firm[4] = 0x34;
  F.Firm[5] = 0x12;
  F.Firm[6] = 0x0D;
  F.Firm[7] = 0x40;
  WriteFile(F.FirmFile, F.Firm);
  TBoard Bd;
  Bd.S.Start();
  bool Typed = false;
  const TRunResult R = RunCliOnTerminal(
      Join({"flash", "--monitor", "--settings", F.Ini, "--port", Bd.S.Url()}, F.Named()), {},
      [&](int Master, const std::string& SoFar) {
        if (!Typed && BootLineShown(SoFar)) Typed = write(Master, "\x03", 1) == 1;
      });
  Bd.S.Stop();
  ASSERT_TRUE(Typed) << R.Out;
  EXPECT_EQ(R.Status, 130) << R.Out;
  const size_t Summary = R.Out.find("1 of 1 board OK");
  const size_t Boot =
      R.Out.find("quorvex virtual board: application running, image at 0x10000: 3 segments, entry "
                 "0x400D1234");
  ASSERT_NE(Summary, std::string::npos) << R.Out;
  ASSERT_NE(Boot, std::string::npos) << R.Out;
  EXPECT_LT(Summary, Boot) << "the monitor follows the flash";

  TBoard Bad;
  Bad.S.Opt.FailImage = 1;
  Bad.S.Opt.FailBlock = 0;
  Bad.S.Start();
  const TRunResult Failed =
      RunCli(Join({"flash", "--monitor", "--settings", F.Ini, "--port", Bad.S.Url()}, F.Named()));
  Bad.S.Stop();
  EXPECT_EQ(Failed.Status, 1) << Failed.Err;
  EXPECT_EQ(Failed.Err.find("monitor on"), std::string::npos) << Failed.Err;
}

} // namespace
