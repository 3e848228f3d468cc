#pragma once
// The board in machine mode: the bytes the program uploads run on the simulated ESP32
// (tools/xtsim) instead of firmware/stub's core built for the host. MEM_DATA writes into
// the simulated RAM, MEM_END starts the core at the entry, and from then on the UART's
// bytes go to and from the simulated UART0; the flash behind SPI1 is the board's NOR
// model. Whatever was uploaded runs: no layout is assumed. A blob file may stand in for
// the upload (tests run broken stubs that way).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VbNor.h"
#include "VbOptions.h"
#include "VbStub.h"
#include "VbTrace.h"
#include "XtEsp32Chip.h"

namespace vboard {

// The five values of a stub blob (the program's pickled dictionary: text, text_start,
// entry, data, data_start), whatever their lengths.
struct TStubBlob {
  std::vector<uint8_t> Code, Data;
  uint32_t CodeAddr = 0, DataAddr = 0, Entry = 0;
};
// False with Why when the bytes are not such a dictionary.
bool ParseStubBlob(const std::vector<uint8_t>& Bytes, TStubBlob& Blob, std::string& Why);

class TMachineStub : private xtsim::ISpiFlash {
public:
  TMachineStub(const TBoardOptions& O, TNorFlash& N, TTrace* T);
  ~TMachineStub() override;

  // A fresh chip, as after a reset: RAM holds garbage, nothing runs.
  void Reset();
  // MEM_DATA's bytes (ignored when a blob stands in for the upload).
  void Load(uint32_t Addr, const uint8_t* P, uint32_t Len);
  // MEM_END's jump at Now, the UART at Baud. False with Why when nothing can start
  // (the blob file does not load).
  bool Start(int64_t Now, uint32_t Baud, uint32_t Entry, std::string& Why);
  bool Running() const { return Chip && Started && End == TEnd::None; }
  // As TStub's: bytes received at Now, then the core runs on.
  void Run(int64_t Now, const uint8_t* p, size_t n);
  std::vector<TStub::TOut> TakeOut();
  std::optional<int64_t> WakeAt() const { return Wake; }
  // Polling for input with nothing else due: it will not act until a byte arrives.
  bool Waiting() const { return Running() && Idle && Quiet; }
  void ExpectBaud(uint32_t Baud) { Asked = Baud; }

  // How the run ended, if it did: the core crashed (Why is the fault report) or a
  // watchdog reset the chip at EndAt.
  enum class TEnd { None, Crashed, Reset };
  TEnd Ended() const { return End; }
  const std::string& EndWhy() const { return FEndWhy; }
  int64_t EndAt() const { return FEndAt; }
  // What the chip noted since the last call (see TEsp32Chip::TakeNotes).
  std::vector<std::string> TakeNotes();
  // The simulated instructions and the host time spent on them, since the board began.
  uint64_t Instructions() const;
  double HostSeconds() const { return HostNs / 1e9; }

private:
  void Transfer(xtsim::TSpiTransfer& T) override;
  int64_t NextChange(int64_t Now) const override;
  void Handle(const xtsim::TEsp32Chip::TRun& R);
  void CatchUp(int64_t Now);
  void Collect();
  // The trace's account of the run that ends (machine_run), and the counts carried on.
  void EndRun();

  const TBoardOptions& Opt;
  TNorFlash& Nor;
  TTrace* Trace;
  std::unique_ptr<xtsim::TEsp32Chip> Chip;
  std::unique_ptr<xtsim::ITrace> Mmio;
  FILE* MmioFile = nullptr;
  std::string Symbols; // the ELF for function names, when given
  bool Started = false, Idle = false, Quiet = false;
  int64_t IdleNext = -1;
  std::optional<int64_t> Wake;
  std::vector<TStub::TOut> Out;
  uint32_t Asked = 0, Reported = 0;
  TEnd End = TEnd::None;
  std::string FEndWhy;
  int64_t FEndAt = 0;
  uint64_t DoneInstructions = 0;
  int64_t HostNs = 0, RunStartHostNs = 0;
};

} // namespace vboard
