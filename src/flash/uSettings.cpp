#include "uSettings.h"

#include <array>
#include <type_traits>
#include <variant>

#include "../support/uFileName.h"
#include "../support/uFormat.h"

namespace {

// The ranges of the connection values. Rates: the standard serial rates from 9600 up,
// to 5 Mbit/s, past what USB serial adapters and the loader take; below 9600 one flash
// block alone takes seconds on the line. Reset holds: up to five seconds each, over three
// times the longest default (1400 ms), so a connect of several attempts stays bounded.
// A hold of -1 (4294967295 ms) or 99999999 ms would keep a run waiting for ever, and a
// rate no serial port can take cannot carry a run either.
constexpr int32_t BaudMin = 9600;
constexpr int32_t BaudMax = 5000000;
constexpr int32_t HoldMaxMs = 5000;

constexpr const char* SecConfig = "CONFIG";
constexpr const char* SecFiles = "FILES";

// Where each key's value lives in TSettings.
using TField =
    std::variant<uint32_t TConfig::*, bool TConfig::*, bool TSettings::*, std::string TSettings::*>;

struct TBoundKey {
  TSettingKey Key;
  TField Field;
};

constexpr TSettingKey Integer(const char* Name, int32_t Min, int32_t Max) {
  return {SecConfig, Name, TSettingType::Integer, Min, Max, true};
}
constexpr TSettingKey Boolean(const char* Name) {
  return {SecConfig, Name, TSettingType::Boolean, 0, 0, true};
}
constexpr TSettingKey Text(const char* Section, const char* Name, bool Written = true) {
  return {Section, Name, TSettingType::Text, 0, 0, Written};
}

using U32 = uint32_t TConfig::*;
using CBool = bool TConfig::*;

const std::array<TBoundKey, 16> Table = {{
    {Text(SecConfig, "ComPort"), &TSettings::ComPort},
    {Integer("ConnBaud", BaudMin, BaudMax), U32(&TConfig::ConnBaud)},
    {Integer("FastBaud", BaudMin, BaudMax), U32(&TConfig::FastBaud)},
    {Boolean("FastFirst"), CBool(&TConfig::FastFirst)},
    {Integer("SlowLow", 0, HoldMaxMs), U32(&TConfig::SlowLow)},
    {Integer("SlowHigh", 0, HoldMaxMs), U32(&TConfig::SlowHigh)},
    {Integer("FastLow", 0, HoldMaxMs), U32(&TConfig::FastLow)},
    {Integer("FastHigh", 0, HoldMaxMs), U32(&TConfig::FastHigh)},
    {Boolean("DoBeep"), CBool(&TConfig::DoBeep)},
    {Boolean("AutoErase"), &TSettings::AutoErase},
    {Boolean("UseStub"), CBool(&TConfig::UseStub)},
    {{SecConfig, "FastWrite", TSettingType::Boolean, 0, 0, true, true}, CBool(&TConfig::FastWrite)},
    {Text(SecConfig, "NetPorts", false), &TSettings::NetPorts},
    {Text(SecFiles, "Bootloader"), &TSettings::Bootloader},
    {Text(SecFiles, "Partitions"), &TSettings::Partitions},
    {Text(SecFiles, "Firmware"), &TSettings::Firmware},
}};

const std::array<TSettingKey, Table.size()> Keys = [] {
  std::array<TSettingKey, Table.size()> k{};
  for (size_t i = 0; i < Table.size(); ++i)
    k[i] = Table[i].Key;
  return k;
}();

// The field of S a key's value goes to (and comes from); null for a field of another type.
template <class T, class TSet> auto FieldOf(TSet& S, const TField& F) {
  using TOut = std::conditional_t<std::is_const_v<TSet>, const T, T>;
  TOut* r = nullptr;
  std::visit(
      [&](auto M) {
        using TMember = decltype(M);
        if constexpr (std::is_same_v<TMember, T TConfig::*>)
          r = &(S.Config.*M);
        else if constexpr (std::is_same_v<TMember, T TSettings::*>)
          r = &(S.*M);
      },
      F);
  return r;
}

} // namespace

std::span<const TSettingKey> SettingKeys() {
  return Keys;
}

const TSettingKey* FindSettingKey(std::string_view Name) {
  for (const TSettingKey& k : Keys)
    if (Name == k.Name) return &k;
  return nullptr;
}

std::string ConversionText(const TSettingProblem& Problem) {
  const TSettingKey& K = *Problem.Key;
  if (Problem.Fault == TSettingFault::OutOfRange)
    return Format("'%s' liegt nicht im gültigen Bereich von %d bis %d (%s)",
                  {Problem.Value, K.Min, K.Max, K.Name});
  return ConversionMessage(Problem.Value, K.Name);
}

TSettings ReadSettings(const TIniStore& Ini, std::vector<TSettingProblem>& Problems) {
  TSettings S;
  for (size_t i = 0; i < Table.size(); ++i) {
    const TSettingKey& K = Keys[i];
    const std::string* Stored = Ini.Value(K.Section, K.Name);
    if (!Stored) continue; // not stored: the default
    switch (K.Type) {
    case TSettingType::Integer: {
      int32_t v = 0;
      if (!IniTryStrToInt(*Stored, v))
        Problems.push_back({&K, *Stored, TSettingFault::NotANumber});
      else if (v < K.Min || v > K.Max)
        Problems.push_back({&K, *Stored, TSettingFault::OutOfRange});
      else
        *FieldOf<uint32_t>(S, Table[i].Field) = static_cast<uint32_t>(v);
      break;
    }
    case TSettingType::Boolean: {
      bool v = false;
      if (IniTryStrToBool(*Stored, v))
        *FieldOf<bool>(S, Table[i].Field) = v;
      else
        Problems.push_back({&K, *Stored, TSettingFault::NotANumber});
      break;
    }
    case TSettingType::Text:
      *FieldOf<std::string>(S, Table[i].Field) = *Stored;
      break;
    }
  }
  return S;
}

void WriteSettings(TIniStore& Ini, const TSettings& S) {
  for (size_t i = 0; i < Table.size(); ++i) {
    const TSettingKey& K = Keys[i];
    if (!K.Written || (K.OnlyWhenStored && !Ini.Value(K.Section, K.Name))) continue;
    switch (K.Type) {
    case TSettingType::Integer:
      Ini.WriteInteger(K.Section, K.Name,
                       static_cast<int32_t>(*FieldOf<uint32_t>(S, Table[i].Field)));
      break;
    case TSettingType::Boolean:
      Ini.WriteBoolean(K.Section, K.Name, *FieldOf<bool>(S, Table[i].Field));
      break;
    case TSettingType::Text:
      Ini.WriteString(K.Section, K.Name, *FieldOf<std::string>(S, Table[i].Field));
      break;
    }
  }
}

TSettingsFiles SettingsFilesFor(const std::filesystem::path& ProgramFolder, bool Writable,
                                const std::filesystem::path& UserConfigFolder) {
  constexpr const char* Name = "Quorvex.ini";
  const std::filesystem::path Beside = ProgramFolder / Name;
  if (Writable || UserConfigFolder.empty()) return {Beside, Beside, false};
    // The folder's name follows each platform's habit: lower case on POSIX.
#ifdef _WIN32
  const std::filesystem::path Own = UserConfigFolder / "Quorvex" / Name;
#else
  const std::filesystem::path Own = UserConfigFolder / "quorvex" / Name;
#endif
  std::error_code Ec;
  // A dangling link or a folder of that name is "there" too: the store then says why it
  // was not taken in, rather than silently reading the program's file.
  const bool Present = std::filesystem::exists(std::filesystem::symlink_status(Own, Ec));
  return {Present ? Own : Beside, Own, true};
}

TSettingsFiles SettingsFiles() {
  const std::filesystem::path Folder = ProgramFolder();
  return SettingsFilesFor(Folder, FolderWritable(Folder), UserConfigFolder());
}
