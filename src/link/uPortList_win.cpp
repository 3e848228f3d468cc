// The serial ports of a Windows machine: the values of HARDWARE\DEVICEMAP\SERIALCOMM.
#include <windows.h>

#include <string>

#include "uPortList.h"

namespace {

// Closes the key however the reading ends.
struct TKey {
  HKEY H = nullptr;
  ~TKey() {
    if (H) RegCloseKey(H);
  }
};

std::string Utf8(const wchar_t* s) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string r(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, -1, r.data(), n, nullptr, nullptr);
  r.resize(static_cast<size_t>(n - 1));
  return r;
}

} // namespace

bool SystemPortNames(std::vector<std::string>& Names) {
  TKey Key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &Key.H) !=
      ERROR_SUCCESS) {
    Key.H = nullptr;
    return false;
  }
  std::vector<std::string> r;
  for (DWORD Index = 0;; ++Index) {
    wchar_t Name[256];
    DWORD NameLen = 256;
    // 256 bytes of data: 127 characters and the terminating 0, plus room for our own 0.
    wchar_t Data[129] = {};
    DWORD DataLen = 256;
    DWORD Type = 0;
    if (RegEnumValueW(Key.H, Index, Name, &NameLen, nullptr, &Type, reinterpret_cast<LPBYTE>(Data),
                      &DataLen) != ERROR_SUCCESS)
      break;
    // The data may lack its terminating 0; the text ends at the first 0 or at its length.
    Data[DataLen / sizeof(wchar_t)] = L'\0';
    r.push_back(Utf8(Data));
  }
  SortIgnoringCase(r);
  Names = std::move(r);
  return true;
}
