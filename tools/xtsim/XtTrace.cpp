#include "XtTrace.h"

namespace xtsim {

void TTraceLog::Add(const TTraceEntry& E) {
  if (Out) {
    std::fprintf(Out, "%s\n", Format(E).c_str());
    return;
  }
  if (Entries.size() < Limit)
    Entries.push_back(E);
  else
    ++Dropped;
}

void TTraceLog::Mmio(const TMmioAccess& A) {
  if (!WithMmio) return;
  TTraceEntry E;
  E.Kind = A.Write ? TTraceEntry::Write : TTraceEntry::Read;
  E.Width = A.Width;
  E.Pc = A.Pc;
  E.Addr = A.Addr;
  E.Value = A.Value;
  E.Cycle = A.Cycle;
  Add(E);
}

void TTraceLog::Call(uint32_t From, uint32_t To, uint32_t Ret, uint64_t Cycle) {
  if (WithCalls) Add({TTraceEntry::Call, 0, From, To, Ret, Cycle});
}

void TTraceLog::Return(uint32_t From, uint32_t To, uint64_t Cycle) {
  if (WithCalls) Add({TTraceEntry::Return, 0, From, To, 0, Cycle});
}

std::string TTraceLog::Format(const TTraceEntry& E) const {
  auto Where = [&](uint32_t Addr) {
    char B[16];
    std::snprintf(B, sizeof B, "0x%08x", unsigned(Addr));
    std::string S = B;
    const std::string N = Sym ? Sym(Addr) : "";
    return N.empty() ? S : S + " <" + N + ">";
  };
  char B[64];
  std::snprintf(B, sizeof B, "cycle %llu pc ", (unsigned long long)E.Cycle);
  std::string S = B + Where(E.Pc) + ": ";
  switch (E.Kind) {
  case TTraceEntry::Read:
  case TTraceEntry::Write:
    std::snprintf(B, sizeof B, "%s%u 0x%08x %s 0x%0*x",
                  E.Kind == TTraceEntry::Read ? "read" : "write", unsigned(E.Width) * 8,
                  unsigned(E.Addr), E.Kind == TTraceEntry::Read ? "->" : "=", int(E.Width) * 2,
                  unsigned(E.Value));
    return S + B;
  case TTraceEntry::Call:
    return S + "call " + Where(E.Addr);
  case TTraceEntry::Return:
    return S + "return to " + Where(E.Addr);
  }
  return S;
}

} // namespace xtsim
