#pragma once
// A trace of what a program does at its boundaries: MMIO accesses (address, width, value,
// read or write) and calls and returns, kept in memory for tests or written as lines.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "XtCore.h"

namespace xtsim {

struct TTraceEntry {
  enum TKind : uint8_t { Read, Write, Call, Return } Kind = Read;
  uint8_t Width = 0;  // MMIO only
  uint32_t Pc = 0;    // the instruction
  uint32_t Addr = 0;  // the MMIO address, or the call's or return's target
  uint32_t Value = 0; // the value read or written, or the call's return address
  uint64_t Cycle = 0;
  bool operator==(const TTraceEntry&) const = default;
};

class TTraceLog : public ITrace {
public:
  using TSymbolise = std::function<std::string(uint32_t)>;
  // With a stream, each entry is written there as a line instead of being kept.
  explicit TTraceLog(FILE* Stream = nullptr, TSymbolise Symbolise = nullptr)
      : Out(Stream), Sym(std::move(Symbolise)) {}

  bool WithMmio = true, WithCalls = true;
  size_t Limit = 1u << 20; // entries kept; those beyond are only counted
  std::vector<TTraceEntry> Entries;
  uint64_t Dropped = 0;

  void Mmio(const TMmioAccess& A) override;
  void Call(uint32_t From, uint32_t To, uint32_t Ret, uint64_t Cycle) override;
  void Return(uint32_t From, uint32_t To, uint64_t Cycle) override;

  // "cycle 1234 pc 0x400be0d4 <reply+0x4>: write32 0x3ff40000 = 0x000000c0"
  std::string Format(const TTraceEntry& E) const;

private:
  void Add(const TTraceEntry& E);
  FILE* Out;
  TSymbolise Sym;
};

} // namespace xtsim
