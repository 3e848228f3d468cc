// The stub's flash work on the board's NOR model: parts of several makers and
// the states a previous program may leave them in (protection, CMP, quad
// enable), data around an image that must survive on every part, failures
// while the next block is already arriving, a chip erase followed by writes,
// and the trace of erases, programs and status writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "VbBoard.h"
#include "VbTestServer.h"
#include "VbTestUtil.h"

using namespace vboard;
using namespace vbtest;

namespace {

TBytes Pattern(size_t n, uint32_t Seed) {
  TBytes b(n);
  for (auto& c : b) {
    Seed = Seed * 1103515245u + 12345u;
    c = uint8_t(Seed >> 16);
  }
  return b;
}

struct TStubFixture {
  TBoardOptions Opt;
  TFlash Flash;
  TTrace* Trace = nullptr;
  std::unique_ptr<TChipEngine> Chip;
  explicit TStubFixture(TStubCore Core = TStubCore::Host) { Opt.StubCore = Core; }
  void Start() {
    Chip = std::make_unique<TChipEngine>(Opt, Flash, Trace);
    Chip->EnterLoader();
    if (Opt.StubCore == TStubCore::Machine) {
      // The committed blob, at the rate the loader was switched to.
      std::ifstream In(QUORVEX_STUB_BLOB, std::ios::binary);
      const TBytes Blob((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
      Chip->Feed(Frame(opChangeBaud, Words({2000000, 115200})));
      Chip->Feed(BlobUpload(Blob));
      Chip->Settle();
    } else {
      Chip->Feed(StubUpload());
    }
    Chip->TakeOutput();
    ASSERT_EQ(Chip->Mode(), TChipEngine::TMode::Stub);
  }
  TAns One(uint8_t Cmd, const TBytes& Payload, bool Chk = false) {
    Chip->Feed(Frame(Cmd, Payload, Chk));
    Chip->Settle();
    auto f = Frames(Chip->TakeOutput());
    return f.size() == 1 ? Ans(f[0]) : TAns{0xEE, 0, 0xEE, 0xEE};
  }
  // FLASH_BEGIN and every block the way the program sends them; the answers in order.
  std::vector<TAns> Write(uint32_t Offset, const TBytes& Image, uint32_t BlockSize = 0x4000) {
    uint32_t Blocks = uint32_t((Image.size() + BlockSize - 1) / BlockSize);
    std::vector<TAns> a{One(opFlashBegin, Words({Blocks * BlockSize, Blocks, BlockSize, Offset}))};
    for (uint32_t Seq = 0; Seq < Blocks; ++Seq) {
      size_t From = size_t(Seq) * BlockSize, n = std::min<size_t>(BlockSize, Image.size() - From);
      a.push_back(One(opFlashData,
                      Block(Seq, TBytes(Image.begin() + From, Image.begin() + From + n)), true));
    }
    return a;
  }
  bool Holds(uint32_t Offset, const TBytes& Image) const {
    return std::equal(Image.begin(), Image.end(), Flash.Bytes().begin() + Offset);
  }
  const std::vector<std::string>& Log() { return Chip->Nor().Log(); }
  // The status writes sent (0x01 and 0x31 with their bytes), whether the part took them or not.
  std::vector<std::string> StatusWrites(size_t From = 0) {
    std::vector<std::string> w;
    for (size_t i = From; i < Log().size(); ++i)
      if (Log()[i].rfind("01", 0) == 0 || Log()[i].rfind("31", 0) == 0) w.push_back(Log()[i]);
    return w;
  }
};

using TStrings = std::vector<std::string>;

// Lines of a trace file that record one event.
size_t TraceEvents(const std::string& File, const std::string& Event) {
  std::ifstream In(File);
  size_t n = 0;
  for (std::string Line; std::getline(In, Line);)
    n += Line.find("\"ev\":\"" + Event + "\"") != std::string::npos;
  return n;
}

// The stub's flash work on both kinds of board: its core built for the host, and the
// committed blob on the simulated ESP32 with the NOR model behind SPI1.
class VboardStubFlashOnBoard : public ::testing::TestWithParam<TStubCore> {};
INSTANTIATE_TEST_SUITE_P(Boards, VboardStubFlashOnBoard, BoardKinds(), BoardKindName);

TEST_P(VboardStubFlashOnBoard, PartsOfEachMakerAreUnprotectedOnlyAsTheirDatasheetAllows) {
  // Every part starts in continuous-read mode, as a previous program may
  // leave it, with its quad-enable bit set (in status register 2, or in bit 6
  // of register 1 on Macronix and ISSI parts). Unprotected, it must get no
  // status write at all; protected (block-protect bits, or CMP where the part
  // has it), exactly the writes its datasheet allows, and QE survives both
  // FLASH_BEGIN and ERASE_FLASH.
  struct {
    const char* Name;
    TFlashPart Part;
    bool Cmp;        // CMP set at power-up
    TStrings Writes; // the status writes once the block-protect bits are set too
    TStrings WritesUnprotected;
    bool Reads35; // whether it may ask for status register 2
  } Cases[] = {
      {"Winbond", TFlashPart::Winbond, false, {"01:0002"}, {}, true},
      // CMP with no block-protect bit: the whole array protected; with BP0..2
      // all set: nothing protected, so CMP is left alone.
      {"Winbond with CMP set", TFlashPart::WinbondCmp, true, {}, {"01:0002"}, true},
      {"GigaDevice", TFlashPart::GigaDevice, false, {"01:0002"}, {}, true},
      // The two-byte form is ignored; register 1 alone, then register 2 through 0x31.
      {"GigaDevice taking register 2 only through 0x31",
       TFlashPart::GigaDevice31,
       false,
       {"01:0002", "01:00"},
       {},
       true},
      {"the same with CMP set", TFlashPart::GigaDevice31, true, {}, {"01:0002", "31:02"}, true},
      {"Macronix: 0x35 enters QPI, QE in status register 1",
       TFlashPart::Macronix,
       false,
       {"01:40"},
       {},
       false},
      {"older Macronix", TFlashPart::MacronixOld, false, {"01:40"}, {}, false},
      {"ISSI: QE in status register 1", TFlashPart::Issi, false, {"01:40"}, {}, false},
      {"Winbond id, status register 2 reads 0xFF",
       TFlashPart::Sr2ReadsFF,
       false,
       {"01:00"},
       {},
       true},
      {"a maker outside the table", TFlashPart::Unknown, false, {"01:00"}, {}, false},
  };
  for (const auto& c : Cases) {
    for (bool Protect : {true, false}) {
      SCOPED_TRACE(std::string(c.Name) + (Protect ? ", protected" : ", block-protect bits clear"));
      const std::string TraceFile = TempPath("vb_status_trace.jsonl");
      TTrace Trace;
      ASSERT_TRUE(Trace.Open(TraceFile));
      TStubFixture f(GetParam());
      f.Trace = &Trace;
      f.Opt.FlashPart = c.Part;
      f.Opt.FlashProtected = Protect;
      f.Opt.FlashCmp = c.Cmp;
      f.Opt.FlashContinuousRead = true;
      f.Start();
      // Out of continuous-read mode, out of deep power-down, reset, then the id.
      ASSERT_GE(f.Log().size(), 5u);
      EXPECT_EQ(TStrings(f.Log().begin(), f.Log().begin() + 5),
                (TStrings{"FF", "AB", "66", "99", "9F"}));
      TBytes Image = Pattern(0x9000, 3);
      for (const TAns& x : f.Write(0x10000, Image))
        EXPECT_EQ(x.Status, 0);
      EXPECT_TRUE(f.Holds(0x10000, Image));
      const TStrings& Want = Protect ? c.Writes : c.WritesUnprotected;
      EXPECT_EQ(f.StatusWrites(), Want);
      EXPECT_TRUE(f.Chip->Nor().Qe());
      EXPECT_FALSE(f.Chip->Nor().Protected());
      // A chip erase finds nothing left to unprotect.
      const size_t Before = f.Log().size();
      EXPECT_EQ(f.One(opEraseFlash, {}).Status, 0);
      EXPECT_TRUE(f.StatusWrites(Before).empty());
      EXPECT_TRUE(f.Chip->Nor().Qe());
      EXPECT_EQ(f.Flash.Bytes()[0x10000], 0xFF);
      EXPECT_FALSE(f.Chip->Nor().Qpi());
      EXPECT_EQ(std::count(f.Log().begin(), f.Log().end(), "35") > 0, c.Reads35);
      if (c.Part == TFlashPart::Sr2ReadsFF) {
        EXPECT_EQ(f.Chip->Nor().Sr2(), TNorFlash::Sr2Qe); // never 0xFF written back
      }
      EXPECT_TRUE(f.Chip->Nor().Faults().empty()) << f.Chip->Nor().Faults().front();
      // The trace shows the status writes the part carried out, and none when nothing was
      // protected. (That GigaDevice part ignores the two-byte form: the log has it, the trace not.)
      size_t Taken = 0;
      for (const std::string& w : Want)
        Taken += !(c.Part == TFlashPart::GigaDevice31 && w.size() == std::strlen("01:0002"));
      EXPECT_EQ(TraceEvents(TraceFile, "status_write"), Taken);
      std::remove(TraceFile.c_str());
    }
  }
}

TEST_P(VboardStubFlashOnBoard, DataAroundAnImageSurvivesOnEveryPart) {
  // The whole flash holds old data; an image is written without a chip
  // erase. Nothing outside the 4 KiB sectors the image's bytes fall in may
  // change, on any part: 0x52 erases 64 KiB on the older Macronix and on the
  // EON part, so a 32 KiB erase there would wipe the 32 KiB before an image
  // that starts on a 32 KiB (not 64 KiB) boundary, or after one that ends on
  // such a boundary. The erase opcodes the stub may use follow from what the
  // part confirms.
  struct {
    const char* Name;
    TFlashPart Part;
    bool Uses52, UsesD8; // in the layouts below
  } Parts[] = {
      {"Winbond (SFDP: 4, 32 and 64 KiB)", TFlashPart::Winbond, true, true},
      {"Winbond with CMP set", TFlashPart::WinbondCmp, true, true},
      {"GigaDevice", TFlashPart::GigaDevice, true, true},
      {"GigaDevice taking register 2 only through 0x31", TFlashPart::GigaDevice31, true, true},
      {"Macronix (SFDP)", TFlashPart::Macronix, true, true},
      {"older Macronix, no SFDP: the maker confirms 64 KiB", TFlashPart::MacronixOld, false, true},
      {"older Macronix, SFDP: 0x52 is 64 KiB", TFlashPart::MacronixOldSfdp, false, true},
      {"ISSI (SFDP)", TFlashPart::Issi, true, true},
      {"EON, no SFDP, maker unknown: 4 KiB only", TFlashPart::Unknown, false, false},
  };
  struct {
    const char* Name;
    uint32_t Offset, Size;
  } Layouts[] = {
      {"starts on a 32 KiB boundary, ends on a 64 KiB one", 0x18000, 0x18000},
      {"starts on a 64 KiB boundary, ends on a 32 KiB one", 0x20000, 0x18000},
      {"starts and ends on 32 KiB boundaries", 0x48000, 0x20000},
      // The data certainly reaches past the 32 KiB boundary: a 32 KiB erase
      // there is the image's, a 64 KiB one would take the 28 KiB after it.
      {"64 KiB-aligned, ends a few bytes past a 32 KiB boundary", 0xB0000, 0x8010},
      {"64 KiB-aligned, ends inside a sector", 0x80000, 0x21003},
  };
  for (const auto& p : Parts) {
    bool Saw52 = false, SawD8 = false;
    for (const auto& l : Layouts) {
      SCOPED_TRACE(std::string(p.Name) + ": " + l.Name);
      TStubFixture f(GetParam());
      f.Opt.FlashPart = p.Part;
      const TBytes Old = Pattern(TFlash::Size, 77);
      f.Flash.Program(0, Old.data(), uint32_t(Old.size()));
      f.Start();
      const TBytes Image = Pattern(l.Size, l.Offset);
      for (const TAns& x : f.Write(l.Offset, Image))
        EXPECT_EQ(x.Status, 0);
      EXPECT_TRUE(f.Holds(l.Offset, Image));
      const uint32_t From = l.Offset, To = (l.Offset + l.Size + 0xFFF) & ~0xFFFu;
      size_t Lost = 0;
      uint32_t First = 0;
      for (uint32_t a = 0; a < TFlash::Size; ++a)
        if ((a < From || a >= To) && f.Flash.Bytes()[a] != Old[a] && Lost++ == 0) First = a;
      EXPECT_EQ(Lost, 0u) << "bytes lost outside the image's sectors, the first at 0x" << std::hex
                          << First;
      // Inside the image's last sector, past its end: erased, not left as it was.
      for (uint32_t a = l.Offset + l.Size; a < To; ++a)
        EXPECT_EQ(f.Flash.Bytes()[a], 0xFF) << std::hex << a;
      Saw52 = Saw52 || std::count(f.Log().begin(), f.Log().end(), "52") > 0;
      SawD8 = SawD8 || std::count(f.Log().begin(), f.Log().end(), "D8") > 0;
      EXPECT_TRUE(f.Chip->Nor().Faults().empty()) << f.Chip->Nor().Faults().front();
    }
    SCOPED_TRACE(p.Name);
    EXPECT_EQ(Saw52, p.Uses52);
    EXPECT_EQ(SawD8, p.UsesD8);
  }
}

TEST(VboardStubFlash, TheModelPunishesWhatTheStubAvoids) {
  // The cases above only mean something if the model fails a careless stub:
  // 0x35 to a Macronix part, a 0xFF written into status register 2, a command
  // to a part still in continuous-read mode.
  struct {
    const char* Name;
    TFlashPart Part;
    bool Continuous;
    std::vector<TBytes> Before; // opcode, then bytes written
  } Cases[] = {
      {"QPI after 0x35", TFlashPart::Macronix, false, {{0x35}}},
      {"0xFF into status register 2", TFlashPart::Sr2ReadsFF, false, {{0x06}, {0x01, 0x00, 0xFF}}},
      {"continuous-read mode left on", TFlashPart::Winbond, true, {}},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TBoardOptions Opt;
    Opt.FlashPart = c.Part;
    Opt.FlashContinuousRead = c.Continuous;
    TFlash Flash;
    TNorFlash Nor(Flash, Opt, nullptr);
    int64_t Now = 0;
    for (const TBytes& Cmd : c.Before) {
      Now += Nor.Command(Now, Cmd[0], 0, Cmd.data() + 1, uint32_t(Cmd.size() - 1), nullptr, 0);
      Now = std::max(Now, Nor.BusyUntil());
    }
    const uint8_t Data[4] = {1, 2, 3, 4};
    Now += Nor.Command(Now, 0x06, 0, nullptr, 0, nullptr, 0);
    Now += Nor.Command(Now, 0x02 | 0x100, 0x1000, Data, 4, nullptr, 0);
    Now = std::max(Now, Nor.BusyUntil()) + 1;
    EXPECT_EQ(Flash.Bytes()[0x1000], 0xFF); // the program did not land
  }
}

TEST(VboardStubFlash, TheModelsPartsDifferAsTheirDatasheetsSay) {
  // What the tests of the stub rely on the parts to do, so that a careless
  // stub is caught: each case sends raw commands and looks at the part.
  struct TCmd {
    uint32_t Op; // 0x100: with a 24-bit address
    uint32_t Addr;
    TBytes Out;
    uint32_t InLen;
  };
  const TCmd Wren{0x06, 0, {}, 0};
  struct {
    const char* Name;
    TFlashPart Part;
    bool Protect;
    std::vector<TCmd> Cmds;
    std::function<void(const TNorFlash&, const TFlash&, const TBytes& In)> Check;
  } Cases[] = {
      {"0x52 erases 64 KiB on the older Macronix part",
       TFlashPart::MacronixOld,
       false,
       {Wren, {0x152, 0x8000, {}, 0}},
       [](const TNorFlash&, const TFlash& F, const TBytes&) {
         EXPECT_EQ(F.Bytes()[0x0000], 0xFF);
         EXPECT_EQ(F.Bytes()[0xFFFF], 0xFF);
         EXPECT_EQ(F.Bytes()[0x10000], 0x00);
       }},
      {"and 32 KiB on the newer one with the same id",
       TFlashPart::Macronix,
       false,
       {Wren, {0x152, 0x8000, {}, 0}},
       [](const TNorFlash&, const TFlash& F, const TBytes&) {
         EXPECT_EQ(F.Bytes()[0x7FFF], 0x00);
         EXPECT_EQ(F.Bytes()[0x8000], 0xFF);
         EXPECT_EQ(F.Bytes()[0xFFFF], 0xFF);
         EXPECT_EQ(F.Bytes()[0x10000], 0x00);
       }},
      {"a one-byte status write clears the Winbond part's QE",
       TFlashPart::Winbond,
       false,
       {Wren, {0x01, 0, {0x00}, 0}},
       [](const TNorFlash& N, const TFlash&, const TBytes&) { EXPECT_FALSE(N.Qe()); }},
      {"bit 6 of the Macronix part's status register is its QE",
       TFlashPart::Macronix,
       false,
       {Wren, {0x01, 0, {0x00}, 0}},
       [](const TNorFlash& N, const TFlash&, const TBytes&) { EXPECT_FALSE(N.Qe()); }},
      {"a second status byte to a Macronix part is misuse",
       TFlashPart::Macronix,
       false,
       {Wren, {0x01, 0, {0x40, 0x00}, 0}},
       [](const TNorFlash& N, const TFlash&, const TBytes&) {
         EXPECT_EQ(N.Faults(), (TStrings{"two-byte WRSR to a part with one status register"}));
       }},
      {"the newer GigaDevice part ignores the two-byte status write",
       TFlashPart::GigaDevice31,
       true,
       {Wren, {0x01, 0, {0x00, 0x02}, 0}},
       [](const TNorFlash& N, const TFlash&, const TBytes&) { EXPECT_TRUE(N.Protected()); }},
      {"CMP with no block-protect bit protects the whole Winbond part",
       TFlashPart::WinbondCmp,
       false,
       {},
       [](const TNorFlash& N, const TFlash&, const TBytes&) { EXPECT_TRUE(N.Protected()); }},
      {"an SFDP read without the dummy clocks arrives a byte late",
       TFlashPart::Winbond,
       false,
       {{0x15A, 0, {}, 4}},
       [](const TNorFlash&, const TFlash&, const TBytes& In) {
         EXPECT_EQ(In, (TBytes{0xFF, 'S', 'F', 'D'}));
       }},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TBoardOptions Opt;
    Opt.FlashPart = c.Part;
    Opt.FlashProtected = c.Protect;
    TFlash Flash;
    const TBytes Zeros(0x20000, 0x00);
    Flash.Program(0, Zeros.data(), uint32_t(Zeros.size()));
    TNorFlash Nor(Flash, Opt, nullptr);
    int64_t Now = 0;
    TBytes In;
    for (const TCmd& Cmd : c.Cmds) {
      In.assign(Cmd.InLen, 0);
      Now += Nor.Command(Now, Cmd.Op, Cmd.Addr, Cmd.Out.data(), uint32_t(Cmd.Out.size()), In.data(),
                         Cmd.InLen);
      Now = std::max(Now, Nor.BusyUntil());
    }
    c.Check(Nor, Flash, In);
  }
}

TEST_P(VboardStubFlashOnBoard, AWriteThatFailsWhileTheNextBlockArrivesFailsTheRun) {
  struct {
    const char* Name;
    int FailBlock;
    std::vector<uint8_t> Errors; // per answer: FLASH_BEGIN, then each block
  } Cases[] = {
      // Block 1 is answered before it is written; its failure is block 2's
      // answer, and nothing more is taken.
      {"a middle block", 1, {0, 0, 0, errFlashWrite, errFailed}},
      {"the first block", 0, {0, 0, errFlashWrite, errFailed, errFailed}},
      // The last block is answered only once written and read back.
      {"the last block", 3, {0, 0, 0, 0, errFlashWrite}},
  };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TStubFixture f(GetParam());
    f.Opt.FailImage = 1;
    f.Opt.FailBlock = c.FailBlock;
    f.Start();
    auto a = f.Write(0x20000, Pattern(0xC000 + 100, 7));
    ASSERT_EQ(a.size(), c.Errors.size());
    for (size_t i = 0; i < a.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(a[i].Status, c.Errors[i] ? 1 : 0);
      EXPECT_EQ(a[i].Err, c.Errors[i]);
    }
  }
}

TEST_P(VboardStubFlashOnBoard, AFailureIsTheAnswerToWhateverComesNext) {
  // A block fails behind its answer and the program sends something other
  // than the next block: that answer carries the failure, and the session is over.
  for (uint8_t Next : {opFlashEnd, opReadReg, opFlashBegin}) {
    SCOPED_TRACE(int(Next));
    TStubFixture f(GetParam());
    f.Opt.FailImage = 1;
    f.Opt.FailBlock = 0;
    f.Start();
    ASSERT_EQ(f.One(opFlashBegin, Words({0x8000, 2, 0x4000, 0x10000})).Status, 0);
    ASSERT_EQ(f.One(opFlashData, Block(0, Pattern(0x4000, 5)), true).Status, 0);
    TBytes Payload = Next == opFlashEnd  ? Words({1})
                     : Next == opReadReg ? Words({0x40001000})
                                         : Words({0x4000, 1, 0x4000, 0x40000});
    TAns a = f.One(Next, Payload);
    EXPECT_EQ(a.Status, 1);
    EXPECT_EQ(a.Err, errFlashWrite);
    EXPECT_EQ(f.One(opFlashData, Block(1, Pattern(0x10, 6)), true).Err, errFailed);
  }
}

TEST_P(VboardStubFlashOnBoard, AfterAChipEraseWritesEraseOnlyWhatWasWrittenSince) {
  TStubFixture f(GetParam());
  f.Start();
  TBytes Old = Pattern(0x400, 1);
  f.Flash.Program(0x30000, Old.data(), uint32_t(Old.size()));
  ASSERT_EQ(f.One(opEraseFlash, {}).Status, 0);
  size_t AfterChipErase = f.Log().size();
  TBytes Boot = Pattern(26000, 2), App = Pattern(0x20000 + 5, 3);
  for (const TAns& x : f.Write(0x1000, Boot))
    EXPECT_EQ(x.Status, 0);
  for (const TAns& x : f.Write(0x10000, App))
    EXPECT_EQ(x.Status, 0);
  EXPECT_TRUE(f.Holds(0x1000, Boot));
  EXPECT_TRUE(f.Holds(0x10000, App));
  auto Erases = [&](size_t From) {
    std::vector<std::string> e;
    for (size_t i = From; i < f.Log().size(); ++i)
      if (f.Log()[i] == "20" || f.Log()[i] == "52" || f.Log()[i] == "D8" || f.Log()[i] == "C7")
        e.push_back(f.Log()[i]);
    return e;
  };
  EXPECT_TRUE(Erases(AfterChipErase).empty());
  // Writing over the same place again in this run: those sectors were
  // written since the chip erase, so they are erased first.
  size_t Before = f.Log().size();
  TBytes Again = Pattern(26000, 4);
  for (const TAns& x : f.Write(0x1000, Again))
    EXPECT_EQ(x.Status, 0);
  EXPECT_TRUE(f.Holds(0x1000, Again));
  EXPECT_EQ(Erases(Before).size(), 7u); // 0x1000 to 0x7FFF
}

TEST(VboardStubFlash, TheBoardAnswersBlocksWhileItWritesAndTracesEachEraseAndProgram) {
  // A paced board at 921600 baud with a real part's times: each block but the
  // last is answered as soon as it has arrived, because the wire is slower
  // than the erasing and programming behind it.
  char Name[] = "/tmp/vboard_trace_XXXXXX";
  int Fd = mkstemp(Name);
  ASSERT_GE(Fd, 0);
  TBoardOptions Opt;
  Opt.TimeScale = 1.0;
  TFlash Flash;
  TTrace Trace;
  ASSERT_TRUE(Trace.Open(Name));
  TBoard Board(Opt, Flash, &Trace, 0);
  TBytes Out;
  Board.OnOutput = [&](const uint8_t* p, size_t n) { Out.insert(Out.end(), p, p + n); };
  int64_t Now = 0;
  constexpr int64_t Ms = 1000000;
  auto Wait = [&](int64_t Ns) { Board.Advance(Now += Ns); };
  Board.Connect(Now);
  Wait(50 * Ms);
  Board.SetDtr(Now, false), Board.SetRts(Now, true);
  Wait(150 * Ms);
  Board.SetDtr(Now, true), Board.SetRts(Now, false);
  Wait(100 * Ms);
  Board.SetDtr(Now, false);
  Wait(20 * Ms);
  auto Send = [&](const TBytes& b) {
    Out.clear();
    Board.HostWrite(Now, b.data(), b.size());
    // Until an answer frame is complete; how long that took after the last byte left.
    int64_t Sent = Now + int64_t(b.size()) * 10 * 1000000000 / Board.HostBaud();
    while (Frames(Out).empty())
      Wait(100000);
    return Now - Sent;
  };
  Send(SyncFrame());
  Wait(20 * Ms); // the loader answers SYNC eight times
  Send(Frame(opChangeBaud, Words({921600, 115200})));
  Wait(5 * Ms);
  Board.SetHostBaud(Now, 921600);
  Out.clear();
  const TBytes Upload = StubUpload();
  Board.HostWrite(Now, Upload.data(), Upload.size());
  Wait(200 * Ms);
  ASSERT_EQ(Board.ModeName(), "stub") << Name;
  TBytes Image = Pattern(0x20000 + 0x800, 9);
  uint32_t Blocks = uint32_t((Image.size() + 0x3FFF) / 0x4000);
  Send(Frame(opFlashBegin, Words({Blocks * 0x4000, Blocks, 0x4000, 0x40000})));
  for (uint32_t Seq = 0; Seq < Blocks; ++Seq) {
    SCOPED_TRACE(Seq);
    size_t From = size_t(Seq) * 0x4000, n = std::min<size_t>(0x4000, Image.size() - From);
    int64_t Late = Send(Frame(
        opFlashData, Block(Seq, TBytes(Image.begin() + From, Image.begin() + From + n)), true));
    ASSERT_EQ(Ans(Frames(Out).at(0)).Status, 0);
    if (Seq + 1 < Blocks) {
      EXPECT_LT(Late, 2 * Ms);
    }
    Wait(50 * Ms); // the program's pause after each block
  }
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Flash.Bytes().begin() + 0x40000));

  // The trace: every erase and program with its duration; no sector erased
  // twice, nothing erased past the image's last byte.
  std::ifstream In(Name);
  std::string Line;
  std::vector<std::pair<uint32_t, uint32_t>> Erased;
  int Programs = 0;
  auto Field = [&](const char* Key) -> long {
    size_t At = Line.find(std::string("\"") + Key + "\":");
    return At == std::string::npos ? -1L : std::stol(Line.substr(At + std::strlen(Key) + 3));
  };
  while (std::getline(In, Line)) {
    if (Line.find("\"ev\":\"erase\"") != std::string::npos) {
      Erased.push_back({uint32_t(Field("addr")), uint32_t(Field("len"))});
      EXPECT_EQ(Field("us"), Field("len") == 0x10000 ? 150000 : 45000);
    } else if (Line.find("\"ev\":\"program\"") != std::string::npos) {
      ++Programs;
      EXPECT_NEAR(double(Field("us")), 30 + 670.0 * double(Field("len") - 1) / 255, 1.0);
    }
  }
  if (!::testing::Test::HasFailure()) std::remove(Name);
  EXPECT_EQ(Programs, int(Image.size() / 64));
  // 0x40000-0x5FFFF in two 64 KiB erases, then the one sector the last block reaches.
  EXPECT_EQ(Erased, (std::vector<std::pair<uint32_t, uint32_t>>{
                        {0x40000, 0x10000}, {0x50000, 0x10000}, {0x60000, 0x1000}}));
}

} // namespace
