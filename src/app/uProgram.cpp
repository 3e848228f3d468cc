#include "uProgram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "link/uComIo.h"
#include "support/uDebug.h"
#include "support/uFormat.h"
#include "support/uMessageBox.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#include <vector>
#endif

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

std::string VersionText() {
  const TVersion V = ProgramVersion();
  return Format("quorvex %d.%d.%d", {V.Major, V.Minor, V.Release});
}

std::string HelpText() {
  // The layout of quorvex-cli's help, so that one tool makes both manual pages.
  return "quorvex: writes firmware into ESP32 boards through a USB serial adapter; pick the "
         "bootloader, partition table and application images and a port, press Update (or "
         "Erase).\n"
         "Usage: quorvex [OPTIONS]\n"
         "\n"
         "Options:\n"
         "  -d,/d                       show the debug log window beside the main window, "
         "and copy the program into dist/ under a versioned name when that folder exists "
         "(-D, /D, -debug: a - or / and the letter d)\n"
         "  --help                      print this help message and exit\n"
         "  --version                   print the version and exit\n"
         "\n"
         "Settings: Quorvex.ini beside the program or, when that folder cannot be written (an "
         "installed program), in the user's configuration folder: "
         "$XDG_CONFIG_HOME/quorvex/Quorvex.ini (~/.config/quorvex/Quorvex.ini), "
         "%APPDATA%\\Quorvex\\Quorvex.ini on Windows. It is written when the window closes.\n"
         "Serial ports: on Linux the user needs access to the adapter's device: Quorvex's udev "
         "rule gives it to the user at the seat, or join the group that owns it (sudo usermod "
         "-aG dialout $USER, then log out and in).\n";
}

bool AnswerInfoOption(int argc, char** argv) {
  std::string Text;
  for (int i = 1; i < argc && Text.empty(); ++i) {
    const std::string A = argv[i];
    if (A == "--help")
      Text = HelpText();
    else if (A == "--version")
      Text = VersionText() + "\n";
  }
  if (Text.empty()) return false;
#ifdef _WIN32
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    if (FILE* Out = _wfopen(L"CONOUT$", L"w")) {
      std::fputs(Text.c_str(), Out);
      std::fclose(Out);
      return true;
    }
  }
  const std::wstring W = QString::fromStdString(Text).toStdWString();
  MessageBoxW(nullptr, W.c_str(), L"Quorvex", MB_OK | MB_ICONINFORMATION);
#else
  std::fputs(Text.c_str(), stdout);
  std::fflush(stdout);
#endif
  return true;
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

TQuorvexApplication::TQuorvexApplication(int& argc, char** argv) : QApplication(argc, argv) {
  // Wayland compositors find the icon and the name through the desktop entry's name.
  setDesktopFileName(QUORVEX_DESKTOP_ID);
}

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
    App->OnError = [this](const std::string& Msg) { MsgBox->ShowError(Msg); };
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
