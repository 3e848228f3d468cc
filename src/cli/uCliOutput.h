#pragma once
// Where the command line writes: results on stdout; messages, warnings and the debug log
// on stderr. A write that fails (a pipe whose reader has gone, a full disk, a terminal
// that was closed) loses that output and nothing else: the run goes on and finishes
// every board, and the loss shows at the end in the exit status and, where stderr still
// works, in a line.
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

enum class TStream { Out, Err };

// The messages' prefix: the program's name.
inline constexpr const char* CliName = "quorvex-cli";

class TCliOutput {
public:
  // Looks at both streams once: terminal or not, TERM and NO_COLOR.
  TCliOutput();
  TCliOutput(const TCliOutput&) = delete;
  TCliOutput& operator=(const TCliOutput&) = delete;

  // From any thread. A text is written and flushed in one piece; after a stream's first
  // failure nothing more is written to it.
  void Write(TStream S, std::string_view Text);
  // "quorvex-cli: Text" and a line break on stderr.
  void Message(std::string_view Text);

  // A terminal that takes cursor codes: not TERM=dumb (nor no TERM at all, on POSIX).
  bool Live(TStream S) const;
  // Colour too: such a terminal, and no NO_COLOR in the environment (whatever its value).
  bool Colour(TStream S) const;

  // Flushes what the C library may still hold; a failure is a loss like any other.
  void Flush();
  bool Lost() const;
  // Which streams failed and why ("stdout: No space left on device"); empty: none.
  std::string LostText() const;

private:
  struct TState {
    FILE* File;
    const char* Name;
    bool Live = false, Colour = false;
    bool Lost = false;
    int Error = 0;
  };
  void Fail(TState& S, int Error);
  TState& Of(TStream S) { return S == TStream::Out ? FOut : FErr; }
  const TState& Of(TStream S) const { return S == TStream::Out ? FOut : FErr; }

  mutable std::mutex FLock;
  TState FOut{stdout, "stdout"}, FErr{stderr, "stderr"};
};
