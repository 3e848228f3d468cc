#include "VbTrace.h"

#include <nlohmann/json.hpp>

namespace vboard {

namespace {

// A text as a JSON string, quotes included.
std::string Quoted(const std::string& Text) {
  return nlohmann::json(Text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

TTraceLine::TTraceLine(const char* Event) {
  Body = "\"ev\":" + Quoted(Event);
}

void TTraceLine::KeyOf(const char* Key) {
  Body += ',';
  Body += Quoted(Key);
  Body += ':';
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
  Body += Quoted(V);
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
