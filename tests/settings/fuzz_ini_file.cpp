// The INI store fed arbitrary bytes: it must neither crash nor hang, every read either
// yields a value or raises the conversion error, and a file written back reads as it
// was read, apart from the keys the program wrote.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/uIniStore.h"

namespace {

// What a store holds as its reader sees it: each section's keys with their values.
std::vector<std::string> Seen(const TIniStore& Ini) {
  std::vector<std::string> r;
  for (const std::string& s : Ini.SectionNames()) {
    r.push_back("[" + s + "]");
    for (const std::string& k : Ini.KeyNames(s))
      r.push_back(k + "=" + Ini.ReadString(s, k, "<none>"));
  }
  return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TIniStore Ini;
  if (!Ini.SetBytes(std::string(reinterpret_cast<const char*>(Data), Size))) return 0;
  for (const std::string& s : Ini.SectionNames())
    for (const std::string& k : Ini.KeyNames(s)) {
      try {
        Ini.ReadInteger(s, k, 0);
      } catch (const EConvertError&) {
      }
      try {
        Ini.ReadBoolean(s, k, false);
      } catch (const EConvertError&) {
      }
    }
  // Read back unchanged: the same sections, keys and values, and the same bytes.
  const std::vector<std::string> Before = Seen(Ini);
  TIniStore Again;
  if (!Again.SetBytes(Ini.Bytes()) || Seen(Again) != Before || Again.Bytes() != Ini.Bytes())
    __builtin_trap();
  // The program's own writes land and read back; nothing else moves.
  Ini.WriteInteger("CONFIG", "ConnBaud", 115200);
  Ini.WriteBoolean("CONFIG", "DoBeep", true);
  Ini.WriteString("FILES", "Firmware", "fw.bin");
  TIniStore Written;
  if (!Written.SetBytes(Ini.Bytes()) || Seen(Written) != Seen(Ini) ||
      Written.ReadInteger("CONFIG", "ConnBaud", 0) != 115200 ||
      Written.ReadString("FILES", "Firmware", "") != "fw.bin")
    __builtin_trap();
  return 0;
}
