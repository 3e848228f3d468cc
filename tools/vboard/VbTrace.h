#pragma once
// The board's trace: one JSON object a line, each with the board time "t" in
// milliseconds and the event name "ev". Tests read it back.
#include <cstdint>
#include <cstdio>
#include <string>

namespace vboard {

class TTraceLine {
public:
  explicit TTraceLine(const char* Event);
  TTraceLine& Num(const char* Key, int64_t V);
  // Any text: bytes that are no UTF-8 are written as U+FFFD, so the line stays JSON.
  TTraceLine& Str(const char* Key, const std::string& V);
  TTraceLine& Bool(const char* Key, bool V);
  // The fields after "t", as they stand in the line: "ev":"...",...
  const std::string& Text() const { return Body; }

private:
  void KeyOf(const char* Key);
  std::string Body;
};

class TTrace {
public:
  TTrace() = default;
  ~TTrace();
  TTrace(const TTrace&) = delete;
  TTrace& operator=(const TTrace&) = delete;
  // False when the file cannot be created.
  bool Open(const std::string& FileName);
  bool Enabled() const { return File != nullptr; }
  // Board time in nanoseconds; the board sets it before each event it handles.
  void SetNow(int64_t Ns) { NowNs = Ns; }
  void Write(const TTraceLine& L);

private:
  FILE* File = nullptr;
  int64_t NowNs = 0;
};

} // namespace vboard
