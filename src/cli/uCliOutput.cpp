#include "uCliOutput.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

bool IsTerminal(FILE* F) {
#ifdef _WIN32
  return _isatty(_fileno(F)) != 0;
#else
  return isatty(fileno(F)) != 0;
#endif
}

// Whether the terminal takes the escape sequences of the live display.
bool TakesCursorCodes(FILE* F) {
#ifdef _WIN32
  // The console does once asked to; a TERM of dumb (a terminal emulator's hint) still wins.
  const char* Term = std::getenv("TERM");
  if (Term && std::strcmp(Term, "dumb") == 0) return false;
  HANDLE H = GetStdHandle(F == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD Mode = 0;
  if (!GetConsoleMode(H, &Mode)) return false;
  return SetConsoleMode(H, Mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  (void)F;
  const char* Term = std::getenv("TERM");
  return Term && *Term && std::strcmp(Term, "dumb") != 0;
#endif
}

} // namespace

TCliOutput::TCliOutput() {
  const bool NoColour = std::getenv("NO_COLOR") != nullptr;
  for (TState* S : {&FOut, &FErr}) {
    S->Live = IsTerminal(S->File) && TakesCursorCodes(S->File);
    S->Colour = S->Live && !NoColour;
  }
}

void TCliOutput::Fail(TState& S, int Error) {
  S.Lost = true;
  S.Error = Error ? Error : EIO;
  std::clearerr(S.File);
}

void TCliOutput::Write(TStream Which, std::string_view Text) {
  std::lock_guard<std::mutex> L(FLock);
  TState& S = Of(Which);
  if (S.Lost || Text.empty()) return;
  errno = 0;
  if (std::fwrite(Text.data(), 1, Text.size(), S.File) != Text.size() || std::fflush(S.File) != 0)
    Fail(S, errno);
}

void TCliOutput::Message(std::string_view Text) {
  std::string Line = std::string(CliName) + ": ";
  Line.append(Text);
  Line.push_back('\n');
  Write(TStream::Err, Line);
}

bool TCliOutput::Live(TStream S) const {
  return Of(S).Live;
}

bool TCliOutput::Colour(TStream S) const {
  return Of(S).Colour;
}

void TCliOutput::Flush() {
  std::lock_guard<std::mutex> L(FLock);
  for (TState* S : {&FOut, &FErr}) {
    if (S->Lost) continue;
    errno = 0;
    if (std::fflush(S->File) != 0 || std::ferror(S->File)) Fail(*S, errno);
  }
}

bool TCliOutput::Lost() const {
  std::lock_guard<std::mutex> L(FLock);
  return FOut.Lost || FErr.Lost;
}

std::string TCliOutput::LostText() const {
  std::lock_guard<std::mutex> L(FLock);
  std::string r;
  for (const TState* S : {&FOut, &FErr})
    if (S->Lost) {
      if (!r.empty()) r += ", ";
      r += std::string(S->Name) + ": " + std::strerror(S->Error);
    }
  return r;
}
