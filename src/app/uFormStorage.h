#pragma once
// Saves and restores a window's placement in a section of the settings store: show
// state, position (per desktop size and plain), pixels per inch and the focused control.
#include <QString>

class QWidget;
class TIniFile;

class TFormStorage {
public:
  TFormStorage(TIniFile& Ini, QWidget& Form, QString Section = QStringLiteral("Main"))
      : FIni(Ini), FForm(Form), FSection(std::move(Section)) {}

  // Reads the placement back; an invalid integer raises EConvertError.
  void RestorePlacement();
  void SavePlacement();

  // "(%dx%d)": the size of the whole desktop (all monitors), appended to the position keys.
  static QString DesktopSuffix();
  // "x,y,..." as numbers; an item that does not parse gives Fallback.
  static int PosItem(const QString& Text, int Index, int Fallback);

private:
  QString ReadPos(const QString& Key) const;

  TIniFile& FIni;
  QWidget& FForm;
  QString FSection;
};
