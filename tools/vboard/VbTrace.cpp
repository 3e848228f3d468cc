#include "VbTrace.h"

namespace vboard {

TTraceLine::TTraceLine(const char* Event) {
  Body = std::string("\"ev\":\"") + Event + "\"";
}

void TTraceLine::KeyOf(const char* Key) {
  Body += ",\"";
  Body += Key;
  Body += "\":";
}

TTraceLine& TTraceLine::Num(const char* Key, int64_t V) {
  KeyOf(Key);
  Body += std::to_string(V);
  return *this;
}

TTraceLine& TTraceLine::Bool(const char* Key, bool V) {
  KeyOf(Key);
  Body += V ? "true" : "false";
  return *this;
}

TTraceLine& TTraceLine::Str(const char* Key, const std::string& V) {
  KeyOf(Key);
  Body += '"';
  for (char c : V) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      Body += '\\';
      Body += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", u);
      Body += e;
    } else {
      Body += c;
    }
  }
  Body += '"';
  return *this;
}

TTrace::~TTrace() {
  if (File) std::fclose(File);
}

bool TTrace::Open(const std::string& FileName) {
  File = std::fopen(FileName.c_str(), "w");
  return File != nullptr;
}

void TTrace::Write(const TTraceLine& L) {
  if (!File) return;
  std::fprintf(File, "{\"t\":%lld.%03lld,%s}\n", static_cast<long long>(NowNs / 1000000),
               static_cast<long long>(NowNs / 1000 % 1000), L.Text().c_str());
  std::fflush(File);
}

} // namespace vboard
