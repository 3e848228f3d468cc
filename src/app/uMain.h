#pragma once
// The main window (TMain): layout, start-up and close, and the run behind the two
// buttons. The file checks, the port list and the settings glue are in uMainGlue.cpp.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../flash/uFlashJob.h"
#include "../link/uComIo.h"
#include "../link/uUsbWatch.h"
#include "../support/uDebugLog.h"

class QAction;
class QFrame;
class QLabel;
class QProgressBar;
class QSocketNotifier;
class QTimer;
class TDebug;
class TEsp;
class TMsgBox;
class TIniFile; // the in-memory settings store; defined by the settings glue

// ---- pure helpers of start-up (unit-tested on their own; the run's are in uFlashJob.h) ----

struct TVersion {
  int Major = -1, Minor = -1, Release = -1;
};
// The program's version: the Windows version resource where there is one, else the
// version the build was configured with.
TVersion ProgramVersion();
// "-d", "/D", "-debug", "/dx": '-' or '/' followed by the letter d in either case.
bool HasDebugSwitch(const QStringList& Args);
// The name of the versioned copy of the program file inside "dist".
QString DistCopyName(const QString& ProgramFile, const TVersion& V);
// Copies the program file to Copy, replacing a file of that name, when Copy's folder
// exists; never creates the folder, reports nothing. Returns whether a copy was made.
bool CopyToDist(const QString& ProgramFile, const QString& Copy);
// The folder of the program file with a trailing separator.
QString ProgramFolder();

// Every control that selects something by number carries it as the property "Tag".
int TagOf(const QObject* Obj);

// ---- controls of the window ----

// A read-only file name field with a browse button at its right end.
class TFileEdit : public QLineEdit {
  Q_OBJECT
public:
  explicit TFileEdit(QWidget* Parent);
  // Folder and preset name the browse dialog starts with: the named file's folder when
  // it exists, else the folder last chosen here, else the working directory.
  void BrowseStart(QString& Dir, QString& File) const;
  // What the field shows for a chosen path (quoted when it holds a blank).
  static QString ChosenText(const QString& Path);
  void Browse();
  QAction* BrowseAction() const { return FBrowse; }

private:
  QAction* FBrowse;
  QString FLastDir;
};

// The round connection lamp: red when off, green when on.
class TLed : public QWidget {
  Q_OBJECT
public:
  explicit TLed(QWidget* Parent);
  bool Active() const { return FActive; }
  void SetActive(bool On);

signals:
  void ActiveChanged(bool On);

protected:
  void paintEvent(QPaintEvent*) override;

private:
  bool FActive = false;
};

// The footer panel with an etched line along its top edge.
class TFooter : public QWidget {
  Q_OBJECT
public:
  explicit TFooter(QWidget* Parent);

protected:
  void paintEvent(QPaintEvent*) override;
};

// The status bar: panel 0 (250 wide, left-aligned), panel 1 (80 wide, centred).
class TStatusBar : public QWidget {
  Q_OBJECT
public:
  explicit TStatusBar(QWidget* Parent);
  QString PanelText(int Index) const;
  void SetPanelText(int Index, const QString& Text);
  QLabel* Panel(int Index) const { return FPanels[Index]; }

signals:
  void PanelTextSet(int Index, const QString& Text); // every assignment, equal or not

private:
  QLabel* FPanels[2];
};

// The port list; opening it first runs OnDropDown so that the list is fresh.
class TPortCombo : public QComboBox {
  Q_OBJECT
public:
  explicit TPortCombo(QWidget* Parent) : QComboBox(Parent) {}
  std::function<void()> OnDropDown;
  void showPopup() override;
};

// ---- the main window ----

class TMainRunView;

class TMain : public QWidget, public IPortLamp {
  Q_OBJECT
public:
  explicit TMain(TDebugLog& Log, QWidget* Parent = nullptr); // runs FormCreate
  ~TMain() override;
  // The objects made after the window; the run needs them all.
  void Attach(TDebug& Debug, TMsgBox& MsgBox, TComIo& ComIo);

  // elements
  QFrame* Panel1;
  QLabel* Label14;
  TFileEdit* edBoot;
  QLabel* Label1;
  TFileEdit* edPart;
  QLabel* Label2;
  TFileEdit* edFirm;
  QFrame* Panel3;
  QLabel* Label7;
  QLabel* LabMac;
  QProgressBar* pBar;
  TFooter* JvFooter1;
  QLabel* Label15;
  TPortCombo* cbPort;
  TLed* LED1;
  QPushButton* butErase;
  QPushButton* butUpdate;
  QCheckBox* chkAutoErase;
  TStatusBar* sBar;
  QTimer* Timer1;
  // the action list: ActExit, ActFiles, ActComm, ActDevice; ActionList1 stays empty
  QAction* ActExit;
  QAction* ActFiles;
  QAction* ActComm;
  QAction* ActDevice;
  QList<QAction*> Action;
  QList<QAction*> ActionList1;

  // fields
  TController UsedCpu = cESP32;
  QString ProgPath;
  QString ProgTitle;
  TConfig FConfig; // "Config"; Config() reads it
  std::shared_ptr<TIniFile> IniFile;
  TVersion Version;
  QStringList CommandLine; // the parameters after the program name

  TEsp* Esp() const { return FEsp.get(); }
  TComponentUSB* TUsb() const { return FUsbWatch ? FUsbWatch->TUsb() : nullptr; }
  bool Running() const { return FRunning; }

  // handlers
  void FormCreate();
  void FormShow();
  void FormClose();
  void Timer1Timer();
  void ActExitExecute();
  void ButStartClick(QObject* Sender);

  // settings, port list and file checks (uMainGlue.cpp)
  void LoadSettings();     // FormCreate: the settings file into memory
  void RestorePlacement(); // before FormShow and in its step 6
  void ReadSettings();     // FormShow step 3: connection settings and AutoErase
  void ListComPorts();     // FormShow step 4 and cbPortDropDown: fill cbPort
  void SortCombo();        // FormShow step 4: natural order
  void SelectSavedPort();  // FormShow step 4: the saved name, else the first item
  void ReadFileNames();    // FormShow step 5: the three saved names into the edits
  void SavePlacement();    // close request, and FormClose step 2
  void WriteSettings();    // FormClose step 2: settings, port, AutoErase, file names
  void SaveSettingsFile(); // program end: the in-memory settings to disk
  void CheckFiles();
  void edFilenameChange(QObject* Sender);
  void cbPortDropDown();

  std::string PortText() const;   // text of cbPort, empty when none is selected
  std::string StatusText() const; // panel 0 of the status bar
  void SetStatusText(const std::string& Text);
  const TConfig& Config() const { return FConfig; }
  // IPortLamp: the LED, for the port's opening and closing outside a run
  void SetLed(bool On) override;

  // Ends a run in progress at its next step (the board is reset, the port closed) and
  // waits for its thread; for the program's end, never while the window shows a run.
  void StopRun();

signals:
  // A run has ended and everything it shows is on screen: the error box was answered,
  // the buttons are enabled again.
  void RunEnded();

protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;

private:
  void BuildLayout();
  TFlashRequest RunRequest(QObject* Sender) const;
  int AskErase();
  friend class TMainRunView;
  void ShowError(const std::string& Msg);
  void EndRun(const TFlashResult& Result);

  TDebugLog& FLog;
  // The run's own log: the job writes it on its thread, and every line is passed to
  // FLog on this one, since the log and its window are not thread-safe.
  TDebugLog FRunLog;
  std::unique_ptr<IDebugView> FRunLogRelay;
  std::unique_ptr<TMainRunView> FRunView;
  std::unique_ptr<TFlashJob> FJob;
  std::thread FRunThread;
  TDebug* FDebug = nullptr;
  TMsgBox* FMsgBox = nullptr;
  TComIo* FComIo = nullptr;
  std::unique_ptr<TEsp> FEsp;
  std::unique_ptr<TUsbWatch> FUsbWatch;
  QSocketNotifier* FUsbNotifier = nullptr;
  bool FShown = false;
  bool FRunning = false;
  bool FCloseAfterRun = false;
};

// ---- the program ----

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
