// The flash job: connect, identify, raise the baud rate, start the stub (or, when it
// fails or is turned off, go on with the ROM loader's own flash commands), erase and
// write, reset. The order, texts, pauses and progress positions are what the window
// has always shown; only the place that shows them is an interface now. The fast path
// (Config.FastWrite) keeps the texts and the order but has no fixed pauses; its bar
// counts image bytes as the stub takes them.
#include "uFlashJob.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "../link/CPort.h"
#include "../support/uFormat.h"

namespace {

constexpr uint32_t BlockLen = EspWriteBlockSize;
constexpr uint32_t RegMacWord1 = 0x3FF5A004;
constexpr uint32_t RegMacWord2 = 0x3FF5A008;
// A pause is cut into slices this long so that a stop is seen soon.
constexpr uint32_t PauseSlice = 10;

} // namespace

// ---------------------------------------------------------------- helpers

std::string MacText(uint32_t w1, uint32_t w2) {
  const uint8_t b[8] = {uint8_t(w1), uint8_t(w1 >> 8), uint8_t(w1 >> 16), uint8_t(w1 >> 24),
                        uint8_t(w2), uint8_t(w2 >> 8), uint8_t(w2 >> 16), uint8_t(w2 >> 24)};
  return Format("%0.2x:%0.2x:%0.2x:%0.2x:%0.2x:%0.2x", {b[5], b[4], b[3], b[2], b[1], b[0]});
}

std::string ChipName(uint32_t Id, TController& Kind) {
  switch (Id) {
  case 0x00F01D83:
    Kind = cESP32;
    return "ESP32";
  case 0x000007C6:
    Kind = cESP32S2;
    return "ESP32-S2";
  default:
    Kind = cNONE;
    return "";
  }
}

std::string ControllerError(uint32_t Id) {
  TController Kind = cNONE;
  const std::string Name = ChipName(Id, Kind);
  // An empty name would leave the user with nothing to go on: show the word read.
  return Format("Controller Error: %s", {Name.empty() ? Format("0x%0.8x", {Id}) : Name});
}

bool PatchBootHeader(std::vector<uint8_t>& Image) {
  // Only a header long enough to hold the two fields is touched.
  if (Image.size() < 4 || Image[0] != 0xE9) return false;
  Image[2] = 0x02;
  Image[3] = 0x20;
  return true;
}

std::vector<uint32_t> BlockSizes(uint64_t Size, uint32_t Block) {
  std::vector<uint32_t> Sizes;
  for (uint64_t Done = 0; Done < Size;) {
    const uint32_t Len = static_cast<uint32_t>(std::min<uint64_t>(Size - Done, Block));
    Sizes.push_back(Len);
    Done += Len;
  }
  return Sizes;
}

const char* WritePathName(TWritePath Path) {
  switch (Path) {
  case TWritePath::Fast:
    return "fast";
  case TWritePath::Standard:
    return "standard";
  case TWritePath::Rom:
    return "rom";
  case TWritePath::None:
    break;
  }
  return "";
}

std::vector<TFlashImage> WindowImages(const std::string& Boot, const std::string& Part,
                                      const std::string& Firm) {
  return {{ImageOffset(TImageKind::Boot), Boot, TImageKind::Boot},
          {ImageOffset(TImageKind::Part), Part, TImageKind::Part},
          {ImageOffset(TImageKind::Firm), Firm, TImageKind::Firm}};
}

// ---------------------------------------------------------------- the job

TFlashJob::TFlashJob(TFlashRequest Request, IFlashObserver& Observer, TDebugLog& Log)
    : FRequest(std::move(Request)), FObserver(Observer), FLog(Log),
      FOwnComIo(std::make_unique<TComIo>()), FOwnEsp(std::make_unique<TEsp>(*FOwnComIo, Log)),
      FComIo(FOwnComIo.get()), FEsp(FOwnEsp.get()), FComEsp(*FComIo, Log),
      FFastEsp(*FEsp, *FComIo, Log), FFastPath(FFastEsp, Log) {
  FComEsp.AttachEsp(FEsp);
}

TFlashJob::TFlashJob(TFlashRequest Request, IFlashObserver& Observer, TDebugLog& Log, TComIo& ComIo,
                     TEsp& Esp)
    : FRequest(std::move(Request)), FObserver(Observer), FLog(Log), FComIo(&ComIo), FEsp(&Esp),
      FComEsp(*FComIo, Log), FFastEsp(*FEsp, *FComIo, Log), FFastPath(FFastEsp, Log) {
  FComEsp.AttachEsp(FEsp);
}

TFlashJob::~TFlashJob() = default;

void TFlashJob::CheckStop() const {
  if (FStop) throw EFlashStopped();
}

void TFlashJob::Pause(uint32_t Ms) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  for (auto Now = std::chrono::steady_clock::now(); Now < Until;
       Now = std::chrono::steady_clock::now()) {
    CheckStop();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        Until - Now, std::chrono::milliseconds(PauseSlice)));
  }
  CheckStop();
}

void TFlashJob::SetStatus(const std::string& Text) {
  FObserver.Status(Text);
}

bool TFlashJob::Connect() {
  return FComEsp.DoConnect(FRequest.Port, FRequest.Config, *this);
}

void TFlashJob::Attempt(int, bool Slow) {
  FAttemptText = Slow ? "Connect slow " : "Connect fast ";
  SetStatus(FAttemptText);
  CheckStop();
}

void TFlashJob::Try(int Number) {
  FObserver.ConnectTry(FAttemptText + std::string(static_cast<size_t>(Number), '#'));
  CheckStop();
}

void TFlashJob::SetLed(bool On) {
  FObserver.Led(On);
}

TFlashResult TFlashJob::Run() {
  IPortLamp* const Lamp = FComIo->SetLamp(this);
  TFlashResult& R = FResult;
  R = TFlashResult();
  FImages.clear();
  if (FRequest.Operation == TFlashOp::Update || FRequest.Operation == TFlashOp::Verify)
    for (const TFlashImage& Im : FRequest.Images) {
      FImages.emplace_back();
      FImages.back().Offset = Im.Offset;
    }
  try {
    RunSteps();
    R.Ok = true;
  } catch (const EFlashStopped& E) {
    R.Stopped = true;
    R.Message = E.what();
  } catch (const std::exception& E) {
    R.Message = E.what();
  } catch (...) {
    R.Message = "Unknown error";
  }
  if (!R.Ok) EndOnError();
  R.Images = FImages;
  FComIo->SetLamp(Lamp);
  try {
    FObserver.Finished(R);
  } catch (const std::exception& E) {
    FLog.S(std::string("Reporting the end of the run failed: ") + E.what());
  } catch (...) {
    FLog.S("Reporting the end of the run failed");
  }
  return R;
}

void TFlashJob::EndOnError() {
  // The board is reset and the port closed even when the reset itself fails (an adapter
  // pulled out): that second error goes to the log, the caller gets the first one.
  try {
    FComIo->DoReset();
  } catch (const std::exception& E) {
    FLog.S(std::string("Reset after error failed: ") + E.what());
  }
  try {
    FComIo->DisConnect();
  } catch (const std::exception& E) {
    FLog.S(std::string("Close after error failed: ") + E.what());
  }
  try {
    SetStatus("Error");
  } catch (const std::exception& E) {
    FLog.S(std::string("Showing the error failed: ") + E.what());
  }
}

void TFlashJob::RunSteps() {
  const TFlashOp Op = FRequest.Operation;
  // --no-stub (UseStub off) wins over the fast path: the ROM loader writes.
  const bool Fast = FRequest.Config.FastWrite && FRequest.Config.UseStub;
  FComIo->Tag = static_cast<int32_t>(Op);
  FObserver.Mac("---");
  CheckStop();
  if ((Op == TFlashOp::Verify || Op == TFlashOp::Read) && !Fast)
    throw Exception("Verify and read need the fast stub");

  // Every image is read and checked again now, by the fields' rules: a file rebuilt or
  // cut since its field was checked must not be half written after an erase.
  std::vector<std::vector<uint8_t>> Data;
  if (Op == TFlashOp::Update || Op == TFlashOp::Verify)
    for (const TFlashImage& Im : FRequest.Images) {
      TImageFile F = ReadImageFile(Im.Kind, Im.Offset, Im.FileName, FRequest.FlashLimit);
      if (!F.Pass) throw Exception(ImageCheckMessage(F, Im.FileName));
      FImages[Data.size()].Size = F.Data.size();
      Data.push_back(std::move(F.Data));
    }

  if (!Connect()) throw Exception("No Device Found!");
  SetStatus("Connected");
  FComIo->ComFlush();
  // The specified path's fixed pause; the fast path has none.
  if (!Fast) Pause(100);

  TEsp& E = *FEsp;
  FUsedCpu = cNONE;
  FIdentifying = true;
  uint32_t Id = 0;
  E.readReg(EspChipIdReg, Id);
  ChipName(Id, FUsedCpu);
  if (FUsedCpu != cESP32) throw Exception(ControllerError(Id));

  uint32_t w1 = 0, w2 = 0;
  E.readReg(RegMacWord1, w1);
  E.readReg(RegMacWord2, w2);
  FObserver.Mac(MacText(w1, w2));
  CheckStop();

  ChangeBaud();
  CheckStop();
  FRomMode = false;
  FFast = false;
  if (FRequest.Config.UseStub) {
    if (Fast)
      StartFast();
    else
      StartStub();
  } else {
    FLog.S("UseStub is off: flashing without the stub");
    FRomMode = true;
    SetStatus(NoStubStatus);
    CheckStop();
  }
  if (FRomMode) StartRom();
  FResult.Path = FFast ? TWritePath::Fast : FRomMode ? TWritePath::Rom : TWritePath::Standard;
  if (FFast) {
    FResult.Part = FFastEsp.Info();
    FResult.PartKnown = true;
    FLog.S("Flash part: " + FlashPartText(FResult.Part));
    CheckPartSize();
    CheckStop();
  }

  switch (Op) {
  case TFlashOp::Erase:
    if (FObserver.ConfirmErase()) {
      CheckStop();
      SetStatus("Erasing, please wait...");
      CheckStop();
      EraseFlash();
      SetStatus("OK");
    }
    CheckStop();
    break;
  case TFlashOp::Update:
    if (FRequest.AutoErase) {
      SetStatus("Erasing, please wait...");
      CheckStop();
      EraseFlash();
      FErased = true;
    }
    for (size_t i = 0; i < FRequest.Images.size(); ++i) {
      const TFlashImage& Im = FRequest.Images[i];
      if (FFast)
        FastImage(Im, std::move(Data[i]), false, FImages[i]);
      else
        WriteImage(Im.FileName, Im.Offset, Im.Kind, std::move(Data[i]), &FImages[i]);
    }
    break;
  case TFlashOp::Verify: {
    for (size_t i = 0; i < FRequest.Images.size(); ++i)
      FastImage(FRequest.Images[i], std::move(Data[i]), true, FImages[i]);
    // A difference fails the run, naming the image and its sectors.
    for (size_t i = 0; i < FImages.size(); ++i)
      if (!FImages[i].Verified)
        throw Exception(BareFileName(Unquoted(FRequest.Images[i].FileName)) + " " +
                        FImages[i].Text());
    break;
  }
  case TFlashOp::Read:
    ReadFlash();
    break;
  case TFlashOp::None:
    break;
  }
  SetStatus("OK");
  FComIo->DoReset();
  FComIo->DisConnect();
}

void TFlashJob::ChangeBaud() {
  const uint32_t Old = static_cast<uint32_t>(FComIo->cPort.CustomBaudRate());
  const uint32_t New = FRequest.Config.FastBaud;
  if (FEsp->changeBaud(New, Old) != TBaudChange::Unanswered) return;
  CheckStop();
  // The board may have switched and lost its answer, or never heard the request: the run
  // goes on at the rate it answers at. At the wrong one every later step would fail, and
  // the run would end in the ROM loader for nothing.
  if (FEsp->findBaud(New, Old) == 0)
    throw Exception(Format("No answer after the baud change from %d to %d", {Old, New}));
}

void TFlashJob::StartStub() {
  try {
    FEsp->ESP32_InstallStub();
  } catch (const EComPort&) {
    throw; // the port failed, not the stub: a new connection would fail the same way
  } catch (const std::exception& Failure) {
    // The stub did not start (no greeting, a wrong one, a step refused): the chip may
    // run anything now. It is reset into its ROM loader the way the run began, and the
    // ROM writes the flash itself, more slowly.
    FLog.S(std::string("Stub failed: ") + Failure.what());
    FLog.S("Back into the ROM loader, going on without the stub");
    CheckStop();
    if (!Connect()) throw Exception("No Device Found!");
    FComIo->ComFlush();
    Pause(100);
    ChangeBaud();
    FRomMode = true;
    SetStatus(StubFailedStatus);
    CheckStop();
  }
  CheckStop();
}

void TFlashJob::StartFast() {
  try {
    FFastEsp.Install();
    FFast = true;
    FLog.S("Fast stub started");
  } catch (const EComPort&) {
    throw; // the port failed, not the stub
  } catch (const std::exception& Failure) {
    // As when the standard stub fails: the chip may run anything now. The run goes on
    // as the specified path would, from a fresh connection; only verify and read,
    // which only the fast stub does, end here.
    FLog.S(std::string("Fast stub failed: ") + Failure.what());
    if (FRequest.Operation == TFlashOp::Verify || FRequest.Operation == TFlashOp::Read)
      throw Exception(std::string("Fast stub failed: ") + Failure.what());
    FLog.S("Back into the ROM loader, going on with the standard stub");
    CheckStop();
    if (!Connect()) throw Exception("No Device Found!");
    FComIo->ComFlush();
    FEsp->changeBaud(FRequest.Config.FastBaud,
                     static_cast<uint32_t>(FComIo->cPort.CustomBaudRate()));
    CheckStop();
    StartStub();
  }
  CheckStop();
}

void TFlashJob::CheckPartSize() const {
  // The images (or the region read) must lie inside the part the stub found.
  const uint32_t Flash = FResult.Part.Size;
  const auto Fits = [&](uint64_t Offset, uint64_t Size) { return Offset + Size <= Flash; };
  if (FRequest.Operation == TFlashOp::Read && !Fits(FRequest.ReadOffset, FRequest.ReadLength))
    throw Exception(Format("%d bytes at %x do not fit the %d MiB flash",
                           {FRequest.ReadLength, FRequest.ReadOffset, Flash >> 20}));
  if (FRequest.Operation == TFlashOp::Update || FRequest.Operation == TFlashOp::Verify)
    for (const TFlashImage& Im : FRequest.Images) {
      const TImageFile F = CheckImageFile(Im.Kind, Im.Offset, Im.FileName, Flash);
      if (!F.Pass || !Fits(Im.Offset, uint64_t(F.Size)))
        throw Exception(Format("%s at %x does not fit the %d MiB flash",
                               {BareFileName(Unquoted(Im.FileName)), Im.Offset, Flash >> 20}));
    }
}

void TFlashJob::StartRom() {
  // The ROM erases whole sectors from where an image begins: an image that does not
  // begin on a sector would take the bytes before it along. Refused before the flash
  // is touched, not halfway through the list.
  if (FRequest.Operation == TFlashOp::Update)
    for (const TFlashImage& Im : FRequest.Images)
      if (Im.Offset % EspSectorSize != 0)
        throw Exception(Format("Flash address %x is not on a 4 KiB sector boundary", {Im.Offset}));
  FEsp->romSpiAttach();
  FEsp->spiSetParams(EspFlashSize);
  CheckStop();
}

void TFlashJob::EraseFlash() {
  if (!FRomMode) {
    FEsp->eraseChip();
    return;
  }
  // The ROM has no chip erase: the whole flash goes in steps, and the bar shows them
  // (it takes most of a minute on a real part).
  FObserver.ProgressMax(EspFlashSize);
  FObserver.ProgressVisible(true);
  CheckStop();
  FEsp->romEraseFlash([this](uint32_t Done, uint32_t) {
    FObserver.ProgressPos(Done);
    CheckStop();
  });
  FObserver.ProgressPos(0);
  FObserver.ProgressVisible(false);
  CheckStop();
}

void TFlashJob::FlashFile(const std::string& Name, uint32_t Offset, TImageKind Kind) {
  // Read as it stands, whatever its size: the checks belong to the run.
  TImageFile F = ReadImageFile(TImageKind::Raw, 0, Name);
  if (F.Size < 0) throw Exception(ImageCheckMessage(F, Name));
  WriteImage(Name, Offset, Kind, std::move(F.Data));
}

void TFlashJob::FastImage(const TFlashImage& Im, std::vector<uint8_t> Image, bool Verify,
                          TImageReport& R) {
  const auto Start = std::chrono::steady_clock::now();
  const std::string Name = BareFileName(Unquoted(Im.FileName));
  SetStatus(Name);
  CheckStop();
  // The same header as the specified path writes.
  if (Im.Kind == TImageKind::Boot && PatchBootHeader(Image))
    FLog.BUFF(Image.data(), static_cast<int32_t>(std::min<size_t>(Image.size(), 6)));
  const uint32_t Size = static_cast<uint32_t>(Image.size());
  FObserver.ProgressMax(Size);
  FObserver.ProgressVisible(true);
  CheckStop();
  const auto Account = [&] {
    R.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  };
  try {
    if (Verify) {
      FFastPath.Compare(Name, Im.Offset, Image, R);
      FObserver.ProgressPos(Size);
    } else {
      FFastPath.Write(
          Name, Im.Offset, Image, FErased,
          [this](uint32_t Done) {
            FObserver.ProgressPos(Done);
            CheckStop();
          },
          R);
    }
  } catch (...) {
    Account();
    throw;
  }
  Account();
  FLog.F("%s: %s", {Name, R.Text()});
  SetStatus("OK");
  FObserver.ProgressPos(0);
  FObserver.ProgressVisible(false);
  CheckStop();
}

void TFlashJob::ReadFlash() {
  const std::string Name = BareFileName(Unquoted(FRequest.ReadFile));
  SetStatus(Name);
  FObserver.ProgressMax(FRequest.ReadLength);
  FObserver.ProgressVisible(true);
  CheckStop();
  const std::vector<uint8_t> Data =
      FFastEsp.Read(FRequest.ReadOffset, FRequest.ReadLength, [this](size_t Done) {
        FObserver.ProgressPos(static_cast<uint32_t>(Done));
        CheckStop();
      });
  // Beside the file and renamed over it, so that a failed write leaves no half file.
  const std::string File = Unquoted(FRequest.ReadFile), Tmp = File + ".part";
  std::FILE* F = std::fopen(Tmp.c_str(), "wb");
  bool Ok = F && std::fwrite(Data.data(), 1, Data.size(), F) == Data.size();
  if (F) Ok = std::fclose(F) == 0 && Ok;
  std::remove(File.c_str()); // (Windows renames over no existing file)
  if (!Ok || std::rename(Tmp.c_str(), File.c_str()) != 0) {
    std::remove(Tmp.c_str());
    throw Exception("Cannot write " + File);
  }
  SetStatus("OK");
  FObserver.ProgressPos(0);
  FObserver.ProgressVisible(false);
  CheckStop();
}

void TFlashJob::WriteImage(const std::string& Name, uint32_t Offset, TImageKind Kind,
                           std::vector<uint8_t> Image, TImageReport* Report) {
  SetStatus(BareFileName(Unquoted(Name)));
  CheckStop();
  const uint32_t Size = static_cast<uint32_t>(Image.size());
  const auto Start = std::chrono::steady_clock::now();

  // The header's first bytes, but never past the end of a short image.
  if (Kind == TImageKind::Boot && PatchBootHeader(Image))
    FLog.BUFF(Image.data(), static_cast<int32_t>(std::min<size_t>(Image.size(), 6)));

  uint32_t Done = 0;
  FObserver.ProgressMax(Size);
  FObserver.ProgressVisible(true);
  CheckStop();

  // Without the stub the ROM takes the same 16 KiB pieces as 1 KiB blocks, so the bar
  // and the pauses are the same on both paths.
  if (Report) Report->Outcome = TImageOutcome::Incomplete;
  if (FRomMode)
    FEsp->romFlashStart(Offset, Size);
  else
    FEsp->flashStart(Offset, Size, BlockLen);
  std::vector<uint8_t> Buffer(BlockLen);
  for (const uint32_t Block : BlockSizes(Size, BlockLen)) {
    // The bar shows the block as done before it is sent.
    FObserver.ProgressPos(Done + Block);
    CheckStop();
    std::copy_n(Image.begin() + Done, Block, Buffer.begin());
    if (FRomMode)
      FEsp->romFlashWrite(Buffer.data(), Block);
    else
      FEsp->flashWrite(Buffer.data(), Block);
    if (Report)
      Report->BytesSent +=
          FRomMode ? (Block + EspRomBlockSize - 1) / EspRomBlockSize * EspRomBlockSize : Block;
    Pause(50);
    Done += Block;
  }
  if (Report) Report->Outcome = TImageOutcome::Written;
  Image.clear();
  Image.shrink_to_fit();
  if (Report)
    Report->Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();

  SetStatus("OK");
  FObserver.ProgressPos(0);
  FObserver.ProgressVisible(false);
  CheckStop();
  Pause(200);
}
