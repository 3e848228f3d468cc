// The flash job on its own, against the virtual board: what it reports to its observer
// is compared with what the board saw on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <random>

#include "VbTestServer.h"
#include "VbTestUtil.h"
#include "flash/uFlashJob.h"

using namespace vbtest;
using vboard::TBytes;

namespace {

using Texts = std::vector<std::string>;

// Records every report as a line of text, in order; answers the erase question.
class TRecorder : public IFlashObserver {
public:
  bool EraseAnswer = true;
  // Called with each report as it is recorded ("status OK", "pos 16384"), on the
  // job's thread.
  std::function<void(const std::string&)> OnEvent;

  void Status(const std::string& Text) override { Add("status " + Text); }
  void Led(bool On) override { Add(On ? "led on" : "led off"); }
  void Mac(const std::string& Text) override { Add("mac " + Text); }
  void ProgressMax(uint32_t Max) override { Add("max " + std::to_string(Max)); }
  void ProgressPos(uint32_t Pos) override { Add("pos " + std::to_string(Pos)); }
  void ProgressVisible(bool Visible) override { Add(Visible ? "show" : "hide"); }
  bool ConfirmErase() override {
    Add("confirm erase");
    return EraseAnswer;
  }
  void Finished(const TFlashResult& R) override {
    Add("finished " + (R.Ok ? std::string("ok") : R.Message));
  }

  Texts Events() const {
    std::lock_guard<std::mutex> L(M);
    return FEvents;
  }
  // The events that start with Prefix, the prefix taken off.
  Texts Only(const std::string& Prefix) const {
    Texts Out;
    for (const std::string& E : Events())
      if (E.rfind(Prefix, 0) == 0) Out.push_back(E.substr(Prefix.size()));
    return Out;
  }
  // Status texts other than the connect attempts.
  Texts Statuses() const {
    Texts Out;
    for (const std::string& S : Only("status "))
      if (S.rfind("Connect ", 0) != 0) Out.push_back(S);
    return Out;
  }

private:
  void Add(const std::string& E) {
    {
      std::lock_guard<std::mutex> L(M);
      FEvents.push_back(E);
    }
    if (OnEvent) OnEvent(E);
  }
  mutable std::mutex M;
  Texts FEvents;
};

TBytes RandomBytes(size_t Size, unsigned Seed) {
  std::mt19937 R(Seed);
  TBytes B(Size);
  for (auto& b : B)
    b = uint8_t(R());
  return B;
}

void WriteFile(const std::string& Path, const TBytes& B) {
  std::ofstream F(Path, std::ios::binary | std::ios::trunc);
  F.write(reinterpret_cast<const char*>(B.data()), std::streamsize(B.size()));
}

// The three images the window writes, with sizes its fields accept, in temp files.
struct TImages {
  TBytes Boot = RandomBytes(16385, 1), Part = RandomBytes(3072, 2),
         Firm = RandomBytes(65536 + 100, 3);
  std::string BootFile = TempPath("boot.bin"), PartFile = TempPath("part.bin"),
              FirmFile = TempPath("firm.bin");
  TImages() {
    Boot[0] = 0xE9;
    Boot[2] = 0x00;
    Boot[3] = 0x4F;
    WriteFile(BootFile, Boot);
    WriteFile(PartFile, Part);
    WriteFile(FirmFile, Firm);
  }
  ~TImages() {
    for (const std::string& F : {BootFile, PartFile, FirmFile})
      std::remove(F.c_str());
  }
  std::vector<TFlashImage> List() const { return WindowImages(BootFile, PartFile, FirmFile); }
};

// A board with quick flash and no pacing, and a request for it.
struct TRig {
  TBoardServer Board;
  TFlashRequest Req;
  TRecorder Obs;
  TDebugLog Log;

  explicit TRig(TStubCore Core = TStubCore::Host) {
    Board.Opt.StubCore = Core;
    Board.Opt.Pacing = false;
    Board.Opt.TimeScale = 0.01;
    // Rigs alive at the same time keep their own trace and flash.
    static int Made = 0;
    const std::string Tag = std::to_string(++Made);
    Board.TraceFile = TempPath("trace" + Tag + ".jsonl");
    Board.FlashFile = TempPath("flash" + Tag + ".bin");
  }
  ~TRig() {
    Board.Stop();
    std::remove(Board.TraceFile.c_str());
    std::remove(Board.FlashFile.c_str());
  }
  void Start() {
    Board.Start();
    Req.Port = Board.Url();
    // Short holds the board still takes as a reset into the loader.
    Req.Config.SlowLow = Req.Config.SlowHigh = Req.Config.FastLow = Req.Config.FastHigh = 30;
  }
  bool WithoutStub = false; // what the last run's job said of itself

  // The whole flash holds zeros before the run, so an erase shows wherever it reached.
  void FillFlash() {
    const TBytes Zeros(EspFlashSize, 0x00);
    Board.Flash.Program(0, Zeros.data(), EspFlashSize);
  }
  TFlashResult Run() {
    TFlashJob Job(Req, Obs, Log);
    TFlashResult R = Job.Run();
    WithoutStub = Job.WithoutStub();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the chip leaves reset
    Board.Stop();
    return R;
  }
  // Opcodes of the requests the board received, in order.
  std::vector<int> Commands() const {
    std::vector<int> Out;
    for (const std::string& P : Board.TracedPackets("frame_in"))
      Out.push_back(std::stoi(P.substr(2, 2), nullptr, 16));
    return Out;
  }
  size_t Count(int Cmd) const {
    const auto C = Commands();
    return size_t(std::count(C.begin(), C.end(), Cmd));
  }
  // Data lengths of the FLASH_DATA requests (payload minus the block header).
  std::vector<uint32_t> DataBlocks() const {
    std::vector<uint32_t> Out;
    for (const std::string& P : Board.TracedPackets("frame_in"))
      if (P.compare(2, 2, "03") == 0) Out.push_back(uint32_t(P.size() / 2 - 8 - 16));
    return Out;
  }
  std::string Flash() const { return ReadText(Board.FlashFile); }
  std::vector<std::string> TraceLines() const {
    std::istringstream T(ReadText(Board.TraceFile));
    std::vector<std::string> Out;
    for (std::string Line; std::getline(T, Line);)
      Out.push_back(Line);
    return Out;
  }
  // Index of the first trace line from From on that holds Text; npos when none does.
  size_t IndexOf(const std::string& Text, size_t From = 0) const {
    const auto L = TraceLines();
    for (size_t i = From; i < L.size(); ++i)
      if (L[i].find(Text) != std::string::npos) return i;
    return std::string::npos;
  }
  size_t LastIndexOf(const std::string& Event) const {
    const auto L = TraceLines();
    for (size_t i = L.size(); i-- > 0;)
      if (L[i].find("\"ev\":\"" + Event + "\"") != std::string::npos) return i;
    return std::string::npos;
  }
  // The regions the board erased, in order, as "offset+length" in hex.
  Texts Erases() const {
    Texts Out;
    for (const std::string& L : TraceLines()) {
      if (L.find("\"ev\":\"erase\"") == std::string::npos) continue;
      auto Field = [&L](const std::string& Name) {
        const size_t At = L.find("\"" + Name + "\":") + Name.size() + 3;
        return std::stoul(L.substr(At));
      };
      Out.push_back(Hex32(Field("addr")) + "+" + Hex32(Field("len")));
    }
    return Out;
  }
  static std::string Hex32(unsigned long V) {
    char B[24];
    std::snprintf(B, sizeof B, "%lx", V);
    return B;
  }
};

TBytes Slice(const std::string& Flash, size_t Offset, size_t Len) {
  return TBytes(Flash.begin() + long(Offset), Flash.begin() + long(Offset + Len));
}

// The progress positions an image of Size bytes shows: each block counted as done
// before it is sent, then 0.
Texts Positions(uint32_t Size) {
  Texts P;
  for (uint32_t Done = 0; Done < Size;) {
    Done += std::min<uint32_t>(Size - Done, 16384);
    P.push_back(std::to_string(Done));
  }
  P.push_back("0");
  return P;
}

// ---------------------------------------------------------------- whole runs

// The runs of the stub path, on both kinds of board.
class FlashJobOnBoard : public ::testing::TestWithParam<TStubCore> {};
INSTANTIATE_TEST_SUITE_P(Boards, FlashJobOnBoard, BoardKinds(), BoardKindName);

TEST_P(FlashJobOnBoard, UpdateReportsWhatTheBoardSaw) {
  TImages I;
  const std::string RawA = TempPath("raw_a.bin"), RawB = TempPath("raw_b.bin");
  const TBytes A = RandomBytes(20000, 4), B = RandomBytes(4096, 5);
  WriteFile(RawA, A);
  WriteFile(RawB, B);
  struct {
    const char* Name;
    bool AutoErase;
    std::vector<TFlashImage> Images;
    std::vector<TBytes> Want; // what each image's offset must hold afterwards
  } Cases[] = {
      {"the window's three", true, I.List(), {{}, I.Part, I.Firm}},
      // Any list of images, the last one's block ending exactly at the end of the flash.
      {"raw images",
       false,
       {{0x100000, RawA, TImageKind::Raw}, {EspFlashSize - 16384, RawB, TImageKind::Raw}},
       {A, B}},
  };
  Cases[0].Want[0] = I.Boot;
  Cases[0].Want[0][2] = 0x02; // the bootloader's header is patched on the way
  Cases[0].Want[0][3] = 0x20;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig(GetParam());
    Rig.Start();
    Rig.Req.AutoErase = C.AutoErase;
    Rig.Req.Images = C.Images;
    const TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_FALSE(R.Stopped);
    EXPECT_TRUE(R.Message.empty());

    Texts Want = {"Connected"};
    if (C.AutoErase) Want.push_back("Erasing, please wait...");
    for (const TFlashImage& Im : C.Images) {
      Want.push_back(BareFileName(Im.FileName));
      Want.push_back("OK");
    }
    Want.push_back("OK");
    EXPECT_EQ(Rig.Obs.Statuses(), Want);
    EXPECT_EQ(Rig.Obs.Only("mac "), (Texts{"---", "24:0A:C4:01:A2:3C"}));
    EXPECT_EQ(Rig.Obs.Only("finished "), Texts{"ok"});
    EXPECT_EQ(Rig.Obs.Only("led ").back(), "off");
    EXPECT_TRUE(Rig.Obs.Only("confirm").empty());

    // The bar per image: its maximum, then a position per block the board received.
    Texts WantBar, WantMax;
    std::vector<uint32_t> WantBlocks;
    for (size_t i = 0; i < C.Images.size(); ++i) {
      const uint32_t Size = uint32_t(C.Want[i].size());
      WantMax.push_back(std::to_string(Size));
      const Texts P = Positions(Size);
      WantBar.insert(WantBar.end(), P.begin(), P.end());
      for (uint32_t Done = 0; Done < Size; Done += 16384)
        WantBlocks.push_back(std::min<uint32_t>(Size - Done, 16384));
    }
    EXPECT_EQ(Rig.Obs.Only("max "), WantMax);
    EXPECT_EQ(Rig.Obs.Only("pos "), WantBar);
    EXPECT_EQ(Rig.DataBlocks(), WantBlocks);
    EXPECT_EQ(Rig.Count(0xD0), C.AutoErase ? 1u : 0u);
    EXPECT_EQ(Rig.Count(0x02), C.Images.size());

    const std::string F = Rig.Flash();
    ASSERT_EQ(F.size(), size_t(EspFlashSize));
    for (size_t i = 0; i < C.Images.size(); ++i)
      EXPECT_EQ(Slice(F, C.Images[i].Offset, C.Want[i].size()), C.Want[i]) << i;
    // The final reset comes after the last block.
    EXPECT_GT(Rig.LastIndexOf("reset"), Rig.LastIndexOf("frame_in"));
  }
  std::remove(RawA.c_str());
  std::remove(RawB.c_str());
}

TEST_P(FlashJobOnBoard, EraseAsksFirstAndWritesNothing) {
  for (const bool Yes : {true, false}) {
    SCOPED_TRACE(Yes ? "yes" : "no");
    TRig Rig(GetParam());
    Rig.Start();
    Rig.Req.Operation = TFlashOp::Erase;
    Rig.Obs.EraseAnswer = Yes;
    const TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;
    Texts Want = {"Connected"};
    if (Yes) Want.insert(Want.end(), {"Erasing, please wait...", "OK"});
    Want.push_back("OK");
    EXPECT_EQ(Rig.Obs.Statuses(), Want);
    EXPECT_EQ(Rig.Obs.Only("confirm").size(), 1u);
    EXPECT_EQ(Rig.Count(0xD0), Yes ? 1u : 0u);
    EXPECT_EQ(Rig.Count(0x02), 0u);
    EXPECT_TRUE(Rig.Obs.Only("show").empty());
    // Asked only once the stub runs: its upload comes before the question's answer.
    EXPECT_GT(Rig.Count(0x05), 0u);
  }
}

// Every failure ends alike: the message returned and reported, status "Error", the
// lamp off; nothing is written after the failure.
TEST(FlashJob, FailuresEndWithTheirMessage) {
  TImages I;
  struct {
    const char* Name;
    std::function<void(TRig&)> Set;
    const char* Message; // exact, or nullptr: any non-empty text
    const char* Mac;     // the last MAC reported
    bool Opened;         // false: no port selected, so none is ever opened
  } Cases[] = {
      {"no device", [](TRig& R) { R.Board.Opt.Mute = true; }, "No Device Found!", "---", true},
      {"ESP32-S2", [](TRig& R) { R.Board.Opt.Chip = vboard::TChip::Esp32S2; },
       "Controller Error: ESP32-S2", "---", true},
      {"unknown chip", [](TRig& R) { R.Board.Opt.Chip = vboard::TChip::Unknown; },
       "Controller Error: 0x0BAD0C1D", "---", true},
      {"failing block",
       [](TRig& R) {
         R.Board.Opt.FailImage = 2;
         R.Board.Opt.FailBlock = 0;
       },
       "Error Flash", "24:0A:C4:01:A2:3C", true},
      {"failing block without the stub",
       [](TRig& R) {
         R.Req.Config.UseStub = false;
         R.Board.Opt.FailImage = 3;
         R.Board.Opt.FailBlock = 20;
       },
       "Error Flash", "24:0A:C4:01:A2:3C", true},
      // The stub fails, and so does the ROM's own path after it: the later failure is
      // the one the run ends with.
      {"wrong greeting, then SPI_ATTACH refused",
       [](TRig& R) {
         R.Board.Opt.BadGreeting = true;
         R.Board.Opt.RefuseOpcode = 0x0D;
       },
       "Error SPI_ATTACH", "24:0A:C4:01:A2:3C", true},
      {"no port selected", [](TRig&) {}, nullptr, "---", false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    C.Set(Rig);
    Rig.Start();
    if (!C.Opened) Rig.Req.Port.clear();
    Rig.Req.Images = I.List();
    const TFlashResult R = Rig.Run();
    EXPECT_FALSE(R.Ok);
    EXPECT_FALSE(R.Stopped);
    if (C.Message) {
      EXPECT_EQ(R.Message, C.Message);
    } else {
      EXPECT_FALSE(R.Message.empty());
    }
    EXPECT_EQ(Rig.Obs.Only("finished "), Texts{R.Message});
    EXPECT_EQ(Rig.Obs.Statuses().back(), "Error");
    EXPECT_EQ(Rig.Obs.Only("mac ").back(), C.Mac);
    const Texts Leds = Rig.Obs.Only("led ");
    EXPECT_EQ(!Leds.empty(), C.Opened);
    if (C.Opened) {
      EXPECT_EQ(Leds.back(), "off");
      // The board is reset once the failure is known.
      EXPECT_GT(Rig.LastIndexOf("reset"), Rig.LastIndexOf("frame_in"));
    }
  }
}

// A block fails in the second image: the first stays written, nothing goes out after the
// failure, and the bar was never taken back. Without the stub the ROM answers each 1 KiB
// block before the next one is sent, so the failing one is the last the board received.
TEST_P(FlashJobOnBoard, FailingBlockKeepsTheFirstImageAndStopsTheSecond) {
  TImages I;
  const std::vector<uint32_t> Kib(17 + 2, 1024); // the bootloader's 17 blocks, 2 more
  struct {
    const char* Name;
    bool UseStub;
    int FailBlock;
    const char* Mode;                    // the status after "Connected", if any
    const std::vector<uint32_t>* Blocks; // the FLASH_DATA sizes, when fixed
  } Cases[] = {
      {"with the stub", true, 0, nullptr, nullptr},
      {"without the stub", false, 1, NoStubStatus, &Kib},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig(GetParam());
    Rig.Board.Opt.FailImage = 2;
    Rig.Board.Opt.FailBlock = C.FailBlock;
    Rig.FillFlash();
    Rig.Start();
    Rig.Req.Config.UseStub = C.UseStub;
    Rig.Req.Images = I.List();
    const TFlashResult R = Rig.Run();
    EXPECT_EQ(R.Message, "Error Flash");
    Texts Want = {"Connected"};
    if (C.Mode) Want.push_back(C.Mode);
    Want.insert(Want.end(), {BareFileName(I.BootFile), "OK", BareFileName(I.PartFile), "Error"});
    EXPECT_EQ(Rig.Obs.Statuses(), Want);
    // The bar showed the failing block as begun and was never taken back by the job.
    EXPECT_EQ(Rig.Obs.Only("pos "), (Texts{"16384", "16385", "0", "3072"}));
    EXPECT_EQ(Rig.Count(0x02), 2u); // the firmware was never begun
    if (C.Blocks) {
      EXPECT_EQ(Rig.DataBlocks(), *C.Blocks);
    }
    const std::string F = Rig.Flash();
    ASSERT_EQ(F.size(), size_t(EspFlashSize));
    TBytes Boot = I.Boot;
    PatchBootHeader(Boot);
    EXPECT_EQ(Slice(F, 0x1000, Boot.size()), Boot);
    EXPECT_EQ(Slice(F, 0x10000, 16), TBytes(16, 0x00)); // untouched: never begun
  }
}

// Jobs share nothing: two boards flashed at once on two threads, one with a failing
// block, each end as if it had run alone.
TEST_P(FlashJobOnBoard, TwoJobsAtOnceDoNotDisturbEachOther) {
  TImages I;
  TRig Good(GetParam()), Bad(GetParam());
  Bad.Board.Opt.FailImage = 3;
  Bad.Board.Opt.FailBlock = 1;
  for (TRig* R : {&Good, &Bad}) {
    R->Start();
    R->Req.Images = I.List();
  }
  auto A = std::async(std::launch::async, [&] { return Good.Run(); });
  auto B = std::async(std::launch::async, [&] { return Bad.Run(); });
  ASSERT_EQ(A.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  ASSERT_EQ(B.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const TFlashResult Ra = A.get(), Rb = B.get();
  EXPECT_TRUE(Ra.Ok) << Ra.Message;
  EXPECT_EQ(Rb.Message, "Error Flash");
  EXPECT_EQ(Good.Obs.Statuses().back(), "OK");
  EXPECT_EQ(Bad.Obs.Statuses().back(), "Error");
  const std::string F = Good.Flash();
  ASSERT_EQ(F.size(), size_t(EspFlashSize));
  EXPECT_EQ(Slice(F, 0x8000, I.Part.size()), I.Part);
  EXPECT_EQ(Slice(F, 0x10000, I.Firm.size()), I.Firm);
  // The stub writes a block while the next one arrives, so the failing second block of
  // the firmware is reported in the answer to the third; nothing goes out after that.
  EXPECT_EQ(Bad.DataBlocks(), (std::vector<uint32_t>{16384, 1, 3072, 16384, 16384, 16384}));
}

// ---------------------------------------------------------------- without the stub

// The flash a ROM-mode update leaves on a flash that held zeros: the sectors each image
// reaches erased, the image written over them, everything else untouched.
TBytes RomFlashAfter(const std::vector<TFlashImage>& Images, const std::vector<TBytes>& Data,
                     bool AutoErase) {
  TBytes F(EspFlashSize, AutoErase ? 0xFF : 0x00);
  for (size_t i = 0; i < Images.size(); ++i) {
    const uint32_t Off = Images[i].Offset;
    const uint32_t End = uint32_t((Off + Data[i].size() + 4095) / 4096 * 4096);
    std::fill(F.begin() + Off, F.begin() + End, 0xFF);
    std::copy(Data[i].begin(), Data[i].end(), F.begin() + Off);
  }
  return F;
}

// Where two flash contents first differ, for a readable failure.
std::string FirstDifference(const std::string& Got, const TBytes& Want) {
  if (Got.size() != Want.size()) return "size " + std::to_string(Got.size());
  for (size_t i = 0; i < Want.size(); ++i)
    if (uint8_t(Got[i]) != Want[i]) return "first difference at " + TRig::Hex32(i);
  return "";
}

// The stub does not start (each way it can fail), or the settings turn it off: the run
// goes on through the ROM loader and writes the same images, with the same statuses and
// bar, as 1 KiB blocks after SPI_ATTACH. After a failed stub the board is reset into its
// loader again first. Each FLASH_BEGIN erases its image's sectors and no more.
TEST(FlashJob, WithoutTheStubTheRomLoaderWritesTheImages) {
  TImages I;
  struct {
    const char* Name;
    std::function<void(TRig&)> Set;
    bool StubTried;
  } Cases[] = {
      {"wrong greeting", [](TRig& R) { R.Board.Opt.BadGreeting = true; }, true},
      {"no greeting", [](TRig& R) { R.Board.Opt.NoGreeting = true; }, true},
      {"MEM_END refused", [](TRig& R) { R.Board.Opt.RefuseOpcode = 0x06; }, true},
      {"MEM_DATA unanswered", [](TRig& R) { R.Board.Opt.DropOpcode = 0x07; }, true},
      {"UseStub off", [](TRig& R) { R.Req.Config.UseStub = false; }, false},
  };
  TBytes Boot = I.Boot;
  PatchBootHeader(Boot);
  const std::vector<TBytes> Data = {Boot, I.Part, I.Firm};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    C.Set(Rig);
    Rig.FillFlash();
    Rig.Start();
    Rig.Req.Images = I.List();
    const TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_TRUE(Rig.WithoutStub);

    EXPECT_EQ(Rig.Obs.Statuses(), (Texts{"Connected", C.StubTried ? StubFailedStatus : NoStubStatus,
                                         BareFileName(I.BootFile), "OK", BareFileName(I.PartFile),
                                         "OK", BareFileName(I.FirmFile), "OK", "OK"}));
    Texts Bar;
    for (const TBytes& D : Data) {
      const Texts P = Positions(uint32_t(D.size()));
      Bar.insert(Bar.end(), P.begin(), P.end());
    }
    EXPECT_EQ(Rig.Obs.Only("pos "), Bar);
    EXPECT_EQ(Rig.Obs.Only("finished "), Texts{"ok"});

    // One connection, or a second one after the stub's upload (MEM_BEGIN) began.
    EXPECT_EQ(Rig.Count(0x08), C.StubTried ? 2u : 1u);
    EXPECT_EQ(Rig.Count(0x05) > 0, C.StubTried);
    const size_t Attach = Rig.IndexOf("\"pkt\":\"000d");
    ASSERT_NE(Attach, std::string::npos);
    if (C.StubTried) {
      const size_t Upload = Rig.IndexOf("\"pkt\":\"0005");
      // The board was reset after the upload (the connect began with one too).
      EXPECT_LT(Rig.IndexOf("\"ev\":\"reset\"", Upload), Attach);
    }
    // From SPI_ATTACH on: the ROM set up, then each image begun and sent in 1 KiB blocks.
    std::vector<int> Rom = Rig.Commands();
    Rom.erase(Rom.begin(), std::find(Rom.begin(), Rom.end(), 0x0D));
    std::vector<int> WantRom = {0x0D, 0x0B};
    for (const TBytes& D : Data) {
      WantRom.push_back(0x02);
      WantRom.insert(WantRom.end(), (D.size() + 1023) / 1024, 0x03);
    }
    EXPECT_EQ(Rom, WantRom);
    for (const uint32_t B : Rig.DataBlocks())
      ASSERT_EQ(B, 1024u);

    EXPECT_EQ(Rig.Erases(), (Texts{"1000+5000", "8000+1000", "10000+11000"}));
    const std::string F = Rig.Flash();
    EXPECT_EQ(FirstDifference(F, RomFlashAfter(I.List(), Data, false)), "");
    EXPECT_GT(Rig.LastIndexOf("reset"), Rig.LastIndexOf("frame_in"));
  }
}

// The board switched but its answer to CHANGE_BAUDRATE was lost (never sent, or sent at
// the new rate and so garbled): the job asks the board at the new rate, finds it there
// and goes on with the stub at that rate. A board that answers at neither rate ends the
// run with a message that names the baud change. Either way nothing falls back to the ROM
// loader, and the board is reset at the end.
TEST(FlashJob, BaudChangeWithItsAnswerLost) {
  TImages I;
  TBytes Boot = I.Boot;
  PatchBootHeader(Boot);
  const struct {
    const char* Name;
    vboard::TBaudAnswer How;
    std::string Error; // empty: the run succeeds
    const char* Found; // the log line of the rate found
  } Cases[] = {
      {"answer dropped", vboard::TBaudAnswer::Dropped, "", "The board answers at 921600"},
      {"answer garbled", vboard::TBaudAnswer::Garbled, "", "The board answers at 921600"},
      {"board hangs", vboard::TBaudAnswer::Hang,
       "No answer after the baud change from 115200 to 921600",
       "The board answers neither at 921600 nor at 115200"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    Rig.Board.Opt.BaudAnswer = C.How;
    Rig.Start();
    Rig.Req.Images = I.List();
    const TFlashResult R = Rig.Run();
    EXPECT_EQ(R.Message, C.Error);
    EXPECT_EQ(R.Ok, C.Error.empty());
    EXPECT_FALSE(Rig.WithoutStub);
    // One connection and no ROM flash commands: the stub, or the end.
    EXPECT_EQ(Rig.Count(0x08), 1u);
    EXPECT_EQ(Rig.Count(0x0D), 0u);
    const auto Lines = Rig.Log.Lines();
    for (const char* L : {"Baud change to 921600 not answered", C.Found})
      EXPECT_NE(std::find(Lines.begin(), Lines.end(), L), Lines.end()) << L;
    // The request that found the rate came right after the baud change.
    std::vector<int> After = Rig.Commands();
    After.erase(After.begin(), std::find(After.begin(), After.end(), 0x0F));
    ASSERT_GE(After.size(), 2u);
    EXPECT_EQ(After[1], 0x0A);
    EXPECT_GT(Rig.LastIndexOf("reset"), Rig.LastIndexOf("frame_in"));
    if (!R.Ok) {
      EXPECT_EQ(Rig.Obs.Statuses(), (Texts{"Connected", "Error"}));
      EXPECT_EQ(Rig.Count(0x05), 0u);
      continue;
    }
    EXPECT_EQ(After[2], 0x05); // then the stub's upload, at the rate found
    EXPECT_EQ(Rig.Obs.Statuses(),
              (Texts{"Connected", BareFileName(I.BootFile), "OK", BareFileName(I.PartFile), "OK",
                     BareFileName(I.FirmFile), "OK", "OK"}));
    const std::string F = Rig.Flash();
    const std::vector<TBytes> Data = {Boot, I.Part, I.Firm};
    for (size_t i = 0; i < Data.size(); ++i)
      EXPECT_EQ(Slice(F, I.List()[i].Offset, Data[i].size()), Data[i]) << i;
  }
}

// The adapter is pulled out while the stub is uploaded: that is the port failing, not the
// stub, so the run ends with the port's error and makes no second connection.
TEST(FlashJob, PortLostDuringTheStubUploadIsNoStubFailure) {
  TImages I;
  TRig Rig;
  Rig.Board.Opt.DropAfterBytes = 1000; // inside the stub's code (MEM_DATA)
  Rig.Start();
  Rig.Req.Images = I.List();
  const TFlashResult R = Rig.Run();
  EXPECT_FALSE(R.Ok);
  EXPECT_FALSE(R.Message.empty());
  EXPECT_FALSE(Rig.WithoutStub);
  EXPECT_EQ(Rig.Count(0x08), 1u);
  EXPECT_EQ(Rig.Obs.Statuses(), (Texts{"Connected", "Error"}));
}

// Erase and AutoErase without the stub: the ROM has no chip erase, so the whole flash
// goes as 64 FLASH_BEGINs of 64 KiB announcing no data, the bar counting them.
TEST(FlashJob, EraseWithoutTheStubStepsThroughTheWholeFlash) {
  TImages I;
  TBytes Boot = I.Boot;
  PatchBootHeader(Boot);
  Texts EraseBar, EraseRegions;
  for (uint32_t At = 0; At < EspFlashSize; At += 65536) {
    EraseBar.push_back(std::to_string(At + 65536));
    EraseRegions.push_back(TRig::Hex32(At) + "+10000");
  }
  EraseBar.push_back("0");
  struct {
    const char* Name;
    TFlashOp Op;
    std::vector<TBytes> Data; // the images written after the erase
  } Cases[] = {
      {"Erase", TFlashOp::Erase, {}},
      {"Update with AutoErase", TFlashOp::Update, {Boot, I.Part, I.Firm}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    Rig.FillFlash();
    Rig.Start();
    Rig.Req.Config.UseStub = false;
    Rig.Req.Operation = C.Op;
    Rig.Req.AutoErase = true;
    Rig.Req.Images = I.List();
    const TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;

    Texts Want = {"Connected", NoStubStatus, "Erasing, please wait..."};
    Texts WantMax = {std::to_string(EspFlashSize)}, WantBar = EraseBar;
    if (C.Op == TFlashOp::Erase) Want.push_back("OK");
    for (size_t i = 0; i < C.Data.size(); ++i) {
      Want.insert(Want.end(), {BareFileName(I.List()[i].FileName), "OK"});
      WantMax.push_back(std::to_string(C.Data[i].size()));
      const Texts P = Positions(uint32_t(C.Data[i].size()));
      WantBar.insert(WantBar.end(), P.begin(), P.end());
    }
    Want.push_back("OK");
    EXPECT_EQ(Rig.Obs.Statuses(), Want);
    EXPECT_EQ(Rig.Obs.Only("max "), WantMax);
    EXPECT_EQ(Rig.Obs.Only("pos "), WantBar);
    EXPECT_EQ(Rig.Obs.Only("confirm").size(), C.Op == TFlashOp::Erase ? 1u : 0u);
    EXPECT_EQ(Rig.Count(0xD0), 0u); // the ROM has no such command

    // The whole flash, in order, then each image's own sectors.
    Texts WantErases = EraseRegions;
    if (!C.Data.empty())
      WantErases.insert(WantErases.end(), {"1000+5000", "8000+1000", "10000+11000"});
    EXPECT_EQ(Rig.Erases(), WantErases);
    const std::vector<TFlashImage> Images = C.Data.empty() ? std::vector<TFlashImage>{} : I.List();
    EXPECT_EQ(FirstDifference(Rig.Flash(), RomFlashAfter(Images, C.Data, true)), "");
  }
}

// The ROM erases from a sector's start: an image that would begin inside a sector is
// refused before anything is erased or written, whichever image it is.
TEST(FlashJob, WithoutTheStubAnImageOffASectorIsRefusedFirst) {
  TImages I;
  TRig Rig;
  Rig.Start();
  Rig.Req.Config.UseStub = false;
  Rig.Req.AutoErase = true;
  Rig.Req.Images = {{0x100000, I.PartFile, TImageKind::Raw},
                    {0x200800, I.PartFile, TImageKind::Raw}};
  const TFlashResult R = Rig.Run();
  EXPECT_EQ(R.Message, "Flash address 200800 is not on a 4 KiB sector boundary");
  EXPECT_EQ(Rig.Count(0x02), 0u);
  EXPECT_TRUE(Rig.Erases().empty());
}

// ---------------------------------------------------------------- stopping

// Stop() from another thread: at a given point of the run, the run ends with the stop
// message, the board is reset and the port closed, and nothing more is written.
TEST_P(FlashJobOnBoard, StopFromAnotherThread) {
  TImages I;
  struct {
    const char* Name;
    std::function<void(TRig&)> Set;
    const char* At; // the report at which the other thread stops the run ("": part.bin)
    size_t Syncs;   // SYNC frames the board saw
    size_t Begins;  // FLASH_BEGIN requests the board saw
  } Cases[] = {
      // The second try's text comes before its frame: one SYNC went out.
      {"while connecting to a silent board", [](TRig& R) { R.Board.Opt.Mute = true; },
       "status Connect fast ##", 1, 0},
      // The second image's name comes before its FLASH_BEGIN.
      {"while writing the second image", [](TRig&) {}, "", 1, 1},
      // Without the stub the erase is 64 FLASH_BEGINs of 64 KiB, each shown before it
      // is sent: stopped at the 16th, 15 went out.
      {"while erasing without the stub",
       [](TRig& R) {
         R.Req.Config.UseStub = false;
         R.Req.AutoErase = true;
       },
       "pos 1048576", 1, 15},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig(GetParam());
    C.Set(Rig);
    Rig.Start();
    Rig.Req.Images = I.List();
    std::promise<void> Reached, StopCalled;
    auto StopCalledFuture = StopCalled.get_future();
    bool Once = false;
    const std::string At = *C.At ? C.At : "status " + BareFileName(I.PartFile);
    // The job waits at this report until the other thread has called Stop(), so the
    // point where it stops does not depend on timing.
    Rig.Obs.OnEvent = [&](const std::string& E) {
      if (E == At && !Once) {
        Once = true;
        Reached.set_value();
        StopCalledFuture.wait_for(std::chrono::seconds(30));
      }
    };
    TFlashJob Job(Rig.Req, Rig.Obs, Rig.Log);
    auto Done = std::async(std::launch::async, [&] { return Job.Run(); });
    ASSERT_EQ(Reached.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(Job.StopRequested());
    Job.Stop();
    EXPECT_TRUE(Job.StopRequested());
    StopCalled.set_value();
    ASSERT_EQ(Done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const TFlashResult R = Done.get();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Rig.Board.Stop();
    EXPECT_FALSE(R.Ok);
    EXPECT_TRUE(R.Stopped);
    EXPECT_EQ(R.Message, StoppedMessage);
    EXPECT_EQ(Rig.Obs.Statuses().back(), "Error");
    const Texts Leds = Rig.Obs.Only("led ");
    ASSERT_FALSE(Leds.empty());
    EXPECT_EQ(Leds.back(), "off");
    EXPECT_EQ(Rig.Count(0x08), C.Syncs);
    EXPECT_EQ(Rig.Count(0x02), C.Begins);
    // The board is reset after the last request it received (if any came at all).
    const size_t Reset = Rig.LastIndexOf("reset"), Last = Rig.LastIndexOf("frame_in");
    ASSERT_NE(Reset, std::string::npos);
    if (Last != std::string::npos) {
      EXPECT_GT(Reset, Last);
    }
  }
}

// ---------------------------------------------------------------- images checked again

// Images are read and checked when the run starts: one that fails stops the run before
// the port is opened, so nothing is erased or written.
TEST(FlashJob, ImagesCheckedAgainBeforeAnythingIsSent) {
  TImages I;
  const std::string Big = TempPath("big.bin");
  WriteFile(Big, TBytes(5 * 1024 * 1024, 0x5A));
  const std::string Missing = TempPath("missing.bin");
  struct {
    const char* Name;
    std::vector<TFlashImage> Images;
    std::string Message;
  } Cases[] = {
      {"empty firmware", WindowImages(I.BootFile, I.PartFile, Missing + ".empty"),
       "Filesize Error: " + Missing + ".empty"},
      {"bootloader cut short", WindowImages(Missing + ".short", I.PartFile, I.FirmFile),
       "Filesize Error: " + Missing + ".short"},
      {"firmware larger than the flash", WindowImages(I.BootFile, I.PartFile, Big),
       "Filesize Error: " + Big},
      {"missing partition table", WindowImages(I.BootFile, Missing, I.FirmFile),
       "File not found: " + Missing},
      {"no name", WindowImages(I.BootFile, "", I.FirmFile), "No Filename"},
      {"raw image past the end of the flash",
       {{EspFlashSize - 65536, I.FirmFile, TImageKind::Raw}},
       "Filesize Error: " + I.FirmFile},
      // 4096 bytes fit the last sector, but the block the write announces does not.
      {"raw image whose block passes the end",
       {{EspFlashSize - 4096, I.PartFile, TImageKind::Raw}},
       "Filesize Error: " + I.PartFile},
  };
  WriteFile(Missing + ".empty", {});
  WriteFile(Missing + ".short", TBytes(I.Boot.begin(), I.Boot.begin() + 100));
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    Rig.Start();
    Rig.Req.AutoErase = true;
    Rig.Req.Images = C.Images;
    const TFlashResult R = Rig.Run();
    EXPECT_FALSE(R.Ok);
    EXPECT_EQ(R.Message, C.Message);
    EXPECT_EQ(Rig.Obs.Statuses(), Texts{"Error"});
    EXPECT_TRUE(Rig.Obs.Only("led ").empty()) << "the port was never opened";
    EXPECT_TRUE(Rig.Commands().empty());
  }
  for (const std::string& F : {Big, Missing + ".empty", Missing + ".short"})
    std::remove(F.c_str());
}

// ---------------------------------------------------------------- one image

// The bootloader's header patch is logged as a dump of the patched image's first bytes,
// never of more bytes than the image holds; other images and other kinds log no dump.
TEST(FlashJob, BootHeaderDumpStaysInsideTheImage) {
  const std::string Path = TempPath("image.bin");
  struct {
    TBytes Image;
    TImageKind Kind;
    const char* Dump; // nullptr: no dump line
  } Cases[] = {
      {{0xE9, 0x03, 0x00, 0x4F, 0x11, 0x22, 0x33, 0x44},
       TImageKind::Boot,
       "0000:  E9 03 02 20 11 22 .. .. .. .. .. .. .. .. .. ..  ... .\""},
      {{0xE9, 0x03, 0x00, 0x4F, 0x11},
       TImageKind::Boot,
       "0000:  E9 03 02 20 11 .. .. .. .. .. .. .. .. .. .. ..  ... ."},
      {{0xE8, 0x03, 0x00, 0x4F, 0x11, 0x22}, TImageKind::Boot, nullptr},
      {{0xE9, 0x03, 0x00, 0x4F, 0x11, 0x22}, TImageKind::Firm, nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(vboard::Hex(C.Image));
    WriteFile(Path, C.Image);
    TRecorder Obs;
    TDebugLog Log;
    TFlashRequest Req;
    TFlashJob Job(Req, Obs, Log);
    // No port is open: the write stops at FLASH_BEGIN, after the dump.
    EXPECT_THROW(Job.FlashFile(Path, 0x1000, C.Kind), std::exception);
    const auto& Lines = Log.Lines();
    const bool Dumped = !Lines.empty() && Lines.front().rfind("0000:", 0) == 0;
    if (C.Dump) {
      ASSERT_TRUE(Dumped);
      EXPECT_EQ(Lines.front(), C.Dump);
    } else {
      EXPECT_FALSE(Dumped);
    }
  }
  std::remove(Path.c_str());
}

TEST(FlashJob, ControllerErrorNamesWhatWasRead) {
  const struct {
    uint32_t Id;
    const char* Message;
  } Cases[] = {
      {0x000007C6, "Controller Error: ESP32-S2"},
      {0x12345678, "Controller Error: 0x12345678"},
      {0x00000000, "Controller Error: 0x00000000"},
      {0x00F01D84, "Controller Error: 0x00F01D84"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(ControllerError(C.Id), C.Message);
}

} // namespace

// ---------------------------------------------------------------- the fast path

namespace {

bool Logged(const TDebugLog& Log, const std::string& Text) {
  for (const std::string& L : Log.Lines())
    if (L.find(Text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> Outcomes(const TFlashResult& R) {
  std::vector<std::string> Out;
  for (const TImageReport& Im : R.Images)
    Out.push_back(Im.Text());
  return Out;
}

// The window's three images through the fast stub, on a board that keeps its flash
// from one run to the next.
struct TFastRig : TRig {
  TImages I;
  TBytes Boot = I.Boot;
  TFastRig() {
    PatchBootHeader(Boot);
    Req.Config.FastWrite = true;
    Req.Images = I.List();
  }
  // Checks that the flash holds the three images where the window puts them.
  void ExpectImagesInFlash() const {
    const std::string F = Flash();
    EXPECT_EQ(Slice(F, 0x1000, Boot.size()), Boot);
    EXPECT_EQ(Slice(F, 0x8000, I.Part.size()), I.Part);
    EXPECT_EQ(Slice(F, 0x10000, I.Firm.size()), I.Firm);
  }
  TFlashResult Again() {
    Log = TDebugLog();
    Start();
    return Run();
  }
};

} // namespace

// Written once, then found in flash and left alone, then one sector in the middle of the
// application changed behind the program's back: exactly that sector is rewritten.
TEST(FlashJobFast, WritesOnlyTheSectorsThatDifferFromTheImage) {
  for (const bool AutoErase : {false, true}) {
    SCOPED_TRACE(AutoErase ? "AutoErase" : "no AutoErase");
    TFastRig Rig;
    Rig.Req.AutoErase = AutoErase;
    Rig.Start();
    TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_EQ(R.Path, TWritePath::Fast);
    EXPECT_TRUE(R.PartKnown);
    EXPECT_EQ(R.Part.Size, EspFlashSize);
    EXPECT_EQ(Outcomes(R), (Texts{"written", "written", "written"}));
    for (const TImageReport& Im : R.Images) {
      EXPECT_TRUE(Im.Verified) << Im.Offset;
      EXPECT_EQ(Im.Outcome, TImageOutcome::Written) << Im.Offset;
    }
    EXPECT_EQ(Rig.Count(0x03), 0u) << "no FLASH_DATA block of the standard stub";
    Rig.ExpectImagesInFlash();
    // No fixed pauses, but the bar counts every image's bytes up to its size.
    const Texts Pos = Rig.Obs.Only("pos ");
    for (const auto& Size : {Rig.Boot.size(), Rig.I.Part.size(), Rig.I.Firm.size()})
      EXPECT_NE(std::find(Pos.begin(), Pos.end(), std::to_string(Size)), Pos.end()) << Size;

    // Everything is in flash: nothing is erased or written, only the digests are asked.
    Rig.Req.AutoErase = false;
    const std::string Before = Rig.Flash();
    R = Rig.Again();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_EQ(Outcomes(R), (Texts{"unchanged", "unchanged", "unchanged"}));
    EXPECT_EQ(Rig.Erases(), Texts{});
    EXPECT_EQ(Rig.Board.TracedPackets("program").size(), 0u);
    EXPECT_TRUE(Rig.Flash() == Before) << "the flash changed";
    for (const TImageReport& Im : R.Images) {
      EXPECT_EQ(Im.Outcome, TImageOutcome::Unchanged) << Im.Offset;
      EXPECT_EQ(Im.SectorsRewritten, 0) << Im.Offset;
      EXPECT_EQ(Im.SectorsSkipped, int64_t(Im.Sectors)) << Im.Offset;
      EXPECT_EQ(Im.BytesSent, 0u) << Im.Offset;
      EXPECT_TRUE(Im.Verified) << Im.Offset;
    }

    // The ninth of the application's 17 sectors changed, as another program would.
    const uint32_t Changed = 0x10000 + 8 * 4096;
    const TBytes Other = RandomBytes(4096, 9);
    Rig.Board.Flash.EraseRange(Changed, 4096);
    Rig.Board.Flash.Program(Changed, Other.data(), 4096);
    R = Rig.Again();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_EQ(Outcomes(R), (Texts{"unchanged", "unchanged", "rewritten 1 of 17 sectors"}));
    EXPECT_EQ(R.Images[2].Outcome, TImageOutcome::SectorsRewritten);
    EXPECT_EQ(R.Images[2].SectorsSkipped, 16);
    EXPECT_GT(R.Images[2].BytesSent, 0u);
    EXPECT_LE(R.Images[2].BytesSent, 4096u) << "one sector's bytes at most";
    EXPECT_EQ(Rig.Erases(), Texts{"18000+1000"});
    Rig.ExpectImagesInFlash();
  }
}

// The fast stub that never greets leaves the run to the standard stub; when that fails
// too, the ROM loader writes. The log says which went on.
TEST(FlashJobFast, AFastStubThatDoesNotStartFallsBack) {
  struct {
    const char* Name;
    std::function<void(TRig&)> Set;
    TWritePath Path;
    const char* Said;
  } Cases[] = {
      {"fast stub hangs", [](TRig& R) { R.Board.Opt.FastStubHangs = true; }, TWritePath::Standard,
       "going on with the standard stub"},
      {"no stub greets", [](TRig& R) { R.Board.Opt.NoGreeting = true; }, TWritePath::Rom,
       "going on without the stub"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFastRig Rig;
    C.Set(Rig);
    Rig.Start();
    const TFlashResult R = Rig.Run();
    ASSERT_TRUE(R.Ok) << R.Message;
    EXPECT_EQ(R.Path, C.Path);
    EXPECT_FALSE(R.PartKnown);
    EXPECT_TRUE(Logged(Rig.Log, "Fast stub failed"));
    EXPECT_TRUE(Logged(Rig.Log, C.Said));
    Rig.ExpectImagesInFlash();
    if (C.Path == TWritePath::Standard) {
      // The specified path's blocks, with its progress positions.
      EXPECT_GT(Rig.Count(0x03), 0u);
      for (const uint32_t B : Rig.DataBlocks())
        EXPECT_LE(B, 16384u);
      Texts Bar;
      for (const auto Size : {Rig.Boot.size(), Rig.I.Part.size(), Rig.I.Firm.size()}) {
        const Texts P = Positions(uint32_t(Size));
        Bar.insert(Bar.end(), P.begin(), P.end());
      }
      EXPECT_EQ(Rig.Obs.Only("pos "), Bar);
    }
  }
}

// Programs into one sector do not land: the check after writing finds it and names it.
TEST(FlashJobFast, ADigestMismatchAfterWritingFailsTheRun) {
  TFastRig Rig;
  Rig.Board.Opt.BadSector = 0x13000;
  Rig.Start();
  const TFlashResult R = Rig.Run();
  EXPECT_FALSE(R.Ok);
  EXPECT_EQ(R.Message,
            "Verify Error: " + BareFileName(Rig.I.FirmFile) + " differs from the flash at 13000");
  ASSERT_EQ(R.Images.size(), 3u);
  EXPECT_TRUE(R.Images[0].Verified);
  EXPECT_FALSE(R.Images[2].Verified);
  EXPECT_EQ(Rig.Obs.Only("finished "), Texts{R.Message});
}

// Verify compares and writes nothing; a changed sector fails it and is named.
TEST(FlashJobFast, VerifyNamesTheSectorsThatDiffer) {
  TFastRig Rig;
  Rig.Start();
  ASSERT_TRUE(Rig.Run().Ok);
  Rig.Req.Operation = TFlashOp::Verify;
  TFlashResult R = Rig.Again();
  ASSERT_TRUE(R.Ok) << R.Message;
  EXPECT_EQ(Outcomes(R), (Texts{"matches", "matches", "matches"}));

  for (const uint32_t At : {0x8000u, 0x14000u}) {
    const TBytes Zero(16, 0x00);
    Rig.Board.Flash.Program(At + 100, Zero.data(), 16);
  }
  const auto& Mem = Rig.Board.Flash.Bytes();
  const std::string Before(Mem.begin(), Mem.end());
  R = Rig.Again();
  EXPECT_FALSE(R.Ok);
  EXPECT_EQ(Outcomes(R), (Texts{"matches", "differs in 1 of 1 sectors: 8000",
                                "differs in 1 of 17 sectors: 14000"}));
  EXPECT_NE(R.Message.find("8000"), std::string::npos) << R.Message;
  EXPECT_EQ(Rig.Erases(), Texts{});
  EXPECT_EQ(Rig.Board.TracedPackets("program").size(), 0u);
  EXPECT_TRUE(Rig.Flash() == Before) << "verify changed the flash";
}

// Read streams a region into a file: the bytes the board holds, whole or no file at all.
TEST(FlashJobFast, ReadWritesWhatTheBoardHoldsToTheFile) {
  TRig Rig;
  const TBytes Content = RandomBytes(EspFlashSize, 11);
  Rig.Board.Flash.Program(0, Content.data(), EspFlashSize);
  Rig.Req.Config.FastWrite = true;
  Rig.Req.Operation = TFlashOp::Read;
  const std::string Out = TempPath("read.bin");
  struct {
    uint32_t Offset, Length;
    bool Ok;
  } Cases[] = {
      {0x1234, 70000, true}, {EspFlashSize - 4096, 4096, true}, {EspFlashSize - 4096, 4097, false}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Offset) + "+" + std::to_string(C.Length));
    std::remove(Out.c_str());
    Rig.Req.ReadOffset = C.Offset;
    Rig.Req.ReadLength = C.Length;
    Rig.Req.ReadFile = Out;
    Rig.Start();
    const TFlashResult R = Rig.Run();
    ASSERT_EQ(R.Ok, C.Ok) << R.Message;
    const std::string Got = ReadText(Out);
    if (C.Ok)
      EXPECT_EQ(TBytes(Got.begin(), Got.end()),
                TBytes(Content.begin() + C.Offset, Content.begin() + C.Offset + C.Length));
    else
      EXPECT_EQ(Got, "") << "no file for a region past the flash";
  }
  std::remove(Out.c_str());
}
