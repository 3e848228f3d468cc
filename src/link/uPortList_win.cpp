// The serial ports of a Windows machine: the values of HARDWARE\DEVICEMAP\SERIALCOMM,
// with what the device manager (SetupAPI, the configuration manager) tells of each.
#include <initguid.h> // before devguid.h: it defines the class GUIDs instead of declaring them

#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cwctype>
#include <map>
#include <string>

#include "uPortList.h"

namespace {

// Closes the key however the reading ends.
struct TKey {
  HKEY H = nullptr;
  ~TKey() {
    if (H && H != INVALID_HANDLE_VALUE) RegCloseKey(H);
  }
};

struct TDevInfo {
  HDEVINFO H = INVALID_HANDLE_VALUE;
  ~TDevInfo() {
    if (H != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(H);
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

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s)
    c = static_cast<wchar_t>(std::towupper(c));
  return s;
}

// A text property of the device from the registry the device manager keeps.
std::string DeviceText(HDEVINFO Set, SP_DEVINFO_DATA& Dev, DWORD Property) {
  wchar_t Buf[512] = {};
  DWORD Type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(Set, &Dev, Property, &Type, reinterpret_cast<PBYTE>(Buf),
                                         sizeof Buf - sizeof(wchar_t), nullptr))
    return std::string();
  // A multi-string holds its first text first; either way the text ends at its first 0.
  return Type == REG_SZ || Type == REG_MULTI_SZ ? Utf8(Buf) : std::string();
}

std::wstring InstanceId(DEVINST Node) {
  wchar_t Buf[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(Node, Buf, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::wstring();
  return Buf;
}

// The four hexadecimal digits after Tag ("VID_") in a device instance id, lower case.
std::string IdField(const std::wstring& Id, const wchar_t* Tag) {
  const size_t At = Id.find(Tag);
  if (At == std::wstring::npos || At + 4 + 4 > Id.size()) return std::string();
  std::string r;
  for (size_t i = At + 4; i < At + 8; ++i) {
    if (!std::iswxdigit(Id[i])) return std::string();
    r.push_back(static_cast<char>(std::towlower(Id[i])));
  }
  return r;
}

// The USB device a port belongs to: the port's node itself or the first node above it
// whose instance id is that of a whole USB device (USB\VID_xxxx&PID_yyyy\serial), not one
// of its interfaces (&MI_nn). Its ids, and its serial number: the id's last part, unless
// the system made that part up for a device without one (such parts hold '&').
void UsbOf(DEVINST Node, TUsbDetails& Usb) {
  for (int Depth = 0; Depth < 8; ++Depth) {
    const std::wstring Id = Upper(InstanceId(Node));
    if (Id.rfind(L"USB\\VID_", 0) == 0 && Id.find(L"&MI_") == std::wstring::npos) {
      Usb.Vid = IdField(Id, L"VID_");
      Usb.Pid = IdField(Id, L"PID_");
      const std::wstring Original = InstanceId(Node);
      const size_t Slash = Original.rfind(L'\\');
      const std::wstring Last = Slash == std::wstring::npos ? L"" : Original.substr(Slash + 1);
      if (!Last.empty() && Last.find(L'&') == std::wstring::npos) Usb.Serial = Utf8(Last.c_str());
      return;
    }
    DEVINST Parent = 0;
    if (CM_Get_Parent(&Parent, Node, 0) != CR_SUCCESS) return;
    Node = Parent;
  }
}

// The details of every present port device, by upper-cased port name.
std::map<std::wstring, TSystemPort> PortDetails() {
  std::map<std::wstring, TSystemPort> r;
  TDevInfo Set;
  Set.H = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (Set.H == INVALID_HANDLE_VALUE) return r;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA Dev{};
    Dev.cbSize = sizeof Dev;
    if (!SetupDiEnumDeviceInfo(Set.H, i, &Dev)) break;
    TKey Key;
    Key.H = SetupDiOpenDevRegKey(Set.H, &Dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (Key.H == INVALID_HANDLE_VALUE) continue;
    wchar_t Name[129] = {};
    DWORD Len = sizeof Name - sizeof(wchar_t), Type = 0;
    if (RegQueryValueExW(Key.H, L"PortName", nullptr, &Type, reinterpret_cast<LPBYTE>(Name),
                         &Len) != ERROR_SUCCESS ||
        Type != REG_SZ)
      continue;
    TSystemPort P;
    P.Name = Utf8(Name);
    P.Driver = DeviceText(Set.H, Dev, SPDRP_SERVICE);
    UsbOf(Dev.DevInst, P.Usb);
    if (P.Usb.Known()) {
      P.Usb.Manufacturer = DeviceText(Set.H, Dev, SPDRP_MFG);
      P.Usb.Product = DeviceText(Set.H, Dev, SPDRP_DEVICEDESC);
    }
    r[Upper(Name)] = P;
  }
  return r;
}

} // namespace

bool SystemPorts(std::vector<TSystemPort>& Ports) {
  TKey Key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &Key.H) !=
      ERROR_SUCCESS) {
    Key.H = nullptr;
    return false;
  }
  std::vector<std::wstring> Names;
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
    Names.push_back(Data);
  }
  // The names are the registry's; the device manager only adds what it knows of them.
  const std::map<std::wstring, TSystemPort> Details = PortDetails();
  std::vector<TSystemPort> r;
  for (const std::wstring& N : Names) {
    const auto It = Details.find(Upper(N));
    TSystemPort P = It != Details.end() ? It->second : TSystemPort{};
    P.Name = Utf8(N.c_str());
    r.push_back(P);
  }
  SortPortsIgnoringCase(r);
  Ports = std::move(r);
  return true;
}
