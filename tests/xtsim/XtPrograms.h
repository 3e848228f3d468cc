#pragma once
// The execution programs (progs/*.c): their names, the host build's entry of each, and
// the three ways each is cross-compiled.
#include <ostream>
#include <string>
#include <vector>

extern "C" {
int xt_main_arith(void);
int xt_main_shifts(void);
int xt_main_mul(void);
int xt_main_divmod(void);
int xt_main_switch(void);
int xt_main_structs(void);
int xt_main_bytes(void);
int xt_main_recursion(void);
int xt_main_volatile(void);
}

namespace xtoracle {

struct TProgram {
  const char* Name;
  int (*HostMain)(void);
};

inline void PrintTo(const TProgram& P, std::ostream* Out) {
  *Out << P.Name;
}

inline const std::vector<TProgram>& Programs() {
  static const std::vector<TProgram> P = {
      {"arith", xt_main_arith},   {"shifts", xt_main_shifts},       {"mul", xt_main_mul},
      {"divmod", xt_main_divmod}, {"switch", xt_main_switch},       {"structs", xt_main_structs},
      {"bytes", xt_main_bytes},   {"recursion", xt_main_recursion}, {"volatile", xt_main_volatile}};
  return P;
}

inline const std::vector<std::string>& Variants() {
  static const std::vector<std::string> V = {"O0", "Os", "O2"};
  return V;
}

inline std::string ProgramElf(const std::string& Name, const std::string& Variant) {
  return std::string(QUORVEX_XT_PROGRAMS) + "/" + Name + "-" + Variant + ".elf";
}

// Every cross-built file the decoding oracle reads besides the stub.
inline std::vector<std::string> Corpus() {
  std::vector<std::string> Files;
  for (const TProgram& P : Programs())
    for (const std::string& V : Variants())
      Files.push_back(ProgramElf(P.Name, V));
  for (const char* F : {"faults-O2.elf", "allops.elf", "unit.elf", "libgcc.elf"})
    Files.push_back(std::string(QUORVEX_XT_PROGRAMS) + "/" + F);
  return Files;
}

} // namespace xtoracle
