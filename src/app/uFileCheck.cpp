#include "uFileCheck.h"

#include <QFile>
#include <QFileInfo>

#include "support/uError.h"
#include "support/uFormat.h"

namespace {

bool IsSeparator(QChar c, TPathStyle Style) {
  if (Style == TPathStyle::Posix) return c == QChar('/');
  return c == QChar('\\') || c == QChar(':');
}

qsizetype LastSeparator(const QString& Path, TPathStyle Style) {
  for (qsizetype i = Path.size() - 1; i >= 0; --i)
    if (IsSeparator(Path[i], Style)) return i;
  return -1;
}

} // namespace

QString FolderPart(const QString& Path, TPathStyle Style) {
  const qsizetype i = LastSeparator(Path, Style);
  if (i < 0) return QString("");
  const QChar Sep = Style == TPathStyle::Posix ? QChar('/') : QChar('\\');
  // The final separator goes, unless it is the root's: nothing or a separator before it.
  if (i > 0 && Path[i] == Sep && !IsSeparator(Path[i - 1], Style)) return Path.left(i);
  return Path.left(i + 1);
}

QString BareName(const QString& Path, TPathStyle Style) {
  return Path.mid(LastSeparator(Path, Style) + 1);
}

QString Unquoted(const QString& Text) {
  if (Text.size() >= 2 && Text.startsWith(QChar('"')) && Text.endsWith(QChar('"')))
    return Text.mid(1, Text.size() - 2);
  return Text;
}

QString ShortenedName(const QString& Text, const QString& ProgPath, TPathStyle Style) {
  // The folder goes through the 8-bit code page and back, as a path handed to an older
  // API would; characters the code page cannot hold do not match.
  const QString Folder = QString::fromLocal8Bit(FolderPart(Text, Style).toLocal8Bit());
  if (Folder.isEmpty()) return QString();
  if (Folder.compare(FolderPart(ProgPath, Style), Qt::CaseSensitive) != 0) return QString();
  return BareName(Text, Style);
}

TFileCheck CheckImageFile(TImageKind Kind, const QString& Text) {
  TFileCheck r;
  if (Text.isEmpty()) {
    r.Hint = QString::fromLatin1(HintNoFilename);
    return r;
  }
  const QString Path = Unquoted(Text);
  if (!QFileInfo(Path).isFile()) {
    r.Hint = QString::fromLatin1(HintNotFound);
    return r;
  }
  QFile f(Path);
  if (!f.open(QIODevice::ReadOnly))
    throw Exception(
        Format("Cannot open file \"%s\". %s", {Path.toStdString(), f.errorString().toStdString()}));
  r.Size = f.size();
  r.Pass = ImageSizeFits(Kind, r.Size);
  r.Hint = r.Pass ? Text : QString::fromLatin1(HintSizeError);
  return r;
}

QString WorkingShortName(const QString& Text, const QString& ProgPath) {
  const QString Short = ShortenedName(Text, ProgPath);
  if (Short.isNull()) return Short;
  // The bare name is looked up in the working directory: it must find this very file.
  const QFileInfo Full(Text), Bare(Short);
  if (!Full.isFile() || !Bare.isFile()) return QString();
  if (Full.canonicalFilePath() != Bare.canonicalFilePath()) return QString();
  return Short;
}
