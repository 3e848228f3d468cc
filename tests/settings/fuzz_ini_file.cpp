// The settings reader fed arbitrary bytes: it must neither crash nor hang, every read
// either yields a value or raises the conversion error, and a file written back reads as
// it was read, apart from the keys the program wrote.
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>

#include "uIniFile.h"

namespace {

// What a store holds as its reader sees it: each section's keys with their values.
QStringList Seen(const TIniFile& Ini) {
  QStringList r;
  for (const QString& s : Ini.SectionNames()) {
    r << "[" + s + "]";
    for (const QString& k : Ini.KeyNames(s))
      r << k + "=" + Ini.ReadString(s, k, QStringLiteral("<none>"));
  }
  return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TIniFile Ini;
  if (!Ini.SetBytes(QByteArray(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size))))
    return 0;
  for (const QString& s : Ini.SectionNames())
    for (const QString& k : Ini.KeyNames(s)) {
      try {
        Ini.ReadInteger(s, k, 0);
      } catch (const EConvertError&) {
      }
      try {
        Ini.ReadBoolean(s, k, false);
      } catch (const EConvertError&) {
      }
    }
  // Read back unchanged: the same sections, keys and values.
  const QStringList Before = Seen(Ini);
  TIniFile Again;
  if (!Again.SetBytes(Ini.Bytes()) || Seen(Again) != Before) __builtin_trap();
  // The program's own writes land and read back; nothing else moves.
  Ini.WriteInteger(QStringLiteral("CONFIG"), QStringLiteral("ConnBaud"), 115200);
  Ini.WriteBoolean(QStringLiteral("CONFIG"), QStringLiteral("DoBeep"), true);
  Ini.WriteString(QStringLiteral("FILES"), QStringLiteral("Firmware"), QStringLiteral("fw.bin"));
  TIniFile Written;
  if (!Written.SetBytes(Ini.Bytes()) || Seen(Written) != Seen(Ini) ||
      Written.ReadInteger(QStringLiteral("CONFIG"), QStringLiteral("ConnBaud"), 0) != 115200 ||
      Written.ReadString(QStringLiteral("FILES"), QStringLiteral("Firmware"), QString()) !=
          QStringLiteral("fw.bin"))
    __builtin_trap();
  return 0;
}
