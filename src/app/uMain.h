#pragma once
// The main window (TMain): layout, start-up and close, the settings, the port list and
// the file checks behind its elements, and the start and end of the run behind the two
// buttons. Its controls are in uWidgets.h, the run's view in uMainRunView.h, the program
// around it in uProgram.h.
#include <QCheckBox>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "flash/uFlashJob.h"
#include "flash/uSettings.h"
#include "link/uComIo.h"
#include "link/uUsbWatch.h"
#include "support/uDebugLog.h"
#include "uWidgets.h"

class QAction;
class QFrame;
class QLabel;
class QProgressBar;
class QSocketNotifier;
class QTimer;
class TDebug;
class TEsp;
class TIniFile;
class TMainRunView;
class TMsgBox;

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

  // settings, port list and file checks
  void LoadSettings();     // FormCreate: the settings file into memory
  void RestorePlacement(); // before FormShow and in its step 6
  void ReadSettings();     // FormShow step 3: the settings, into Config and AutoErase
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

  // The placement is restored before the first show (FormShow follows it).
  void setVisible(bool Visible) override;

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
  friend class TMainRunView;
  void BuildLayout();
  TFlashRequest RunRequest(QObject* Sender) const;
  int AskErase();
  // An error raised by a settings read or a file check, shown as the application's
  // top-level handler shows errors; the caller then goes on, so the window stays usable.
  void ReportError(const std::string& Msg);
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
  TSettings FSaved;                         // the settings as read at start-up
  std::set<std::string> FPlacementProblems; // the placement's refused values, shown once
  bool FShown = false;
  bool FPlaced = false; // the placement was restored before the first show
  bool FRunning = false;
  bool FCloseAfterRun = false;
};
