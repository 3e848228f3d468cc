#pragma once
// The ESP32's three watchdogs (TRM chapter 19, Watchdog Timers): the main watchdogs of
// timer groups 0 and 1 (MWDT0, MWDT1; registers in TRM 18.3, TIMGn_WDTCONFIG0..5, FEED,
// WPROTECT) and the RTC watchdog (RWDT; TRM 31.4, RTC_CNTL_WDTCONFIG0..4, FEED,
// WPROTECT). Each runs while its enable bit or its flash boot protection bit is set,
// through four stages of programmed length; a stage that expires with a reset action
// resets the chip, which the caller then carries out. Writes to any watchdog register but
// the write-key register are ignored unless the key 0x50D83AA1 is in it (TRM 19.3.1.2).
//
// The MWDTs count APB cycles through their 16-bit prescaler (WDTCONFIG1 31:16); the RWDT
// counts the RTC slow clock, the 150 kHz RC oscillator out of reset (TRM 3.2).
#include <cstdint>
#include <string>
#include <vector>

namespace xtsim {

class TWatchdogs {
public:
  static constexpr uint32_t Timg0Base = 0x3FF5F000, Timg1Base = 0x3FF60000,
                            RtcCntlBase = 0x3FF48000, BlockSize = 0x1000;
  static constexpr uint32_t Key = 0x50D83AA1;
  static constexpr uint32_t RtcSlowHz = 150000;
  enum TWhich { Mwdt0, Mwdt1, Rwdt, Count };

  explicit TWatchdogs(uint32_t ApbHz);

  // Arms MWDT0 and the RWDT as flash boot does (TRM 19.3.1.3: stage 0 resets the system,
  // and the RTC too for the RWDT), with stage 0 lasting Ms from At, write protection on.
  void ArmFlashBootProtection(int64_t At, uint32_t Ms);

  // One access at Now to the watchdog block of Which (Offset from TIMGn or RTC_CNTL).
  // False with Why for a register of the block that is not modelled.
  bool Access(int64_t Now, TWhich Which, uint32_t Offset, bool Write, uint8_t Width,
              uint32_t& Value, std::string& Why);

  // Moves time on to Now; true when a stage with a reset action expired by then (Reason
  // says which, ResetAt when).
  bool Advance(int64_t Now);
  int64_t ResetAt() const { return FResetAt; }
  const std::string& Reason() const { return FReason; }
  // When the next stage of any running watchdog expires, or -1.
  int64_t NextDeadline() const;
  bool Running(TWhich W) const;
  // Writes ignored for want of the key, since the last call.
  std::vector<std::string> TakeIgnored();

private:
  struct TDog {
    uint32_t Config[6] = {};
    uint32_t Protect = 0;
    unsigned Stage = 0;
    int64_t StageStart = 0;
  };
  int64_t StageNs(TWhich W, unsigned Stage) const;
  unsigned Action(TWhich W, unsigned Stage) const;

  uint32_t Apb;
  TDog Dogs[Count];
  int64_t FResetAt = -1;
  std::string FReason;
  std::vector<std::string> Ignored;
};

} // namespace xtsim
