// The board in machine mode: the uploaded bytes run on the simulated ESP32. A crash halts
// the chip with its report in the trace; a watchdog left running resets it; the UART's
// rate is the one its divider gives, at either crystal; a blob file can stand in for the
// upload.
#include <gtest/gtest.h>

#include <fstream>
#include <utility>
#include <vector>

#include "VbBoardFixture.h"
#include "VbTestServer.h"
#include "VbTestUtil.h"
#include "link/uComIo.h"
#include "protocol/uComEsp.h"
#include "protocol/uEsp.h"

using namespace vbtest;

namespace {

// A machine board on a virtual clock, in its ROM loader, with its trace in a file.
struct TMachineRig {
  // The trace outlives the board, which writes to it as it goes.
  std::string TraceFile = TempPath("machine_trace.jsonl");
  vboard::TTrace Trace;
  TBoardFixture F;

  TMachineRig() {
    F.Opt.StubCore = TStubCore::Machine;
    F.Opt.Pacing = false;
    EXPECT_TRUE(Trace.Open(TraceFile));
    F.Trace = &Trace;
  }
  ~TMachineRig() { std::remove(TraceFile.c_str()); }
  void Start() {
    F.Start();
    F.Connect(150, 100);
    EXPECT_EQ(F.Board->ModeName(), "loader");
    F.Out.clear();
  }
  // Loads Code at 0x400BE000 and jumps to it, as the program's upload does.
  void Upload(const TBytes& Code) {
    F.Write(Frame(vboard::opMemBegin, Words({uint32_t(Code.size()), 1, 6144, 0x400BE000})));
    F.Write(Frame(vboard::opMemData, Block(0, Code), true));
    F.Write(Frame(vboard::opMemEnd, Words({0, 0x400BE000})));
    F.Wait(20);
  }
  std::string TraceText() { return ReadText(TraceFile); }
};

} // namespace

// An illegal instruction at the entry: the trace holds the fault report, the chip is
// halted and answers nothing from then on.
TEST(VboardMachine, ACrashHaltsTheChipWithItsReportAndItAnswersNothingMore) {
  TMachineRig R;
  R.Start();
  R.Upload({0x00, 0x00, 0x00}); // ILL
  EXPECT_EQ(R.F.Board->ModeName(), "halted");
  R.F.Out.clear();
  R.F.Write(Frame(vboard::opReadReg, Words({0x40001000})));
  R.F.Wait(100);
  EXPECT_TRUE(R.F.Out.empty()) << R.F.Text();
  const std::string T = R.TraceText();
  EXPECT_NE(T.find("\"ev\":\"stub_fault\",\"report\":\"fault: IllegalInstructionCause"),
            std::string::npos)
      << T;
  EXPECT_NE(T.find("pc 0x400be000"), std::string::npos);
}

// A loop that never stops the watchdogs: a second after the jump MWDT0 resets the chip,
// which boots its application (IO0 is high by then) and says why in its boot text. With
// the watchdogs off at the entry the same loop runs on.
TEST(VboardMachine, AWatchdogLeftRunningResetsTheChipAtItsTimeout) {
  for (const bool Dogs : {true, false}) {
    SCOPED_TRACE(Dogs ? "watchdogs running" : "watchdogs off");
    TMachineRig R;
    R.F.Opt.MachineWatchdogs = Dogs;
    R.Start();
    R.Upload({0x06, 0xFF, 0xFF}); // j .
    R.F.Wait(900);
    EXPECT_EQ(R.F.Board->ModeName(), "stub");
    R.F.Wait(300);
    EXPECT_EQ(R.F.Board->ModeName(), Dogs ? "app" : "stub");
    EXPECT_EQ(R.F.Text().find("rst:0x7 (TG0WDT_SYS_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)") !=
                  std::string::npos,
              Dogs)
        << R.F.Text();
    EXPECT_EQ(R.TraceText().find("\"why\":\"TIMG0 watchdog (MWDT0) stage 0 expired: system "
                                 "reset\"") != std::string::npos,
              Dogs);
  }
}

// A blob file that does not parse: nothing runs, and the trace says why.
TEST(VboardMachine, ABlobFileThatDoesNotLoadHaltsTheChip) {
  const std::string Bad = TempPath("bad_blob.bin");
  std::ofstream(Bad, std::ios::binary) << "not a pickle";
  TMachineRig R;
  R.F.Opt.StubBlob = Bad;
  R.Start();
  R.Upload({0x06, 0xFF, 0xFF});
  EXPECT_EQ(R.F.Board->ModeName(), "halted");
  EXPECT_NE(R.TraceText().find("is not one the stub blob uses"), std::string::npos)
      << R.TraceText();
  std::remove(Bad.c_str());
}

namespace {

class TView : public IEntryProgress {
public:
  void Attempt(int, bool) override {}
  void Try(int) override {}
};

} // namespace

// The program's own session with the committed stub on the machine board, at either
// crystal: the stub's CHANGE_BAUDRATE takes its divider from the one the loader left, and
// the board's line follows the rate the divider gives. A divider written wrongly (through
// the stub's own WRITE_REG) shows as a wrong rate: its answer comes garbled.
TEST(VboardMachine, TheUartRateIsTheOneItsDividerGivesAtEitherCrystal) {
  for (const uint32_t Mhz : {40u, 26u}) {
    SCOPED_TRACE(std::to_string(Mhz) + " MHz crystal");
    TBoardServer Board;
    Board.Opt.StubCore = TStubCore::Machine;
    Board.Opt.CpuMhz = Mhz;
    Board.Start();
    TView View;
    TEntrySettings Cfg;
    TDebugLog Debug;
    TComIo ComIo;
    TEsp Esp{ComIo, Debug};
    TComEsp ComEsp{ComIo, Debug};
    ComEsp.AttachEsp(&Esp);
    ASSERT_TRUE(ComEsp.DoConnect(Board.Url(), Cfg, View));
    ComIo.ComFlush();
    Esp.changeBaud(921600, 115200);
    Esp.ESP32_InstallStub();
    Esp.changeBaud(1500000, 921600);
    EXPECT_EQ(ComIo.CustomBaudRate(), 1500000);
    uint32_t Id = 0;
    EXPECT_NO_THROW(Esp.readReg(0x40001000, Id));
    EXPECT_EQ(Id, 0x00F01D83u);
    // 460800 from the APB clock, written over the stub's own divider.
    const uint32_t Div16 = (Mhz * 1000000u * 16 + 230400) / 460800;
    EXPECT_THROW(Esp.writeReg(0x3FF40014, (Div16 >> 4) | (Div16 & 15) << 20), Exception);
    ComIo.DoReset();
    ComIo.DisConnect();
    Board.Stop();
    const std::string T = ReadText(Board.TraceFile);
    // The rates the board's side of the line took, in order.
    const std::string Key = "\"baud\",\"side\":\"board\",\"rate\":";
    std::vector<std::pair<long, size_t>> Rates;
    for (size_t At = T.find(Key); At != std::string::npos; At = T.find(Key, At + 1))
      Rates.emplace_back(std::stol(T.substr(At + Key.size())), At);
    ASSERT_GE(Rates.size(), 3u) << T;
    EXPECT_EQ(Rates[Rates.size() - 2].first, 1500000);
    EXPECT_NEAR(Rates.back().first, 460800, 460800 / 100) << "the rate the written divider gives";
    EXPECT_NE(T.find("\"ev\":\"garbled\",\"to\":\"host\"", Rates.back().second), std::string::npos);
  }
}
