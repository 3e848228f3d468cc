#include "uMain.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "../link/U_Usb.h"
#include "../protocol/uEsp.h"
#include "../support/uArt.h"
#include "../support/uDebug.h"
#include "../support/uFormat.h"
#include "../support/uMessageBox.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#endif

namespace {

// Passes every line the run logs to the window's log, on the window's thread.
class TRunLogRelay : public IDebugView {
public:
  TRunLogRelay(QObject& Context, TDebugLog& Log) : FContext(Context), FLog(Log) {}
  void LineAdded(const std::string& Line) override {
    TDebugLog* Log = &FLog;
    QMetaObject::invokeMethod(
        &FContext, [Log, Line] { Log->S(Line); }, Qt::QueuedConnection);
  }
  void Cleared() override {} // the run's copy only: the window's log keeps its lines

private:
  QObject& FContext;
  TDebugLog& FLog;
};

QFont CalibriFont(int PixelSize, bool Bold) {
  QFont F("Calibri");
  F.setPixelSize(PixelSize);
  F.setBold(Bold);
  return F;
}

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

// ---------------------------------------------------------------- helpers

TVersion ProgramVersion() {
  TVersion V;
#ifdef _WIN32
  // FileVersion of the first translation in the program file's version resource.
  wchar_t Path[MAX_PATH];
  if (GetModuleFileNameW(nullptr, Path, MAX_PATH) == 0) return V;
  DWORD Dummy = 0;
  const DWORD Size = GetFileVersionInfoSizeW(Path, &Dummy);
  if (Size == 0) return V;
  std::vector<uint8_t> Buf(Size);
  if (!GetFileVersionInfoW(Path, 0, Size, Buf.data())) return V;
  struct TLangCode {
    WORD Lang, Code;
  };
  TLangCode* Trans = nullptr;
  UINT Len = 0;
  if (!VerQueryValueW(Buf.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&Trans),
                      &Len) ||
      Len < sizeof(TLangCode))
    return V;
  wchar_t Key[64];
  swprintf(Key, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", Trans->Lang, Trans->Code);
  wchar_t* Text = nullptr;
  if (!VerQueryValueW(Buf.data(), Key, reinterpret_cast<void**>(&Text), &Len) || Len == 0) return V;
  const QStringList Items = QString::fromWCharArray(Text).split('.');
  int* Out[3] = {&V.Major, &V.Minor, &V.Release};
  for (int i = 0; i < 3 && i < Items.size(); ++i) {
    bool Ok = false;
    const int N = Items[i].trimmed().toInt(&Ok);
    *Out[i] = Ok ? N : -1;
  }
#else
  // No version resource in an ELF file: the version the project was configured with.
  V.Major = QUORVEX_VERSION_MAJOR;
  V.Minor = QUORVEX_VERSION_MINOR;
  V.Release = QUORVEX_VERSION_PATCH;
#endif
  return V;
}

bool HasDebugSwitch(const QStringList& Args) {
  for (const QString& A : Args)
    if (A.size() >= 2 && (A[0] == '-' || A[0] == '/') && A[1].toLower() == 'd') return true;
  return false;
}

QString DistCopyName(const QString& ProgramFile, const TVersion& V) {
  const QFileInfo Info(ProgramFile);
  const QString Digits = QString::fromStdString(Format("%d%d%d", {V.Major, V.Minor, V.Release}));
#ifdef _WIN32
  return "dist\\" + Info.completeBaseName() + Digits + ".exe";
#else
  // Linux programs carry no extension: the digits end the name (quorvex -> dist/quorvex144).
  return "dist/" + Info.completeBaseName() + Digits;
#endif
}

bool CopyToDist(const QString& ProgramFile, const QString& Copy) {
  const QFileInfo To(Copy);
  if (!To.absoluteDir().exists()) return false;
  // Started from the copy itself: removing the old copy first would delete the program.
  if (To.exists() && To.canonicalFilePath() == QFileInfo(ProgramFile).canonicalFilePath())
    return false;
  QFile::remove(Copy);
  return QFile::copy(ProgramFile, Copy);
}

QString ProgramFolder() {
  QString Dir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
  if (!Dir.endsWith(QDir::separator())) Dir += QDir::separator();
  return Dir;
}

int TagOf(const QObject* Obj) {
  return Obj ? Obj->property("Tag").toInt() : 0;
}

// ---------------------------------------------------------------- controls

TFileEdit::TFileEdit(QWidget* Parent) : QLineEdit(Parent) {
  setReadOnly(true);
  FBrowse = addAction(QIcon(ArtFile(":/app/browse.svg")), QLineEdit::TrailingPosition);
  FBrowse->setObjectName("Browse");
  FBrowse->setToolTip("Browse");
  connect(FBrowse, &QAction::triggered, this, [this] { Browse(); });
}

void TFileEdit::BrowseStart(QString& Dir, QString& File) const {
  QString Name = text();
  if (Name.size() >= 2 && Name.startsWith('"') && Name.endsWith('"'))
    Name = Name.mid(1, Name.size() - 2);
  File.clear();
  if (!Name.isEmpty()) {
    const QFileInfo Info(Name);
    if (Info.absoluteDir().exists()) {
      Dir = Info.absolutePath();
      File = Info.fileName();
      return;
    }
  }
  Dir = !FLastDir.isEmpty() && QDir(FLastDir).exists() ? FLastDir : QDir::currentPath();
}

QString TFileEdit::ChosenText(const QString& Path) {
  const QString Native = QDir::toNativeSeparators(Path);
  return Native.contains(' ') ? '"' + Native + '"' : Native;
}

void TFileEdit::Browse() {
  QString Dir, File;
  BrowseStart(Dir, File);
  QFileDialog Dlg(this, QString(), Dir, "Binary Files (*.bin)");
  Dlg.setFileMode(QFileDialog::ExistingFile);
  Dlg.setAcceptMode(QFileDialog::AcceptOpen);
  if (!File.isEmpty()) Dlg.selectFile(File);
  if (Dlg.exec() != QDialog::Accepted || Dlg.selectedFiles().isEmpty()) return;
  const QString Chosen = Dlg.selectedFiles().first();
  FLastDir = QFileInfo(Chosen).absolutePath();
  setText(ChosenText(Chosen)); // QLineEdit reports no change for an equal text
}

TLed::TLed(QWidget* Parent) : QWidget(Parent) {}

void TLed::SetActive(bool On) {
  if (FActive == On) return;
  FActive = On;
  update();
  emit ActiveChanged(On);
}

void TLed::paintEvent(QPaintEvent*) {
  QPainter P(this);
  P.setRenderHint(QPainter::Antialiasing);
  const QRectF R = QRectF(rect()).adjusted(1, 1, -1, -1);
  const QColor Base = FActive ? QColor(0, 200, 0) : QColor(220, 0, 0);
  QRadialGradient G(R.center() - QPointF(R.width() / 5, R.height() / 5), R.width() / 1.6);
  G.setColorAt(0, Base.lighter(170));
  G.setColorAt(1, Base.darker(130));
  P.setPen(QPen(Base.darker(220), 1));
  P.setBrush(G);
  P.drawEllipse(R);
}

TFooter::TFooter(QWidget* Parent) : QWidget(Parent) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
}

void TFooter::paintEvent(QPaintEvent*) {
  QPainter P(this);
  P.setPen(palette().color(QPalette::Dark));
  P.drawLine(0, 0, width() - 1, 0);
  P.setPen(palette().color(QPalette::Light));
  P.drawLine(0, 1, width() - 1, 1);
}

TStatusBar::TStatusBar(QWidget* Parent) : QWidget(Parent) {
  setFont(CalibriFont(16, true));
  const int Widths[2] = {250, 80};
  const Qt::Alignment Align[2] = {Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignCenter};
  int Left = 0;
  for (int i = 0; i < 2; ++i) {
    auto* L = new QLabel(this);
    L->setObjectName(QString("Panel%1").arg(i));
    L->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    L->setGeometry(Left, 0, Widths[i], 20);
    L->setAlignment(Align[i]);
    FPanels[i] = L;
    Left += Widths[i];
  }
}

QString TStatusBar::PanelText(int Index) const {
  return FPanels[Index]->text();
}

void TStatusBar::SetPanelText(int Index, const QString& Text) {
  FPanels[Index]->setText(Text);
  emit PanelTextSet(Index, Text);
}

void TPortCombo::showPopup() {
  if (OnDropDown) OnDropDown();
  // The popup is as wide as its longest entry.
  int Widest = width();
  for (int i = 0; i < count(); ++i)
    Widest = std::max(Widest, fontMetrics().horizontalAdvance(itemText(i)) + 30);
  view()->setMinimumWidth(Widest);
  QComboBox::showPopup();
}

// ---------------------------------------------------------------- window

TMain::TMain(TDebugLog& Log, QWidget* Parent)
    : QWidget(Parent), FLog(Log), FRunLogRelay(std::make_unique<TRunLogRelay>(*this, Log)) {
  FRunLog.SetView(FRunLogRelay.get());
  InitAppResources();
  BuildLayout();
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
    Usb->OnError = [this](const std::string& Msg) {
      FMsgBox->Execute(QString::fromStdString(Msg), mtError, "", MsgBut(mbClose), true);
    };
#ifndef _WIN32
  // The USB watcher's udev monitor is served from this thread's event loop.
  if (TComponentUSB* Usb = TUsb(); Usb && Usb->MonitorFd() >= 0) {
    FUsbNotifier = new QSocketNotifier(Usb->MonitorFd(), QSocketNotifier::Read, this);
    connect(FUsbNotifier, &QSocketNotifier::activated, this, [Usb] { Usb->HandleMonitorEvent(); });
  }
#endif
}

void TMain::FormCreate() {
  Version = ProgramVersion();
  ProgTitle = QString::fromStdString(
      Format("Quorvex v%d.%d.%d", {Version.Major, Version.Minor, Version.Release}));
  ProgPath = ProgramFolder();
  CommandLine = QCoreApplication::arguments().mid(1);
  LoadSettings();
  QApplication::setApplicationName(ProgTitle);
  setWindowTitle(QApplication::applicationName());
  // File dialogs given no folder start in the working directory: TFileEdit::BrowseStart.
}

void TMain::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (FShown) return;
  FShown = true;
  RestorePlacement();
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
    CopyToDist(Exe, DistCopyName(Exe, Version));
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

void TMain::ShowError(const std::string& Msg) {
  FMsgBox->Execute(QString::fromStdString(Msg), mtError, "Error", MsgBut(mbClose), true);
}

// The window's controls as the job's observer. The job runs on a thread of its own;
// every report is queued to this thread in the order the job made it, so the window
// shows what it always showed while its event loop runs undisturbed.
class TMainRunView : public IFlashObserver {
public:
  explicit TMainRunView(TMain& Main) : M(Main) {}
  void SetJob(const TFlashJob* Job) { FJob = Job; }

  void Status(const std::string& Text) override {
    Post([Text](TMain& W) { W.SetStatusText(Text); });
  }
  void Led(bool On) override {
    Post([On](TMain& W) { W.SetLed(On); });
  }
  void Mac(const std::string& Text) override {
    Post([Text](TMain& W) { W.LabMac->setText(QString::fromStdString(Text)); });
  }
  void ProgressMax(uint32_t Max) override {
    const int V = static_cast<int>(std::min<uint32_t>(Max, INT32_MAX));
    Post([V](TMain& W) { W.pBar->setMaximum(V); });
  }
  void ProgressPos(uint32_t Pos) override {
    const int V = static_cast<int>(std::min<uint32_t>(Pos, INT32_MAX));
    Post([V](TMain& W) { W.pBar->setValue(V); });
  }
  void ProgressVisible(bool Visible) override {
    Post([Visible](TMain& W) { W.pBar->setVisible(Visible); });
  }
  // The box is shown by the window's thread; the job waits for the answer, and gives
  // up waiting (no erase) once it is told to stop.
  bool ConfirmErase() override {
    auto Answer = std::make_shared<std::promise<bool>>();
    std::future<bool> Got = Answer->get_future();
    Post([Answer](TMain& W) {
      bool Yes = false;
      try {
        Yes = W.AskErase() == mrYes;
      } catch (...) {
        Answer->set_value(false);
        throw; // shown by the application's error display
      }
      Answer->set_value(Yes);
    });
    while (Got.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
      if (FJob && FJob->StopRequested()) return false;
    return Got.get();
  }
  void Finished(const TFlashResult& Result) override {
    Post([Result](TMain& W) { W.EndRun(Result); });
  }

private:
  template <class F> void Post(F Fn) {
    TMain* W = &M;
    QMetaObject::invokeMethod(
        W, [W, Fn = std::move(Fn)] { Fn(*W); }, Qt::QueuedConnection);
  }
  TMain& M;
  const TFlashJob* FJob = nullptr;
};

TFlashRequest TMain::RunRequest(QObject* Sender) const {
  TFlashRequest R;
  R.Operation = static_cast<TFlashOp>(TagOf(Sender));
  R.Port = PortText();
  R.Config = FConfig;
  R.AutoErase = chkAutoErase->isChecked();
  // File names go to the file layer as 8-bit text in the system's code page.
  R.Images = WindowImages(edBoot->text().toLocal8Bit().toStdString(),
                          edPart->text().toLocal8Bit().toStdString(),
                          edFirm->text().toLocal8Bit().toStdString());
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
    EndRun(TFlashResult{false, false, E.what()});
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
  if (!R.Ok) ShowError(R.Message);
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

// ---------------------------------------------------------------- the program

TQuorvexApplication::TQuorvexApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TQuorvexApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& E) {
    if (OnError) OnError(E.what());
    return false;
  }
}

TProgram::TProgram()
    : Main(Log), Debug(std::make_unique<TDebug>(Log)), MsgBox(std::make_unique<TMsgBox>(&Main)),
      ComIo(std::make_unique<TComIo>(&Main)) {
  Main.Attach(*Debug, *MsgBox, *ComIo);
  if (auto* App = dynamic_cast<TQuorvexApplication*>(QCoreApplication::instance()))
    App->OnError = [this](const std::string& Msg) {
      MsgBox->Execute(QString::fromStdString(Msg), mtError, "", MsgBut(mbClose), true);
    };
}

TProgram::~TProgram() {
  // The run's thread uses ComIo, which goes first.
  Main.StopRun();
  if (auto* App = dynamic_cast<TQuorvexApplication*>(QCoreApplication::instance()))
    App->OnError = nullptr;
}

int TProgram::Exec() {
  Main.show();
  const int Result = QApplication::exec();
  Main.SaveSettingsFile();
  return Result;
}
