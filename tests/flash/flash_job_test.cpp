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
  // Called with each status text, on the job's thread.
  std::function<void(const std::string&)> OnStatus;

  void Status(const std::string& Text) override {
    Add("status " + Text);
    if (OnStatus) OnStatus(Text);
  }
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
    std::lock_guard<std::mutex> L(M);
    FEvents.push_back(E);
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

  TRig() {
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
  TFlashResult Run() {
    TFlashJob Job(Req, Obs, Log);
    TFlashResult R = Job.Run();
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
  size_t LastIndexOf(const std::string& Event) const {
    std::istringstream T(ReadText(Board.TraceFile));
    size_t i = 0, Last = std::string::npos;
    for (std::string Line; std::getline(T, Line); ++i)
      if (Line.find("\"ev\":\"" + Event + "\"") != std::string::npos) Last = i;
    return Last;
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

TEST(FlashJob, UpdateReportsWhatTheBoardSaw) {
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
       {{0x100000, RawA, TImageKind::Raw}, {FlashSize - 16384, RawB, TImageKind::Raw}},
       {A, B}},
  };
  Cases[0].Want[0] = I.Boot;
  Cases[0].Want[0][2] = 0x02; // the bootloader's header is patched on the way
  Cases[0].Want[0][3] = 0x20;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
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
    ASSERT_EQ(F.size(), size_t(FlashSize));
    for (size_t i = 0; i < C.Images.size(); ++i)
      EXPECT_EQ(Slice(F, C.Images[i].Offset, C.Want[i].size()), C.Want[i]) << i;
    // The final reset comes after the last block.
    EXPECT_GT(Rig.LastIndexOf("reset"), Rig.LastIndexOf("frame_in"));
  }
  std::remove(RawA.c_str());
  std::remove(RawB.c_str());
}

TEST(FlashJob, EraseAsksFirstAndWritesNothing) {
  for (const bool Yes : {true, false}) {
    SCOPED_TRACE(Yes ? "yes" : "no");
    TRig Rig;
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

TEST(FlashJob, FailingBlockKeepsTheFirstImageAndStopsTheSecond) {
  TImages I;
  TRig Rig;
  Rig.Board.Opt.FailImage = 2;
  Rig.Board.Opt.FailBlock = 0;
  Rig.Start();
  Rig.Req.Images = I.List();
  const TFlashResult R = Rig.Run();
  EXPECT_EQ(R.Message, "Error Flash");
  EXPECT_EQ(Rig.Obs.Statuses(), (Texts{"Connected", BareFileName(I.BootFile), "OK",
                                       BareFileName(I.PartFile), "Error"}));
  // The bar showed the failing block as begun and was never taken back by the job.
  EXPECT_EQ(Rig.Obs.Only("pos "), (Texts{"16384", "16385", "0", "3072"}));
  EXPECT_EQ(Rig.Count(0x02), 2u); // the firmware was never begun
}

// Jobs share nothing: two boards flashed at once on two threads, one with a failing
// block, each end as if it had run alone.
TEST(FlashJob, TwoJobsAtOnceDoNotDisturbEachOther) {
  TImages I;
  TRig Good, Bad;
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
  ASSERT_EQ(F.size(), size_t(FlashSize));
  EXPECT_EQ(Slice(F, 0x8000, I.Part.size()), I.Part);
  EXPECT_EQ(Slice(F, 0x10000, I.Firm.size()), I.Firm);
  // The stub writes a block while the next one arrives, so the failing second block of
  // the firmware is reported in the answer to the third; nothing goes out after that.
  EXPECT_EQ(Bad.DataBlocks(), (std::vector<uint32_t>{16384, 1, 3072, 16384, 16384, 16384}));
}

// ---------------------------------------------------------------- stopping

// Stop() from another thread: at a given point of the run, the run ends with the stop
// message, the board is reset and the port closed, and nothing more is written.
TEST(FlashJob, StopFromAnotherThread) {
  TImages I;
  struct {
    const char* Name;
    std::function<void(TRig&)> Set;
    const char* At; // the status text at which the other thread stops the run ("": part.bin)
    size_t Syncs;   // SYNC frames the board saw
    size_t Images;  // FLASH_BEGIN requests the board saw
  } Cases[] = {
      // The second try's text comes before its frame: one SYNC went out.
      {"while connecting to a silent board", [](TRig& R) { R.Board.Opt.Mute = true; },
       "Connect fast ##", 1, 0},
      // The second image's name comes before its FLASH_BEGIN.
      {"while writing the second image", [](TRig&) {}, "", 1, 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRig Rig;
    C.Set(Rig);
    Rig.Start();
    Rig.Req.Images = I.List();
    std::promise<void> Reached, StopCalled;
    auto StopCalledFuture = StopCalled.get_future();
    bool Once = false;
    const std::string At = *C.At ? C.At : BareFileName(I.PartFile);
    // The job waits at this report until the other thread has called Stop(), so the
    // point where it stops does not depend on timing.
    Rig.Obs.OnStatus = [&](const std::string& S) {
      if (S == At && !Once) {
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
    EXPECT_EQ(Rig.Count(0x02), C.Images);
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
       {{FlashSize - 65536, I.FirmFile, TImageKind::Raw}},
       "Filesize Error: " + I.FirmFile},
      // 4096 bytes fit the last sector, but the block the write announces does not.
      {"raw image whose block passes the end",
       {{FlashSize - 4096, I.PartFile, TImageKind::Raw}},
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
