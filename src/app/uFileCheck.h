#pragma once
// The window's edge of the image checks: the core's rules (flash/uImageCheck.h, the
// file-name helpers of support/uFileName.h) on the texts of the three file edits.
#include <QString>
#include <QtGlobal>

#include "flash/uImageCheck.h"
#include "support/uFileName.h"

// The edits' tags are TImageKind's: 0 bootloader, 1 partition table, 2 application
// firmware, each checked for its fixed offset.

// A field's text as the file layer takes a name: 8-bit text in the system's code page.
std::string LocalName(const QString& Text);

// When Text names a file in the program's folder (compared exactly, letter case
// counting), its bare name; otherwise a null string: the text stays as it is. The folder
// goes through the 8-bit code page and back first, as a path handed to an older API
// would, so characters the code page cannot hold do not match. ProgPath is the
// program's folder with its trailing separator.
QString ShortenedName(const QString& Text, const QString& ProgPath,
                      TPathStyle Style = NativePathStyle);

// ShortenedName, but only where the bare name, looked up in the current working
// directory, finds the same file that Text names; otherwise a null string. A path that
// finds its file is never turned into a name that finds nothing or another file.
QString WorkingShortName(const QString& Text, const QString& ProgPath);

struct TFileCheck {
  bool Pass = false;
  QString Hint;
  qint64 Size = -1; // -1 when no file of that name exists
};

// Checks one edit's text by CheckImageFile. Raises Exception when the file exists but
// cannot be opened.
TFileCheck CheckImageFile(TImageKind Kind, const QString& Text);
