#pragma once
// The real main window, offscreen, with its settings file in a temporary folder that
// also serves as the program's folder. Message boxes are answered at once and their
// texts kept.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "link/uComIo.h"
#include "support/uDebug.h"
#include "support/uMessageBox.h"
#include "uIniFile.h"
#include "uMain.h"

struct TMainRig {
  QTemporaryDir Dir;
  TDebugLog Log;
  std::unique_ptr<TMain> Main;
  std::unique_ptr<TDebug> Debug;
  std::unique_ptr<TMsgBox> MsgBox;
  std::unique_ptr<TComIo> ComIo;
  QStringList Boxes; // texts of the message boxes shown, in order
  QTimer Answer;

  // Ini: the settings file's bytes; a null array leaves the folder without a file.
  explicit TMainRig(const QByteArray& Ini = QByteArray()) {
    if (!Ini.isNull()) {
      QFile f(IniPath());
      f.open(QIODevice::WriteOnly);
      f.write(Ini);
    }
    Main = std::make_unique<TMain>(Log);
    Debug = std::make_unique<TDebug>(Log);
    MsgBox = std::make_unique<TMsgBox>(Main.get());
    MsgBox->Beeper = [] {};
    ComIo = std::make_unique<TComIo>(Main.get());
    Main->Attach(*Debug, *MsgBox, *ComIo);
    Main->ProgPath = Dir.path() + "/";
    Main->IniFile->SetFileName(IniPath());
    // Closes every message box as soon as it is up, keeping its text.
    QObject::connect(&Answer, &QTimer::timeout, [this] {
      if (MsgBox->isVisible()) {
        Boxes << MsgBox->InfoLabel()->text();
        MsgBox->done(2);
      }
    });
    Answer.start(5);
  }
  ~TMainRig() {
    Answer.stop();
    ComIo.reset(); // before the window it reports to
  }
  QString IniPath() const { return Dir.path() + "/Quorvex.ini"; }
  QByteArray IniBytes() const {
    QFile f(IniPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // Start-up as the program does it, then close and write the file as at the end.
  void Show() { Main->show(); }
  void CloseAndSave() {
    Main->close();
    Main->SaveSettingsFile();
  }
  QStringList Items() const {
    QStringList r;
    for (int i = 0; i < Main->cbPort->count(); ++i)
      r << Main->cbPort->itemText(i);
    return r;
  }
};

inline int RunGuiTests(int argc, char** argv) {
  // Also when the test runner lists the tests, which it does without the test's environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
