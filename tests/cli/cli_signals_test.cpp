// quorvex-cli stopped from outside while it works on boards: Ctrl-C, SIGTERM and SIGHUP in
// the middle of a chip erase and of a write, a second Ctrl-C, and output that can no
// longer be written (a pipe closed by its reader, a full disk). Whatever happens, every
// board is finished or reset and its port closed.
#include "CliRun.h"

using namespace clitest;

namespace {

bool Got(const TBoard& Bd, const std::string& Op) {
  return Bd.Requests(Op) > 0;
}

// A stop request while three boards are busy: every board is reset after the last
// request it got and its port closed; the program ends with status 130, as after Ctrl-C.
TEST(CliSignals, StopRequestStopsEveryBoard) {
  TFiles Big(1 << 20); // a firmware that takes seconds on a paced line
  const struct {
    const char* Name;
    int Sig;
    bool DuringErase; // else during the writing of the images
  } Cases[] = {
      {"SIGINT while writing", SIGINT, false},
      {"SIGTERM while writing", SIGTERM, false},
      {"SIGHUP while writing", SIGHUP, false},
      {"SIGINT during the chip erase", SIGINT, true},
      {"SIGHUP during the chip erase", SIGHUP, true},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFiles Small;
    TBoard A(false), B(false), D(false);
    for (TBoard* Bd : {&A, &B, &D})
      Bd->S.Start();
    const std::string Op = C.DuringErase ? "D0" : "03";
    bool Sent = false;
    const std::vector<std::string> Args =
        Join({"flash", C.DuringErase ? "--erase-all" : "--no-auto-erase", "--settings", Small.Ini,
              "--port", A.S.Url(), "--port", B.S.Url(), "--port", D.S.Url()},
             (C.DuringErase ? Small : Big).Named());
    const TRunResult R = RunCli(Args, [&](pid_t Pid) {
      if (!Sent && Got(A, Op) && Got(B, Op) && Got(D, Op)) {
        kill(Pid, C.Sig);
        Sent = true;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (TBoard* Bd : {&A, &B, &D})
      Bd->S.Stop();
    ASSERT_TRUE(Sent) << "the run ended before every board was at that step: " << R.Out;
    EXPECT_EQ(R.Status, 130) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("quorvex-cli: stopping..."), std::string::npos) << R.Err;
    EXPECT_NE(R.Out.find("0 of 3 boards OK (stopped)"), std::string::npos) << R.Out;
    for (TBoard* Bd : {&A, &B, &D}) {
      if (!C.DuringErase) {
        EXPECT_NE(Bd->Flash(0x10000, Big.Firm.size()), Big.Firm) << "the firmware was cut short";
      }
      Bd->ExpectResetAndClosed();
    }
  }
}

// Ctrl-C typed on the terminal while a chip erase runs (its line showing the time it
// takes): "stopping..." comes at once, the line says what the board still works on, and
// the program ends once the erase has answered (within the erase's time limit of 20 s,
// as the README says), with the board reset.
TEST(CliSignals, CtrlCDuringAChipEraseAnswersAtOnce) {
  TFiles F;
  TBoard Bd(false);
  Bd.S.Opt.TimeScale = 0.3; // a chip erase of 3 s
  Bd.S.Start();
  TClock::time_point Typed{}, Answered{};
  const TRunResult R =
      RunCliOnTerminal({"erase", "--yes", "--settings", F.Ini, "--port", Bd.S.Url()}, {},
                       [&](int Master, const std::string& SoFar) {
                         if (Typed == TClock::time_point{} &&
                             SoFar.find("Erasing, please wait... 1 s") != std::string::npos) {
                           ASSERT_EQ(write(Master, "\x03", 1), 1);
                           Typed = TClock::now();
                         }
                         if (Typed != TClock::time_point{} && Answered == TClock::time_point{} &&
                             SoFar.find("quorvex-cli: stopping...") != std::string::npos)
                           Answered = TClock::now();
                       });
  const auto Ended = TClock::now();
  Bd.S.Stop();
  ASSERT_NE(Typed, TClock::time_point{}) << "the erase showed no time: " << R.Out;
  ASSERT_NE(Answered, TClock::time_point{}) << R.Out;
  EXPECT_LT(std::chrono::duration<double>(Answered - Typed).count(), 0.5);
  EXPECT_LT(std::chrono::duration<double>(Ended - Typed).count(), 20.0);
  EXPECT_EQ(R.Status, 130) << R.Out;
  EXPECT_NE(R.Out.find("stopping, waiting for the chip erase to end ("), std::string::npos)
      << R.Out;
  EXPECT_NE(R.Out.find("0 of 1 board OK (stopped)"), std::string::npos) << R.Out;
  Bd.ExpectResetAndClosed();
}

// A second Ctrl-C does not wait for the chip erase: the program ends at once, and still
// pulses the reset of every board on its way out. The JSON says so.
TEST(CliSignals, SecondCtrlCEndsAtOnceAndResetsEveryBoard) {
  TFiles F;
  TBoard A(false), B(false);
  for (TBoard* Bd : {&A, &B}) {
    Bd->S.Opt.TimeScale = 1; // a chip erase of 10 s
    Bd->S.Start();
  }
  int Signals = 0;
  TClock::time_point First{}, Second{};
  const TRunResult R = RunCli(
      {"erase", "--yes", "--json", "--settings", F.Ini, "--port", A.S.Url(), "--port", B.S.Url()},
      [&](pid_t Pid) {
        if (Signals == 0 && Got(A, "D0") && Got(B, "D0")) {
          kill(Pid, SIGINT);
          First = TClock::now();
          ++Signals;
        } else if (Signals == 1 && TClock::now() - First > std::chrono::milliseconds(300)) {
          kill(Pid, SIGINT);
          Second = TClock::now();
          ++Signals;
        }
      });
  const auto Ended = TClock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (TBoard* Bd : {&A, &B})
    Bd->S.Stop();
  ASSERT_EQ(Signals, 2) << R.Out << R.Err;
  EXPECT_LT(std::chrono::duration<double>(Ended - Second).count(), 1.5)
      << "the program waited for the erase";
  EXPECT_EQ(R.Status, 130) << R.Err;
  const json J = CliJson(R);
  EXPECT_EQ(J["stopped"], true);
  ASSERT_EQ(J["errors"].size(), 1u);
  EXPECT_NE(J["errors"][0].get<std::string>().find("stopped at once"), std::string::npos);
  for (TBoard* Bd : {&A, &B})
    Bd->ExpectResetAndClosed();
}

// Ctrl-C before any board is touched (here at the erase question) ends the program at
// once: nothing to reset, nothing erased.
TEST(CliSignals, CtrlCAtTheEraseQuestionEndsAtOnce) {
  TFiles F;
  TBoard Bd;
  Bd.S.Start();
  bool Typed = false;
  const TRunResult R = RunCliOnTerminal({"erase", "--settings", F.Ini, "--port", Bd.S.Url()}, {},
                                        [&](int Master, const std::string& SoFar) {
                                          if (!Typed && SoFar.find("[y/N]") != std::string::npos)
                                            Typed = write(Master, "\x03", 1) == 1;
                                        });
  Bd.S.Stop();
  ASSERT_TRUE(Typed) << R.Out;
  EXPECT_EQ(R.Status, 130) << R.Out;
  EXPECT_NE(R.Out.find("quorvex-cli: stopped; no board was touched"), std::string::npos) << R.Out;
  EXPECT_EQ(Bd.Count("connect"), 0u);
}

// `quorvex-cli flash ... | head -1`: the reader goes after the first line. The run goes
// on to the end regardless: the board holds every image and is reset; the exit status
// is 3 (output lost) instead of 0, and stderr says so.
TEST(CliSignals, AClosedPipeLosesOutputButNoBoard) {
  TFiles F;
  TBoard Bd;
  Bd.S.Start();
  const TRunResult R =
      RunCliIntoClosedPipe(Join({"flash", "--settings", F.Ini, "--port", Bd.S.Url()}, F.Named()));
  ASSERT_TRUE(Bd.FlashSaved());
  Bd.S.Stop();
  EXPECT_EQ(R.Out, Bd.S.Url() + ": Connect fast ");
  EXPECT_EQ(R.Status, 3) << R.Err;
  EXPECT_NE(R.Err.find("quorvex-cli: output was lost (stdout: Broken pipe); every board was "
                       "still finished"),
            std::string::npos)
      << R.Err;
  EXPECT_EQ(Bd.Flash(0x1000, F.Boot.size()), F.PatchedBoot());
  EXPECT_EQ(Bd.Flash(0x8000, F.Part.size()), F.Part);
  EXPECT_EQ(Bd.Flash(0x10000, F.Firm.size()), F.Firm);
  Bd.ExpectResetAndClosed();
}

// Results that cannot be written never end with 0: a full disk on stdout or on stderr.
TEST(CliSignals, OutputThatCannotBeWrittenIsNoSuccess) {
  const struct {
    const char* Name;
    std::vector<std::string> Flags;
    std::string Stdout, Stderr;
    const char* Said; // on stderr, when it works
  } Cases[] = {
      {"stdout full", {}, "/dev/full", "", "(stdout: No space left on device)"},
      {"stdout full, JSON", {"--json"}, "/dev/full", "", "(stdout: No space left on device)"},
      {"stderr full, JSON on stdout", {"--json"}, "", "/dev/full", nullptr},
      {"ports on a full stdout", {}, "/dev/full", "", "(stdout: No space left on device)"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFiles F;
    TBoard Bd;
    Bd.S.Start();
    TRunSpec Spec;
    Spec.Stdout = C.Stdout;
    Spec.Stderr = C.Stderr;
    const bool Ports = std::string(C.Name).rfind("ports", 0) == 0;
    const TRunResult R =
        RunCli(Ports ? std::vector<std::string>{"ports", "--settings", F.Ini}
                     : Join({"info", "--settings", F.Ini, "--port", Bd.S.Url()}, C.Flags),
               Spec);
    Bd.S.Stop();
    EXPECT_EQ(R.Status, 3) << R.Out << R.Err;
    if (C.Said) {
      EXPECT_NE(R.Err.find(C.Said), std::string::npos) << R.Err;
    }
    if (!Ports) Bd.ExpectResetAndClosed();
    if (C.Stdout.empty()) {
      EXPECT_EQ(CliJson(R)["exit_status"], 3);
    }
  }
}

} // namespace
