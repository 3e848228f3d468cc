// Flashes the standard set (bootloader 26000 bytes, partition table 3072, firmware 1 MiB
// of random data) with AutoErase into a paced virtual board with a real flash part's
// typical times, through the flash job alone: once with the stub, once through the ROM
// loader's own commands. Prints, for each, the total time, the erase and the writing,
// and the seconds per MiB of image data; a run that fails or leaves the flash without
// the images prints its reason instead of figures.
//
// bench_flash_modes [baud]   (default 921600)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "VbServer.h"
#include "flash/uFlashJob.h"

namespace {

using Clock = std::chrono::steady_clock;
using TBytes = std::vector<uint8_t>;

double Seconds(Clock::duration D) {
  return std::chrono::duration<double>(D).count();
}

TBytes RandomBytes(size_t Size, unsigned Seed) {
  std::mt19937 R(Seed);
  TBytes B(Size);
  for (auto& b : B)
    b = uint8_t(R());
  return B;
}

bool WriteFile(const std::string& Path, const TBytes& B) {
  std::ofstream F(Path, std::ios::binary | std::ios::trunc);
  F.write(reinterpret_cast<const char*>(B.data()), std::streamsize(B.size()));
  return bool(F);
}

// Notes when the erase began and when the first image began; answers nothing else.
class TTimes : public IFlashObserver {
public:
  Clock::time_point EraseAt{}, WriteAt{};
  std::string FirstImage;
  void Status(const std::string& Text) override {
    if (Text == "Erasing, please wait...") EraseAt = Clock::now();
    if (Text == FirstImage && WriteAt == Clock::time_point{}) WriteAt = Clock::now();
  }
  void Led(bool) override {}
  void Mac(const std::string&) override {}
  void ProgressMax(uint32_t) override {}
  void ProgressPos(uint32_t) override {}
  void ProgressVisible(bool) override {}
  bool ConfirmErase() override { return true; }
  void Finished(const TFlashResult&) override {}
};

struct TFigures {
  bool Ok = false;
  std::string Why;
  double Total = 0, Erase = 0, Write = 0;
};

TFigures RunOnce(bool UseStub, uint32_t Baud, const std::vector<TFlashImage>& Images,
                 const std::vector<TBytes>& Written) {
  TFigures Fig;
  vboard::TBoardOptions Opt;
  Opt.TimeScale = 1; // a real part's typical erase and program times
  Opt.Pacing = true; // every byte takes its time on the wire
  vboard::TFlash Flash;
  vboard::TServer Server(Opt, Flash, nullptr, "");
  std::string Err;
  const int Port = Server.Listen(0, Err);
  if (Port <= 0) {
    Fig.Why = "board: " + Err;
    return Fig;
  }
  std::thread Board([&] { Server.Run(); });

  TFlashRequest Req;
  Req.Port = "rfc2217://127.0.0.1:" + std::to_string(Port);
  Req.Config.FastBaud = Baud;
  Req.Config.UseStub = UseStub;
  Req.AutoErase = true;
  Req.Images = Images;
  TTimes Obs;
  Obs.FirstImage = BareFileName(Images.front().FileName);
  TDebugLog Log;
  TFlashJob Job(Req, Obs, Log);
  const auto Start = Clock::now();
  const TFlashResult R = Job.Run();
  const auto End = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the chip leaves reset
  Server.Stop();
  Board.join();

  if (!R.Ok) {
    Fig.Why = "run failed: " + R.Message;
    return Fig;
  }
  if (Job.WithoutStub() == UseStub) {
    Fig.Why = UseStub ? "went on without the stub" : "used the stub";
    return Fig;
  }
  const TBytes& F = Flash.Bytes();
  for (size_t i = 0; i < Images.size(); ++i)
    if (!std::equal(Written[i].begin(), Written[i].end(), F.begin() + Images[i].Offset)) {
      Fig.Why = "the flash does not hold " + BareFileName(Images[i].FileName);
      return Fig;
    }
  Fig.Ok = true;
  Fig.Total = Seconds(End - Start);
  Fig.Erase = Seconds(Obs.WriteAt - Obs.EraseAt);
  Fig.Write = Seconds(End - Obs.WriteAt);
  return Fig;
}

} // namespace

int main(int argc, char** argv) {
  const uint32_t Baud = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 921600;
  const std::string Dir =
      (std::filesystem::temp_directory_path() / ("bench_flash_modes_" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(Dir);
  TBytes Boot = RandomBytes(26000, 1), Part = RandomBytes(3072, 2), Firm = RandomBytes(1048576, 3);
  Boot[0] = 0xE9;
  const std::vector<TFlashImage> Images =
      WindowImages(Dir + "/boot.bin", Dir + "/part.bin", Dir + "/firm.bin");
  if (!WriteFile(Images[0].FileName, Boot) || !WriteFile(Images[1].FileName, Part) ||
      !WriteFile(Images[2].FileName, Firm)) {
    std::fprintf(stderr, "cannot write the images into %s\n", Dir.c_str());
    return 1;
  }
  TBytes Patched = Boot;
  PatchBootHeader(Patched);
  const std::vector<TBytes> Written = {Patched, Part, Firm};
  const double MiB = double(Boot.size() + Part.size() + Firm.size()) / 1048576.0;

  std::printf("standard set (26000 + 3072 + 1048576 bytes = %.3f MiB), AutoErase, %u baud,\n"
              "paced board with a real flash part's times\n",
              MiB, Baud);
  std::printf("%-18s %9s %9s %9s %9s\n", "mode", "total s", "erase s", "write s", "s/MiB");
  int Failed = 0;
  for (const bool UseStub : {true, false}) {
    const TFigures F = RunOnce(UseStub, Baud, Images, Written);
    const char* Name = UseStub ? "stub" : "ROM loader";
    if (!F.Ok) {
      std::printf("%-18s %s\n", Name, F.Why.c_str());
      ++Failed;
      continue;
    }
    // Seconds per MiB of the whole run, and of the writing alone (the erase covers the
    // whole flash whatever the images' size).
    std::printf("%-18s %9.2f %9.2f %9.2f %9.2f (writing alone %.2f)\n", Name, F.Total, F.Erase,
                F.Write, F.Total / MiB, F.Write / MiB);
  }
  std::filesystem::remove_all(Dir);
  return Failed ? 1 : 0;
}
