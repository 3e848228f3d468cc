#pragma once
// The INI store: a settings file held in memory, read once and written back once, that
// keeps the file as it found it. Names of sections and keys match without regard to
// letter case; sections and keys keep the order in which they were first read or
// written. Every line read is written back as it was (comments, blank lines, spacing,
// the lines before the first section), except the lines of keys whose values were
// changed; keys and sections added go at the end of their section and of the file.
// Texts are UTF-8 whatever the file's encoding, which is kept from reading to writing.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "uFormat.h"

// How the file's text is stored on disk; kept from reading to writing.
enum class TIniEncoding {
  Local,   // no byte-order mark: the 8-bit code page (see DecodeIniText)
  Latin1,  // no mark and not valid UTF-8 (only where the code page is UTF-8)
  Utf8Bom, // UTF-8 with its mark
  Utf16LE, // UTF-16 little-endian with its mark
  Utf16BE, // UTF-16 big-endian with its mark
};

// Why a file that is there was not taken in (and will not be written over).
enum class TIniLoadProblem {
  None,
  NotRegular, // a FIFO, a folder, a device: no settings file
  Unreadable, // it cannot be opened for reading
  TooLarge,   // over IniMaxFileSize
  NotText,    // a decoding error, or control characters that no text file holds
};

// Why the file was not taken in, as it follows the file's name: "is not a regular file";
// empty for None.
const char* IniLoadProblemText(TIniLoadProblem Problem);

// Files larger than this are not parsed: no settings file grows that big by itself.
constexpr size_t IniMaxFileSize = 1024 * 1024;

// The signed 32-bit reading of a value: leading blanks, an optional sign, then decimal
// digits or hexadecimal ones after "$", "x", "X", "0x" or "0X"; empty reads as 0.
// Hexadecimal spells the 32 bits, so $FFFFFFFF is -1. False for anything else.
bool IniTryStrToInt(std::string_view S, int32_t& Value);
// The boolean reading: "TRUE", "YES", "Y" and "FALSE", "NO", "N" in any letter case,
// else a number (0 false, any other true). False when it is neither.
bool IniTryStrToBool(std::string_view S, bool& Value);
// The message of a value that is no valid integer, with the key after it when one is
// given: "'fast' ist kein gültiger Integerwert (ConnBaud)".
std::string ConversionMessage(std::string_view Text, std::string_view Key = {});

// Decodes a whole file's bytes into UTF-8: a byte-order mark picks UTF-8 or UTF-16;
// without one the text is in the 8-bit code page, which on Windows is the ANSI code page
// and elsewhere UTF-8, falling back to Latin-1 for bytes that are not valid UTF-8.
// Returns false when the bytes are not text. UTF-16 units that pair with nothing are
// carried through, so that such a file is written back as it was read.
bool DecodeIniText(std::string_view Bytes, std::string& Text, TIniEncoding& Encoding);
// Encodes for writing, with the mark the encoding needs. A Latin-1 file that has to
// hold characters beyond Latin-1 is written as UTF-8 so that nothing is lost.
std::string EncodeIniText(std::string_view Text, TIniEncoding Encoding);

class TIniStore {
public:
  TIniStore() = default;

  // Points the store at a file and loads it; a missing file gives an empty store. A file
  // that is not taken in (LoadProblem() says why) leaves the store empty and is never
  // written over. An empty name gives an empty store that is never written.
  void SetFileName(const std::filesystem::path& FileName);
  const std::filesystem::path& FileName() const { return FFileName; }
  // Makes UpdateFile write to WriteTo rather than to the file read, creating WriteTo's
  // folder when it is missing (MakeUserFolder); an empty name writes to the file read
  // again. SetFileName resets it.
  void SetWriteName(const std::filesystem::path& WriteTo) { FWriteName = WriteTo; }
  // The file UpdateFile writes.
  const std::filesystem::path& WriteName() const {
    return FWriteName.empty() ? FFileName : FWriteName;
  }
  TIniLoadProblem LoadProblem() const { return FLoadProblem; }

  // Replaces the contents by the parsed bytes; false (and empty) when they are no text.
  bool SetBytes(std::string_view Bytes);
  // The contents as the file holds them: CR LF line ends, the lines read as they were,
  // an empty line after each section the program added, in the encoding found when
  // reading.
  std::string Bytes() const;
  TIniEncoding Encoding() const { return FEncoding; }

  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Key) const;
  std::vector<std::string> SectionNames() const;
  std::vector<std::string> KeyNames(std::string_view Section) const;
  // The stored value of a key, or null when the key is not stored.
  const std::string* Value(std::string_view Section, std::string_view Key) const;

  std::string ReadString(std::string_view Section, std::string_view Key,
                         const std::string& Default) const;
  // Both raise EConvertError with ConversionMessage(value, Key) for a value that is no
  // number.
  int32_t ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const;
  bool ReadBoolean(std::string_view Section, std::string_view Key, bool Default) const;

  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Key, int32_t Value);
  void WriteBoolean(std::string_view Section, std::string_view Key, bool Value);

  // Writes the contents to the file: into a temporary file in the same folder, flushed,
  // then renamed over the old one. Returns false, silently, when nothing was written:
  // no file name, a read-only file, a file that was not taken in at loading, or any
  // failure to write (the old file then stays as it was).
  bool UpdateFile() const;

private:
  struct TLine {
    bool IsKey;
    std::string Key;   // for key lines
    std::string Value; // for key lines; the whole text otherwise
    std::string Raw;   // the line as read
    bool Read;         // false for a line the program wrote
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
    std::string Raw; // the header line as read
    bool Read;       // false for a section the program added
  };
  const TSection* FindSection(std::string_view Name) const;
  const TLine* FindKey(std::string_view Section, std::string_view Key) const;

  std::filesystem::path FFileName;
  std::filesystem::path FWriteName; // empty: the file read
  TIniLoadProblem FLoadProblem = TIniLoadProblem::None;
  TIniEncoding FEncoding = TIniEncoding::Local;
  std::vector<std::string> FPreamble; // the lines before the first section, as read
  std::vector<TSection> FSections;
};
