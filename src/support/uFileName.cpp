#include "uFileName.h"

#ifdef _WIN32
#include <vector>
#include <windows.h>
#else
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
