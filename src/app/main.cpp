// Program entry: the application, then Main, Debug, MsgBox and ComIo in this order;
// the message loop runs until the main window closes, then the settings go to disk.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/uMessageBox.h"
#include "uProgram.h"

namespace {

// The demo ends by itself at the latest this long after its start.
constexpr int DemoLimitS = 300;
// What a run still needs after a stop request (a loader command already sent is waited
// for) before the program ends without it.
constexpr int DemoGraceS = 30;

// Hidden options of the demo on a machine without a display: --demo-autorun=PNG presses
// Update once start-up is over, answers every message box it meets, saves a picture of
// the window after the run and closes it; --demo-time-limit=S ends it, whatever happens,
// after S seconds with exit code 1.
void DemoAutorun(TProgram& P, const QString& Shot, int LimitS) {
  // The box on top, whichever it is: a message raised while one box waits gets a box
  // of its own (TMsgBox::Execute).
  auto* Answer = new QTimer(&P.Main);
  QObject::connect(Answer, &QTimer::timeout, &P.Main, [] {
    auto* Box = qobject_cast<TMsgBox*>(QApplication::activeModalWidget());
    if (!Box || !Box->isVisible() || Box->But().empty()) return;
    std::printf("demo: message box \"%s\": %s\n", qPrintable(Box->windowTitle()),
                qPrintable(Box->InfoLabel()->text()));
    std::fflush(stdout);
    Box->But().front()->click();
  });
  Answer->start(200);

  // Update is pressed once start-up is over (the loader session made, the first file
  // check done) and no box waits: pressed earlier, from inside a start-up box, the run
  // would not start and the demo would wait for its end for ever.
  auto* Press = new QTimer(&P.Main);
  QObject::connect(Press, &QTimer::timeout, &P.Main, [&P, Shot, Press] {
    if (!P.Main.Esp() || P.Main.Timer1->isActive() || QApplication::activeModalWidget()) return;
    Press->stop();
    std::printf("demo: window \"%s\" %dx%d\n", qPrintable(P.Main.windowTitle()), P.Main.width(),
                P.Main.height());
    std::printf("demo: pressing Update (port %s)\n", P.Main.PortText().c_str());
    std::fflush(stdout);
    QObject::connect(
        &P.Main, &TMain::RunEnded, &P.Main,
        [&P, Shot] {
          std::printf("demo: status \"%s\", MAC %s\n", P.Main.StatusText().c_str(),
                      qPrintable(P.Main.LabMac->text()));
          const bool Saved = P.Main.grab().save(Shot, "PNG");
          std::printf("demo: %s %s\n", Saved ? "screenshot saved to" : "could not save",
                      qPrintable(Shot));
          std::fflush(stdout);
          P.Main.close();
        },
        Qt::SingleShotConnection);
    P.Main.ButStartClick(P.Main.butUpdate);
    if (!P.Main.Running() && P.Main.isVisible()) {
      std::printf("demo: the run did not start\n");
      std::fflush(stdout);
      QApplication::exit(1);
    }
  });
  Press->start(500);

  // The time limit: the event loops end (a box still open with them) and the run is
  // stopped as the program ends; a run that does not end even then is left behind.
  QTimer::singleShot(std::chrono::seconds(LimitS), &P.Main, [LimitS] {
    std::printf("demo: time limit of %d s reached, ending\n", LimitS);
    std::fflush(stdout);
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::seconds(DemoGraceS));
      std::printf("demo: the run did not stop, leaving without it\n");
      std::fflush(stdout);
      std::_Exit(1);
    }).detach();
    QApplication::exit(1);
  });
}

} // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv)) return 0;
  TQuorvexApplication App(argc, argv);
  TProgram Program;
  const QString Demo = "--demo-autorun=", Limit = "--demo-time-limit=";
  QString Shot;
  int LimitS = DemoLimitS;
  bool Autorun = false;
  for (const QString& A : QCoreApplication::arguments().mid(1)) {
    if (A.startsWith(Demo)) {
      Autorun = true;
      Shot = A.mid(Demo.size());
    } else if (A.startsWith(Limit)) {
      bool Ok = false;
      const int S = A.mid(Limit.size()).toInt(&Ok);
      if (Ok && S > 0) LimitS = S;
    }
  }
  if (Autorun) DemoAutorun(Program, Shot, LimitS);
  return Program.Exec();
}
