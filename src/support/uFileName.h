#pragma once
// File names as texts: the folder and bare-name parts of a path, quotes around a name,
// and the folder of the running program.
#include <filesystem>
#include <string>

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
std::string FolderPart(const std::string& Path, TPathStyle Style = NativePathStyle);
// The part after the last separator.
std::string BareName(const std::string& Path, TPathStyle Style = NativePathStyle);
// The part of a file name after its last separator of either style (backslash, colon,
// and on POSIX also slash): what the status line shows of an image being written.
std::string BareFileName(const std::string& Name);

// A text enclosed in double quotes (as older versions stored paths with blanks) without
// them; any other text unchanged.
std::string Unquoted(const std::string& Text);

// The folder of the running program file; empty when the system does not tell.
std::filesystem::path ProgramFolder();

// Whether this process may create files in Folder (false for a folder that is not there).
// On Windows only trying tells, since the folder's access list decides, not its attributes.
bool FolderWritable(const std::filesystem::path& Folder);

// The folder for the user's own settings: %APPDATA% on Windows; elsewhere
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config. Empty when there is none.
std::filesystem::path UserConfigFolder();

// Creates Folder and any missing folders above it; on POSIX each one made is readable by
// its owner only, as the user's configuration folders are. True when Folder exists after.
bool MakeUserFolder(const std::filesystem::path& Folder);
