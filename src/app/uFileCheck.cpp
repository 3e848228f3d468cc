#include "uFileCheck.h"

#include <QFileInfo>

std::string LocalName(const QString& Text) {
  return Text.toLocal8Bit().toStdString();
}

QString ShortenedName(const QString& Text, const QString& ProgPath, TPathStyle Style) {
  const QString Folder = QString::fromLocal8Bit(
      QString::fromStdString(FolderPart(Text.toStdString(), Style)).toLocal8Bit());
  if (Folder.isEmpty()) return QString();
  if (Folder.compare(QString::fromStdString(FolderPart(ProgPath.toStdString(), Style)),
                     Qt::CaseSensitive) != 0)
    return QString();
  return QString::fromStdString(BareName(Text.toStdString(), Style));
}

TFileCheck CheckImageFile(TImageKind Kind, const QString& Text) {
  const TImageFile f = CheckImageFile(Kind, ImageOffset(Kind), LocalName(Text));
  TFileCheck r;
  r.Pass = f.Pass;
  r.Hint = f.Pass ? Text : QString::fromStdString(f.Hint);
  r.Size = f.Size;
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
