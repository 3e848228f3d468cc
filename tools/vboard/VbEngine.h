#pragma once
// The chip's protocol side: the ROM loader and, once uploaded and started, the
// flasher stub (firmware/stub's own core, run by TStub; in machine mode the uploaded
// bytes, run by TMachineStub). It knows frames and
// commands but no wire; what it wants done (send bytes, be busy, switch the UART
// rate) comes back as actions in order, which TBoard plays out on its timeline
// from the time it last set with SetNow. Tests and the stub comparison feed it
// directly: Feed(wire bytes), then TakeOutput() or TakeActions().
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VbFlash.h"
#include "VbMachine.h"
#include "VbNor.h"
#include "VbOptions.h"
#include "VbStub.h"
#include "VbTrace.h"
#include "VbWire.h"

namespace vboard {

struct TAction {
  // Delay: time passes before the next action, while the chip goes on receiving (its
  // UART buffers the bytes). Reset: the chip resets itself (a watchdog) after Ns; Text
  // is the reset reason its boot message names.
  enum class TKind { Send, Busy, SetBaud, Delay, Reset } Kind;
  TBytes Bytes;      // Send: wire bytes (frames already SLIP-encoded)
  int64_t Ns = 0;    // Busy, Delay, Reset: how long before the next action
  uint32_t Baud = 0; // SetBaud: the rate after everything before it has gone out
  std::string Text = {};
};

// Opcodes and the loader's error codes that the board uses.
enum : uint8_t {
  opFlashBegin = 0x02,
  opFlashData = 0x03,
  opFlashEnd = 0x04,
  opMemBegin = 0x05,
  opMemEnd = 0x06,
  opMemData = 0x07,
  opSync = 0x08,
  opWriteReg = 0x09,
  opReadReg = 0x0A,
  opSpiSetParams = 0x0B,
  opSpiAttach = 0x0D,
  opChangeBaud = 0x0F,
  opEraseFlash = 0xD0
};
enum : uint8_t { errInvalid = 0x05, errFailed = 0x06, errChecksum = 0x07, errFlashWrite = 0x08 };

// Where the stub blob puts its code and data, and how long they are.
constexpr uint32_t StubCodeAddr = 0x400BE000, StubCodeLen = 3288;
constexpr uint32_t StubDataAddr = 0x3FFDEBA8, StubDataLen = 4;
// Where the fast stub's blob puts them (firmware/stub/stub_fast.ld), and the most code.
constexpr uint32_t FastCodeAddr = 0x40080000, FastCodeMax = 0x20000;
constexpr uint32_t FastDataAddr = 0x3FFB0000;

class TChipEngine {
public:
  enum class TMode { Loader, Stub, Halted };

  TChipEngine(const TBoardOptions& O, TFlash& F, TTrace* T = nullptr);

  void EnterLoader(); // a fresh ROM loader, as after a reset into download mode
  // A started stub, as after the loader's jump into it; Fast: the fast stub.
  void EnterStub(bool Fast = false);
  bool FastStub() const { return FMode == TMode::Stub && Stub.Fast(); }
  // Board time (ns) of the next Feed or Wake; actions start from there.
  void SetNow(int64_t Ns) { NowNs = Ns; }
  // When the stub's pending flash work can go on (Wake then), if it has any.
  std::optional<int64_t> WakeAt() const;
  void Wake();
  TNorFlash& Nor() { return FNor; }
  TMode Mode() const { return FMode; }
  static const char* ModeName(TMode m);
  bool Synced() const { return FSynced; }

  void Feed(const uint8_t* p, size_t n);
  void Feed(const TBytes& b) { Feed(b.data(), b.size()); }
  // For callers that feed the engine directly, with no board keeping its time: lets a
  // machine-mode stub run at the times it asks for, until it waits for input with
  // nothing else due (or MaxNs of its time have passed). The host-core stub's time
  // moves with its work and needs no such help.
  void Settle(int64_t MaxNs = 60000000000);
  // Handles one decoded request packet (no SLIP).
  void HandlePacket(const TBytes& Pkt);
  std::vector<TAction> TakeActions();
  // Only the bytes of the Send actions, in order.
  TBytes TakeOutput();

  int ImagesBegun() const { return ImageNo; }
  uint64_t FramesDropped() const { return Slip.Dropped(); }

private:
  struct TRegion {
    uint32_t Addr = 0, Size = 0, Written = 0;
    TBytes Data;
  };
  void Answer(uint8_t Cmd, uint32_t Value, uint8_t Status, uint8_t Err);
  void SendFrame(const TBytes& Pkt, uint8_t Cmd);
  void Busy(int64_t Ns, const char* What);
  void DoLoaderCommand(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n);
  void TraceIn(const TBytes& Pkt);
  void FeedStub(uint8_t b);
  void WatchStubRequest(const TBytes& Pkt);
  void PlayStub();
  void EnterMachine(uint32_t Entry);
  void PlayMachine();
  void StubByte(uint8_t c);
  void DoCommon(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n);
  void MemBegin(const uint8_t* p, uint32_t n);
  void MemData(uint32_t Chk, const uint8_t* p, uint32_t n);
  void MemEnd(const uint8_t* p, uint32_t n);
  void FlashBegin(const uint8_t* p, uint32_t n);
  void FlashData(uint32_t Chk, const uint8_t* p, uint32_t n);
  // The ROM loader's own flash commands: it erases inside FLASH_BEGIN and writes
  // whole 1 KiB blocks, and only once the flash is attached.
  bool RomFlashCommand(uint8_t Cmd, uint32_t Chk, const uint8_t* p, uint32_t n);
  void RomFlashBegin(const uint8_t* p, uint32_t n);
  void RomFlashData(uint32_t Chk, const uint8_t* p, uint32_t n);
  void Halt(const char* Why);
  bool StubLayoutOk(uint32_t Entry) const;
  bool FastLayoutOk(uint32_t Entry) const;
  int64_t Scaled(double Ms) const;
  void TraceMode();

  const TBoardOptions& Opt;
  TFlash& Flash;
  TTrace* Trace;
  TNorFlash FNor;
  TStub Stub;
  std::unique_ptr<TMachineStub> Machine; // machine mode only
  int64_t NowNs = 0;
  uint32_t UartBaud = 115200;
  // The stub's output, cut into frames so that faults and the trace apply to them.
  bool OutInFrame = false;
  TBytes OutFrame;
  // What the stub was asked to write, for the failing-block fault.
  uint32_t StubOffset = 0, StubBlockSize = 0;
  TSlipDecoder Slip;
  TMode FMode = TMode::Loader;
  bool FSynced = false;
  std::vector<TAction> Actions;
  std::map<uint32_t, uint32_t> Regs;
  std::vector<TRegion> Regions;
  bool MemActive = false;
  uint32_t MemSeq = 0, MemBlock = 0;
  bool FlashActive = false;
  uint32_t FOffset = 0, FBlocks = 0, FBlock = 0, FSeq = 0;
  uint64_t FEnd = 0;    // end of the announced region, sector-rounded; no write goes past it
  uint64_t FErased = 0; // the sectors below this were erased since FLASH_BEGIN
  int ImageNo = 0;
  bool SpiAttached = false; // the ROM has attached the flash
  uint32_t SpiTotal = 0;    // the flash size the ROM was told (the whole part until then)
};

} // namespace vboard
