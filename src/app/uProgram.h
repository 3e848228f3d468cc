#pragma once
// The program around the window: its version, the debug switch and the "dist" copy, the
// application with its top-level error handler, and the long-lived objects.
#include <QApplication>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "support/uDebugLog.h"
#include "uMain.h"

class TComIo;
class TDebug;
class TMsgBox;

struct TVersion {
  int Major = -1, Minor = -1, Release = -1;
};
// The program's version: the Windows version resource where there is one, else the
// version the build was configured with.
TVersion ProgramVersion();
// "-d", "/D", "-debug", "/dx": '-' or '/' followed by the letter d in either case.
bool HasDebugSwitch(const QStringList& Args);
// "quorvex 1.4.4": what --version prints.
std::string VersionText();
// What --help prints; the manual page is made from it too.
std::string HelpText();
// --help and --version, looked at before the application starts so that they need no
// display: prints the text and returns true when the program should end (exit status 0).
// On Windows, where the window has no console of its own, the text goes to the console
// the program was started from, or into a message box when there is none.
bool AnswerInfoOption(int argc, char** argv);
// The name of the versioned copy of the program file inside "dist".
QString DistCopyName(const QString& ProgramFile, const TVersion& V);
// Copies the program file to Copy, replacing a file of that name, when Copy's folder
// exists; never creates the folder, reports nothing. Returns whether a copy was made.
bool CopyToDist(const QString& ProgramFile, const QString& Copy);

// Any error that escapes an event handler is shown in a message box; the program goes on.
class TQuorvexApplication : public QApplication {
public:
  TQuorvexApplication(int& argc, char** argv);
  bool notify(QObject* Receiver, QEvent* Event) override;
  std::function<void(const std::string& Msg)> OnError;
};

// The long-lived objects in their order of creation: Main, Debug, MsgBox, ComIo.
// Destroyed in reverse, so the port closes while the window still exists.
struct TProgram {
  TProgram();
  ~TProgram();
  // Shows the window and runs the message loop until the window has closed, then writes
  // the settings file; returns the loop's exit code.
  int Exec();
  TDebugLog Log;
  TMain Main;
  std::unique_ptr<TDebug> Debug;
  std::unique_ptr<TMsgBox> MsgBox;
  std::unique_ptr<TComIo> ComIo;
};
