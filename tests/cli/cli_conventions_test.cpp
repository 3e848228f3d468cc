// quorvex-cli as scripts and people expect a command line to behave: every subcommand's
// help lists what it takes, errors go to stderr with the program's name and exit 2, the
// JSON has one documented shape whatever the outcome, escape codes only where a terminal
// takes them, and -q / -v.
#include "CliRun.h"

#include <set>

using namespace clitest;

namespace {

// Each subcommand's help: the program's own name in the usage line (not the path it was
// started by) and every option that applies to it.
TEST(CliConventions, EachSubcommandsHelpListsItsOptions) {
  const std::vector<std::string> Run = {"--port", "--settings", "--baud",  "--no-stub",
                                        "--json", "--log-dir",  "--quiet", "--verbose"};
  const struct {
    const char* Sub;
    std::vector<std::string> Options;
  } Cases[] = {
      {"flash", Join(Run, {"--boot", "--part", "--firm", "OFFSET FILE", "--erase-all",
                           "--auto-erase", "--no-auto-erase", "--monitor", "--monitor-baud"})},
      {"erase", Join(Run, {"--yes"})},
      {"info", Run},
      {"ports", {"--settings", "--json", "--quiet"}},
      {"monitor", {"--port", "--baud", "--settings", "--quiet"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Sub);
    const TRunResult R = RunCli({C.Sub, "--help"});
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_NE(R.Out.find(std::string("\nUsage: quorvex-cli ") + C.Sub + " [OPTIONS]"),
              std::string::npos)
        << R.Out;
    for (const std::string& O : C.Options)
      EXPECT_NE(R.Out.find(O), std::string::npos) << O << " is missing:\n" << R.Out;
    EXPECT_EQ(R.Out.find("{false}"), std::string::npos) << R.Out;
  }
  const TRunResult Top = RunCli({"--help"});
  EXPECT_NE(Top.Out.find("Usage: quorvex-cli [OPTIONS] SUBCOMMAND"), std::string::npos) << Top.Out;
  for (const char* Sub : {"flash", "erase", "info", "ports", "monitor"})
    EXPECT_NE(Top.Out.find(std::string("\n  ") + Sub + " "), std::string::npos) << Sub;
}

// Argument errors: each line on stderr carries the program's name, nothing on stdout
// (or, with --json, the one document), exit status 2.
TEST(CliConventions, ArgumentErrorsGoToStderrWithTheProgramsName) {
  const struct {
    const char* Name;
    std::vector<std::string> Args;
    const char* Message;
  } Cases[] = {
      {"no subcommand", {}, "a subcommand is required: flash, verify, read, erase, info, ports or monitor"},
      {"unknown subcommand",
       {"frobnicate"},
       "'frobnicate' is no subcommand: flash, verify, read, erase, info, ports or monitor"},
      {"unknown option", {"info", "--bogus"}, "--bogus"},
      {"rate out of range", {"info", "--port", "/dev/null", "--baud", "300"}, "--baud"},
      {"--quiet and --verbose", {"info", "--port", "/dev/null", "-q", "-v"}, "exclude each other"},
      {"--monitor and --json",
       {"flash", "--json", "--monitor", "0x10000", "x"},
       "--monitor and --json exclude each other"},
      {"monitor of two boards",
       {"monitor", "--port", "/dev/null", "--port", "/dev/zero"},
       "monitor watches one board"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRunResult R = RunCli(C.Args);
    EXPECT_EQ(R.Status, 2) << R.Out << R.Err;
    if (std::find(C.Args.begin(), C.Args.end(), "--json") == C.Args.end()) {
      EXPECT_EQ(R.Out, "");
    }
    EXPECT_NE(R.Err.find(C.Message), std::string::npos) << R.Err;
    std::istringstream Err(R.Err);
    size_t Lines = 0;
    for (std::string L; std::getline(Err, L); ++Lines)
      EXPECT_EQ(L.rfind("quorvex-cli: ", 0), 0u) << L;
    EXPECT_GT(Lines, 0u);
    // The same with --json: the error in the document, which names the subcommand.
    const std::vector<std::string> WithJson = Join(C.Args, {"--json"});
    const TRunResult J = RunCli(WithJson);
    EXPECT_EQ(J.Status, 2) << J.Err;
    const json Doc = CliJson(J);
    ASSERT_FALSE(Doc["errors"].empty()) << J.Out;
    EXPECT_TRUE(Doc["boards"].empty());
    if (!C.Args.empty() && C.Args[0] != "frobnicate") {
      EXPECT_EQ(Doc["command"], C.Args[0]);
    }
  }
}

// The documented shape: the schema takes every example of docs/json.md and refuses what
// it does not describe; every outcome the program produces below fits it (the other
// tests hold theirs against it too).
TEST(CliConventions, EveryJsonOutcomeHasTheDocumentedShape) {
  const std::vector<json> Doc = DocumentedJson();
  ASSERT_GE(Doc.size(), 8u) << "the schema and an example of each outcome";
  std::set<std::string> Seen; // outcomes the examples show
  for (size_t i = 1; i < Doc.size(); ++i) {
    SCOPED_TRACE("example " + std::to_string(i));
    EXPECT_EQ(SchemaProblems(Doc[i]), std::vector<std::string>{});
    Seen.insert(Doc[i]["command"].is_null() ? "none" : Doc[i]["command"].get<std::string>());
    Seen.insert("status " + std::to_string(Doc[i]["exit_status"].get<int>()));
    for (const json& B : Doc[i]["boards"])
      for (const json& Im : B["images"])
        Seen.insert(Im["result"].get<std::string>());
  }
  for (const char* Must : {"flash", "info", "erase", "ports", "status 0", "status 1", "status 2",
                           "status 130", "written", "incomplete", "not_started"})
    EXPECT_TRUE(Seen.count(Must)) << "no example shows " << Must;
  // The check can fail: a field nobody documented, a wrong type, a missing field.
  json Extra = Doc[1], WrongType = Doc[1], Missing = Doc[1];
  Extra["boards"][0]["colour"] = "blue";
  WrongType["boards"][0]["images"][0]["offset"] = "0x10000";
  Missing.erase("schema");
  for (const json* Bad : {&Extra, &WrongType, &Missing})
    EXPECT_FALSE(SchemaProblems(*Bad).empty()) << Bad->dump();

  // The outcomes of a real run: a board written, identified, erased; the port list.
  TFiles F;
  TBoard Bd;
  Bd.S.Start();
  const std::vector<std::vector<std::string>> Runs = {
      Join({"flash", "--json", "--settings", F.Ini, "--port", Bd.S.Url()}, F.Named()),
      {"info", "--json", "--settings", F.Ini, "--port", Bd.S.Url()},
      {"erase", "--yes", "--json", "--settings", F.Ini, "--port", Bd.S.Url()},
      {"ports", "--json", "--settings", F.Ini},
  };
  for (const auto& Args : Runs) {
    SCOPED_TRACE(Args[0]);
    const TRunResult R = RunCli(Args);
    EXPECT_EQ(R.Status, 0) << R.Err;
    const json J = CliJson(R);
    EXPECT_EQ(J["command"], Args[0]);
    EXPECT_EQ(J["ok"], true);
  }
  Bd.S.Stop();
}

// Escape codes only for a terminal that takes them: colour unless NO_COLOR is set
// (whatever its value), cursor codes unless TERM is dumb, neither into a file.
TEST(CliConventions, EscapeCodesOnlyWhereATerminalTakesThem) {
  const struct {
    const char* Name;
    std::vector<std::string> Env;
    bool Cursor, Colour;
  } Cases[] = {
      {"a terminal", {}, true, true},
      {"NO_COLOR=1", {"NO_COLOR=1"}, true, false},
      {"NO_COLOR empty", {"NO_COLOR="}, true, false},
      {"TERM=dumb", {"TERM=dumb"}, false, false},
      {"no TERM", {"TERM"}, false, false},
  };
  TFiles F;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TBoard Bd;
    Bd.S.Start();
    const TRunResult R =
        RunCliOnTerminal({"info", "--settings", F.Ini, "--port", Bd.S.Url()}, C.Env);
    Bd.S.Stop();
    EXPECT_EQ(R.Status, 0) << R.Out;
    const bool Cursor = R.Out.find("\x1b[2K") != std::string::npos;
    const bool Colour = R.Out.find("\x1b[32m") != std::string::npos;
    EXPECT_EQ(Cursor, C.Cursor) << R.Out;
    EXPECT_EQ(Colour, C.Colour) << R.Out;
    if (!C.Cursor) {
      EXPECT_EQ(R.Out.find('\x1b'), std::string::npos) << R.Out;
      EXPECT_NE(R.Out.find(Bd.S.Url() + ": Connected"), std::string::npos) << "plain lines";
    }
  }
}

// -q: only the summary (or the document); -v: the debug log on stderr as it is written.
TEST(CliConventions, QuietAndVerbose) {
  TFiles F;
  TBoard Bd;
  Bd.S.Start();
  const TRunResult Q = RunCli({"info", "-q", "--settings", F.Ini, "--port", Bd.S.Url()});
  EXPECT_EQ(Q.Status, 0) << Q.Err;
  // The board's summary line and the count, nothing else.
  std::istringstream Lines(Q.Out);
  std::string First, Second, More;
  std::getline(Lines, First);
  std::getline(Lines, Second);
  EXPECT_EQ(First.rfind(Bd.S.Url() + "  OK      ESP32  24:0A:C4:01:A2:3C  ", 0), 0u) << Q.Out;
  EXPECT_EQ(Second, "1 of 1 board OK");
  EXPECT_FALSE(std::getline(Lines, More)) << Q.Out;
  EXPECT_EQ(Q.Err, "");
  const TRunResult QJ =
      RunCli({"info", "--quiet", "--json", "--settings", F.Ini, "--port", Bd.S.Url()});
  EXPECT_EQ(QJ.Err, "") << "no progress on stderr either";
  EXPECT_EQ(CliJson(QJ)["ok"], true);
  const TRunResult V = RunCli({"info", "-v", "--settings", F.Ini, "--port", Bd.S.Url()});
  Bd.S.Stop();
  EXPECT_EQ(V.Status, 0) << V.Err;
  // The SYNC answer's dump and the run's statuses, each line under its board's name.
  EXPECT_NE(V.Err.find(Bd.S.Url() + ": 0000:  01 08 "), std::string::npos) << V.Err;
  EXPECT_NE(V.Err.find(Bd.S.Url() + ": Status: Connected\n"), std::string::npos) << V.Err;
  EXPECT_NE(V.Out.find("1 of 1 board OK"), std::string::npos);
}

} // namespace
