// Program entry: the application, then Main, Debug, MsgBox and ComIo in this order;
// the message loop runs until the main window closes, then the settings go to disk.
#include <QLabel>
#include <QTimer>
#include <cstdio>

#include "support/uMessageBox.h"
#include "uProgram.h"

namespace {

// Hidden option of the demo on a machine without a display: --demo-autorun=PNG presses
// Update once the window is up, answers any message box, saves a picture of the window
// after the run and closes it.
void DemoAutorun(TProgram& P, const QString& Shot) {
  auto* Answer = new QTimer(&P.Main);
  QObject::connect(Answer, &QTimer::timeout, &P.Main, [&P] {
    if (!P.MsgBox->isVisible() || P.MsgBox->But().empty()) return;
    std::printf("demo: message box \"%s\": %s\n", qPrintable(P.MsgBox->windowTitle()),
                qPrintable(P.MsgBox->InfoLabel()->text()));
    P.MsgBox->But().front()->click();
  });
  Answer->start(500);
  QTimer::singleShot(1000, &P.Main, [&P, Shot] {
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
  });
}

} // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv)) return 0;
  TQuorvexApplication App(argc, argv);
  TProgram Program;
  const QString Demo = "--demo-autorun=";
  for (const QString& A : QCoreApplication::arguments().mid(1))
    if (A.startsWith(Demo)) DemoAutorun(Program, A.mid(Demo.size()));
  return Program.Exec();
}
