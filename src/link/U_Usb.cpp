// The platform-independent part of the USB watcher: the device-change message logic,
// the record layout, and the registry key of a device path.
#include "U_Usb.h"

#include <cstring>
#include <exception>
#include <vector>

namespace {

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

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    char32_t cp = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
    bool ok = n >= 0 && i + static_cast<size_t>(n) < s.size() + (n == 0 ? 1 : 0);
    for (int k = 1; ok && k <= n; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      ok = (t & 0xC0) == 0x80;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += static_cast<size_t>(n) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

} // namespace

TComponentUSB::TComponentUSB() : TComponentUSB(std::string("udev")) {}

std::string TComponentUSB::DevicePath() const {
  if (Xmsg.LParam == 0) return {};
  const auto* Rec = reinterpret_cast<const unsigned char*>(Xmsg.LParam);
  const uint32_t Size = ReadU32(Rec);
  if (ReadU32(Rec + 4) != DBT_DEVTYP_DEVICEINTERFACE_ || Size < NameOffset) return {};
  // The record's size bounds the read: a path without its terminator ends there.
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

void TComponentUSB::WMDeviceChange(TMessage& Msg) {
  if (Msg.WParam != DBT_DEVICEARRIVAL_ && Msg.WParam != DBT_DEVICEREMOVECOMPLETE_) return;
  if (Msg.LParam == 0) return;
  if (ReadU32(reinterpret_cast<const unsigned char*>(Msg.LParam) + 4) !=
      DBT_DEVTYP_DEVICEINTERFACE_)
    return;
  Xmsg = Msg;
  if (Msg.WParam == DBT_DEVICEARRIVAL_) {
    if (OnUSBArrival) OnUSBArrival(*this);
  } else {
    if (OnUSBRemove) OnUSBRemove(*this);
  }
}

void TComponentUSB::DeliverEvent(bool Arrival, const std::string& Path) {
  static const unsigned char UsbDeviceClass[16] = {// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
                                                   0x10, 0xBF, 0xDC, 0xA5, 0x30, 0x65, 0xD2, 0x11,
                                                   0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED};
  const std::u16string Name = Utf8ToUtf16(Path);
  std::vector<unsigned char> Rec(NameOffset + 2 * (Name.size() + 1), 0);
  const uint32_t Size = static_cast<uint32_t>(Rec.size());
  std::memcpy(Rec.data(), &Size, 4);
  std::memcpy(Rec.data() + 4, &DBT_DEVTYP_DEVICEINTERFACE_, 4);
  std::memcpy(Rec.data() + 12, UsbDeviceClass, 16);
  if (!Name.empty()) std::memcpy(Rec.data() + NameOffset, Name.data(), 2 * Name.size());
  TMessage Msg;
  Msg.Msg = WM_DEVICECHANGE_;
  Msg.WParam = Arrival ? DBT_DEVICEARRIVAL_ : DBT_DEVICEREMOVECOMPLETE_;
  Msg.LParam = reinterpret_cast<intptr_t>(Rec.data());
  Dispatch(Msg);
  // The record dies with this call: a later DevicePath() must not read it.
  if (Xmsg.LParam == Msg.LParam) Xmsg.LParam = 0;
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

std::string UsbRegistryKey(const std::string& Path) {
  // 1-based positions as the lookup counts them; 0 when absent. Both markers are ASCII,
  // so byte positions in UTF-8 cut at the same characters as positions in UTF-16.
  const size_t f1 = Path.find("#VID"), f2 = Path.find("#{");
  const long long p1 = f1 == std::string::npos ? 0 : static_cast<long long>(f1) + 1;
  const long long p2 = f2 == std::string::npos ? 0 : static_cast<long long>(f2) + 1;
  long long Start = p1 + 1;
  const long long Len = p2 - p1;
  if (Start < 1) Start = 1;
  std::string Part;
  if (Len >= 1 && Start <= static_cast<long long>(Path.size()))
    Part = Path.substr(static_cast<size_t>(Start - 1), static_cast<size_t>(Len));
  std::string Key = "\\SYSTEM\\CurrentControlSet\\Enum\\USB\\" + Part + "Device Parameters\\";
  for (char& c : Key)
    if (c == '#') c = '\\';
  return Key;
}
