#pragma once
// The rig of the command-line tests: quorvex-cli run as a separate process (with files,
// a pipe or a pseudo-terminal for its output) against virtual boards served by the test,
// the images and settings it is given, and the check of its JSON against the schema that
// docs/json.md documents.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "VbTestServer.h"

namespace clitest {

using namespace vbtest;
using vboard::TBytes;
using json = nlohmann::json;
using TClock = std::chrono::steady_clock;

struct TRunResult {
  int Status = -1; // exit status; 1000 + signal when killed by one
  std::string Out, Err;
  double Seconds = 0; // from the start to the end of the process
};

struct TRunSpec {
  std::vector<std::string> Env;     // NAME=VALUE set for the program; NAME alone unsets it
  std::vector<std::string> Wrapper; // a program that runs it (its arguments, then the CLI's)
  std::string Stdout, Stderr;       // files instead of capturing (/dev/full); "" captures
  std::function<void(pid_t)> Poke;  // called every 20 ms with the pid while it runs
};

inline void SetEnv(const std::vector<std::string>& Env) {
  for (const std::string& E : Env) {
    const size_t Eq = E.find('=');
    if (Eq == std::string::npos)
      unsetenv(E.c_str());
    else
      setenv(E.substr(0, Eq).c_str(), E.substr(Eq + 1).c_str(), 1);
  }
}

// In a child: the program with its arguments, behind the wrapper if any. Never returns.
[[noreturn]] inline void ExecCli(const std::vector<std::string>& Args,
                                 const std::vector<std::string>& Wrapper) {
  std::vector<char*> Argv;
  for (const std::string& W : Wrapper)
    Argv.push_back(const_cast<char*>(W.c_str()));
  Argv.push_back(const_cast<char*>(QUORVEX_CLI_EXE));
  for (const std::string& A : Args)
    Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  execvp(Argv[0], Argv.data());
  _exit(127);
}

inline int DecodeStatus(int St) {
  return WIFEXITED(St) ? WEXITSTATUS(St) : 1000 + WTERMSIG(St);
}

// Waits for Pid, calling Poke every 20 ms; killed after two minutes.
inline int Reap(pid_t Pid, const std::function<void(pid_t)>& Poke) {
  const auto Until = TClock::now() + std::chrono::minutes(2);
  int St = 0;
  for (;;) {
    if (waitpid(Pid, &St, WNOHANG) == Pid) break;
    if (TClock::now() > Until) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &St, 0);
      ADD_FAILURE() << "quorvex-cli did not end within two minutes";
      break;
    }
    if (Poke) Poke(Pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return DecodeStatus(St);
}

inline TRunResult RunCli(const std::vector<std::string>& Args, const TRunSpec& Spec) {
  static int Runs = 0;
  const std::string OutFile = TempPath("cli_out" + std::to_string(++Runs)),
                    ErrFile = OutFile + ".err";
  const auto Start = TClock::now();
  const pid_t Pid = fork();
  if (Pid == 0) {
    SetEnv(Spec.Env);
    const int In = open("/dev/null", O_RDONLY);
    const int Out = open(Spec.Stdout.empty() ? OutFile.c_str() : Spec.Stdout.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int Err = open(Spec.Stderr.empty() ? ErrFile.c_str() : Spec.Stderr.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(In, 0);
    dup2(Out, 1);
    dup2(Err, 2);
    ExecCli(Args, Spec.Wrapper);
  }
  TRunResult R;
  R.Status = Reap(Pid, Spec.Poke);
  R.Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  R.Out = ReadText(OutFile);
  R.Err = ReadText(ErrFile);
  std::remove(OutFile.c_str());
  std::remove(ErrFile.c_str());
  return R;
}

// Runs the program with Args; Poke (if any) is called every 20 ms with its pid while it
// runs. Killed after two minutes.
inline TRunResult RunCli(const std::vector<std::string>& Args,
                         const std::function<void(pid_t)>& Poke = nullptr) {
  TRunSpec Spec;
  Spec.Poke = Poke;
  return RunCli(Args, Spec);
}

// Runs the program with stdout into a pipe whose reader takes the first line and then
// closes its end, as `| head -1` does. Out holds that line.
inline TRunResult RunCliIntoClosedPipe(const std::vector<std::string>& Args) {
  int P[2];
  if (pipe(P) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  const std::string ErrFile = TempPath("cli_pipe.err");
  const pid_t Pid = fork();
  if (Pid == 0) {
    close(P[0]);
    const int In = open("/dev/null", O_RDONLY);
    const int Err = open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(In, 0);
    dup2(P[1], 1);
    dup2(Err, 2);
    ExecCli(Args, {});
  }
  close(P[1]);
  TRunResult R;
  char c = 0;
  while (read(P[0], &c, 1) == 1 && c != '\n')
    R.Out.push_back(c);
  close(P[0]);
  R.Status = Reap(Pid, nullptr);
  R.Err = ReadText(ErrFile);
  std::remove(ErrFile.c_str());
  return R;
}

// Runs the program on a pseudo-terminal (TERM=xterm-256color, no NO_COLOR, unless Env
// says otherwise) and returns all it wrote there, stdout and stderr alike, with its exit
// status. Tick, if given, is called after every read and at least every 50 ms with the
// terminal's other side and what arrived so far (it may type keys there).
inline TRunResult
RunCliOnTerminal(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {},
                 const std::function<void(int Master, const std::string& SoFar)>& Tick = nullptr) {
  int Master = -1;
  winsize Size{};
  Size.ws_col = 200;
  Size.ws_row = 50;
  const auto Start = TClock::now();
  const pid_t Pid = forkpty(&Master, nullptr, nullptr, &Size);
  if (Pid == 0) {
    SetEnv({"TERM=xterm-256color", "NO_COLOR"});
    SetEnv(Env);
    ExecCli(Args, {});
  }
  TRunResult R;
  const auto Until = TClock::now() + std::chrono::minutes(2);
  // Read until the terminal's other side is gone (EIO once the program has ended).
  while (TClock::now() < Until) {
    pollfd P{Master, POLLIN, 0};
    const int n = poll(&P, 1, 50);
    if (n > 0) {
      char Buf[4096];
      const ssize_t Got = read(Master, Buf, sizeof Buf);
      if (Got <= 0) break;
      R.Out.append(Buf, size_t(Got));
    }
    if (Tick) Tick(Master, R.Out);
  }
  int St = 0;
  // The terminal closes as the program ends; its status follows a moment later.
  const auto Reaped = [&] {
    for (int i = 0; i < 500; ++i) {
      if (waitpid(Pid, &St, WNOHANG) == Pid) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  if (!Reaped()) {
    kill(Pid, SIGKILL);
    waitpid(Pid, &St, 0);
    ADD_FAILURE() << "quorvex-cli did not end within two minutes";
  }
  close(Master);
  R.Status = DecodeStatus(St);
  R.Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  return R;
}

inline TBytes RandomBytes(size_t Size, unsigned Seed) {
  std::mt19937 G(Seed);
  TBytes B(Size);
  for (auto& b : B)
    b = uint8_t(G());
  return B;
}

inline void WriteFile(const std::string& Path, const TBytes& B) {
  std::ofstream F(Path, std::ios::binary | std::ios::trunc);
  F.write(reinterpret_cast<const char*>(B.data()), std::streamsize(B.size()));
}

inline void WriteText(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

// The three images with sizes the window accepts, and a settings file with short
// reset holds.
struct TFiles {
  TBytes Boot = RandomBytes(16385, 1), Part = RandomBytes(3072, 2), Firm;
  std::string BootFile = TempPath("cli_boot.bin"), PartFile = TempPath("cli_part.bin"),
              FirmFile = TempPath("cli_firm.bin"), Ini = TempPath("cli.ini");
  explicit TFiles(size_t FirmSize = 65536 + 100) : Firm(RandomBytes(FirmSize, 3)) {
    Boot[0] = 0xE9;
    WriteFile(BootFile, Boot);
    WriteFile(PartFile, Part);
    WriteFile(FirmFile, Firm);
    SetIni("");
  }
  void SetIni(const std::string& More) {
    WriteText(Ini, "[CONFIG]\r\nSlowLow=30\r\nSlowHigh=30\r\nFastLow=30\r\nFastHigh=30\r\n" + More);
  }
  ~TFiles() {
    for (const std::string& F : {BootFile, PartFile, FirmFile, Ini})
      std::remove(F.c_str());
  }
  std::vector<std::string> Named() const {
    return {"--boot", BootFile, "--part", PartFile, "--firm", FirmFile};
  }
  TBytes PatchedBoot() const {
    TBytes B = Boot;
    B[2] = 0x02;
    B[3] = 0x20;
    return B;
  }
};

// A board served by the test, with trace and flash files of its own.
struct TBoard {
  TBoardServer S;
  explicit TBoard(bool Quick = true, TStubCore Core = TStubCore::Host) {
    S.Opt.StubCore = Core;
    static int Made = 0;
    const std::string Tag = std::to_string(++Made);
    S.TraceFile = TempPath("cli_trace" + Tag + ".jsonl");
    S.FlashFile = TempPath("cli_flash" + Tag + ".bin");
    if (Quick) {
      S.Opt.Pacing = false;
      S.Opt.TimeScale = 0.01;
    }
  }
  ~TBoard() {
    S.Stop();
    std::remove(S.TraceFile.c_str());
    std::remove(S.FlashFile.c_str());
  }
  std::string Trace() const { return ReadText(S.TraceFile); }
  size_t Count(const std::string& Event) const {
    const std::string T = Trace(), Key = "\"ev\":\"" + Event + "\"";
    size_t n = 0;
    for (size_t p = T.find(Key); p != std::string::npos; p = T.find(Key, p + 1))
      ++n;
    return n;
  }
  // Line index of the last trace line of an event; npos when none.
  size_t Last(const std::string& Event) const {
    std::istringstream T(Trace());
    size_t i = 0, L = std::string::npos;
    for (std::string Line; std::getline(T, Line); ++i)
      if (Line.find("\"ev\":\"" + Event + "\"") != std::string::npos) L = i;
    return L;
  }
  // The requests of one opcode (two hex digits, upper case) the board received.
  size_t Requests(const std::string& Op) const {
    size_t n = 0;
    for (const std::string& P : S.TracedPackets("frame_in"))
      n += P.size() >= 4 && std::toupper(static_cast<unsigned char>(P[2])) == Op[0] &&
           std::toupper(static_cast<unsigned char>(P[3])) == Op[1];
    return n;
  }
  // The rates the board was asked to switch to (CHANGE_BAUDRATE's first word).
  std::vector<uint32_t> BaudChanges() const {
    std::vector<uint32_t> Out;
    for (const std::string& P : S.TracedPackets("frame_in"))
      if (P.compare(2, 2, "0F") == 0 || P.compare(2, 2, "0f") == 0) {
        uint32_t v = 0;
        for (int b = 3; b >= 0; --b)
          v = v << 8 | uint32_t(std::stoul(P.substr(16 + size_t(b) * 2, 2), nullptr, 16));
        Out.push_back(v);
      }
    return Out;
  }
  TBytes Flash(size_t Offset, size_t Len) const {
    const std::string F = ReadText(S.FlashFile);
    if (F.size() < Offset + Len) return {};
    return TBytes(F.begin() + long(Offset), F.begin() + long(Offset + Len));
  }
  // The flash file is saved when the client leaves: waits for it (up to two seconds).
  bool FlashSaved() const {
    for (int i = 0; i < 200; ++i) {
      if (ReadText(S.FlashFile).size() == vboard::TFlash::Size) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // The board's reset came after the last request it got, and its port was closed.
  void ExpectResetAndClosed() const {
    EXPECT_GT(Last("reset"), Last("frame_in")) << "the board is reset after its last request";
    EXPECT_GT(Last("client_gone"), Last("reset")) << "the port was closed";
  }
};

inline std::vector<std::string> Join(std::vector<std::string> A,
                                     const std::vector<std::string>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// ---------------------------------------------------------------- the JSON schema

// The fenced ```json blocks of docs/json.md in order: the schema first, then one example
// of each outcome.
inline std::vector<json> DocumentedJson() {
  const std::string Doc = ReadText(QUORVEX_SOURCE_DIR "/docs/json.md");
  std::vector<json> Blocks;
  for (size_t p = Doc.find("```json\n"); p != std::string::npos; p = Doc.find("```json\n", p)) {
    p += 8;
    const size_t End = Doc.find("```", p);
    if (End == std::string::npos) break;
    Blocks.push_back(json::parse(Doc.substr(p, End - p)));
    p = End + 3;
  }
  return Blocks;
}

// Checks V against the part of JSON Schema the documented schema uses: type, const,
// enum, properties, required, additionalProperties, items, anyOf, minimum, maximum and
// $ref to #/$defs/NAME. Adds a line to Problems for every way V differs.
inline void SchemaCheck(const json& Root, const json& S, const json& V, const std::string& At,
                        std::vector<std::string>& Problems) {
  if (S.contains("$ref")) {
    const std::string Ref = S["$ref"];
    const std::string Name = Ref.substr(std::string("#/$defs/").size());
    if (!Root["$defs"].contains(Name)) {
      Problems.push_back(At + ": unknown $ref " + Ref);
      return;
    }
    SchemaCheck(Root, Root["$defs"][Name], V, At, Problems);
  }
  if (S.contains("anyOf")) {
    bool Any = false;
    for (const json& Alt : S["anyOf"]) {
      std::vector<std::string> Mine;
      SchemaCheck(Root, Alt, V, At, Mine);
      Any = Any || Mine.empty();
    }
    if (!Any) Problems.push_back(At + ": matches none of anyOf: " + V.dump());
  }
  if (S.contains("type")) {
    const auto Is = [&V](const std::string& T) {
      return (T == "object" && V.is_object()) || (T == "array" && V.is_array()) ||
             (T == "string" && V.is_string()) || (T == "boolean" && V.is_boolean()) ||
             (T == "null" && V.is_null()) || (T == "integer" && V.is_number_integer()) ||
             (T == "number" && V.is_number());
    };
    bool Ok = false;
    if (S["type"].is_array())
      for (const json& T : S["type"])
        Ok = Ok || Is(T);
    else
      Ok = Is(S["type"]);
    if (!Ok) Problems.push_back(At + ": " + V.dump() + " is not of type " + S["type"].dump());
  }
  if (S.contains("const") && V != S["const"])
    Problems.push_back(At + ": " + V.dump() + " is not " + S["const"].dump());
  if (S.contains("enum") && std::find(S["enum"].begin(), S["enum"].end(), V) == S["enum"].end())
    Problems.push_back(At + ": " + V.dump() + " is none of " + S["enum"].dump());
  if (V.is_number() && S.contains("minimum") && V.get<double>() < S["minimum"].get<double>())
    Problems.push_back(At + ": " + V.dump() + " is below " + S["minimum"].dump());
  if (V.is_number() && S.contains("maximum") && V.get<double>() > S["maximum"].get<double>())
    Problems.push_back(At + ": " + V.dump() + " is above " + S["maximum"].dump());
  if (V.is_object()) {
    if (S.contains("required"))
      for (const json& K : S["required"])
        if (!V.contains(K.get<std::string>()))
          Problems.push_back(At + ": lacks \"" + K.get<std::string>() + "\"");
    for (const auto& [K, Sub] : V.items()) {
      if (S.contains("properties") && S["properties"].contains(K))
        SchemaCheck(Root, S["properties"][K], Sub, At + "." + K, Problems);
      else if (S.value("additionalProperties", true) == false)
        Problems.push_back(At + ": \"" + K + "\" is not documented");
    }
  }
  if (V.is_array() && S.contains("items"))
    for (size_t i = 0; i < V.size(); ++i)
      SchemaCheck(Root, S["items"], V[i], At + "[" + std::to_string(i) + "]", Problems);
}

inline std::vector<std::string> SchemaProblems(const json& V) {
  static const json Schema = DocumentedJson().at(0);
  std::vector<std::string> Problems;
  SchemaCheck(Schema, Schema, V, "$", Problems);
  return Problems;
}

// stdout of a --json run: one document and nothing else, in the documented shape.
inline json CliJson(const TRunResult& R) {
  json J;
  try {
    J = json::parse(R.Out);
  } catch (const std::exception& E) {
    ADD_FAILURE() << "stdout is no JSON document (" << E.what() << "):\n" << R.Out << R.Err;
    return J;
  }
  for (const std::string& P : SchemaProblems(J))
    ADD_FAILURE() << "not the documented shape: " << P << "\n" << R.Out;
  if (J.is_object() && J.contains("exit_status")) {
    EXPECT_EQ(J["exit_status"], R.Status) << "the document names the exit status";
  }
  return J;
}

// The one file a folder holds besides . and .. (a board's log, whatever its name); "" for none.
inline std::string OnlyFileIn(const std::string& Dir) {
  std::string File;
  if (DIR* D = opendir(Dir.c_str())) {
    while (const dirent* e = readdir(D))
      if (e->d_name[0] != '.') File = Dir + "/" + e->d_name;
    closedir(D);
  }
  return File;
}

} // namespace clitest
