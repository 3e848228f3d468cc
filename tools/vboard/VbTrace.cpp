#include "VbTrace.h"

namespace vboard {

TTraceLine::TTraceLine(const char* Event) {
  Fields["ev"] = Event;
}

TTraceLine& TTraceLine::Num(const char* Key, int64_t V) {
  Fields[Key] = V;
  return *this;
}

TTraceLine& TTraceLine::Bool(const char* Key, bool V) {
  Fields[Key] = V;
  return *this;
}

TTraceLine& TTraceLine::Str(const char* Key, const std::string& V) {
  Fields[Key] = V;
  return *this;
}

std::string TTraceLine::Text() const {
  const std::string Object =
      Fields.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return Object.substr(1, Object.size() - 2); // without the braces
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
