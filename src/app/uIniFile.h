#pragma once
// The settings store: an INI file held in memory, read once and written back once.
// Names of sections and keys match without regard to letter case; sections and keys
// keep the order in which they were first read or written. Every line read is written
// back as it was (comments, blank lines, spacing), except the lines of keys whose values
// were changed; keys and sections added go at the end of their section and of the file.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "support/uFormat.h"

// How the file's text is stored on disk; kept from reading to writing.
enum class TIniEncoding {
  Local,   // no byte-order mark: the 8-bit code page (see DecodeIniText)
  Latin1,  // no mark and not valid UTF-8 (only where the code page is UTF-8)
  Utf8Bom, // UTF-8 with its mark
  Utf16LE, // UTF-16 little-endian with its mark
  Utf16BE, // UTF-16 big-endian with its mark
};

// Files larger than this are not parsed: no settings file grows that big by itself.
constexpr qint64 IniMaxFileSize = 1024 * 1024;

// The signed 32-bit reading of a value: leading blanks, an optional sign, then decimal
// digits or hexadecimal ones after "$", "x", "X", "0x" or "0X"; empty reads as 0.
// Raises EConvertError "'%s' ist kein gültiger Integerwert" for anything else.
int32_t IniStrToInt(const QString& S);
// The same without raising: false when S is no number.
bool IniTryStrToInt(const QString& S, int32_t& Value);
// The conversion error of the stored text of a key: the message of IniStrToInt with the
// key after it, "'fast' ist kein gültiger Integerwert (ConnBaud)".
EConvertError IniConvertError(const QString& Text, const QString& Key);

// Decodes a whole file's bytes: a byte-order mark picks UTF-8 or UTF-16; without one the
// text is in the 8-bit code page, which on Windows is the ANSI code page and elsewhere
// UTF-8, falling back to Latin-1 for bytes that are not valid UTF-8. Returns false
// when the bytes are not text (a decoding error or control characters that no
// text file holds).
bool DecodeIniText(const QByteArray& Bytes, QString& Text, TIniEncoding& Encoding);
// Encodes for writing, with the mark the encoding needs. A Latin-1 file that has to
// hold characters beyond Latin-1 is written as UTF-8 so that nothing is lost.
QByteArray EncodeIniText(const QString& Text, TIniEncoding Encoding);

class TIniFile {
public:
  TIniFile() = default;

  // Points the store at a file and loads it; a missing file gives an empty store.
  // A file that is too large, not text, not a regular file or unreadable is ignored
  // and never written over; LoadProblem() then holds the message to show.
  void SetFileName(const QString& FileName);
  const QString& FileName() const { return FFileName; }
  const QString& LoadProblem() const { return FLoadProblem; }

  // Replaces the contents by the parsed bytes; false (and empty) when they are no text.
  bool SetBytes(const QByteArray& Bytes);
  // The contents as the file holds them: CR LF line ends, the lines read as they were,
  // an empty line after each section the program added, in the encoding found when
  // reading.
  QByteArray Bytes() const;
  TIniEncoding Encoding() const { return FEncoding; }

  bool SectionExists(const QString& Section) const;
  bool ValueExists(const QString& Section, const QString& Key) const;
  QStringList SectionNames() const;
  QStringList KeyNames(const QString& Section) const;

  QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
  // Both raise EConvertError for a value that is no number, naming the key after the
  // text: "'fast' ist kein gültiger Integerwert (ConnBaud)".
  int32_t ReadInteger(const QString& Section, const QString& Key, int32_t Default) const;
  bool ReadBoolean(const QString& Section, const QString& Key, bool Default) const;

  void WriteString(const QString& Section, const QString& Key, const QString& Value);
  void WriteInteger(const QString& Section, const QString& Key, int32_t Value);
  void WriteBoolean(const QString& Section, const QString& Key, bool Value);

  // Writes the contents to the file: into a temporary file in the same folder, flushed,
  // then renamed over the old one. Returns false, silently, when nothing was written:
  // no file name, a read-only file, a file that was ignored at loading, or any
  // failure to write (the old file then stays as it was).
  bool UpdateFile() const;

private:
  struct TLine {
    bool IsKey;
    QString Key;   // for key lines
    QString Value; // for key lines; the whole text otherwise
    QString Raw;   // the line as read; null for a line the program wrote
  };
  struct TSection {
    QString Name;
    std::vector<TLine> Lines;
    QString Raw; // the header line as read; null for a section the program added
  };
  const TSection* FindSection(const QString& Name) const;
  const TLine* FindKey(const QString& Section, const QString& Key) const;

  QString FFileName;
  QString FLoadProblem;
  bool FIgnored = false;
  TIniEncoding FEncoding = TIniEncoding::Local;
  std::vector<QString> FPreamble; // the lines before the first section, as read
  std::vector<TSection> FSections;
};
