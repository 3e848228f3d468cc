#include "uIniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <iterator>

namespace {

// Blanks and control characters, as trimmed from both ends of every line.
bool IsTrimmed(QChar c) {
  return c.unicode() <= 0x20;
}

QString TrimLine(const QString& s) {
  qsizetype b = 0;
  qsizetype e = s.size();
  while (b < e && IsTrimmed(s[b]))
    ++b;
  while (e > b && IsTrimmed(s[e - 1]))
    --e;
  return s.mid(b, e - b);
}

int HexDigit(QChar c) {
  const char16_t u = c.unicode();
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'a' && u <= 'f') return u - 'a' + 10;
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  return -1;
}

// A value that would break the file's line structure if written as it stands.
QString OneLine(const QString& v) {
  QString s = v;
  s.replace(QChar('\r'), QChar(' '));
  s.replace(QChar('\n'), QChar(' '));
  return s;
}

bool SameName(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Characters that no settings file holds; their presence means the file is something else.
bool IsBinaryChar(QChar c) {
  const char16_t u = c.unicode();
  if (u >= 0x20) return false;
  return !(u == '\t' || u == '\n' || u == '\v' || u == '\f' || u == '\r' || u == 0x1A);
}

} // namespace

bool IniTryStrToInt(const QString& S, int32_t& Value) {
  if (S.isEmpty()) {
    Value = 0;
    return true;
  }
  qsizetype i = 0;
  const qsizetype n = S.size();
  while (i < n && S[i] == QChar(' '))
    ++i;
  bool Neg = false;
  if (i < n && (S[i] == QChar('+') || S[i] == QChar('-'))) {
    Neg = S[i] == QChar('-');
    ++i;
  }
  bool Hex = false;
  if (i < n && (S[i] == QChar('$') || S[i] == QChar('x') || S[i] == QChar('X'))) {
    Hex = true;
    ++i;
  } else if (i + 1 < n && S[i] == QChar('0') &&
             (S[i + 1] == QChar('x') || S[i + 1] == QChar('X'))) {
    Hex = true;
    i += 2;
  }
  if (i >= n) return false;
  // Hexadecimal spells the 32 bits (so $FFFFFFFF is -1); decimal must fit a signed 32-bit.
  const uint64_t Limit = Hex ? 0xFFFFFFFFull : (Neg ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t m = 0;
  for (; i < n; ++i) {
    const int d =
        Hex ? HexDigit(S[i])
            : (S[i].unicode() >= '0' && S[i].unicode() <= '9' ? S[i].unicode() - '0' : -1);
    if (d < 0) return false;
    m = m * (Hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (m > Limit) return false;
  }
  uint32_t Bits = static_cast<uint32_t>(m);
  if (Neg) Bits = 0u - Bits;
  Value = static_cast<int32_t>(Bits);
  return true;
}

int32_t IniStrToInt(const QString& S) {
  int32_t v = 0;
  if (!IniTryStrToInt(S, v))
    throw EConvertError(Format("'%s' ist kein gültiger Integerwert", {S.toStdString()}));
  return v;
}

bool DecodeIniText(const QByteArray& Bytes, QString& Text, TIniEncoding& Encoding) {
  QStringConverter::Encoding Enc;
  qsizetype Skip = 0;
  if (Bytes.startsWith("\xEF\xBB\xBF")) {
    Encoding = TIniEncoding::Utf8Bom;
    Enc = QStringConverter::Utf8;
    Skip = 3;
  } else if (Bytes.startsWith("\xFF\xFE")) {
    Encoding = TIniEncoding::Utf16LE;
    Enc = QStringConverter::Utf16LE;
    Skip = 2;
  } else if (Bytes.startsWith("\xFE\xFF")) {
    Encoding = TIniEncoding::Utf16BE;
    Enc = QStringConverter::Utf16BE;
    Skip = 2;
  } else {
    Encoding = TIniEncoding::Local;
#ifdef _WIN32
    Enc = QStringConverter::System;
#else
    Enc = QStringConverter::Utf8;
#endif
  }
  // Half a UTF-16 unit at the end means the file is cut or something else altogether.
  if ((Encoding == TIniEncoding::Utf16LE || Encoding == TIniEncoding::Utf16BE) &&
      (Bytes.size() - Skip) % 2 != 0)
    return false;
  QStringDecoder Dec(Enc, QStringConverter::Flag::Stateless);
  Text = Dec.decode(Bytes.mid(Skip));
  if (Dec.hasError()) {
    if (Encoding != TIniEncoding::Local) return false;
    // Not UTF-8: an older file in a single-byte code page.
    Encoding = TIniEncoding::Latin1;
    Text = QString::fromLatin1(Bytes);
  }
  for (QChar c : std::as_const(Text))
    if (IsBinaryChar(c)) return false;
  return true;
}

QByteArray EncodeIniText(const QString& Text, TIniEncoding Encoding) {
  switch (Encoding) {
  case TIniEncoding::Utf8Bom:
    return QByteArray("\xEF\xBB\xBF") + Text.toUtf8();
  case TIniEncoding::Utf16LE:
  case TIniEncoding::Utf16BE: {
    QStringEncoder Enc(Encoding == TIniEncoding::Utf16LE ? QStringConverter::Utf16LE
                                                         : QStringConverter::Utf16BE,
                       QStringConverter::Flag::WriteBom);
    return Enc.encode(Text);
  }
  case TIniEncoding::Latin1:
    for (QChar c : Text)
      if (c.unicode() > 0xFF) return Text.toUtf8();
    return Text.toLatin1();
  case TIniEncoding::Local:
    break;
  }
#ifdef _WIN32
  QStringEncoder Enc(QStringConverter::System);
  return Enc.encode(Text);
#else
  return Text.toUtf8();
#endif
}

void TIniFile::SetFileName(const QString& FileName) {
  FFileName = FileName;
  FLoadProblem.clear();
  FIgnored = false;
  FSections.clear();
  FPreamble.clear();
  FEncoding = TIniEncoding::Local;
  QFile f(FileName);
  if (!f.exists()) return;
  const QFileInfo Info(FileName);
  const auto Ignore = [&](const char* Why) {
    FIgnored = true;
    FLoadProblem = QString("The settings file %1 %2; it is ignored and left unchanged.")
                       .arg(QFileInfo(FileName).fileName(), QString::fromLatin1(Why));
  };
  // A FIFO would block the open until someone writes to it; a device or a folder holds
  // no settings either.
  if (!Info.isFile()) return Ignore("is not a regular file");
  if (!f.open(QIODevice::ReadOnly)) return Ignore("cannot be read");
  if (f.size() > IniMaxFileSize) return Ignore("is larger than 1 MiB");
  // Read one byte beyond the limit, in case the file grew since its size was taken.
  const QByteArray Data = f.read(IniMaxFileSize + 1);
  if (Data.size() > IniMaxFileSize) return Ignore("is larger than 1 MiB");
  if (!SetBytes(Data)) return Ignore("is not a text file");
}

bool TIniFile::SetBytes(const QByteArray& Data) {
  FSections.clear();
  FPreamble.clear();
  QString Text;
  if (!DecodeIniText(Data, Text, FEncoding)) return false;
  TSection* Cur = nullptr;
  qsizetype Pos = 0;
  const qsizetype n = Text.size();
  while (Pos < n) {
    // Lines end at CR LF, LF or a lone CR.
    qsizetype End = Pos;
    while (End < n && Text[End] != QChar('\r') && Text[End] != QChar('\n'))
      ++End;
    const QString Raw = Text.mid(Pos, End - Pos);
    const QString Line = TrimLine(Raw);
    Pos = End;
    if (Pos < n && Text[Pos] == QChar('\r')) ++Pos;
    if (Pos < n && Text[Pos] == QChar('\n')) ++Pos;

    if (Line.startsWith(QChar('[')) && Line.endsWith(QChar(']')) && Line.size() >= 2) {
      FSections.push_back({TrimLine(Line.mid(1, Line.size() - 2)), {}, Raw});
      Cur = &FSections.back();
      continue;
    }
    if (!Cur) {
      FPreamble.push_back(Raw); // before the first section: kept, never read
      continue;
    }
    const qsizetype Eq = Line.indexOf(QChar('='));
    // Empty lines and comments carry no key, but stay where they are.
    if (Line.isEmpty() || Line.startsWith(QChar(';')) || Eq < 0)
      Cur->Lines.push_back({false, QString(), Line, Raw});
    else
      Cur->Lines.push_back({true, TrimLine(Line.left(Eq)), TrimLine(Line.mid(Eq + 1)), Raw});
  }
  return true;
}

QByteArray TIniFile::Bytes() const {
  QString Out;
  bool EndsBlank = true; // whether the text so far ends in an empty line (or is empty)
  const auto Put = [&](const QString& Line) {
    Out += Line + QStringLiteral("\r\n");
    EndsBlank = TrimLine(Line).isEmpty();
  };
  for (const QString& l : FPreamble)
    Put(l);
  for (const TSection& s : FSections) {
    const bool Added = s.Raw.isNull();
    // A section the program adds is set off from what comes before it.
    if (Added && !EndsBlank) Put(QString());
    Put(Added ? QChar('[') + s.Name + QChar(']') : s.Raw);
    for (const TLine& l : s.Lines)
      Put(!l.Raw.isNull() ? l.Raw : l.IsKey ? l.Key + QChar('=') + l.Value : l.Value);
    if (Added) Put(QString());
  }
  return EncodeIniText(Out, FEncoding);
}

const TIniFile::TSection* TIniFile::FindSection(const QString& Name) const {
  for (const TSection& s : FSections)
    if (SameName(s.Name, Name)) return &s;
  return nullptr;
}

const TIniFile::TLine* TIniFile::FindKey(const QString& Section, const QString& Key) const {
  const TSection* s = FindSection(Section);
  if (!s) return nullptr;
  for (const TLine& l : s->Lines)
    if (l.IsKey && SameName(l.Key, Key)) return &l;
  return nullptr;
}

bool TIniFile::SectionExists(const QString& Section) const {
  return FindSection(Section) != nullptr;
}

bool TIniFile::ValueExists(const QString& Section, const QString& Key) const {
  return FindKey(Section, Key) != nullptr;
}

QStringList TIniFile::SectionNames() const {
  QStringList r;
  for (const TSection& s : FSections)
    r << s.Name;
  return r;
}

QStringList TIniFile::KeyNames(const QString& Section) const {
  QStringList r;
  if (const TSection* s = FindSection(Section))
    for (const TLine& l : s->Lines)
      if (l.IsKey) r << l.Key;
  return r;
}

QString TIniFile::ReadString(const QString& Section, const QString& Key,
                             const QString& Default) const {
  const TLine* l = FindKey(Section, Key);
  return l ? l->Value : Default;
}

EConvertError IniConvertError(const QString& Text, const QString& Key) {
  return EConvertError(
      Format("'%s' ist kein gültiger Integerwert (%s)", {Text.toStdString(), Key.toStdString()}));
}

static int32_t KeyStrToInt(const QString& Key, const QString& Value) {
  int32_t v = 0;
  if (!IniTryStrToInt(Value, v)) throw IniConvertError(Value, Key);
  return v;
}

int32_t TIniFile::ReadInteger(const QString& Section, const QString& Key, int32_t Default) const {
  const TLine* l = FindKey(Section, Key);
  return l ? KeyStrToInt(Key, l->Value) : Default;
}

bool TIniFile::ReadBoolean(const QString& Section, const QString& Key, bool Default) const {
  const TLine* l = FindKey(Section, Key);
  if (!l) return Default;
  const QString v = l->Value.trimmed();
  for (const char* w : {"TRUE", "YES", "Y"})
    if (SameName(v, QString::fromLatin1(w))) return true;
  for (const char* w : {"FALSE", "NO", "N"})
    if (SameName(v, QString::fromLatin1(w))) return false;
  return KeyStrToInt(Key, l->Value) != 0;
}

void TIniFile::WriteString(const QString& Section, const QString& Key, const QString& Value) {
  TSection* s = const_cast<TSection*>(FindSection(Section));
  if (!s) {
    FSections.push_back({OneLine(Section), {}, QString()});
    s = &FSections.back();
  }
  const QString v = OneLine(Value);
  for (TLine& l : s->Lines)
    if (l.IsKey && SameName(l.Key, Key)) {
      // The same value written back keeps the line as the user spelled it.
      if (l.Value != v) {
        l.Value = v;
        l.Raw = QString();
      }
      return;
    }
  // A new key goes after the section's last line that is not empty, so that the blank
  // lines separating it from the next section stay at its end.
  auto At = s->Lines.end();
  while (At != s->Lines.begin() && !std::prev(At)->IsKey &&
         TrimLine(std::prev(At)->Value).isEmpty())
    --At;
  s->Lines.insert(At, {true, OneLine(Key), v, QString()});
}

void TIniFile::WriteInteger(const QString& Section, const QString& Key, int32_t Value) {
  WriteString(Section, Key, QString::number(Value));
}

void TIniFile::WriteBoolean(const QString& Section, const QString& Key, bool Value) {
  WriteString(Section, Key, Value ? QStringLiteral("TRUE") : QStringLiteral("FALSE"));
}

bool TIniFile::UpdateFile() const {
  if (FFileName.isEmpty() || FIgnored) return false;
  const QFileInfo Info(FFileName);
  // A file without write permission is the read-only attribute of this platform.
  if (Info.exists() && !(Info.permissions() & QFileDevice::WriteOwner)) return false;
  // Something that appeared there since loading and is no file is not replaced either.
  if (Info.exists() && !Info.isFile()) return false;
  QSaveFile f(FFileName);
  if (!f.open(QIODevice::WriteOnly)) return false;
  const QByteArray Data = Bytes();
  if (f.write(Data) != Data.size()) {
    f.cancelWriting();
    return false;
  }
  return f.commit();
}
