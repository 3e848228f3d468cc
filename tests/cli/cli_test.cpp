// quorvex-cli run as a separate process against virtual boards served by the test:
// several boards at once, bad input refused before anything is sent, the settings it
// takes, what it erases, and its messages for images and offsets.
#include "CliRun.h"

#include <fstream>
#include <iterator>

#include "VbMachine.h"
#include "XtIsa.h"

#include "flash/uSettings.h"

using namespace clitest;

namespace {

// ---------------------------------------------------------------- several boards

// The runs of the stub path, on both kinds of board.
class CliOnBoard : public ::testing::TestWithParam<TStubCore> {};
INSTANTIATE_TEST_SUITE_P(Boards, CliOnBoard, BoardKinds(), BoardKindName);

// Three boards at once, the third failing in the firmware: the other two hold every
// image, the third reports its error, and the exit status says a board failed.
TEST_P(CliOnBoard, FlashesThreeBoardsInParallelOneFailing) {
  TFiles F;
  TBoard A(true, GetParam()), B(true, GetParam()), Bad(true, GetParam());
  Bad.S.Opt.FailImage = 3;
  Bad.S.Opt.FailBlock = 1;
  for (TBoard* Bd : {&A, &B, &Bad})
    Bd->S.Start();
  const TRunResult R =
      RunCli(Join({"flash", "--json", "--no-auto-erase", "--settings", F.Ini, "--port", A.S.Url(),
                   "--port", B.S.Url(), "--port", Bad.S.Url()},
                  F.Named()));
  for (TBoard* Bd : {&A, &B, &Bad})
    Bd->S.Stop();
  EXPECT_EQ(R.Status, 1) << R.Err;
  const json J = CliJson(R); // stdout holds the JSON document and nothing else
  EXPECT_EQ(J["command"], "flash");
  EXPECT_EQ(J["ok"], false);
  ASSERT_EQ(J["boards"].size(), 3u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const json& Bj = J["boards"][size_t(i)];
    EXPECT_EQ(Bj["port"], (i ? B : A).S.Url());
    EXPECT_EQ(Bj["ok"], true);
    EXPECT_EQ(Bj["message"], "");
    EXPECT_EQ(Bj["chip"], "ESP32");
    EXPECT_EQ(Bj["mac"], "24:0A:C4:01:A2:3C");
    const TBoard& Bd = i ? B : A;
    EXPECT_EQ(Bd.Flash(0x1000, F.Boot.size()), F.PatchedBoot());
    EXPECT_EQ(Bd.Flash(0x8000, F.Part.size()), F.Part);
    EXPECT_EQ(Bd.Flash(0x10000, F.Firm.size()), F.Firm);
    EXPECT_GT(Bd.Count("erase"), 0u);
    EXPECT_GT(Bd.Last("reset"), Bd.Last("frame_in"));
    ASSERT_EQ(Bj["images"].size(), 3u);
    for (const json& Im : Bj["images"]) {
      EXPECT_EQ(Im["result"], "written");
      EXPECT_EQ(Im["bytes_sent"], Im["size"]);
    }
    EXPECT_EQ(Bj["images"][2]["offset"], 0x10000);
    EXPECT_EQ(Bj["images"][2]["size"], F.Firm.size());
  }
  const json& Bj = J["boards"][2];
  EXPECT_EQ(Bj["port"], Bad.S.Url());
  EXPECT_EQ(Bj["ok"], false);
  EXPECT_EQ(Bj["stopped"], false);
  EXPECT_EQ(Bj["result"], "failed");
  EXPECT_EQ(Bj["message"], "Error Flash");
  // The stub programs a block while the next one arrives, so the failure of the
  // firmware's second block comes with the answer to its third: two were accepted.
  ASSERT_EQ(Bj["images"].size(), 3u);
  EXPECT_EQ(Bj["images"][1]["result"], "written");
  EXPECT_EQ(Bj["images"][2]["result"], "incomplete");
  EXPECT_EQ(Bj["images"][2]["bytes_sent"], 2 * 16384);
  EXPECT_NE(Bad.Flash(0x10000, F.Firm.size()), F.Firm);
  EXPECT_GT(Bad.Last("reset"), Bad.Last("frame_in")) << "the failed board is reset";
  // The failure is a message on stderr too, naming the board.
  EXPECT_NE(R.Err.find("quorvex-cli: " + Bad.S.Url() + ": Error Flash\n"), std::string::npos)
      << R.Err;
  // No chip erase was asked for.
  for (TBoard* Bd : {&A, &B, &Bad})
    EXPECT_EQ(Bd->Trace().find("\"len\":4194304"), std::string::npos);
}

#ifdef QUORVEX_STUB_VARIANTS
// The blob with the entry's call into the C code turned into a call into ROM: the literal
// that loads the stack pointer now holds a ROM address, and CALL0 stub_main became
// CALLX0 a1. Found by decoding the entry, so a rebuilt blob is patched the same way.
std::string BlobCallingRom() {
  std::ifstream In(QUORVEX_STUB_BLOB, std::ios::binary);
  const TBytes B((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  vboard::TStubBlob S;
  std::string Why;
  if (!vboard::ParseStubBlob(B, S, Why)) return "";
  TBytes Out = B;
  const size_t CodeAt = 22; // the code bytes' place in the blob
  bool Literal = false, Call = false;
  for (uint32_t Pc = S.Entry; Pc < S.Entry + 32 && !Call;) {
    const uint32_t Off = Pc - S.CodeAddr;
    const uint32_t Raw =
        uint32_t(S.Code[Off]) | uint32_t(S.Code[Off + 1]) << 8 | uint32_t(S.Code[Off + 2]) << 16;
    const xtsim::TInsn I = xtsim::Decode(Raw, Pc);
    if (I.Op == xtsim::TOp::L32r && I.T == 1) {
      const uint32_t Rom = 0x40008000, At = uint32_t(CodeAt + I.Imm - S.CodeAddr);
      for (int k = 0; k < 4; ++k)
        Out[At + size_t(k)] = uint8_t(Rom >> (8 * k));
      Literal = true;
    } else if (I.Op == xtsim::TOp::Call0 && Literal) {
      // CALLX0 a1: op0 0, t 12, s 1 (Xtensa ISA manual, CALLX0).
      Out[CodeAt + Off] = 0xC0;
      Out[CodeAt + Off + 1] = 0x01;
      Out[CodeAt + Off + 2] = 0x00;
      Call = true;
    }
    Pc += I.Len ? I.Len : 1;
  }
  if (!Call) return "";
  const std::string File = TempPath("stub_rom_call.bin");
  std::ofstream(File, std::ios::binary)
      .write(reinterpret_cast<const char*>(Out.data()), std::streamsize(Out.size()));
  return File;
}

// Stubs with the faults a real board would show, on the machine-code board: each run
// ends with the board's fault report (or watchdog reset) naming the cause, and the
// program's run with an error, never a hang and never OK. The board's ROM loader
// refuses FLASH_BEGIN, so the program's fallback to it after a stub that never greets
// cannot turn the run into a success.
TEST(Cli, BrokenStubsOnTheMachineBoardEndWithTheirFaultAndTheRunFails) {
  const std::string V = QUORVEX_STUB_VARIANTS;
  const struct {
    const char* Name;
    std::string Blob, Elf;
    const char* Event; // the trace event that carries the cause
    const char* Cause;
  } Cases[] = {
      {"the watchdogs' key misread", V + "/stub_wrong_wdt_key.bin", V + "/stub_wrong_wdt_key.elf",
       "chip_reset", "TIMG0 watchdog (MWDT0) stage 0 expired: system reset"},
      {"a UART register at the wrong address", V + "/stub_wrong_uart_reg.bin",
       V + "/stub_wrong_uart_reg.elf", "stub_fault", "UART0: register 0x64 is not modelled"},
      {"an SPI command before the previous one finished", V + "/stub_spi_no_wait.bin",
       V + "/stub_spi_no_wait.elf", "stub_fault", "before the previous one finished"},
      {"the stack growing into the data word", V + "/stub_stack_on_data.bin",
       V + "/stub_stack_on_data.elf", "stub_fault", "has grown into the loaded data at 0x3ffdeba8"},
      {"a call into ROM", BlobCallingRom(), "", "stub_fault",
       "a call into the ROM, whose code is not modelled"},
  };
  TFiles F;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    ASSERT_FALSE(C.Blob.empty()) << "the blob could not be patched";
    TBoard Bd(true, TStubCore::Machine);
    Bd.S.Opt.StubBlob = C.Blob;
    Bd.S.Opt.StubElf = C.Elf;
    Bd.S.Opt.RefuseOpcode = 0x02;
    Bd.S.Opt.TimeScale = 0.2; // the chip erase outlasts the watchdogs' second
    Bd.S.Start();
    const auto T0 = std::chrono::steady_clock::now();
    const TRunResult R = RunCli(Join(
        {"flash", "--json", "--auto-erase", "--settings", F.Ini, "--port", Bd.S.Url()}, F.Named()));
    Bd.S.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - T0, std::chrono::seconds(60));
    EXPECT_EQ(R.Status, 1) << R.Out << R.Err;
    const json J = json::parse(R.Out);
    EXPECT_EQ(J["ok"], false);
    EXPECT_NE(J["boards"][0]["message"], "");
    const std::string T = Bd.Trace();
    const size_t At = T.find("\"ev\":\"" + std::string(C.Event) + "\"");
    ASSERT_NE(At, std::string::npos) << T.substr(T.size() > 4000 ? T.size() - 4000 : 0);
    const std::string Line = T.substr(At, T.find('\n', At) - At);
    EXPECT_NE(Line.find(C.Cause), std::string::npos) << Line;
  }
}
#endif

#ifdef QUORVEX_ARTEFACTS
// The machine-code board's MMIO trace of an Update of the standard set (bootloader 26000
// bytes, partition table 3072, firmware 1 MiB) is kept in the build tree for anyone to
// compare with the TRM; here its key points: the watchdogs unlocked, disabled and locked
// again and the flash pads on SPI1 before the first SPI command, the SPI clock set
// first; the SFDP read with its dummy phase; the chip erase; page programs from the
// first image's sector on; the UART's TX FIFO written through AHB and read through DPORT.
TEST(Cli, MachineBoardKeepsTheMmioTraceOfAStandardSetUpdate) {
  const std::string Dir = QUORVEX_ARTEFACTS, Trace = Dir + "/mmio-trace-standard-update.txt";
  mkdir(Dir.c_str(), 0755);
  TFiles F(1 << 20);
  F.Boot = RandomBytes(26000, 21);
  F.Boot[0] = 0xE9;
  WriteFile(F.BootFile, F.Boot);
  TBoard Bd(true, TStubCore::Machine);
  Bd.S.Opt.MmioTrace = Trace;
  Bd.S.Start();
  const TRunResult R = RunCli(Join(
      {"flash", "--auto-erase", "--baud", "2000000", "--settings", F.Ini, "--port", Bd.S.Url()},
      F.Named()));
  Bd.S.Stop();
  ASSERT_EQ(R.Status, 0) << R.Out << R.Err;
  EXPECT_EQ(Bd.Flash(0x1000, F.Boot.size()), F.PatchedBoot());
  EXPECT_EQ(Bd.Flash(0x8000, F.Part.size()), F.Part);
  EXPECT_EQ(Bd.Flash(0x10000, F.Firm.size()), F.Firm);

  struct TAccess {
    bool Write;
    uint32_t Addr, Value;
  };
  std::vector<TAccess> A;
  std::string Text = ReadText(Trace), Data;
  std::istringstream In(Text);
  for (std::string L; std::getline(In, L);) {
    double T = 0;
    unsigned Pc = 0, Width = 0, Addr = 0, Value = 0;
    char Rw = 0;
    unsigned long long More = 0;
    if (std::sscanf(L.c_str(), "%lf %x %c%u %x %x", &T, &Pc, &Rw, &Width, &Addr, &Value) == 6)
      A.push_back({Rw == 'W', Addr, Value});
    else if (std::sscanf(L.c_str(), " ... %llu more alike, the last %x", &More, &Value) == 2 &&
             !A.empty())
      A.push_back({A.back().Write, A.back().Addr, Value}); // the run's last access
    else if (L.find("(data:") != std::string::npos)
      Data += L + "\n";
  }
  ASSERT_GT(A.size(), 100u);
  auto First = [&](bool Write, uint32_t Addr, std::function<bool(uint32_t)> Test = nullptr) {
    for (size_t i = 0; i < A.size(); ++i)
      if (A[i].Write == Write && A[i].Addr == Addr && (!Test || Test(A[i].Value))) return i;
    return A.size();
  };
  const size_t FirstCommand = First(true, 0x3FF42000);
  ASSERT_LT(FirstCommand, A.size());
  for (uint32_t Base : {0x3FF5F000u, 0x3FF60000u}) {
    SCOPED_TRACE(Base);
    const size_t Key = First(true, Base + 0x64, [](uint32_t V) { return V == 0x50D83AA1; });
    const size_t Off = First(true, Base + 0x48, [](uint32_t V) { return V == 0; });
    EXPECT_LT(Key, Off);
    EXPECT_LT(Off, FirstCommand);
  }
  const size_t RtcKey = First(true, 0x3FF480A4, [](uint32_t V) { return V == 0x50D83AA1; });
  EXPECT_LT(RtcKey, First(true, 0x3FF4808C, [](uint32_t V) { return V == 0; }));
  EXPECT_LT(First(true, 0x3FF4808C), FirstCommand);
  for (uint32_t Pad = 0x3FF49054; Pad <= 0x3FF49068; Pad += 4) {
    SCOPED_TRACE(Pad);
    EXPECT_LT(First(true, Pad, [](uint32_t V) { return ((V >> 12) & 7) == 1; }), FirstCommand);
  }
  EXPECT_LT(First(true, 0x3FF42018), FirstCommand);
  const size_t Sfdp = First(true, 0x3FF42024, [](uint32_t V) { return V == 0x7000005A; });
  ASSERT_LT(Sfdp, A.size());
  size_t User = Sfdp;
  while (User < A.size() && !(A[User].Write && A[User].Addr == 0x3FF4201C))
    ++User;
  ASSERT_LT(User, A.size());
  EXPECT_TRUE((A[User].Value >> 29) & 1) << "the SFDP read without its dummy phase";
  EXPECT_LT(First(true, 0x3FF42020, [](uint32_t V) { return (V & 0xFF) == 7; }), A.size());
  EXPECT_LT(First(true, 0x3FF42024, [](uint32_t V) { return V == 0x700000C7; }), A.size());
  EXPECT_LT(First(true, 0x3FF42024, [](uint32_t V) { return V == 0x70000002; }), A.size());
  for (uint32_t At : {0x1000u, 0x8000u, 0x10000u, 0x10000u + (1u << 20) - 64}) {
    SCOPED_TRACE(At);
    EXPECT_LT(First(true, 0x3FF42004, [At](uint32_t V) { return V == At << 8; }), A.size());
  }
  EXPECT_NE(Data.find("UART0 FIFO writes at 0x60000000"), std::string::npos) << Data;
  EXPECT_NE(Data.find("UART0 FIFO reads at 0x3ff40000"), std::string::npos);
  EXPECT_EQ(Data.find("UART0 FIFO writes at 0x3ff40000"), std::string::npos);
  EXPECT_EQ(Data.find("UART0 FIFO reads at 0x60000000"), std::string::npos);
}
#endif

// --no-stub, or UseStub=FALSE in the settings file: the board is written through the ROM
// loader's own commands from the start; no stub is ever uploaded.
TEST(Cli, WithoutTheStubTheRomLoaderWritesTheImages) {
  const struct {
    const char* Name;
    std::vector<std::string> Flags;
    const char* Ini;
  } Cases[] = {{"--no-stub", {"--no-stub"}, ""}, {"UseStub=FALSE", {}, "UseStub=FALSE\r\n"}};
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TFiles F;
    F.SetIni(c.Ini);
    TBoard Bd;
    Bd.S.Start();
    const TRunResult R = RunCli(
        Join(Join({"flash", "--json", "--no-auto-erase", "--settings", F.Ini, "--port", Bd.S.Url()},
                  c.Flags),
             F.Named()));
    Bd.S.Stop();
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(CliJson(R)["ok"], true) << R.Out;
    EXPECT_EQ(Bd.Flash(0x1000, F.Boot.size()), F.PatchedBoot());
    EXPECT_EQ(Bd.Flash(0x8000, F.Part.size()), F.Part);
    EXPECT_EQ(Bd.Flash(0x10000, F.Firm.size()), F.Firm);
    size_t MemBegin = 0, SpiAttach = 0, Data = 0;
    for (const std::string& P : Bd.S.TracedPackets("frame_in")) {
      const std::string Op = P.substr(2, 2);
      MemBegin += Op == "05";
      SpiAttach += Op == "0D" || Op == "0d";
      if (Op == "03") {
        ++Data;
        EXPECT_EQ(P.size(), size_t(2 * (8 + 16 + 1024))) << "ROM blocks are 1 KiB";
      }
    }
    EXPECT_EQ(MemBegin, 0u) << "no stub upload";
    EXPECT_EQ(SpiAttach, 1u);
    // 16385 + 3072 + 65636 bytes in whole 1 KiB blocks, per image.
    EXPECT_EQ(Data, 17u + 3u + 65u);
  }
}

// Without --json the summary says which boards failed, on a line each.
TEST(Cli, PlainOutputEndsWithASummary) {
  TFiles F;
  TBoard A, Bad;
  Bad.S.Opt.Chip = vboard::TChip::Esp32S2;
  A.S.Start();
  Bad.S.Start();
  const TRunResult R =
      RunCli({"info", "--settings", F.Ini, "--port", A.S.Url(), "--port", Bad.S.Url()});
  EXPECT_EQ(R.Status, 1) << R.Err;
  EXPECT_NE(R.Out.find(A.S.Url() + ": MAC 24:0A:C4:01:A2:3C\n"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("ESP32  24:0A:C4:01:A2:3C"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("Error   Controller Error: ESP32-S2"), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("1 of 2 boards OK\n"), std::string::npos) << R.Out;
  EXPECT_EQ(R.Out.find("\x1b["), std::string::npos) << "no terminal, no escape sequences";
}

// Plain output names each connect attempt once, not each of its SYNC tries: here a
// board that only the slow timings reset, so the fast attempt fails after five tries.
TEST(Cli, PlainOutputNamesEachConnectAttemptOnce) {
  TFiles F;
  WriteText(F.Ini, "[CONFIG]\r\nFastLow=30\r\nFastHigh=30\r\nSlowLow=700\r\nSlowHigh=300\r\n");
  TBoard A;
  A.S.Opt.MinResetMs = 600; // longer than the fast EN pulse, shorter than the slow one
  A.S.Opt.MinHoldMs = 250;  // IO0 held low long enough only in the slow second phase
  A.S.Start();
  const TRunResult R = RunCli({"info", "--settings", F.Ini, "--port", A.S.Url()});
  EXPECT_EQ(R.Status, 0) << R.Err;
  const std::string P = A.S.Url() + ": ";
  EXPECT_NE(R.Out.find(P + "Connect fast \n" + P + "Connect slow \n" + P + "Connected\n"),
            std::string::npos)
      << R.Out;
  EXPECT_EQ(R.Out.find('#'), std::string::npos) << R.Out;
}

// On a terminal each board has a line redrawn in place; its last state stays on screen.
TEST(Cli, LiveLinesOnATerminal) {
  TFiles F;
  TBoard A, Bad;
  Bad.S.Opt.FailImage = 1;
  Bad.S.Opt.FailBlock = 0;
  A.S.Start();
  Bad.S.Start();
  const TRunResult R = RunCliOnTerminal({"flash", "--no-auto-erase", "--settings", F.Ini, "--port",
                                         A.S.Url(), "--port", Bad.S.Url(), "--firm", F.FirmFile});
  EXPECT_EQ(R.Status, 1) << R.Out;
  // Every redraw goes back up over the two lines and clears each before writing it.
  EXPECT_NE(R.Out.find("\x1b[2A\r\x1b[2K" + A.S.Url() + " "), std::string::npos) << R.Out;
  // The last frame: the good board at 100 % with its MAC, the other with its error.
  const size_t LastFrame = R.Out.rfind("\x1b[2A");
  ASSERT_NE(LastFrame, std::string::npos) << R.Out;
  const std::string Frame = R.Out.substr(LastFrame);
  // The end result in colour: a terminal that takes cursor codes and no NO_COLOR.
  EXPECT_NE(
      Frame.find(A.S.Url() + " [####################] 100% \x1b[32mOK\x1b[0m  24:0A:C4:01:A2:3C"),
      std::string::npos)
      << Frame;
  EXPECT_NE(Frame.find(Bad.S.Url() + " ["), std::string::npos) << Frame;
  EXPECT_NE(Frame.find("Error: Error Flash"), std::string::npos) << Frame;
  EXPECT_NE(R.Out.find("1 of 2 boards OK"), std::string::npos) << R.Out;
}

// ---------------------------------------------------------------- settings

// The settings file's rate and holds, overridden by --baud; a refused value warns and
// keeps the window's default.
TEST(Cli, SettingsAndFlags) {
  struct {
    const char* Name;
    std::string Ini;
    std::vector<std::string> Flags;
    uint32_t Baud;
    const char* Warning; // on stderr, or nullptr: no warning
  } Cases[] = {
      {"default", "", {}, 921600, nullptr},
      {"from the file", "FastBaud=460800\r\n", {}, 460800, nullptr},
      {"hex in the file", "fastbaud=$70800\r\n", {}, 460800, nullptr},
      {"flag over the file", "FastBaud=460800\r\n", {"--baud", "230400"}, 230400, nullptr},
      {"out of range",
       "FastBaud=99\r\n",
       {},
       921600,
       "FastBaud=99 is out of range (9600 to 5000000); the default 921600 is used\n"},
      {"no number",
       "FastBaud=fast\r\n",
       {},
       921600,
       "FastBaud=fast is not a number (9600 to 5000000, decimal or hexadecimal after 0x or $); "
       "the default 921600 is used\n"},
      {"a connect rate of 0",
       "ConnBaud=0\r\n",
       {},
       921600,
       "ConnBaud=0 is out of range (9600 to 5000000); the default 115200 is used\n"},
      {"no boolean",
       "UseStub=maybe\r\n",
       {},
       921600,
       "UseStub=maybe is neither true nor false (TRUE, YES, Y, FALSE, NO, N or a number); the "
       "default TRUE is used\n"},
  };
  TFiles F;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    F.SetIni(C.Ini);
    TBoard A;
    A.S.Start();
    const TRunResult R = RunCli(Join({"info", "--settings", F.Ini, "--port", A.S.Url()}, C.Flags));
    A.S.Stop();
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(A.BaudChanges(), std::vector<uint32_t>{C.Baud});
    if (C.Warning) {
      // The command line's own English, naming the file, the key, the value and the range.
      EXPECT_NE(R.Err.find("quorvex-cli: settings file " + F.Ini + ": " + C.Warning),
                std::string::npos)
          << R.Err;
      EXPECT_EQ(R.Err.find("Integerwert"), std::string::npos) << R.Err;
    } else {
      EXPECT_EQ(R.Err, "");
    }
  }
}

// The reader takes what the window's reader takes: any letter case, comments, the first
// of two equal keys, a UTF-16 file with its mark; only section CONFIG counts.
TEST(Cli, SettingsReaderTable) {
  const auto Utf16 = [](const std::string& S) {
    std::string B = "\xFF\xFE";
    for (char c : S) {
      B.push_back(c);
      B.push_back('\0');
    }
    return B;
  };
  struct {
    const char* Name;
    std::string Text;
    uint32_t FastBaud, SlowLow;
    bool AutoErase;
    const char* NetPorts;
    size_t Problems;
  } Cases[] = {
      {"empty", "", 921600, 1400, true, "", 0},
      {"letter case and blanks", "[config]\n  fastBAUD = 230400 \nautoerase=no\n", 230400, 1400,
       false, "", 0},
      {"other section", "[Main]\nFastBaud=230400\n[CONFIG]\nSlowLow=200\n", 921600, 200, true, "",
       0},
      {"comment and first key wins", "[CONFIG]\n;FastBaud=9600\nFastBaud=19200\nFastBaud=38400\n",
       19200, 1400, true, "", 0},
      {"UTF-8 mark, CR only", "\xEF\xBB\xBF[CONFIG]\rAutoErase=0\rNetPorts=rfc2217://a:1\r", 921600,
       1400, false, "rfc2217://a:1", 0},
      {"UTF-16", Utf16("[CONFIG]\r\nFastBaud=115200\r\n"), 115200, 1400, true, "", 0},
      {"hold too long and bad boolean", "[CONFIG]\nSlowLow=5001\nAutoErase=maybe\n", 921600, 1400,
       true, "", 2},
      {"negative rate", "[CONFIG]\nFastBaud=-1\nSlowLow=5000\n", 921600, 5000, true, "", 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TIniStore Ini;
    ASSERT_TRUE(Ini.SetBytes(C.Text));
    std::vector<TSettingProblem> Problems;
    const TSettings S = ReadSettings(Ini, Problems);
    EXPECT_EQ(S.Config.FastBaud, C.FastBaud);
    EXPECT_EQ(S.Config.SlowLow, C.SlowLow);
    EXPECT_EQ(S.AutoErase, C.AutoErase);
    EXPECT_EQ(S.NetPorts, C.NetPorts);
    EXPECT_EQ(Problems.size(), C.Problems);
  }
}

// `ports` lists the network ports of the settings with the machine's own, in natural
// order, dropping entries that are no rfc2217 address.
TEST(Cli, PortsIncludeTheNetworkPorts) {
  TFiles F;
  F.SetIni("NetPorts=rfc2217://host:10, junk ,rfc2217://host:9\r\n");
  const TRunResult R = RunCli({"ports", "--json", "--settings", F.Ini});
  EXPECT_EQ(R.Status, 0) << R.Err;
  const json J = CliJson(R);
  std::vector<std::string> Ports;
  for (const json& P : J["ports"])
    Ports.push_back(P["name"]);
  const auto At = [&Ports](const std::string& N) {
    return std::find(Ports.begin(), Ports.end(), N);
  };
  ASSERT_NE(At("rfc2217://host:9"), Ports.end());
  ASSERT_NE(At("rfc2217://host:10"), Ports.end());
  EXPECT_LT(At("rfc2217://host:9"), At("rfc2217://host:10"));
  EXPECT_EQ(At("junk"), Ports.end());
}

// ---------------------------------------------------------------- bad input

// Each bad input gets its message and exit status 2, and neither board hears a thing.
TEST(Cli, BadInputIsRefusedBeforeAnyBoardIsTouched) {
  TFiles F;
  const std::string Missing = TempPath("cli_missing.bin"), Small = TempPath("cli_small.bin"),
                    Unreadable = TempPath("cli_unreadable.bin"), Dir = TempPath("cli_dir"),
                    Fifo = TempPath("cli_fifo"), Huge4 = TempPath("cli_4g.bin"),
                    Huge8 = TempPath("cli_8g.bin");
  WriteFile(Small, RandomBytes(8192, 9));
  WriteFile(Unreadable, RandomBytes(8192, 9));
  chmod(Unreadable.c_str(), 0);
  mkdir(Dir.c_str(), 0700);
  mkfifo(Fifo.c_str(), 0600); // opening it would wait for a writer that never comes
  // Sparse: no disk space, but the sizes of real files.
  WriteFile(Huge4, {});
  WriteFile(Huge8, {});
  ASSERT_EQ(truncate(Huge4.c_str(), off_t(4) << 30), 0);
  ASSERT_EQ(truncate(Huge8.c_str(), off_t(8) << 30), 0);
  TBoard A, B;
  A.S.Start();
  B.S.Start();
  const std::string Ua = A.S.Url(), Ub = B.S.Url();
  const std::string Up = std::to_string(A.S.Port);
  const std::vector<std::string> Both = {"--settings", F.Ini, "--port", Ua, "--port", Ub};
  struct {
    const char* Name;
    std::vector<std::string> Args;
    std::string Message;
    bool NeedsNonRoot = false;
  } Cases[] = {
      {"missing file", Join(Join({"flash"}, Both), {"--firm", Missing}),
       "firmware " + Missing + ": file not found"},
      {"a folder as the file", Join(Join({"flash"}, Both), {"0x20000", Dir}),
       "image " + Dir + ": not a regular file (a folder)"},
      {"a device as the file", Join(Join({"flash"}, Both), {"0x20000", "/dev/zero"}),
       "image /dev/zero: not a regular file (a device)"},
      {"a FIFO as the file", Join(Join({"flash"}, Both), {"--firm", Fifo}),
       "firmware " + Fifo + ": not a regular file (a FIFO)"},
      {"4 GiB image", Join(Join({"flash"}, Both), {"0x10000", Huge4}),
       "image " + Huge4 + " (4294967296 bytes at 0x10000): passes the end of the 4 MiB flash"},
      {"8 GiB image", Join(Join({"flash"}, Both), {"--firm", Huge8}),
       "firmware " + Huge8 + " (8589934592 bytes at 0x10000): passes the end of the 4 MiB flash"},
      {"unreadable file", Join(Join({"flash"}, Both), {"0x20000", Unreadable}),
       "Cannot read image file " + Unreadable, true},
      // A regular file whose read fails for anyone, root included: the address 0 of the
      // reading process's memory.
      {"read error", Join(Join({"flash"}, Both), {"0x20000", "/proc/self/mem"}),
       "Cannot read image file /proc/self/mem: "},
      {"past the end of the flash", Join(Join({"flash"}, Both), {"0x3FF000", Small}),
       "passes the end of the 4 MiB flash"},
      {"beyond 16 MiB", Join(Join({"flash"}, Both), {"0x1000000", Small}),
       "passes the end of the 4 MiB flash"},
      {"overlap", Join(Join({"flash"}, Both), {"--firm", F.FirmFile, "0x20000", Small}),
       F.FirmFile + " at 0x10000 and " + Small + " at 0x20000 overlap"},
      {"unaligned offset", Join(Join({"flash"}, Both), {"0x20100", Small}),
       "offset 0x20100 is not a multiple of 0x1000 (4 KiB)"},
      {"no offset", Join(Join({"flash"}, Both), {"0x2G000", Small}), "'0x2G000' is no offset"},
      {"offset without file", Join(Join({"flash"}, Both), {"--firm", F.FirmFile, "0x200000"}),
       "an OFFSET needs a FILE"},
      {"wrong size for its kind", Join(Join({"flash"}, Both), {"--part", Small}),
       "a partition table holds 3072 bytes"},
      {"no image", Join({"flash"}, Both), "no image to write"},
      {"unknown port",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "ttyNoSuchPort7"},
       "unknown port ttyNoSuchPort7: there is no /dev/ttyNoSuchPort7"},
      {"malformed address",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "rfc2217://h"},
       "unknown port rfc2217://h: expected rfc2217://host:port"},
      {"same board twice",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", Ua + "/"},
       "--port " + Ua + "/ names the same device as --port " + Ua},
      {"one board by address and by name",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "rfc2217://localhost:" + Up},
       "--port rfc2217://localhost:" + Up + " names the same device as --port " + Ua +
           " (127.0.0.1 port " + Up + ")"},
      {"one board by two spellings of its address",
       {"info", "--settings", F.Ini, "--port", "rfc2217://127.1:" + Up, "--port", Ua},
       "--port " + Ua + " names the same device as --port rfc2217://127.1:" + Up},
      {"a host that does not resolve",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "rfc2217://no-such-host.invalid:4000"},
       "unknown port rfc2217://no-such-host.invalid:4000: cannot resolve host "
       "'no-such-host.invalid'"},
      {"unknown USB serial number",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "usb-serial:NO-SUCH-SERIAL"},
       "unknown port usb-serial:NO-SUCH-SERIAL: no USB serial adapter has the serial number "
       "'NO-SUCH-SERIAL'"},
      {"same device by two paths",
       {"info", "--settings", F.Ini, "--port", Ua, "--port", "/dev/null", "--port",
        "/dev/../dev/null"},
       "--port /dev/../dev/null names the same device as --port /dev/null"},
      {"erase without --yes off a terminal", Join({"erase"}, Both), "confirm with --yes"},
      {"missing settings file",
       {"info", "--settings", Missing, "--port", Ua},
       "settings file " + Missing + " not found"},
      {"rate out of range", {"info", "--settings", F.Ini, "--port", Ua, "--baud", "300"}, "--baud"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    if (C.NeedsNonRoot && geteuid() == 0) {
      std::printf("[ note ] case '%s' left out: root reads any file\n", C.Name);
      continue;
    }
    const TRunResult R = RunCli(C.Args);
    EXPECT_EQ(R.Status, 2) << R.Out << R.Err;
    EXPECT_NE(R.Err.find(C.Message), std::string::npos) << R.Err;
    EXPECT_EQ(R.Out, "");
  }
  // The same refusal as JSON: the messages, and no board.
  const TRunResult R = RunCli(Join(Join({"flash", "--json"}, Both), {"0x20100", Small}));
  EXPECT_EQ(R.Status, 2);
  const json J = CliJson(R);
  EXPECT_EQ(J["ok"], false);
  EXPECT_TRUE(J["boards"].empty());
  ASSERT_EQ(J["errors"].size(), 1u);
  EXPECT_NE(J["errors"][0].get<std::string>().find("not a multiple of 0x1000"), std::string::npos);
  A.S.Stop();
  B.S.Stop();
  for (TBoard* Bd : {&A, &B}) {
    EXPECT_EQ(Bd->Count("connect"), 0u) << "a board was reached";
    EXPECT_EQ(Bd->Count("frame_in"), 0u);
  }
  chmod(Unreadable.c_str(), 0600);
  for (const std::string& P : {Small, Unreadable, Fifo, Huge4, Huge8})
    std::remove(P.c_str());
  rmdir(Dir.c_str());
}

// Each bad offset gets its one message (and no second one about a missing image); a
// leading 0 without x is refused as ambiguous rather than read as decimal.
TEST(Cli, EachBadOffsetHasOneMessage) {
  TFiles F;
  const struct {
    const char* Offset;
    const char* Message;
  } Cases[] = {
      {"0x", "'0x' is no offset: hexadecimal digits must follow 0x"},
      {"-1", "'-1' is no offset: an offset has no sign"},
      {"+0x10000", "'+0x10000' is no offset: an offset has no sign"},
      {"1e3", "'1e3' is no offset: write it in decimal (65536) or hexadecimal after 0x (0x10000)"},
      {"0x100000000", "'0x100000000' is past the end of the 4 MiB flash"},
      {"99999999999", "'99999999999' is past the end of the 4 MiB flash"},
      {"010000", "'010000' is ambiguous: a leading 0 may mean octal or decimal; write 10000 for "
                 "decimal or 0x10000 for hexadecimal"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Offset);
    const TRunResult R =
        RunCli({"flash", "--settings", F.Ini, "--port", "/dev/null", C.Offset, F.FirmFile});
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(R.Err, std::string("quorvex-cli: ") + C.Message + "\n");
  }
  // The way offsets are read is in the help.
  const TRunResult H = RunCli({"flash", "--help"});
  EXPECT_NE(H.Out.find("decimal (65536) or hexadecimal after 0x (0x10000); a leading 0 without x "
                       "is refused as ambiguous"),
            std::string::npos)
      << H.Out;
}

// ---------------------------------------------------------------- what is erased

// One raw image and no erase flag: only its sectors are erased, everything else in the
// flash keeps its bytes, although the settings file asks the window for AutoErase. The
// whole chip is erased only on the command line's own --erase-all (or --auto-erase).
TEST(Cli, ErasesOnlyWhatItWritesUnlessAskedToEraseAll) {
  const struct {
    const char* Name;
    std::vector<std::string> Flags;
    bool ChipErase;
  } Cases[] = {
      {"no flag", {}, false},
      {"--no-auto-erase", {"--no-auto-erase"}, false},
      {"--erase-all", {"--erase-all"}, true},
      {"--auto-erase", {"--auto-erase"}, true},
  };
  const TBytes Image = RandomBytes(0x5000, 21);
  const std::string ImageFile = TempPath("cli_erase_rule.bin");
  WriteFile(ImageFile, Image);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFiles F;
    F.SetIni("AutoErase=TRUE\r\n");
    TBoard Bd;
    const TBytes Old = RandomBytes(vboard::TFlash::Size, 22);
    Bd.S.Flash.Program(0, Old.data(), uint32_t(Old.size()));
    Bd.S.Start();
    const TRunResult R = RunCli(
        Join({"flash", "--settings", F.Ini, "--port", Bd.S.Url(), "0x20000", ImageFile}, C.Flags));
    ASSERT_TRUE(Bd.FlashSaved());
    Bd.S.Stop();
    EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
    EXPECT_EQ(Bd.Requests("D0"), C.ChipErase ? 1u : 0u) << "ERASE_FLASH requests";
    const TBytes Now = Bd.Flash(0, vboard::TFlash::Size);
    ASSERT_EQ(Now.size(), Old.size());
    EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Now.begin() + 0x20000));
    size_t Kept = 0, Outside = 0;
    for (uint32_t a = 0; a < Now.size(); ++a) {
      if (a >= 0x20000 && a < 0x25000) continue; // the image's five sectors
      ++Outside;
      Kept += Now[a] == Old[a];
    }
    if (C.ChipErase)
      EXPECT_LT(Kept, Outside / 100) << "the chip was erased";
    else
      EXPECT_EQ(Kept, Outside) << "bytes outside the image's sectors changed";
  }
  std::remove(ImageFile.c_str());
  // And the help says so.
  const TRunResult H = RunCli({"flash", "--help"});
  EXPECT_NE(H.Out.find("--erase-all,--auto-erase"), std::string::npos) << H.Out;
  EXPECT_NE(H.Out.find("the window's AutoErase does not apply here"), std::string::npos) << H.Out;
}

// ---------------------------------------------------------------- what a failed board leaves

// A board that never answers: the log of --log-dir holds every connect attempt and how
// the run ended, not an empty file.
TEST(Cli, LogOfAFailedConnectionHoldsItsAttempts) {
  TFiles F;
  F.SetIni("SlowLow=10\r\nSlowHigh=10\r\nFastLow=10\r\nFastHigh=10\r\n");
  TBoard Bd;
  Bd.S.Opt.Mute = true;
  Bd.S.Start();
  const std::string LogDir = TempPath("cli_failed_logs");
  mkdir(LogDir.c_str(), 0700);
  const TRunResult R =
      RunCli({"info", "--settings", F.Ini, "--log-dir", LogDir, "--port", Bd.S.Url()});
  Bd.S.Stop();
  EXPECT_EQ(R.Status, 1) << R.Out << R.Err;
  const std::string LogFile = OnlyFileIn(LogDir);
  ASSERT_FALSE(LogFile.empty()) << "no log written";
  const std::string Log = ReadText(LogFile);
  size_t Attempts = 0;
  for (const char* A : {"Status: Connect fast ", "Status: Connect slow "})
    for (size_t p = Log.find(std::string(A) + "\n"); p != std::string::npos;
         p = Log.find(std::string(A) + "\n", p + 1))
      ++Attempts;
  EXPECT_EQ(Attempts, 6u) << Log;
  EXPECT_NE(Log.find("Status: Connect slow #####\n"), std::string::npos) << Log;
  EXPECT_NE(Log.find("Result: Error: No Device Found!\n"), std::string::npos) << Log;
  std::remove(LogFile.c_str());
  rmdir(LogDir.c_str());
}

// The JSON names the chip found, also one the run refuses.
TEST(Cli, JsonNamesTheChipItFound) {
  TFiles F;
  TBoard Bd;
  Bd.S.Opt.Chip = vboard::TChip::Esp32S2;
  Bd.S.Start();
  const TRunResult R = RunCli({"info", "--json", "--settings", F.Ini, "--port", Bd.S.Url()});
  Bd.S.Stop();
  EXPECT_EQ(R.Status, 1) << R.Err;
  const json J = CliJson(R);
  ASSERT_EQ(J["boards"].size(), 1u);
  EXPECT_EQ(J["boards"][0]["chip"], "ESP32-S2");
  EXPECT_EQ(J["boards"][0]["message"], "Controller Error: ESP32-S2");
  EXPECT_EQ(J["boards"][0]["mac"], nullptr);
}

// ---------------------------------------------------------------- flash parts

// A board whose flash is an older Macronix part, on which 0x52 erases 64 KiB
// although its id is that of a part where it erases 32 KiB. Images that start
// on, or end just past, a 32 KiB boundary that is no 64 KiB one are written
// without a chip erase: every byte outside their sectors keeps its old value.
// Erasing the chip then leaves what the stub found out about the part (its
// maker, the erase units it confirmed) in the debug log, in the ERASE_FLASH
// answer's value.
TEST(Cli, DataBesideImagesSurvivesOnAPartWhose32KiBEraseIsLarger) {
  TFiles F;
  TBoard Bd;
  Bd.S.Opt.FlashPart = vboard::TFlashPart::MacronixOld;
  const TBytes Old = RandomBytes(vboard::TFlash::Size, 9);
  Bd.S.Flash.Program(0, Old.data(), uint32_t(Old.size()));
  const TBytes A = RandomBytes(0x18000, 10), B = RandomBytes(0x8010, 11);
  const std::string AFile = TempPath("cli_at_32k.bin"), BFile = TempPath("cli_past_32k.bin"),
                    LogDir = TempPath("cli_logs");
  WriteFile(AFile, A);
  WriteFile(BFile, B);
  mkdir(LogDir.c_str(), 0700);
  Bd.S.Start();
  const TRunResult R = RunCli({"flash", "--json", "--no-auto-erase", "--settings", F.Ini, "--port",
                               Bd.S.Url(), "0x18000", AFile, "0xB0000", BFile});
  // The flash file is saved when the client leaves.
  const auto Saved = [&] { return ReadText(Bd.S.FlashFile).size() == vboard::TFlash::Size; };
  for (int i = 0; i < 200 && !Saved(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
  const TBytes Now = Bd.Flash(0, vboard::TFlash::Size);
  ASSERT_EQ(Now.size(), Old.size());
  EXPECT_TRUE(std::equal(A.begin(), A.end(), Now.begin() + 0x18000));
  EXPECT_TRUE(std::equal(B.begin(), B.end(), Now.begin() + 0xB0000));
  size_t Lost = 0;
  for (uint32_t a = 0; a < Now.size(); ++a) {
    const bool InA = a >= 0x18000 && a < 0x30000, InB = a >= 0xB0000 && a < 0xB9000;
    Lost += !InA && !InB && Now[a] != Old[a];
  }
  EXPECT_EQ(Lost, 0u) << "bytes changed outside the images' sectors";

  const TRunResult E =
      RunCli({"erase", "--yes", "--settings", F.Ini, "--log-dir", LogDir, "--port", Bd.S.Url()});
  Bd.S.Stop();
  EXPECT_EQ(E.Status, 0) << E.Out << E.Err;
  // The one board's log, whatever the program names it.
  const std::string LogFile = OnlyFileIn(LogDir);
  ASSERT_FALSE(LogFile.empty()) << "no log written";
  // Maker 0xC2, 0xD8 confirmed as 64 KiB (0x400), no SFDP table and no 32 KiB erase.
  EXPECT_NE(ReadText(LogFile).find("0000:  01 D0 02 00 C2 04 00 00 00 00"), std::string::npos)
      << ReadText(LogFile);
  for (const std::string& P : {AFile, BFile, LogFile})
    std::remove(P.c_str());
  rmdir(LogDir.c_str());
}

} // namespace

// The fast path from the command line: flash with FastWrite=TRUE says per image what it
// did, a second flash finds everything in place, verify names a sector changed behind the
// program's back, read returns what the board holds, info names the flash part. On the
// machine-code board the fast stub's own bytes do that work on the simulated chip.
TEST_P(CliOnBoard, FastPathFlashVerifyReadAndInfo) {
  TFiles F;
  F.SetIni("FastWrite=TRUE\r\n");
  TBoard Bd(true, GetParam());
  // Runs the program with "" replaced by the board's address (known once it listens).
  const auto Run = [&](std::vector<std::string> Args) {
    Bd.S.Start();
    for (std::string& A : Args)
      if (A.empty()) A = Bd.S.Url();
    const TRunResult R = RunCli(Args);
    Bd.S.Stop();
    return R;
  };
  TRunResult R = Run(Join({"flash", "--json", "--settings", F.Ini, "--port", ""}, F.Named()));
  ASSERT_EQ(R.Status, 0) << R.Err;
  json J = CliJson(R);
  EXPECT_EQ(J["boards"][0]["flash_size"], 4 << 20);
  for (const json& Im : J["boards"][0]["images"]) {
    EXPECT_EQ(Im["result"], "written");
    EXPECT_EQ(Im["verified"], true);
  }
  EXPECT_EQ(Bd.Flash(0x10000, F.Firm.size()), F.Firm);

  // Plain output: a line per image, every one unchanged now.
  R = Run(Join({"flash", "--settings", F.Ini, "--port", ""}, F.Named()));
  ASSERT_EQ(R.Status, 0) << R.Err;
  for (const std::string& File : {F.BootFile, F.PartFile, F.FirmFile})
    EXPECT_NE(R.Out.find(File + ": unchanged\n"), std::string::npos) << R.Out;

  // One sector of the application changed by someone else: verify names it, exit 1.
  const TBytes Zero(8, 0x00);
  Bd.S.Flash.Program(0x10000 + 0x5000 + 40, Zero.data(), 8);
  R = Run(Join({"verify", "--settings", F.Ini, "--port", ""}, F.Named()));
  EXPECT_EQ(R.Status, 1) << R.Out;
  EXPECT_NE(R.Out.find(F.FirmFile + ": differs in 1 of 17 sectors: 15000"), std::string::npos)
      << R.Out;
  EXPECT_NE(R.Out.find(F.PartFile + ": matches"), std::string::npos) << R.Out;

  // read: the bytes the board holds, changed sector and all.
  const std::string Back = TempPath("cli_read.bin");
  R = Run({"read", "--settings", F.Ini, "--port", "", "0x10000", "70000", Back});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string Got = ReadText(Back);
  const auto& Mem = Bd.S.Flash.Bytes();
  EXPECT_TRUE(Got == std::string(Mem.begin() + 0x10000, Mem.begin() + 0x10000 + 70000));
  std::remove(Back.c_str());

  R = Run({"info", "--settings", F.Ini, "--port", ""});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("flash Winbond EF4016, 4 MiB"), std::string::npos) << R.Out;
}
