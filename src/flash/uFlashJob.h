#pragma once
// The flash job: one Update, Erase, Verify or Read on one port, from the connection to
// the final reset, with no window. Whoever shows the run (the window, the command line)
// gets its reports through IFlashObserver.
//
// Two write paths: the specified one (STUB_ESP32, 16 KiB blocks, the fixed pauses), and
// with Config.FastWrite the fast one (the fast stub: what the flash holds already is
// left alone, the rest goes deflated, each image is checked by its digest; no fixed
// pauses). A fast stub that does not start leaves the run to STUB_ESP32, and one that
// fails to the ROM loader, as the specified path always goes on.
//
// Use:
//   TFlashRequest Req;                       // a plain value: what to do, where, with what
//   Req.Operation = TFlashOp::Update;
//   Req.Port = "ttyUSB0";                    // opened as the serial service opens names
//   Req.Images = WindowImages("boot.bin", "part.bin", "firm.bin");
//   TFlashJob Job(Req, Observer, Log);       // owns its own serial service and session
//   TFlashResult R = Job.Run();              // blocks until the board is reset
//   ... from another thread: Job.Stop();     // Run ends soon with R.Stopped
//
// Run never raises: every error is caught once, the board is reset, the port closed,
// the status set to "Error", and the error's text returned (and passed to Finished).
// All observer calls come from the thread that calls Run. The debug log is written from
// that thread too: concurrent jobs each need a log of their own.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../link/uComIo.h"
#include "../protocol/uComEsp.h"
#include "../protocol/uEsp.h"
#include "../protocol/uEspFast.h"
#include "../support/uDebugLog.h"
#include "../support/uError.h"
#include "../support/uFileName.h"
#include "uFastPath.h"
#include "uImageCheck.h"
#include "uSettings.h"

enum TController { cNONE, cESP32, cESP32S2 };

// ---- pure helpers of the run ----

// The MAC text from the two eFuse words: w1 and w2 laid out little-endian as b0..b7,
// shown as b5:b4:b3:b2:b1:b0.
std::string MacText(uint32_t w1, uint32_t w2);
// Chip name for messages and the kind, from the identification word ("" when unknown).
std::string ChipName(uint32_t Id, TController& Kind);
// The message of a run on a chip other than the ESP32: its name, or the word read
// (as eight hex digits) when the word names no chip we know.
std::string ControllerError(uint32_t Id);
// Bootloader header: flash mode DIO, 4 MB at 40 MHz. Changes the image only when it
// begins with the magic byte 0xE9; returns whether it did.
bool PatchBootHeader(std::vector<uint8_t>& Image);
// Lengths of the blocks an image of Size bytes is sent in; the last one is never padded.
std::vector<uint32_t> BlockSizes(uint64_t Size, uint32_t Block = EspWriteBlockSize);

// ---- the job's inputs and outputs ----

// The operation; the first three values are the window's button tags. Verify and Read
// need the fast stub.
enum class TFlashOp { None = 0, Erase = 1, Update = 2, Verify = 3, Read = 4 };

struct TFlashImage {
  uint32_t Offset = 0;
  std::string FileName; // 8-bit text: the system's code page on Windows, UTF-8 elsewhere
  TImageKind Kind = TImageKind::Raw;
};

// The window's three images at 0x1000, 0x8000 and 0x10000, in this order.
std::vector<TFlashImage> WindowImages(const std::string& Boot, const std::string& Part,
                                      const std::string& Firm);

struct TFlashRequest {
  TFlashOp Operation = TFlashOp::Update;
  std::string Port; // empty: no port selected (the open fails)
  TConfig Config;
  bool AutoErase = false;          // Update: erase the whole flash first
  std::vector<TFlashImage> Images; // Update, Verify: written (compared) in this order
  // The flash the images are checked against before the part is known: the 4 MiB the
  // window writes. The fast path checks them against the part's own size once it knows it.
  uint32_t FlashLimit = EspFlashSize;
  // Read: the region, and the file it goes to (written whole or not at all).
  uint32_t ReadOffset = 0, ReadLength = 0;
  std::string ReadFile;
};

// How a run wrote (or read) the flash.
enum class TWritePath { None, Fast, Standard, Rom };
const char* WritePathName(TWritePath Path); // "fast", "standard", "rom", ""

struct TFlashResult {
  bool Ok = false;
  bool Stopped = false; // ended by Stop()
  std::string Message;  // the error's text; empty on success
  // Update, Verify: one per image of the request, in its order (also after a failure).
  std::vector<TImageReport> Images{};
  TWritePath Path = TWritePath::None;
  bool PartKnown = false; // the fast stub named the flash part
  TFlashPart Part{};
};

// The text of the error a stopped run ends with.
inline constexpr const char* StoppedMessage = "Stopped";
// The status a run shows when it goes on through the ROM loader's own flash commands:
// after the stub failed to start, or from the start when the settings turn it off.
inline constexpr const char* StubFailedStatus = "Stub failed, without the stub";
inline constexpr const char* NoStubStatus = "Without the stub";

// Everything a run shows. Called on the thread that runs the job, in the order the
// window's controls change.
class IFlashObserver {
public:
  virtual ~IFlashObserver() = default;
  virtual void Status(const std::string& Text) = 0; // status panel 0
  virtual void Led(bool On) = 0;                    // on while the port is open
  virtual void Mac(const std::string& Text) = 0;    // "---" at the start, then the chip's
  virtual void ProgressMax(uint32_t Max) = 0;
  virtual void ProgressPos(uint32_t Pos) = 0;
  virtual void ProgressVisible(bool Visible) = 0;
  // Asked before an Erase erases; the job waits for the answer. True erases. An
  // observer that shows the question elsewhere and lets the user stop the job should
  // answer false once Stop() was called: the job then ends stopped, without erasing.
  virtual bool ConfirmErase() = 0;
  // The end of the run, after the board was reset and the port closed.
  virtual void Finished(const TFlashResult& Result) = 0;
  // A status that only adds a "#" to the one before: another SYNC try of the same
  // connect attempt. Shown like any status unless the observer lists steps, not tries.
  virtual void ConnectTry(const std::string& Text) { Status(Text); }
};

// Raised inside the job when Stop() was called; ends the run like any error.
class EFlashStopped : public Exception {
public:
  EFlashStopped() : Exception(StoppedMessage) {}
};

class TFlashJob : private IEntryProgress, private IPortLamp {
public:
  // A job with its own serial service and loader session (the command line).
  TFlashJob(TFlashRequest Request, IFlashObserver& Observer, TDebugLog& Log);
  // A job on a serial service and session that outlive it (the window's); Esp must read
  // and write through ComIo. For the run, the service's lamp reports to the observer.
  TFlashJob(TFlashRequest Request, IFlashObserver& Observer, TDebugLog& Log, TComIo& ComIo,
            TEsp& Esp);
  ~TFlashJob() override;
  TFlashJob(const TFlashJob&) = delete;
  TFlashJob& operator=(const TFlashJob&) = delete;

  // The whole run; never raises. Call once.
  TFlashResult Run();
  // From any thread: the run stops at its next step, block or pause, resets the board,
  // closes the port and ends with StoppedMessage. A loader command already sent is
  // waited for (each has its own time limit).
  void Stop() { FStop = true; }
  bool StopRequested() const { return FStop; }
  // From any thread, for a program that ends at once: the port's lines, set without
  // waiting for the run (TComPort::ForceLines). The job must outlive the call.
  bool ForceLines(bool Dtr, bool Rts) noexcept { return FComIo->cPort.ForceLines(Dtr, Rts); }

  // The chip kind found by the run: cNONE from the start of the identification until
  // a known word was read. Before that step the run holds no kind at all.
  TController UsedCpu() const { return FUsedCpu; }
  bool ReachedIdentification() const { return FIdentifying; }
  const TFlashRequest& Request() const { return FRequest; }
  // True once the run has gone on without the stub (the ROM loader writes the flash).
  // Like the kind found, it keeps its value after the run.
  bool WithoutStub() const { return FRomMode; }
  // True once the fast stub runs the flash work.
  bool FastStub() const { return FFast; }

  // Writes one image file (read here, unchecked); raises on failure. Run uses the
  // images it read and checked at its start instead.
  void FlashFile(const std::string& Name, uint32_t Offset, TImageKind Kind);

private:
  void RunSteps();
  // From the connect rate to FastBaud; raises when the board answers at neither.
  void ChangeBaud();
  void StartStub();
  void StartFast();
  void StartRom();
  void EraseFlash();
  void WriteImage(const std::string& Name, uint32_t Offset, TImageKind Kind,
                  std::vector<uint8_t> Image, TImageReport* Report = nullptr);
  void FastImage(const TFlashImage& Im, std::vector<uint8_t> Image, bool Verify,
                 TImageReport& Report);
  void ReadFlash();
  void CheckPartSize() const;
  void EndOnError();
  void SetStatus(const std::string& Text);
  void Pause(uint32_t Ms);
  void CheckStop() const;

  bool Connect();
  // IEntryProgress: the connect texts, and the holds as pauses a stop ends
  void Attempt(int Number, bool Slow) override;
  void Try(int Number) override;
  void Wait(uint32_t Ms) override { Pause(Ms); }
  // IPortLamp
  void SetLed(bool On) override;

  TFlashRequest FRequest;
  IFlashObserver& FObserver;
  TDebugLog& FLog;
  std::unique_ptr<TComIo> FOwnComIo;
  std::unique_ptr<TEsp> FOwnEsp;
  TComIo* FComIo;
  TEsp* FEsp;
  TComEsp FComEsp;
  TEspFast FFastEsp;
  TFastPath FFastPath;
  std::atomic<bool> FStop{false};
  TController FUsedCpu = cNONE;
  bool FIdentifying = false;
  std::atomic<bool> FRomMode{false};
  std::atomic<bool> FFast{false};
  bool FErased = false;              // the whole flash was erased in this run
  TFlashResult FResult;              // the path and the part, filled as the run goes
  std::string FAttemptText;          // the status of the connect attempt going on
  std::vector<TImageReport> FImages; // one per image, filled as the run goes
};
