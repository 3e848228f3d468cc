#pragma once
// The checks behind the three image file edits, without the window: size rules, hints,
// and the shortening of a path inside the program's folder to its bare name.
#include <QString>
#include <QtGlobal>

#include "flash/uImageCheck.h" // the size rules, shared with the run

// The edits' tags are TImageKind's: 0 bootloader, 1 partition table, 2 application
// firmware, each checked for its fixed offset.

// How paths are spelled: Windows has backslash folders and a drive colon, POSIX has "/".
enum class TPathStyle { Windows, Posix };
#ifdef _WIN32
constexpr TPathStyle NativePathStyle = TPathStyle::Windows;
#else
constexpr TPathStyle NativePathStyle = TPathStyle::Posix;
#endif

// The folder part: up to the last separator, that separator dropped unless it is the
// root's (C:\boot.bin gives C:\, C:\fw\boot.bin gives C:\fw, C:boot.bin gives C:,
// /fw/boot.bin gives /fw, /boot.bin gives /, a bare name gives "").
QString FolderPart(const QString& Path, TPathStyle Style = NativePathStyle);
// The part after the last separator.
QString BareName(const QString& Path, TPathStyle Style = NativePathStyle);

// A text enclosed in double quotes (as older versions stored paths with blanks) without
// them; any other text unchanged.
QString Unquoted(const QString& Text);

// When Text names a file in the program's folder (compared exactly, letter case
// counting), its bare name; otherwise a null string: the text stays as it is.
// ProgPath is the program's folder with its trailing separator.
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

// Checks one edit's text; a name without a folder is looked up in the current working
// directory. Raises Exception when the file exists but cannot be opened.
TFileCheck CheckImageFile(TImageKind Kind, const QString& Text);
