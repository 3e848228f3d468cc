#include "XtOracle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>

#include "XtCore.h"
#include "XtEsp32.h"
#include "XtIsa.h"
#include "XtMemory.h"
#include "progs/xt_port_map.h"

namespace xtoracle {

namespace {

std::string Hex(uint32_t V) {
  char B[16];
  std::snprintf(B, sizeof B, "0x%x", unsigned(V));
  return B;
}

// Drops every "<...>" annotation and the spaces around it.
std::string DropSymbols(const std::string& S) {
  std::string R;
  int Depth = 0;
  for (char C : S) {
    if (C == '<') ++Depth;
    if (Depth == 0) R += C;
    if (C == '>' && Depth > 0) --Depth;
  }
  std::string Out;
  for (char C : R)
    if (!(C == ' ' && (Out.empty() || Out.back() == ' ' || Out.back() == '('))) Out += C;
  while (!Out.empty() && Out.back() == ' ')
    Out.pop_back();
  for (size_t At; (At = Out.find(" )")) != std::string::npos;)
    Out.erase(At, 1);
  return Out;
}

// A bare or 0x-prefixed hexadecimal address, rewritten as 0x....
std::string AsAddress(const std::string& S) {
  std::string T = S;
  if (T.rfind("0x", 0) == 0) T = T.substr(2);
  if (T.empty() || T.find_first_not_of("0123456789abcdef") != std::string::npos) return S;
  return Hex(uint32_t(std::stoul(T, nullptr, 16)));
}

bool PcRelative(const std::string& M) {
  if (M == "j" || M == "call0" || M == "l32r") return true;
  return M[0] == 'b' && M != "break" && M != "break.n";
}

// The Xtensa property table (.xt.prop): address, size, flags; bit 1 instructions,
// bit 0 literals, bit 2 data.
struct TProp {
  uint32_t Addr, Size, Flags;
};

std::vector<TProp> Properties(const xtsim::TElf& Elf) {
  std::vector<TProp> R;
  for (const auto& S : Elf.Sections) {
    if (S.Name != ".xt.prop") continue;
    const auto& B = Elf.Bytes();
    for (uint64_t E = S.Offset; E + 12 <= uint64_t(S.Offset) + S.Size && E + 12 <= B.size();
         E += 12) {
      auto W = [&](uint64_t O) {
        return uint32_t(B[O] | B[O + 1] << 8 | B[O + 2] << 16 | uint32_t(B[O + 3]) << 24);
      };
      R.push_back({W(E), W(E + 4), W(E + 8)});
    }
  }
  return R;
}

// The byte ranges holding instructions: the function symbols' extents, cut down to the
// property table's instruction ranges where the file has one.
std::vector<std::pair<uint32_t, uint32_t>> CodeRanges(const xtsim::TElf& Elf) {
  std::vector<std::pair<uint32_t, uint32_t>> Funcs;
  std::vector<uint32_t> Starts;
  for (const auto& Sym : Elf.Symbols)
    if ((Sym.Type == 0 || Sym.Type == 2) && Sym.Section && Sym.Section < Elf.Sections.size() &&
        Elf.Sections[Sym.Section].Executable() && !Sym.Name.empty())
      Starts.push_back(Sym.Value);
  std::sort(Starts.begin(), Starts.end());
  for (const auto& Sym : Elf.Symbols) {
    if (!Sym.Function() || Sym.Section == 0 || Sym.Section >= Elf.Sections.size()) continue;
    const auto& Sec = Elf.Sections[Sym.Section];
    if (!Sec.Executable()) continue;
    uint32_t End = Sym.Value + Sym.Size;
    if (Sym.Size == 0) { // an assembly routine without .size: up to the next symbol
      auto Next = std::upper_bound(Starts.begin(), Starts.end(), Sym.Value);
      End = Next != Starts.end() ? std::min(*Next, Sec.Addr + Sec.Size) : Sec.Addr + Sec.Size;
    }
    Funcs.emplace_back(Sym.Value, End);
  }
  std::sort(Funcs.begin(), Funcs.end());
  Funcs.erase(std::unique(Funcs.begin(), Funcs.end()), Funcs.end());
  const std::vector<TProp> Props = Properties(Elf);
  if (Props.empty()) return Funcs;
  std::vector<std::pair<uint32_t, uint32_t>> R;
  for (const TProp& P : Props) {
    if (!(P.Flags & 2) || P.Size == 0) continue; // instructions, as objdump takes them
    for (const auto& [From, To] : Funcs) {
      const uint32_t A = std::max(From, P.Addr),
                     B = std::min<uint64_t>(To, uint64_t(P.Addr) + P.Size);
      if (A < B) R.emplace_back(A, B);
    }
  }
  std::sort(R.begin(), R.end());
  R.erase(std::unique(R.begin(), R.end()), R.end());
  return R;
}

// The result port of the execution programs, for both runs.
class TPortModel {
public:
  std::vector<TPortAccess> Log;
  bool Exit = false;
  uint32_t ExitWord = 0;

  // False for an access the port does not have.
  bool Access(bool Write, unsigned Width, uint32_t Off, uint32_t& Value) {
    if (Off & (Width - 1)) return false;
    if (Off == XT_RESULT || Off == XT_EXIT) {
      if (!Write || Width != 4) return false;
      if (Off == XT_EXIT) {
        Exit = true;
        ExitWord = Value;
      }
    } else if (Off == XT_COUNTER) {
      if (Write || Width != 4) return false;
      Value = ++Counter;
    } else if (Off >= XT_SCRATCH && Off + Width <= XT_SCRATCH + 16) {
      uint8_t* P = Scratch + (Off - XT_SCRATCH);
      if (Write) {
        for (unsigned i = 0; i < Width; ++i)
          P[i] = uint8_t(Value >> (8 * i));
      } else {
        Value = 0;
        for (unsigned i = 0; i < Width; ++i)
          Value |= uint32_t(P[i]) << (8 * i);
      }
    } else {
      return false;
    }
    Log.push_back({Write, uint8_t(Width), Off, Value});
    return true;
  }

private:
  uint32_t Counter = 0;
  uint8_t Scratch[16] = {};
};

thread_local TPortModel* HostPort = nullptr;

} // namespace

std::string Normalise(const std::string& Mnemonic, const std::string& Operands) {
  if (Operands.empty()) return Mnemonic;
  std::vector<std::string> Ops;
  std::string Rest = Operands;
  for (size_t At; (At = Rest.find(", ")) != std::string::npos;) {
    Ops.push_back(Rest.substr(0, At));
    Rest = Rest.substr(At + 2);
  }
  Ops.push_back(Rest);
  for (std::string& O : Ops)
    O = DropSymbols(O);
  if (PcRelative(Mnemonic)) {
    const size_t T = Mnemonic == "l32r" ? 1 : Ops.size() - 1;
    if (T < Ops.size()) {
      std::string& O = Ops[T];
      const size_t Paren = O.find(" (");
      std::string Target = Paren == std::string::npos ? O : O.substr(0, Paren);
      std::string Literal;
      if (Paren != std::string::npos)
        Literal = " (" + AsAddress(O.substr(Paren + 2, O.size() - Paren - 3)) + ")";
      O = AsAddress(Target) + Literal;
    }
  }
  std::string R = Mnemonic + "\t";
  for (size_t i = 0; i < Ops.size(); ++i)
    R += (i ? ", " : "") + Ops[i];
  return R;
}

std::map<uint32_t, std::string> Listing(const std::string& Objdump, const std::string& Path,
                                        std::string& Error) {
  std::map<uint32_t, std::string> L;
  // -z: zero bytes too (an ILL is three of them), which objdump otherwise skips as "...".
  const std::string Cmd = "'" + Objdump + "' -d -z '" + Path + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> P(popen(Cmd.c_str(), "r"), pclose);
  if (!P) {
    Error = "cannot run " + Objdump;
    return L;
  }
  static const std::regex Line(R"(^\s*([0-9a-f]+):\t[0-9a-f]+\s*\t(\S+)(?:\t(.*))?$)");
  char Buf[1024];
  std::smatch M;
  while (std::fgets(Buf, sizeof Buf, P.get())) {
    std::string S = Buf;
    while (!S.empty() && (S.back() == '\n' || S.back() == ' '))
      S.pop_back();
    if (!std::regex_match(S, M, Line)) continue;
    std::string Mn = M[2], Ops = M[3];
    while (!Ops.empty() && Ops.back() == ' ')
      Ops.pop_back();
    // ".byte 0xe": the operand is part of what we compare.
    L[uint32_t(std::stoul(M[1], nullptr, 16))] = Normalise(Mn, Ops);
  }
  if (L.empty()) Error = "objdump listed no instruction in " + Path;
  return L;
}

TDecodeResult CompareDecode(const std::string& Objdump, const std::string& Path,
                            const std::string& ListingOf) {
  TDecodeResult R;
  xtsim::TElf Elf;
  std::string Error;
  if (!Elf.Load(Path, Error)) {
    R.Problems.push_back(Error);
    return R;
  }
  const auto L = Listing(Objdump, ListingOf.empty() ? Path : ListingOf, Error);
  if (!Error.empty()) {
    R.Problems.push_back(Error);
    return R;
  }
  for (const auto& [From, To] : CodeRanges(Elf)) {
    for (uint32_t A = From; A < To;) {
      uint8_t B[3] = {};
      const uint32_t Avail = std::min<uint32_t>(3, To - A);
      if (!Elf.ReadAt(A, B, Avail)) {
        R.Problems.push_back("no bytes at " + Hex(A) + " in " + Path);
        break;
      }
      const xtsim::TInsn I = xtsim::Decode(B[0] | B[1] << 8 | B[2] << 16, A);
      std::optional<uint32_t> Literal;
      uint32_t Word;
      if (I.Op == xtsim::TOp::L32r && Elf.ReadAt(I.Imm, &Word, 4)) Literal = Word;
      const std::string Ours = xtsim::Disassemble(I, Literal);
      auto It = L.find(A);
      const std::string Theirs = It == L.end() ? "(no instruction here)" : It->second;
      ++R.Compared;
      if (I.Op != xtsim::TOp::Invalid) {
        R.Mnemonics.insert(Ours.substr(0, Ours.find('\t')));
        R.Operations.insert(unsigned(I.Op));
      }
      if (Ours != Theirs) R.Mismatches.push_back({A, Elf.Symbolise(A), Ours, Theirs});
      A += I.Len;
    }
  }
  return R;
}

std::string Show(const TPortAccess& A) {
  char B[64];
  std::snprintf(B, sizeof B, "%s%u +0x%02x %s 0x%08x", A.Write ? "write" : "read",
                unsigned(A.Width) * 8, unsigned(A.Offset), A.Write ? "=" : "->", unsigned(A.Value));
  return B;
}

TRunResult RunOnCore(const std::string& ElfPath, uint64_t MaxInstructions) {
  TRunResult R;
  xtsim::TElf Elf;
  std::string Error;
  if (!Elf.Load(ElfPath, Error)) {
    R.Failure = Error;
    return R;
  }
  xtsim::TMemory Mem;
  xtsim::AddEsp32Memories(Mem);
  TPortModel Port;
  Mem.AddMmio("result port", XT_PORT_BASE, 0x20, xtsim::AllowRw,
              [&](xtsim::TCore& Core, xtsim::TMmioAccess& A) {
                if (!Port.Access(A.Write, A.Width, A.Offset, A.Value)) return false;
                R.Pcs.push_back(A.Pc);
                if (Port.Exit) Core.Stop("exit");
                return true;
              });
  if (!Elf.LoadInto(Mem, Error)) {
    R.Failure = Error;
    return R;
  }
  xtsim::TCore Core(Mem);
  Core.Reset(Elf.Entry);
  const xtsim::TStop Stop = Core.Run(MaxInstructions);
  R.Instructions = Core.Instructions();
  R.Log = std::move(Port.Log);
  R.Exited = Port.Exit && Stop.Reason == xtsim::TStopReason::Stopped;
  R.ExitWord = Port.ExitWord;
  if (Stop.Reason == xtsim::TStopReason::Fault)
    R.Failure = xtsim::FaultReport(Core.Fault(), [&](uint32_t A) { return Elf.Symbolise(A); });
  else if (!R.Exited)
    R.Failure = "the run ended without the exit word: " + Stop.Why + " at pc " + Hex(Core.Pc);
  return R;
}

TRunResult RunOnHost(int (*Main)()) {
  // Once per process: a program's static data does not start over for a second run.
  static std::map<int (*)(), TRunResult> Done;
  auto It = Done.find(Main);
  if (It != Done.end()) return It->second;
  TRunResult R;
  TPortModel Port;
  HostPort = &Port;
  uint32_t Exit = uint32_t(Main());
  HostPort = nullptr;
  Port.Access(true, 4, XT_EXIT, Exit); // what the simulated program's start code does
  R.Log = std::move(Port.Log);
  R.Exited = true;
  R.ExitWord = Exit;
  return Done[Main] = R;
}

std::string CompareRuns(const TRunResult& Core, const TRunResult& Host, const xtsim::TElf* Elf) {
  if (!Core.Failure.empty()) return "the simulated run failed: " + Core.Failure;
  const size_t N = std::min(Core.Log.size(), Host.Log.size());
  for (size_t i = 0; i < N; ++i) {
    if (Core.Log[i] == Host.Log[i]) continue;
    std::string Where;
    if (i < Core.Pcs.size()) {
      Where = " at pc " + Hex(Core.Pcs[i]);
      if (Elf) Where += " <" + Elf->Symbolise(Core.Pcs[i]) + ">";
    }
    return "access " + std::to_string(i) + " differs: core " + Show(Core.Log[i]) + Where +
           ", host " + Show(Host.Log[i]);
  }
  if (Core.Log.size() != Host.Log.size())
    return "the core made " + std::to_string(Core.Log.size()) + " accesses, the host " +
           std::to_string(Host.Log.size());
  return "";
}

} // namespace xtoracle

extern "C" void xt_host_w(uint32_t off, unsigned width, uint32_t v) {
  if (xtoracle::HostPort && !xtoracle::HostPort->Access(true, width, off, v))
    xtoracle::HostPort->Log.push_back({true, uint8_t(width), off | 0x80000000u, v});
}

extern "C" uint32_t xt_host_r(uint32_t off, unsigned width) {
  uint32_t V = 0;
  if (xtoracle::HostPort && !xtoracle::HostPort->Access(false, width, off, V))
    xtoracle::HostPort->Log.push_back({false, uint8_t(width), off | 0x80000000u, 0});
  return V;
}
