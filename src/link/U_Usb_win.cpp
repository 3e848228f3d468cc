// Windows backend of the USB watcher: a hidden window registered for the device
// notifications of every USB device interface, and the registry lookup of a port name.
#include "U_Usb.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// after windows.h, which it needs
#include <dbt.h>

#include <cstring>
#include <exception>
#include <string>

namespace {

const wchar_t ClassName[] = L"QuorvexUsbWatcher";

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

// DEV_BROADCAST_DEVICEINTERFACE_W: size, device type, reserved (32 bits each), the
// class GUID (16 bytes), then the zero-terminated UTF-16 path at byte 28.
constexpr size_t NameOffset = 28;

uint32_t ReadU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void AppendUtf8(std::string& s, char32_t c) {
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The interface path of a device-interface record, as UTF-8. The record's size bounds
// the read: a path without its terminator ends there.
std::string RecordPath(const unsigned char* Rec) {
  const uint32_t Size = ReadU32(Rec);
  if (Size < NameOffset) return {};
  const size_t Units = (Size - NameOffset) / 2;
  std::string Path;
  for (size_t k = 0; k < Units; ++k) {
    char16_t c;
    std::memcpy(&c, Rec + NameOffset + 2 * k, 2);
    if (c == 0) break;
    char32_t cp = c;
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < Units) {
      char16_t d;
      std::memcpy(&d, Rec + NameOffset + 2 * (k + 1), 2);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (d - 0xDC00);
        ++k;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD; // a lone surrogate half
    AppendUtf8(Path, cp);
  }
  return Path;
}

struct KeyCloser { // the registry handle is released on every path
  HKEY Key = nullptr;
  ~KeyCloser() {
    if (Key) RegCloseKey(Key);
  }
};

} // namespace

struct TComponentUSB::Impl {
  HWND FWindowHandle = nullptr;
  bool Registered = false;
  static LRESULT CALLBACK WndProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam);
  bool RegisterUsbNotify();
};

LRESULT CALLBACK TComponentUSB::Impl::WndProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  auto* Self = reinterpret_cast<TComponentUSB*>(GetWindowLongPtrW(Wnd, GWLP_USERDATA));
  if (Msg != WM_DEVICECHANGE || !Self) return DefWindowProcW(Wnd, Msg, WParam, LParam);
  TMessage M;
  M.Msg = Msg;
  M.WParam = static_cast<uintptr_t>(WParam);
  M.LParam = static_cast<intptr_t>(LParam);
  // An error must not unwind through the system's call; it goes to the error display.
  Self->Dispatch(M);
  return 0;
}

bool TComponentUSB::Impl::RegisterUsbNotify() {
  // The 32-byte DEV_BROADCAST_DEVICEINTERFACE_W filter: size, type 5 and the class
  // GUID_DEVINTERFACE_USB_DEVICE, so every USB device is reported.
  static const GUID UsbDevice = {
      0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  DEV_BROADCAST_DEVICEINTERFACE_W Filter;
  std::memset(&Filter, 0, sizeof Filter);
  static_assert(sizeof Filter == 32);
  Filter.dbcc_size = sizeof Filter;
  Filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  Filter.dbcc_classguid = UsbDevice;
  return RegisterDeviceNotificationW(FWindowHandle, &Filter, DEVICE_NOTIFY_WINDOW_HANDLE) !=
         nullptr;
}

TComponentUSB::TComponentUSB(const std::string& /*MonitorSource*/) : P(new Impl) {
  HINSTANCE Inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW Cls;
  std::memset(&Cls, 0, sizeof Cls);
  Cls.cbSize = sizeof Cls;
  Cls.lpfnWndProc = &Impl::WndProc;
  Cls.hInstance = Inst;
  Cls.lpszClassName = ClassName;
  RegisterClassExW(&Cls); // fails harmlessly when a previous instance registered it
  // A hidden top-level window (not message-only) like those of non-visual components.
  P->FWindowHandle = CreateWindowExW(WS_EX_TOOLWINDOW, ClassName, L"", WS_POPUP, 0, 0, 0, 0,
                                     nullptr, nullptr, Inst, nullptr);
  if (!P->FWindowHandle) return; // not reported: the watcher never fires
  SetWindowLongPtrW(P->FWindowHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  P->Registered = P->RegisterUsbNotify(); // not reported either; the handle is not kept
}

TComponentUSB::~TComponentUSB() {
  // No notification can reach the component once its window is gone.
  if (P->FWindowHandle) DestroyWindow(P->FWindowHandle);
  delete P;
}

bool TComponentUSB::Listening() const {
  return P->FWindowHandle && P->Registered;
}

int TComponentUSB::MonitorFd() const {
  return -1;
}
void TComponentUSB::HandleMonitorEvent() {}
void TComponentUSB::RefreshPorts() {}

void TComponentUSB::WMDeviceChange(TMessage& Msg) {
  if (Msg.WParam != DBT_DEVICEARRIVAL_ && Msg.WParam != DBT_DEVICEREMOVECOMPLETE_) return;
  if (Msg.LParam == 0) return;
  const auto* Rec = reinterpret_cast<const unsigned char*>(Msg.LParam);
  if (ReadU32(Rec + 4) != DBT_DEVTYP_DEVICEINTERFACE_) return;
  Xmsg = Msg;
  Deliver(TUsbEvent{Msg.WParam == DBT_DEVICEARRIVAL_, RecordPath(Rec)});
}

void TComponentUSB::Dispatch(TMessage& Msg) {
  try {
    WMDeviceChange(Msg);
  } catch (const std::exception& E) {
    if (OnError) OnError(E.what());
  } catch (...) {
    if (OnError) OnError("Unknown error");
  }
}

std::string TComponentUSB::PortName(const std::string& Path) const {
  std::string Key = UsbRegistryKey(Path);
  // The leading backslash means "from the root", which is what RegOpenKeyExW takes.
  while (!Key.empty() && Key.front() == '\\')
    Key.erase(0, 1);
  KeyCloser K;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(Key).c_str(), 0, KEY_READ, &K.Key) != ERROR_SUCCESS)
    return {};
  DWORD Type = 0, Bytes = 0;
  if (RegQueryValueExW(K.Key, L"PortName", nullptr, &Type, nullptr, &Bytes) != ERROR_SUCCESS ||
      (Type != REG_SZ && Type != REG_EXPAND_SZ))
    return {};
  std::wstring Value(Bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD Size = static_cast<DWORD>(Value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(K.Key, L"PortName", nullptr, &Type, reinterpret_cast<BYTE*>(Value.data()),
                       &Size) != ERROR_SUCCESS)
    return {};
  Value.resize(wcsnlen(Value.c_str(), Value.size())); // the stored text may lack its terminator
  return Narrow(Value);
}
