#include "uPortList.h"

#include <algorithm>
#include <cctype>
#include <numeric>

#include "support/StrNatComp.h"
#include "support/uFormat.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

// UTF-8 to UTF-16 for the natural comparison; a broken sequence yields U+FFFD.
std::u16string Utf16(const std::string& s) {
  std::u16string r;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) {
      r += u'\uFFFD';
      ++i;
      continue;
    }
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    bool ok = true;
    for (size_t k = 1; k < n; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      ok = ok && (d & 0xC0) == 0x80;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += ok ? n : 1;
    if (!ok || cp > 0x10FFFF) {
      r += u'\uFFFD';
    } else if (cp >= 0x10000) {
      r += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      r += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      r += static_cast<char16_t>(cp);
    }
  }
  return r;
}

} // namespace

std::vector<TSystemPort> SerialPorts(const std::vector<TTtyDevice>& Devices) {
  std::vector<TSystemPort> r;
  for (const TTtyDevice& d : Devices) {
    if (d.SysName.empty() || d.ParentSubsystem.empty()) continue; // virtual consoles, ptys
    // The 8250 driver registers a fixed number of ports whether or not a UART answers;
    // those without one report the type 0 (unknown) and cannot be opened usefully.
    if (d.Driver == "serial8250" && d.UartType <= 0) continue;
    if (std::none_of(r.begin(), r.end(),
                     [&d](const TSystemPort& p) { return p.Name == d.SysName; }))
      r.push_back({d.SysName, d.Driver, d.Usb});
  }
  return r;
}

std::vector<std::string> SerialPortNames(const std::vector<TTtyDevice>& Devices) {
  std::vector<std::string> r;
  for (const TSystemPort& p : SerialPorts(Devices))
    r.push_back(p.Name);
  return r;
}

bool SystemPortNames(std::vector<std::string>& Names) {
  std::vector<TSystemPort> Ports;
  if (!SystemPorts(Ports)) return false;
  std::vector<std::string> r;
  for (const TSystemPort& p : Ports)
    r.push_back(p.Name);
  Names = std::move(r);
  return true;
}

std::vector<std::string> ParseNetPorts(const std::string& List) {
  std::vector<std::string> r;
  size_t Pos = 0;
  while (Pos <= List.size()) {
    size_t Comma = List.find(',', Pos);
    if (Comma == std::string::npos) Comma = List.size();
    const std::string e = TrimBlanks(std::string_view(List).substr(Pos, Comma - Pos));
    Pos = Comma + 1;
    const std::string Scheme = "rfc2217://";
    if (e.size() <= Scheme.size() || !SameIgnoringCase(e.substr(0, Scheme.size()), Scheme))
      continue;
    // host:port, the port a number from 1 to 65535; an IPv6 host stands in brackets.
    const std::string HostPort = e.substr(Scheme.size());
    const size_t Colon = HostPort.rfind(':');
    if (Colon == std::string::npos || Colon == 0 || Colon + 1 >= HostPort.size()) continue;
    const std::string PortNo = HostPort.substr(Colon + 1);
    if (PortNo.size() > 5 ||
        !std::all_of(PortNo.begin(), PortNo.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const long n = std::stol(PortNo);
    if (n < 1 || n > 65535) continue;
    if (HostPort.find_first_of(" \t/") != std::string::npos) continue;
    r.push_back("rfc2217://" + HostPort);
  }
  return r;
}

std::vector<std::string> MergePortNames(bool Ok, const std::vector<std::string>& System,
                                        const std::vector<std::string>& Previous,
                                        const std::vector<std::string>& NetPorts) {
  std::vector<std::string> r = Ok ? System : Previous;
  for (const std::string& n : NetPorts)
    if (std::none_of(r.begin(), r.end(),
                     [&](const std::string& x) { return SameIgnoringCase(x, n); }))
      r.push_back(n);
  return r;
}

void SortIgnoringCase(std::vector<std::string>& Names) {
  std::stable_sort(Names.begin(), Names.end(),
                   [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
}

void SortPortsIgnoringCase(std::vector<TSystemPort>& Ports) {
  std::stable_sort(Ports.begin(), Ports.end(), [](const TSystemPort& a, const TSystemPort& b) {
    return Lower(a.Name) < Lower(b.Name);
  });
}

std::vector<size_t> NaturalOrder(const std::vector<std::u16string>& Names) {
  std::vector<size_t> Idx(Names.size());
  std::iota(Idx.begin(), Idx.end(), size_t{0});
  std::stable_sort(Idx.begin(), Idx.end(),
                   [&](size_t a, size_t b) { return NatSortCompare(Names, a, b) < 0; });
  return Idx;
}

void SortNatural(std::vector<std::string>& Names) {
  std::vector<std::u16string> Wide;
  Wide.reserve(Names.size());
  for (const std::string& n : Names)
    Wide.push_back(Utf16(n));
  std::vector<std::string> Sorted;
  Sorted.reserve(Names.size());
  for (size_t i : NaturalOrder(Wide))
    Sorted.push_back(Names[i]);
  Names = std::move(Sorted);
}

int SelectPortIndex(const std::vector<std::string>& Items, const std::string& Kept) {
  if (Items.empty()) return -1;
  if (!Kept.empty())
    for (size_t i = 0; i < Items.size(); ++i)
      if (SameIgnoringCase(Items[i], Kept)) return static_cast<int>(i);
  return 0;
}
