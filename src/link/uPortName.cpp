#include "uPortName.h"

#include <cstring>

namespace {

constexpr const char* Rfc2217Scheme = "rfc2217://";

} // namespace

bool IsRfc2217Name(const std::string& Port) {
  return Port.rfind(Rfc2217Scheme, 0) == 0;
}

std::string ComDevicePath(const std::string& Port) {
  if (IsRfc2217Name(Port) || Port.find('/') != std::string::npos) return Port;
#ifdef _WIN32
  if (Port.find('\\') != std::string::npos) return Port;
  return "\\\\.\\" + Port;
#else
  return "/dev/" + Port;
#endif
}

bool ParseRfc2217Address(const std::string& Url, std::string& Host, std::string& Port) {
  if (!IsRfc2217Name(Url)) return false;
  std::string Rest = Url.substr(std::strlen(Rfc2217Scheme));
  if (!Rest.empty() && Rest.back() == '/') Rest.pop_back();
  size_t Colon;
  if (!Rest.empty() && Rest[0] == '[') {
    const size_t Close = Rest.find(']');
    if (Close == std::string::npos || Close + 1 >= Rest.size() || Rest[Close + 1] != ':')
      return false;
    Host = Rest.substr(1, Close - 1);
    Colon = Close + 1;
  } else {
    Colon = Rest.rfind(':');
    if (Colon == std::string::npos) return false;
    Host = Rest.substr(0, Colon);
    if (Host.find(':') != std::string::npos) return false;
  }
  Port = Rest.substr(Colon + 1);
  if (Host.empty() || Port.empty() || Port.size() > 5) return false;
  for (char c : Host)
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@') return false;
  for (char c : Port)
    if (c < '0' || c > '9') return false;
  const long P = std::stol(Port);
  return P >= 1 && P <= 65535;
}
