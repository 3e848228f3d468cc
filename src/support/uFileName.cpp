#include "uFileName.h"

#ifdef _WIN32
#include <vector>
#include <windows.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#endif

namespace {

const char* Separators(TPathStyle Style) {
  return Style == TPathStyle::Posix ? "/" : "\\:";
}

} // namespace

std::string FolderPart(const std::string& Path, TPathStyle Style) {
  const std::string Seps = Separators(Style);
  const size_t i = Path.find_last_of(Seps);
  if (i == std::string::npos) return {};
  const char Sep = Style == TPathStyle::Posix ? '/' : '\\';
  // The final separator goes, unless it is the root's: nothing or a separator before it.
  if (i > 0 && Path[i] == Sep && Seps.find(Path[i - 1]) == std::string::npos)
    return Path.substr(0, i);
  return Path.substr(0, i + 1);
}

std::string BareName(const std::string& Path, TPathStyle Style) {
  const size_t i = Path.find_last_of(Separators(Style));
  return i == std::string::npos ? Path : Path.substr(i + 1);
}

std::string BareFileName(const std::string& Name) {
  const std::string Windows = BareName(Name, TPathStyle::Windows);
  return NativePathStyle == TPathStyle::Windows ? Windows : BareName(Windows, TPathStyle::Posix);
}

std::string Unquoted(const std::string& Text) {
  if (Text.size() >= 2 && Text.front() == '"' && Text.back() == '"')
    return Text.substr(1, Text.size() - 2);
  return Text;
}

std::filesystem::path ProgramFolder() {
#ifdef _WIN32
  // Long paths are possible: the buffer grows until the name fits.
  std::vector<wchar_t> Buf(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, Buf.data(), DWORD(Buf.size()));
    if (n == 0) return {};
    if (n < Buf.size()) return std::filesystem::path(std::wstring(Buf.data(), n)).parent_path();
    if (Buf.size() >= 32768) return {};
    Buf.resize(Buf.size() * 2);
  }
#else
  std::error_code Ec;
  const std::filesystem::path Exe = std::filesystem::read_symlink("/proc/self/exe", Ec);
  return Ec ? std::filesystem::path() : Exe.parent_path();
#endif
}

bool FolderWritable(const std::filesystem::path& Folder) {
  if (Folder.empty()) return false;
#ifdef _WIN32
  // A file that goes away when its handle closes: nothing is left behind.
  for (int Attempt = 0; Attempt < 10; ++Attempt) {
    const std::filesystem::path Probe =
        Folder / (L".quorvex-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(Attempt));
    HANDLE H = CreateFileW(Probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (H != INVALID_HANDLE_VALUE) {
      CloseHandle(H);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
#else
  // The real user's rights, and the file system's: a read-only mount says EROFS.
  struct stat St {};
  return ::stat(Folder.c_str(), &St) == 0 && S_ISDIR(St.st_mode) &&
         ::access(Folder.c_str(), W_OK | X_OK) == 0;
#endif
}

std::filesystem::path UserConfigFolder() {
#ifdef _WIN32
  const DWORD n = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
  if (n == 0) return {};
  std::vector<wchar_t> Buf(n);
  const DWORD Got = GetEnvironmentVariableW(L"APPDATA", Buf.data(), n);
  if (Got == 0 || Got >= n) return {};
  const std::filesystem::path P(std::wstring(Buf.data(), Got));
  return P.is_absolute() ? P : std::filesystem::path();
#else
  // A relative $XDG_CONFIG_HOME is not valid and is ignored, as the base directory rules say.
  if (const char* X = std::getenv("XDG_CONFIG_HOME"); X && *X == '/') return X;
  std::filesystem::path Home;
  if (const char* H = std::getenv("HOME"); H && *H == '/') {
    Home = H;
  } else {
    char Buf[4096];
    struct passwd Pw {};
    struct passwd* Found = nullptr;
    if (getpwuid_r(::getuid(), &Pw, Buf, sizeof Buf, &Found) == 0 && Found && Found->pw_dir &&
        Found->pw_dir[0] == '/')
      Home = Found->pw_dir;
  }
  return Home.empty() ? Home : Home / ".config";
#endif
}

bool MakeUserFolder(const std::filesystem::path& Folder) {
  std::error_code Ec;
  if (Folder.empty()) return false;
  if (std::filesystem::is_directory(Folder, Ec)) return true;
#ifdef _WIN32
  std::filesystem::create_directories(Folder, Ec);
  return std::filesystem::is_directory(Folder, Ec);
#else
  const std::filesystem::path Parent = Folder.parent_path();
  if (Parent != Folder && !MakeUserFolder(Parent)) return false;
  return ::mkdir(Folder.c_str(), 0700) == 0 || errno == EEXIST
             ? std::filesystem::is_directory(Folder, Ec)
             : false;
#endif
}
