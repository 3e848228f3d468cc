#include "uMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTimer>
#include <limits>
#include <vector>

#include "link/U_Usb.h"
#include "link/uPortList.h"
#include "link/uPortName.h"
#include "protocol/uEsp.h"
#include "support/StrNatComp.h"
#include "support/uArt.h"
#include "support/uDebug.h"
#include "support/uFileName.h"
#include "support/uFormat.h"
#include "support/uMessageBox.h"
#include "uFileCheck.h"
#include "uFormStorage.h"
#include "uIniFile.h"
#include "uMainRunView.h"
#include "uProgram.h"

namespace {

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, QRect Geometry,
                  QFont Font, QColor Color, Qt::Alignment Align) {
  auto* L = new QLabel(Text, Parent);
  L->setObjectName(Name);
  L->setGeometry(Geometry);
  L->setFont(Font);
  QPalette P = L->palette();
  P.setColor(QPalette::WindowText, Color);
  L->setPalette(P);
  L->setAlignment(Align);
  return L;
}

} // namespace

// The pictures live in a static library, whose resource initialiser the linker would drop.
static void InitAppResources() {
  Q_INIT_RESOURCE(app);
}

// ---------------------------------------------------------------- window

TMain::TMain(TDebugLog& Log, QWidget* Parent)
    : QWidget(Parent), IniFile(std::make_shared<TIniFile>()), FLog(Log),
      FRunLogRelay(std::make_unique<TRunLogRelay>(*this, Log)) {
  FRunLog.SetView(FRunLogRelay.get());
  InitAppResources();
  BuildLayout();
  // Task bars and window lists show the program's icon; the debug window and the message
  // box take it from the application.
  const QIcon Icon(ArtFile(":/app/quorvex.svg"));
  QApplication::setWindowIcon(Icon);
  setWindowIcon(Icon);
  FormCreate();
}

TMain::~TMain() {
  StopRun();
  FRunLog.SetView(nullptr);
}

void TMain::BuildLayout() {
  setObjectName("Main");
  setProperty("Tag", 0);
  // Fixed single border: no resizing by dragging; system menu, minimise and maximise stay.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(385, 253);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  setFont(CalibriFont(15, false));

  const QFont Bold13 = CalibriFont(13, true);
  const Qt::Alignment LeftMid = Qt::AlignLeft | Qt::AlignVCenter;

  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, 385, 139);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(1);
  Label14 = MakeLabel(Panel1, "Label14", "[0x0000] Bootloader", {16, 0, 146, 13}, Bold13, Qt::black,
                      LeftMid);
  edBoot = new TFileEdit(Panel1);
  Label1 = MakeLabel(Panel1, "Label1", "[0x8000] Partitions", {16, 44, 146, 13}, Bold13, Qt::black,
                     LeftMid);
  edPart = new TFileEdit(Panel1);
  Label2 = MakeLabel(Panel1, "Label2", "[0x10000] Firmware", {16, 88, 146, 13}, Bold13, Qt::black,
                     LeftMid);
  edFirm = new TFileEdit(Panel1);
  const char* EdNames[3] = {"edBoot", "edPart", "edFirm"};
  TFileEdit* Eds[3] = {edBoot, edPart, edFirm};
  for (int i = 0; i < 3; ++i) {
    Eds[i]->setObjectName(EdNames[i]);
    Eds[i]->setProperty("Tag", i);
    Eds[i]->setGeometry(16, 14 + 44 * i, 355, 26);
    TFileEdit* Ed = Eds[i];
    connect(Ed, &QLineEdit::textChanged, this, [this, Ed] { edFilenameChange(Ed); });
  }

  Panel3 = new QFrame(this);
  Panel3->setObjectName("Panel3");
  Panel3->setGeometry(0, 139, 385, 32);
  Panel3->setFrameStyle(QFrame::NoFrame);
  Panel3->setContentsMargins(1, 1, 1, 1);
  Label7 = MakeLabel(Panel3, "Label7", "MAC:", {0, 6, 51, 16}, CalibriFont(15, true),
                     QColor(0, 0, 128), Qt::AlignRight | Qt::AlignVCenter);
  LabMac = MakeLabel(Panel3, "LabMac", "---", {57, 6, 128, 16}, CalibriFont(15, true),
                     QColor(128, 0, 0), LeftMid);
  pBar = new QProgressBar(Panel3);
  pBar->setObjectName("pBar");
  pBar->setGeometry(215, 8, 156, 17);
  pBar->setTextVisible(false);
  pBar->setRange(0, 100);
  pBar->setValue(0);
  pBar->hide();

  JvFooter1 = new TFooter(this);
  JvFooter1->setObjectName("JvFooter1");
  JvFooter1->setGeometry(0, 171, 385, 62);
  Label15 = MakeLabel(JvFooter1, "Label15", "COM-Port", {16, 6, 80, 15}, CalibriFont(15, true),
                      Qt::black, LeftMid);
  cbPort = new TPortCombo(JvFooter1);
  cbPort->setObjectName("cbPort");
  cbPort->setGeometry(16, 22, 80, 26);
  cbPort->setFont(CalibriFont(15, true));
  cbPort->setEditable(false);
  cbPort->OnDropDown = [this] { cbPortDropDown(); };
  LED1 = new TLed(JvFooter1);
  LED1->setObjectName("LED1");
  LED1->setGeometry(102, 27, 17, 17);
  butErase = new QPushButton(QIcon(ArtFile(":/app/eraser.svg")), "Erase", JvFooter1);
  butErase->setObjectName("butErase");
  butErase->setGeometry(215, 6, 75, 33);
  butErase->setProperty("Tag", 1);
  butUpdate = new QPushButton(QIcon(ArtFile(":/app/update.svg")), "Update", JvFooter1);
  butUpdate->setObjectName("butUpdate");
  butUpdate->setGeometry(296, 6, 75, 34);
  butUpdate->setProperty("Tag", 2);
  for (QPushButton* B : {butErase, butUpdate}) {
    B->setFont(CalibriFont(15, true));
    B->setIconSize(QSize(16, 16));
    connect(B, &QPushButton::clicked, this, [this, B] { ButStartClick(B); });
  }
  chkAutoErase = new QCheckBox("AutoErase", JvFooter1);
  chkAutoErase->setObjectName("chkAutoErase");
  chkAutoErase->setGeometry(296, 42, 97, 17);
  chkAutoErase->setFont(CalibriFont(13, false));

  sBar = new TStatusBar(this);
  sBar->setObjectName("sBar");
  sBar->setGeometry(0, 233, 385, 20);

  // Keyboard order.
  QWidget* Order[] = {edBoot, edPart, edFirm, butErase, butUpdate, cbPort, chkAutoErase};
  for (QWidget* W : Order)
    W->setFocusPolicy(Qt::StrongFocus);
  for (size_t i = 0; i + 1 < std::size(Order); ++i)
    setTabOrder(Order[i], Order[i + 1]);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  // The action list: held by the window, invoked by no control, menu or key.
  auto MakeAction = [this](const char* Name, const char* Caption, const char* Hint,
                           const char* Icon) {
    auto* A = new QAction(QIcon(ArtFile(Icon)), Caption, this);
    A->setObjectName(Name);
    A->setToolTip(Hint);
    A->setStatusTip(Hint);
    Action.append(A);
    return A;
  };
  ActExit = MakeAction("ActExit", "Exit", "Exit", ":/app/exit.svg");
  ActFiles = MakeAction("ActFiles", "Files setup", "Files setup", ":/app/files.svg");
  ActComm = MakeAction("ActComm", "", "Communication setup", ":/app/comm.svg");
  ActDevice = MakeAction("ActDevice", "", "Device setup", ":/app/device.svg");
  connect(ActExit, &QAction::triggered, this, [this] { ActExitExecute(); });
}

void TMain::Attach(TDebug& Debug, TMsgBox& MsgBox, TComIo& ComIo) {
  FDebug = &Debug;
  FMsgBox = &MsgBox;
  FComIo = &ComIo;
  // The USB watcher is the window's: it compares a removed adapter with the port list.
  FUsbWatch = std::make_unique<TUsbWatch>(FLog, [this] { return PortText(); });
  // An error raised by a USB handler is shown as the top-level handler shows errors.
  if (TComponentUSB* Usb = TUsb())
    Usb->OnError = [this](const std::string& Msg) { FMsgBox->ShowError(Msg); };
#ifndef _WIN32
  // The USB watcher's udev monitor is served from this thread's event loop.
  if (TComponentUSB* Usb = TUsb(); Usb && Usb->MonitorFd() >= 0) {
    FUsbNotifier = new QSocketNotifier(Usb->MonitorFd(), QSocketNotifier::Read, this);
    connect(FUsbNotifier, &QSocketNotifier::activated, this, [Usb] { Usb->HandleMonitorEvent(); });
  }
#endif
}

void TMain::FormCreate() {
  const TVersion Version = ProgramVersion();
  ProgTitle = QString::fromStdString(
      Format("Quorvex v%d.%d.%d", {Version.Major, Version.Minor, Version.Release}));
  ProgPath = QtPath(ProgramFolder());
  if (!ProgPath.endsWith(QDir::separator())) ProgPath += QDir::separator();
  CommandLine = QCoreApplication::arguments().mid(1);
  LoadSettings();
  QApplication::setApplicationName(ProgTitle);
  setWindowTitle(QApplication::applicationName());
  // File dialogs given no folder start in the working directory: TFileEdit::BrowseStart.
}

void TMain::setVisible(bool Visible) {
  // The saved placement goes in before the window is first shown. Once it is on its way
  // to the screen, a move under X11 places the client area where the frame belongs (the
  // window manager adds the frame only later), and each start would find the window
  // one title bar higher than it was closed.
  if (Visible && !FShown && !FPlaced) {
    FPlaced = true;
    RestorePlacement();
  }
  QWidget::setVisible(Visible);
}

void TMain::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (FShown) return;
  FShown = true;
  if (!FPlaced) RestorePlacement();
  FPlaced = true;
  FormShow();
}

void TMain::FormShow() {
  if (HasDebugSwitch(CommandLine)) {
    if (FDebug) {
      // Placed once this window is on screen: only then are the frames known. The
      // debug window gets the same decoration, so its client area goes where this
      // window's frame margins put it.
      QTimer::singleShot(0, this, [this] {
        const QRect F = frameGeometry();
        const QPoint Frame = geometry().topLeft() - F.topLeft();
        FDebug->setGeometry(QRect(QPoint(F.x() + F.width(), F.y()) + Frame, FDebug->size()));
        FDebug->show();
        activateWindow();
        raise();
      });
    }
    // A failed copy (no "dist" folder, say) is not reported.
    const QString Exe = QCoreApplication::applicationFilePath();
    CopyToDist(Exe, DistCopyName(Exe, ProgramVersion()));
  }
  QApplication::setApplicationName(ProgTitle);
  setWindowTitle(QApplication::applicationName());
  ReadSettings();
  ListComPorts();
  SortCombo();
  SelectSavedPort();
  ReadFileNames();
  RestorePlacement();
  sBar->SetPanelText(0, "");
  UsedCpu = cESP32;
  sBar->SetPanelText(1, "ESP32");
  if (FComIo && !FEsp) FEsp = std::make_unique<TEsp>(*FComIo, FRunLog);
  Timer1->start(100);
}

void TMain::Timer1Timer() {
  Timer1->stop();
  edFilenameChange(this);
}

void TMain::closeEvent(QCloseEvent* Event) {
  if (FRunning) {
    // The run finishes first (the board reset, the port closed); its end closes the
    // window again, which then always goes through.
    FCloseAfterRun = true;
    Event->ignore();
    return;
  }
  SavePlacement();
  FormClose();
  Event->accept();
}

void TMain::FormClose() {
  if (FComIo) FComIo->DisConnect();
  SavePlacement();
  WriteSettings();
}

void TMain::ActExitExecute() {
  close();
}

// ---------------------------------------------------------------- what the run shows

std::string TMain::PortText() const {
  return cbPort->currentText().toStdString();
}

std::string TMain::StatusText() const {
  return sBar->PanelText(0).toStdString();
}

void TMain::SetStatusText(const std::string& Text) {
  sBar->SetPanelText(0, QString::fromStdString(Text));
}

void TMain::SetLed(bool On) {
  LED1->SetActive(On);
}

// ---------------------------------------------------------------- the run

int TMain::AskErase() {
  return FMsgBox->Execute("Erase Flash?", mtConfirmation, "ERASE", MsgBut({mbYes, mbNo}),
                          FConfig.DoBeep);
}

TFlashRequest TMain::RunRequest(QObject* Sender) const {
  TFlashRequest R;
  R.Operation = static_cast<TFlashOp>(TagOf(Sender));
  R.Port = PortText();
  R.Config = FConfig;
  R.AutoErase = chkAutoErase->isChecked();
  // File names go to the file layer as 8-bit text in the system's code page.
  R.Images =
      WindowImages(LocalName(edBoot->text()), LocalName(edPart->text()), LocalName(edFirm->text()));
  return R;
}

void TMain::ButStartClick(QObject* Sender) {
  // One run at a time: a file check may enable Update again while a run goes on.
  if (FRunning || !FComIo || !FEsp || !FMsgBox) return;
  FRunning = true;
  butUpdate->setEnabled(false);
  butErase->setEnabled(false);
  FRunView = std::make_unique<TMainRunView>(*this);
  FJob = std::make_unique<TFlashJob>(RunRequest(Sender), *FRunView, FRunLog, *FComIo, *FEsp);
  FRunView->SetJob(FJob.get());
  try {
    FRunThread = std::thread([Job = FJob.get()] { Job->Run(); });
  } catch (const std::exception& E) {
    // No thread for the run (the system is out of them): nothing was sent.
    TFlashResult R;
    R.Message = E.what();
    EndRun(R);
  }
}

// The job's last report: its thread has nothing left to do but return.
void TMain::EndRun(const TFlashResult& R) {
  if (FRunThread.joinable()) FRunThread.join();
  // A run that never got to the identification leaves the kind as it was.
  if (FJob && FJob->ReachedIdentification()) UsedCpu = FJob->UsedCpu();
  FJob.reset();
  FRunView.reset();
  FRunLog.C(); // every line has reached the window's log by now
  if (!R.Ok) FMsgBox->ShowError(R.Message, "Error");
  pBar->hide();
  butUpdate->setEnabled(true);
  butErase->setEnabled(true);
  FRunning = false;
  emit RunEnded();
  if (FCloseAfterRun) {
    FCloseAfterRun = false;
    close();
  }
}

void TMain::StopRun() {
  if (!FRunThread.joinable()) return;
  if (FJob) FJob->Stop();
  FRunThread.join();
}

// ---------------------------------------------------------------- settings

void TMain::ReportError(const std::string& Msg) {
  if (FMsgBox)
    FMsgBox->ShowError(Msg);
  else
    FLog.S(Msg);
}

void TMain::LoadSettings() {
  const TSettingsFiles Files = SettingsFiles();
  IniFile->SetFiles(Files);
  // Which file is used: an installed program keeps its settings in the user's folder.
  const std::string Write = QtPath(Files.Write).toStdString();
  if (Files.Read == Files.Write)
    FLog.S("Settings file: " + Write);
  else
    FLog.S("Settings file: " + Write + " (read from " + QtPath(Files.Read).toStdString() +
           " until it exists)");
  // The list shows short names; the tooltip names the device the port opens.
  connect(cbPort, &QComboBox::currentTextChanged, cbPort, [this](const QString& T) {
    cbPort->setToolTip(T.isEmpty() ? QString()
                                   : QString::fromStdString(ComDevicePath(T.toStdString())));
  });
}

void TMain::RestorePlacement() {
  try {
    TFormStorage(*IniFile, *this).RestorePlacement();
  } catch (const std::exception& E) {
    // Start-up restores the placement twice: a value it refuses is named once.
    if (FPlacementProblems.insert(E.what()).second) ReportError(E.what());
  }
}

void TMain::ReadSettings() {
  // A settings file that was not taken in is named once, when there is a box to show it.
  if (!IniFile->LoadProblem().isEmpty()) {
    ReportError(IniFile->LoadProblem().toStdString());
    IniFile->SetFileName(QString()); // shown once; the file stays untouched
  }
  // A value refused is reported, and its field keeps its default.
  std::vector<TSettingProblem> Problems;
  FSaved = IniFile->ReadSettings(Problems);
  for (const TSettingProblem& P : Problems)
    ReportError(ConversionText(P));
  FConfig = FSaved.Config;
  chkAutoErase->setChecked(FSaved.AutoErase);
}

void TMain::SavePlacement() {
  TFormStorage(*IniFile, *this).SavePlacement();
}

void TMain::WriteSettings() {
  TSettings S = FSaved;
  S.Config = FConfig;
  S.ComPort = cbPort->currentText().toStdString();
  S.AutoErase = chkAutoErase->isChecked();
  S.Bootloader = edBoot->text().toStdString();
  S.Partitions = edPart->text().toStdString();
  S.Firmware = edFirm->text().toStdString();
  IniFile->WriteSettings(S);
}

void TMain::SaveSettingsFile() {
  IniFile->UpdateFile(); // a read-only or unwritable file is left as it is, silently
}

// ---------------------------------------------------------------- port list

namespace {

std::vector<std::string> ComboItems(const QComboBox* Cb) {
  std::vector<std::string> r;
  for (int i = 0; i < Cb->count(); ++i)
    r.push_back(Cb->itemText(i).toStdString());
  return r;
}

// Selects the item equal to Kept ignoring letter case, else the first; none in an empty list.
void SelectPort(QComboBox* Cb, const std::string& Kept) {
  Cb->setCurrentIndex(SelectPortIndex(ComboItems(Cb), Kept));
}

} // namespace

void TMain::ListComPorts() {
  std::vector<std::string> System;
  const bool Ok = SystemPortNames(System);
  const std::vector<std::string> Net = ParseNetPorts(FSaved.NetPorts);
  std::vector<std::string> Names = MergePortNames(Ok, System, ComboItems(cbPort), Net);
  SortIgnoringCase(Names);
  cbPort->clear();
  for (const std::string& n : Names)
    cbPort->addItem(QString::fromStdString(n));
}

void TMain::SortCombo() {
  std::vector<std::u16string> Items;
  for (int i = 0; i < cbPort->count(); ++i)
    Items.push_back(cbPort->itemText(i).toStdU16String());
  const std::vector<size_t> Order = NaturalOrder(Items);
  cbPort->clear();
  for (size_t i : Order)
    cbPort->addItem(QString::fromStdU16String(Items[i]));
}

void TMain::SelectSavedPort() {
  SelectPort(cbPort, FSaved.ComPort);
}

void TMain::cbPortDropDown() {
  const std::string Kept = cbPort->currentText().toStdString();
  ListComPorts();
  SortCombo();
  SelectPort(cbPort, Kept);
}

// ---------------------------------------------------------------- file checks

void TMain::ReadFileNames() {
  // Each change of text runs the change handling for its edit.
  edBoot->setText(QString::fromStdString(FSaved.Bootloader));
  edPart->setText(QString::fromStdString(FSaved.Partitions));
  edFirm->setText(QString::fromStdString(FSaved.Firmware));
}

void TMain::CheckFiles() {
  TFileEdit* Eds[3] = {edBoot, edPart, edFirm};
  for (TFileEdit* Ed : Eds) {
    Ed->SetPasses(false);
    Ed->setToolTip(QString());
  }
  for (int i = 0; i < 3; ++i) {
    // Raises for a file that exists but cannot be opened; the rest stays light red.
    const TFileCheck r = CheckImageFile(static_cast<TImageKind>(i), Eds[i]->text());
    Eds[i]->setToolTip(r.Hint);
    if (r.Pass) Eds[i]->SetPasses(true);
    if (r.Size < 0) continue;
    if (r.Size <= std::numeric_limits<int32_t>::max())
      FLog.D(static_cast<int32_t>(r.Size));
    else
      FLog.S(std::to_string(r.Size));
  }
  butUpdate->setEnabled(edBoot->Passes() && edPart->Passes() && edFirm->Passes());
}

void TMain::edFilenameChange(QObject* Sender) {
  try {
    const int Tag = TagOf(Sender);
    TFileEdit* Ed = Tag == 0 ? edBoot : Tag == 1 ? edPart : Tag == 2 ? edFirm : nullptr;
    if (Ed) {
      // A quoted path (from an older settings file) is taken without its quotes, and a
      // file in the program's folder is shown by its bare name where that name finds it.
      const QString Text = Ed->text();
      QString NewText = QString::fromStdString(Unquoted(Text.toStdString()));
      const QString Short = WorkingShortName(NewText, ProgPath);
      if (!Short.isNull()) NewText = Short;
      if (NewText != Text) {
        // The change would run this handler again from inside setText; that inner run
        // finds nothing more to change and only checks, so it is done here instead,
        // keeping errors out of the edit's own signal.
        {
          const QSignalBlocker Block(Ed);
          Ed->setText(NewText);
        }
        CheckFiles();
      }
    }
    CheckFiles();
  } catch (const std::exception& E) {
    ReportError(E.what());
  }
}
