#pragma once
// The custom controls the main window is built from: the file edit with its browse
// button, the connection lamp, the footer panel, the status bar and the port list.
#include <QComboBox>
#include <QFont>
#include <QLineEdit>
#include <QWidget>
#include <functional>

class QAction;
class QLabel;

// Every control that selects something by number carries it as the property "Tag".
int TagOf(const QObject* Obj);

// The window's face "Calibri" at a pixel height.
QFont CalibriFont(int PixelSize, bool Bold);

// A read-only file name field with a browse button at its right end. Whether its file
// passes the checks is its state, shown as its background: the standard window colour
// when it passes, light red when it does not.
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

  bool Passes() const { return FPasses; }
  void SetPasses(bool Pass);

private:
  QAction* FBrowse;
  QString FLastDir;
  bool FPasses = true; // as the edit's own colour, until the first check
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
