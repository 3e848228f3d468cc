#pragma once
// The system's own message box: an icon for the kind, the message, a title and a row
// of large bold buttons made anew for every call.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn { mbYes, mbNo, mbOK, mbClose, mbIgnore, mbAbort };

// What Execute returns: the toolkit's usual dialog result of the button pressed.
constexpr int mrOk = 1;
constexpr int mrCancel = 2; // "CLOSE", and a box the window system closed
constexpr int mrAbort = 3;  // "CANCEL"
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

// A set of TMsgDlgBtn: bit i stands for the button of ordinal i.
using TMsgBut = uint8_t;
constexpr TMsgBut MsgBut(TMsgDlgBtn b) {
  return static_cast<TMsgBut>(1u << b);
}
constexpr TMsgBut MsgBut(std::initializer_list<TMsgDlgBtn> l) {
  TMsgBut s = 0;
  for (TMsgDlgBtn b : l)
    s = static_cast<TMsgBut>(s | (1u << b));
  return s;
}

// Where everything goes for a box; sizes in pixels, Width and Height are the outer size.
struct TMsgBoxLayout {
  int LabelLeft = 0;
  int Width = 0;
  int Height = 0;
  int ButTop = 0;
  std::vector<int> ButLeft; // one per button, left to right
};
TMsgBoxLayout MsgBoxLayout(bool HasIcon, int LabelWidth, int LabelHeight, int ButCnt);

class TMsgBox : public QDialog {
  Q_OBJECT
public:
  explicit TMsgBox(QWidget* MainWindow = nullptr);

  // The window the box centres on (the main window).
  void SetMainWindow(QWidget* MainWindow) { FMain = MainWindow; }

  // Shows the box modally; returns the result of the button pressed (2 when the window
  // system closes it).
  int Execute(const QString& MsgText, TMsgDlgType DlgType, const QString& CaptionTitle,
              TMsgBut Buttons, bool MsgBeep);
  // An error's message, as every error of the program is shown: the error kind's icon,
  // one "CLOSE" button, the beep. Caption empty: the kind's own title.
  int ShowError(const std::string& Msg, const QString& Caption = QString());

  // Plays the error sound; tests put a counter here.
  std::function<void()> Beeper;

  QLabel* Img() const { return FImg; }
  QLabel* InfoLabel() const { return FInfoLabel; }
  const std::vector<QPushButton*>& But() const { return FBut; }
  int ButCnt() const { return static_cast<int>(FBut.size()); }
  int BoxWidth() const { return FWidth; } // outer size set by the last call
  int BoxHeight() const { return FHeight; }

protected:
  void showEvent(QShowEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void reject() override;

private:
  void FormShow();
  void AddButton(const QString& Caption, int Result);
  QSize FrameExtra() const;

  QWidget* FMain;
  QLabel* FImg;
  QLabel* FInfoLabel;
  std::vector<QPushButton*> FBut;
  int FWidth = 0;
  int FHeight = 0;
  bool FBusy = false; // a call is waiting for its answer
};
