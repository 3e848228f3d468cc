#include "XtWatchdogs.h"

#include <cstdio>

namespace xtsim {

namespace {
// Where each block keeps its watchdog: CONFIG0 (then the other CONFIG registers), FEED,
// WPROTECT; how many CONFIG registers it has.
struct TLayout {
  uint32_t Config0, Feed, Protect, Configs;
  const char* Name;
};
constexpr TLayout Layout[TWatchdogs::Count] = {
    {0x48, 0x60, 0x64, 6, "TIMG0 watchdog (MWDT0)"},
    {0x48, 0x60, 0x64, 6, "TIMG1 watchdog (MWDT1)"},
    {0x8C, 0xA0, 0xA4, 5, "RTC watchdog (RWDT)"},
};
// CONFIG0: the enable bit 31 for all three; the flash boot protection bit 14 (MWDT) or 10
// (RWDT); the stage actions in 2-bit (MWDT, from bit 29 down) or 3-bit (RWDT, from bit
// 28 down) fields.
constexpr uint32_t En = 1u << 31;
uint32_t FlashBoot(TWatchdogs::TWhich W) {
  return W == TWatchdogs::Rwdt ? 1u << 10 : 1u << 14;
}
const char* ActionName(TWatchdogs::TWhich W, unsigned A) {
  if (W == TWatchdogs::Rwdt)
    return A == 2 ? "CPU reset" : A == 3 ? "system reset" : A == 4 ? "RTC and system reset" : "";
  return A == 2 ? "CPU reset" : A == 3 ? "system reset" : "";
}
} // namespace

TWatchdogs::TWatchdogs(uint32_t ApbHz) : Apb(ApbHz) {}

void TWatchdogs::ArmFlashBootProtection(int64_t At, uint32_t Ms) {
  TDog& M = Dogs[Mwdt0];
  M.Config[0] = En | FlashBoot(Mwdt0) | 3u << 29;
  // A tick of a millisecond: the prescaler counts APB cycles.
  const uint32_t Prescale = Apb / 1000 > 0xFFFF ? 0xFFFF : Apb / 1000;
  M.Config[1] = Prescale << 16;
  M.Config[2] = uint32_t(uint64_t(Ms) * Apb / 1000 / (Prescale ? Prescale : 1));
  M.Stage = 0;
  M.StageStart = At;
  M.Protect = 0;
  TDog& R = Dogs[Rwdt];
  R.Config[0] = En | FlashBoot(Rwdt) | 4u << 28;
  R.Config[1] = uint32_t(uint64_t(Ms) * RtcSlowHz / 1000);
  R.Stage = 0;
  R.StageStart = At;
  R.Protect = 0;
}

bool TWatchdogs::Running(TWhich W) const {
  return (Dogs[W].Config[0] & (En | FlashBoot(W))) != 0;
}

unsigned TWatchdogs::Action(TWhich W, unsigned Stage) const {
  const uint32_t C = Dogs[W].Config[0];
  return W == Rwdt ? (C >> (28 - 3 * Stage)) & 7 : (C >> (29 - 2 * Stage)) & 3;
}

int64_t TWatchdogs::StageNs(TWhich W, unsigned Stage) const {
  const TDog& D = Dogs[W];
  // MWDT: stage n's length in CONFIG2+n, in prescaled APB cycles; RWDT: in CONFIG1+n, in
  // RTC slow clock cycles.
  // Both have four stages (0 to 3).
  const unsigned S = Stage & 3;
  if (W == Rwdt) return int64_t(D.Config[1 + S]) * 1000000000 / RtcSlowHz;
  const uint64_t Prescale = D.Config[1] >> 16, Cycles = D.Config[2 + S];
  return int64_t(Cycles * (Prescale ? Prescale : 1) * 1000000000 / Apb);
}

int64_t TWatchdogs::NextDeadline() const {
  int64_t Next = -1;
  for (unsigned i = 0; i < Count; ++i) {
    const TWhich W = TWhich(i);
    if (!Running(W)) continue;
    const int64_t T = Dogs[i].StageStart + StageNs(W, Dogs[i].Stage);
    if (Next < 0 || T < Next) Next = T;
  }
  return Next;
}

bool TWatchdogs::Advance(int64_t Now) {
  if (FResetAt >= 0) return true;
  for (;;) {
    int64_t First = -1;
    unsigned Which = Count;
    for (unsigned i = 0; i < Count; ++i) {
      if (!Running(TWhich(i))) continue;
      const int64_t T = Dogs[i].StageStart + StageNs(TWhich(i), Dogs[i].Stage);
      if (T <= Now && (First < 0 || T < First)) {
        First = T;
        Which = i;
      }
    }
    if (Which == Count) return false;
    TDog& D = Dogs[Which];
    const unsigned A = Action(TWhich(Which), D.Stage);
    // An interrupt stage has no effect here: nothing in the chip is set up to take it.
    if (A >= 2) {
      FResetAt = First;
      char B[160];
      std::snprintf(B, sizeof B, "%s stage %u expired: %s", Layout[Which].Name, D.Stage,
                    ActionName(TWhich(Which), A));
      FReason = B;
      return true;
    }
    D.Stage = (D.Stage + 1) % 4;
    D.StageStart = First;
  }
}

bool TWatchdogs::Access(int64_t Now, TWhich Which, uint32_t Offset, bool Write, uint8_t Width,
                        uint32_t& Value, std::string& Why) {
  const TLayout& L = Layout[Which];
  TDog& D = Dogs[Which];
  const bool IsConfig = Offset >= L.Config0 && Offset < L.Config0 + 4 * L.Configs;
  if (!IsConfig && Offset != L.Feed && Offset != L.Protect) {
    char B[96];
    std::snprintf(B, sizeof B, "register 0x%02x is not modelled (only the watchdog's are)",
                  unsigned(Offset));
    Why = B;
    return false;
  }
  if (Width != 4) {
    Why = "watchdog registers take only 32-bit accesses";
    return false;
  }
  Advance(Now);
  if (!Write) {
    Value = Offset == L.Protect ? D.Protect : IsConfig ? D.Config[(Offset - L.Config0) / 4] : 0;
    return true;
  }
  if (Offset == L.Protect) {
    D.Protect = Value;
    return true;
  }
  if (D.Protect != Key) {
    char B[128];
    std::snprintf(B, sizeof B, "%s: write of 0x%08x to 0x%02x ignored, write-protected", L.Name,
                  unsigned(Value), unsigned(Offset));
    Ignored.push_back(B);
    return true;
  }
  if (Offset == L.Feed) {
    // The MWDT is fed by any write; the RWDT by bit 31 (RTC_CNTL_WDT_FEED).
    if (Which != Rwdt || (Value & (1u << 31))) {
      D.Stage = 0;
      D.StageStart = Now;
    }
    return true;
  }
  const bool Was = Running(Which);
  D.Config[(Offset - L.Config0) / 4] = Value;
  if (!Was && Running(Which)) {
    D.Stage = 0;
    D.StageStart = Now;
  }
  return true;
}

std::vector<std::string> TWatchdogs::TakeIgnored() {
  std::vector<std::string> I;
  I.swap(Ignored);
  return I;
}

} // namespace xtsim
