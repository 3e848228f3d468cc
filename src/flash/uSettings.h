#pragma once
// The settings model shared by the window and the command line: the connection settings
// (TConfig), the other values the settings file holds, the table of their keys with
// defaults and ranges, and reading and writing them through the INI store. Problems
// found while reading come back as values; each front end words them.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../protocol/uComEsp.h"
#include "../support/uIniStore.h"

// Connection settings: the loader entry's (the connect rate, the reset holds) and the
// rest of the run's. The member initialisers are the defaults.
struct TConfig : TEntrySettings {
  uint32_t FastBaud = 921600; // after the switch
  bool DoBeep = true;         // the erase question beeps
  bool UseStub = true;        // false: flash through the ROM loader's own commands
  bool FastWrite = false;     // true: the fast path (the fast stub: compressed, digests)
};

// Everything the settings file holds but the window's placement.
struct TSettings {
  TConfig Config;
  bool AutoErase = true; // the window's check box: Update erases the whole flash first
  std::string ComPort;   // the port last used; empty when none was selected
  std::string NetPorts;  // rfc2217:// addresses, comma-separated; only ever read
  std::string Bootloader, Partitions, Firmware; // the window's three file names
};

enum class TSettingType { Integer, Boolean, Text };

// One key of the settings file.
struct TSettingKey {
  const char* Section;
  const char* Name;
  TSettingType Type;
  int32_t Min, Max; // the range of an integer (the stored bits read as signed)
  bool Written;     // written back at the window's close; NetPorts is the user's alone
  // Written back only when the file holds it: a key the file never had is not added, so
  // the file of a user who never asked for it keeps its keys.
  bool OnlyWhenStored = false;
};

// Every key, in the order they are read and written.
std::span<const TSettingKey> SettingKeys();
// The key of that name as the table spells it ("FastBaud"), or null.
const TSettingKey* FindSettingKey(std::string_view Name);

// Why a stored value was not taken; the field keeps its default.
enum class TSettingFault {
  NotANumber, // an integer, or a boolean that is no true or false word, is no number
  OutOfRange, // an integer outside its key's range: Key->Min to Key->Max, both allowed
};

// One refused value, for each front end to word in its own language:
//   Key->Name   the key as the table spells it ("FastHigh"), whatever the file's spelling
//   Value       the text as stored ("99999999", "$FFFFFFFF", "fast")
//   Fault       why it was refused; for OutOfRange the range is Key->Min .. Key->Max
struct TSettingProblem {
  const TSettingKey* Key;
  std::string Value;
  TSettingFault Fault;
};

// The window's text for a refused value, in the style of the conversion layer's own:
//   NotANumber "'fast' ist kein gültiger Integerwert (ConnBaud)" (the runtime's text)
//   OutOfRange "'99999999' liegt nicht im gültigen Bereich von 0 bis 5000 (FastHigh)"
std::string ConversionText(const TSettingProblem& Problem);

// The values of the store, each key's default where it holds nothing usable; every
// value refused is added to Problems, in the order of the keys.
TSettings ReadSettings(const TIniStore& Ini, std::vector<TSettingProblem>& Problems);
// Writes every key marked Written (FastWrite only where Ini holds it), in the order of
// the table. Unsigned fields are written
// as the signed reading of their bits (4294967295 as -1).
void WriteSettings(TIniStore& Ini, const TSettings& S);

// Where the settings are read from and written to. Beside the program when its folder
// can be written (a build tree, the unpacked zip): both are that folder's Quorvex.ini, as
// always. Otherwise (an installed program) they are written to the user's configuration
// folder and read from there once that file exists, until then from the program's folder.
struct TSettingsFiles {
  std::filesystem::path Read, Write;
  bool InUserFolder = false; // Write is the user's file, not the program's
};
// The decision, on the facts given: the program's folder, whether it can be written, and
// the user's configuration folder (empty when there is none: the program's file then).
TSettingsFiles SettingsFilesFor(const std::filesystem::path& ProgramFolder, bool Writable,
                                const std::filesystem::path& UserConfigFolder);
// The running program's: ProgramFolder(), FolderWritable(), UserConfigFolder().
TSettingsFiles SettingsFiles();
