// Settings, port list and image file checks of the main window: the glue between the
// window's elements and the settings store, the port enumeration and the file checks.
#include <QApplication>
#include <QSignalBlocker>
#include <limits>
#include <string>
#include <vector>

#include "link/ComBackend.h"
#include "link/uPortList.h"
#include "support/uMessageBox.h"
#include "uFileCheck.h"
#include "uFormStorage.h"
#include "uIniFile.h"
#include "uMain.h"

namespace {

const QString SecConfig = QStringLiteral("CONFIG");
const QString SecFiles = QStringLiteral("FILES");

// The ranges of the connection values. Rates: the standard serial rates from 9600 up,
// to 5 Mbit/s, past what USB serial adapters and the loader take; below 9600 one flash
// block alone takes seconds on the line. Reset holds: up to five seconds each, over three
// times the longest default (1400 ms), so a connect of several attempts stays bounded.
constexpr int32_t ConfigBaudMin = 9600;
constexpr int32_t ConfigBaudMax = 5000000;
constexpr int32_t ConfigHoldMaxMs = 5000;
const QColor LightRed(255, 192, 192);

// The colour an edit shows when its file passes: the standard window colour.
QColor StandardColour() {
  return QApplication::palette().color(QPalette::Base);
}

void SetEditColour(QLineEdit* Ed, const QColor& c) {
  QPalette p = Ed->palette();
  p.setColor(QPalette::Base, c);
  Ed->setPalette(p);
}

bool EditPasses(const QLineEdit* Ed) {
  return Ed->palette().color(QPalette::Base) == StandardColour();
}

// The settings hold unsigned fields as the signed reading of their bits.
uint32_t ToField(int32_t v) {
  return static_cast<uint32_t>(v);
}
int32_t FromField(uint32_t v) {
  return static_cast<int32_t>(v);
}

std::vector<std::string> ComboItems(const QComboBox* Cb) {
  std::vector<std::string> r;
  for (int i = 0; i < Cb->count(); ++i)
    r.push_back(Cb->itemText(i).toStdString());
  return r;
}

} // namespace

// An error raised by a settings read or a file check is shown as the application's
// top-level handler shows it; the caller then goes on, so the window stays usable.
static void ReportError(TMsgBox* Box, TDebugLog& Log, const std::string& Msg) {
  if (Box)
    Box->Execute(QString::fromStdString(Msg), mtError, "", MsgBut(mbClose), true);
  else
    Log.S(Msg);
}

void TMain::LoadSettings() {
  if (!IniFile) IniFile = std::make_shared<TIniFile>();
  IniFile->SetFileName(ProgPath + QStringLiteral("Quorvex.ini"));
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
    ReportError(FMsgBox, FLog, E.what());
  }
}

void TMain::ReadSettings() {
  // A settings file that was not taken in is named once, when there is a box to show it.
  if (!IniFile->LoadProblem().isEmpty()) {
    ReportError(FMsgBox, FLog, IniFile->LoadProblem().toStdString());
    IniFile->SetFileName(QString()); // shown once; the file stays untouched
  }
  // A value outside its range is refused like a text that is no number: a reset hold of
  // -1 (4294967295 ms) or 99999999 ms would keep a run waiting for ever, and a rate no
  // serial port can take cannot carry a run either.
  const auto Int = [this](const char* Key, uint32_t& Field, int32_t Min, int32_t Max) {
    try {
      const int32_t v = IniFile->ReadInteger(SecConfig, Key, FromField(Field));
      if (v < Min || v > Max)
        throw IniConvertError(IniFile->ReadString(SecConfig, Key, QString()), Key);
      Field = ToField(v);
    } catch (const std::exception& E) {
      ReportError(FMsgBox, FLog, E.what()); // the field keeps its default
    }
  };
  const auto Bool = [this](const char* Key, bool Default) {
    try {
      return IniFile->ReadBoolean(SecConfig, Key, Default);
    } catch (const std::exception& E) {
      ReportError(FMsgBox, FLog, E.what());
      return Default;
    }
  };
  FConfig = TConfig();
  Int("ConnBaud", FConfig.ConnBaud, ConfigBaudMin, ConfigBaudMax);
  Int("FastBaud", FConfig.FastBaud, ConfigBaudMin, ConfigBaudMax);
  FConfig.FastFirst = Bool("FastFirst", true);
  Int("SlowLow", FConfig.SlowLow, 0, ConfigHoldMaxMs);
  Int("SlowHigh", FConfig.SlowHigh, 0, ConfigHoldMaxMs);
  Int("FastLow", FConfig.FastLow, 0, ConfigHoldMaxMs);
  Int("FastHigh", FConfig.FastHigh, 0, ConfigHoldMaxMs);
  FConfig.DoBeep = Bool("DoBeep", true);
  chkAutoErase->setChecked(Bool("AutoErase", true));
  FConfig.UseStub = Bool("UseStub", true);
}

void TMain::ListComPorts() {
  std::vector<std::string> System;
  const bool Ok = SystemPortNames(System);
  const std::vector<std::string> Net = ParseNetPorts(
      IniFile->ReadString(SecConfig, QStringLiteral("NetPorts"), QString()).toStdString());
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

// Selects the item equal to Kept ignoring letter case, else the first; none in an empty list.
static void SelectPort(QComboBox* Cb, const QString& Kept) {
  Cb->setCurrentIndex(SelectPortIndex(ComboItems(Cb), Kept.toStdString()));
}

void TMain::SelectSavedPort() {
  SelectPort(cbPort, IniFile->ReadString(SecConfig, QStringLiteral("ComPort"), QString()));
}

void TMain::cbPortDropDown() {
  const QString Kept = cbPort->currentText();
  ListComPorts();
  SortCombo();
  SelectPort(cbPort, Kept);
}

void TMain::ReadFileNames() {
  // Each change of text runs the change handling for its edit.
  edBoot->setText(IniFile->ReadString(SecFiles, QStringLiteral("Bootloader"), QString()));
  edPart->setText(IniFile->ReadString(SecFiles, QStringLiteral("Partitions"), QString()));
  edFirm->setText(IniFile->ReadString(SecFiles, QStringLiteral("Firmware"), QString()));
}

void TMain::SavePlacement() {
  TFormStorage(*IniFile, *this).SavePlacement();
}

void TMain::WriteSettings() {
  TIniFile& Ini = *IniFile;
  Ini.WriteString(SecConfig, QStringLiteral("ComPort"), cbPort->currentText());
  Ini.WriteInteger(SecConfig, QStringLiteral("ConnBaud"), FromField(FConfig.ConnBaud));
  Ini.WriteInteger(SecConfig, QStringLiteral("FastBaud"), FromField(FConfig.FastBaud));
  Ini.WriteBoolean(SecConfig, QStringLiteral("FastFirst"), FConfig.FastFirst);
  Ini.WriteInteger(SecConfig, QStringLiteral("SlowLow"), FromField(FConfig.SlowLow));
  Ini.WriteInteger(SecConfig, QStringLiteral("SlowHigh"), FromField(FConfig.SlowHigh));
  Ini.WriteInteger(SecConfig, QStringLiteral("FastLow"), FromField(FConfig.FastLow));
  Ini.WriteInteger(SecConfig, QStringLiteral("FastHigh"), FromField(FConfig.FastHigh));
  Ini.WriteBoolean(SecConfig, QStringLiteral("DoBeep"), FConfig.DoBeep);
  Ini.WriteBoolean(SecConfig, QStringLiteral("AutoErase"), chkAutoErase->isChecked());
  Ini.WriteBoolean(SecConfig, QStringLiteral("UseStub"), FConfig.UseStub);
  Ini.WriteString(SecFiles, QStringLiteral("Bootloader"), edBoot->text());
  Ini.WriteString(SecFiles, QStringLiteral("Partitions"), edPart->text());
  Ini.WriteString(SecFiles, QStringLiteral("Firmware"), edFirm->text());
}

void TMain::SaveSettingsFile() {
  IniFile->UpdateFile(); // a read-only or unwritable file is left as it is, silently
}

void TMain::CheckFiles() {
  TFileEdit* Eds[3] = {edBoot, edPart, edFirm};
  for (TFileEdit* Ed : Eds) {
    SetEditColour(Ed, LightRed);
    Ed->setToolTip(QString());
  }
  for (int i = 0; i < 3; ++i) {
    // Raises for a file that exists but cannot be opened; the rest stays light red.
    const TFileCheck r = CheckImageFile(static_cast<TImageKind>(i), Eds[i]->text());
    Eds[i]->setToolTip(r.Hint);
    if (r.Pass) SetEditColour(Eds[i], StandardColour());
    if (r.Size < 0) continue;
    if (r.Size <= std::numeric_limits<int32_t>::max())
      FLog.D(static_cast<int32_t>(r.Size));
    else
      FLog.S(std::to_string(r.Size));
  }
  butUpdate->setEnabled(EditPasses(edBoot) && EditPasses(edPart) && EditPasses(edFirm));
}

void TMain::edFilenameChange(QObject* Sender) {
  try {
    const int Tag = TagOf(Sender);
    TFileEdit* Ed = Tag == 0 ? edBoot : Tag == 1 ? edPart : Tag == 2 ? edFirm : nullptr;
    if (Ed) {
      // A quoted path (from an older settings file) is taken without its quotes, and a
      // file in the program's folder is shown by its bare name where that name finds it.
      const QString Text = Ed->text();
      QString NewText = Unquoted(Text);
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
    ReportError(FMsgBox, FLog, E.what());
  }
}
