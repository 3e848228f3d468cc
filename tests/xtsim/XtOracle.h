#pragma once
// The two oracles the simulator is checked against, shared by the tests of the normal
// build and of the mutant build (which must fail them):
// - decoding: every instruction of an ELF, walked from its function symbols (and, where
//   the file has one, its Xtensa property table, so literal pools and data inside code are
//   never read as instructions), against the cross objdump's listing of the same file;
// - execution: a program's accesses to the result port on the simulated core against the
//   same C compiled for the host.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "XtElf.h"

namespace xtoracle {

struct TDecodeMismatch {
  uint32_t Addr = 0;
  std::string Function, Ours, Theirs;
};

struct TDecodeResult {
  uint64_t Compared = 0;           // instructions compared
  std::set<std::string> Mnemonics; // distinct opcodes as objdump names them ("rsr.ps")
  std::set<unsigned> Operations;   // distinct operations of the simulator (TOp)
  std::vector<TDecodeMismatch> Mismatches;
  std::vector<std::string> Problems; // the file or the listing could not be read
};

// objdump -d of Path (the path of the cross objdump in Objdump), as address -> text in
// our notation: "mnemonic\toperands", symbol annotations dropped, targets as 0x....
std::map<uint32_t, std::string> Listing(const std::string& Objdump, const std::string& Path,
                                        std::string& Error);
// Normalises one instruction line of objdump's listing ("l32r\ta1, 400be000 <x> (3ffde000
// <y>)") into our notation ("l32r\ta1, 0x400be000 (0x3ffde000)").
std::string Normalise(const std::string& Mnemonic, const std::string& Operands);

// Decodes every instruction of the ELF at Path and compares it with objdump's listing of
// it, or of ListingOf when given (a copy of Path with some bytes changed, say).
TDecodeResult CompareDecode(const std::string& Objdump, const std::string& Path,
                            const std::string& ListingOf = "");

// One access to the result port: what the program did, in order.
struct TPortAccess {
  bool Write = false;
  uint8_t Width = 0;
  uint32_t Offset = 0, Value = 0;
  bool operator==(const TPortAccess&) const = default;
};
std::string Show(const TPortAccess& A);

struct TRunResult {
  std::vector<TPortAccess> Log;
  uint32_t ExitWord = 0;
  bool Exited = false; // wrote the exit word
  std::string Failure; // how the run ended otherwise: a fault report, the bound
  uint64_t Instructions = 0;
  std::vector<uint32_t> Pcs; // the instruction of each access, for messages
};

// Runs the program on the ESP32's memories with the result port at its address, bounded.
TRunResult RunOnCore(const std::string& ElfPath, uint64_t MaxInstructions);
// Runs the host build of the same program (its entry function) against the port model.
TRunResult RunOnHost(int (*Main)());
// The first difference between the two runs, or "" when they agree.
std::string CompareRuns(const TRunResult& Core, const TRunResult& Host,
                        const xtsim::TElf* Elf = nullptr);

} // namespace xtoracle
