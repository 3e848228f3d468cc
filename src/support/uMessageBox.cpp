#include "uMessageBox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#ifndef QUORVEX_PNG_ART
#include <QSvgRenderer>
#endif
#include <algorithm>

#include "uArt.h"

static void InitSupportResources() {
  Q_INIT_RESOURCE(support);
}

namespace {

constexpr int ImgLeft = 16, ImgTop = 16, ImgSize = 32;
constexpr int LabelTop = 8, LineHeight = 18;
constexpr int ButWidth = 80, ButHeight = 25, ButStep = 90;

struct TKind {
  const char* Caption;
  const char* Icon; // resource of the 32 x 32 picture, nullptr for none
};

const TKind Kinds[] = {
    {"Warning", ":/icons/warning.svg"},
    {"Error", ":/icons/error.svg"},
    {"Information", ":/icons/information.svg"},
    {"Confirmation", ":/icons/confirmation.svg"},
    {"Message", nullptr},
};

struct TButDef {
  TMsgDlgBtn Btn;
  const char* Caption;
  int Result;
};

// Creation order, which is the order from left to right.
const TButDef Buttons[] = {
    {mbClose, "CLOSE", mrCancel}, {mbYes, "YES", mrYes},          {mbNo, "NO", mrNo},
    {mbOK, "OK", mrOk},           {mbIgnore, "IGNORE", mrIgnore}, {mbAbort, "CANCEL", mrAbort},
};

QPixmap IconPixmap(const char* Resource) {
  QPixmap Pix(ImgSize, ImgSize);
  Pix.fill(Qt::transparent);
  if (Resource) {
    QPainter P(&Pix);
#ifdef QUORVEX_PNG_ART
    P.drawPixmap(QRect(0, 0, ImgSize, ImgSize), QPixmap(ArtFile(Resource)));
#else
    QSvgRenderer Svg{QString(Resource)};
    Svg.render(&P, QRectF(0, 0, ImgSize, ImgSize));
#endif
  }
  return Pix;
}

} // namespace

TMsgBoxLayout MsgBoxLayout(bool HasIcon, int LabelWidth, int LabelHeight, int ButCnt) {
  TMsgBoxLayout L;
  L.LabelLeft = HasIcon ? ImgLeft + ImgSize + 20 : 20;
  L.Width = std::max(L.LabelLeft + LabelWidth + 20, 280);
  L.Height = std::max(LabelHeight + 85, 150);
  L.ButTop = L.Height - 80;
  const int Total = ButCnt * ButStep - 10;
  for (int k = 0; k < ButCnt; ++k)
    L.ButLeft.push_back(L.Width / 2 - Total / 2 + k * ButStep);
  return L;
}

TMsgBox::TMsgBox(QWidget* MainWindow)
    : QDialog(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      Beeper([] { QApplication::beep(); }), FMain(MainWindow), FImg(new QLabel(this)),
      FInfoLabel(new QLabel(this)) {
  InitSupportResources();
  setObjectName("MsgBox");
  setModal(true);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  FImg->setObjectName("Img");
  FImg->setGeometry(ImgLeft, ImgTop, ImgSize, ImgSize);
  FImg->setAttribute(Qt::WA_TranslucentBackground);

  FInfoLabel->setObjectName("InfoLabel");
  FInfoLabel->setTextFormat(Qt::PlainText); // a message is never markup
  FInfoLabel->setWordWrap(false);
  FInfoLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  FInfoLabel->setForegroundRole(QPalette::WindowText);
  QFont Font("Calibri");
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(15);
  FInfoLabel->setFont(Font);
}

QSize TMsgBox::FrameExtra() const {
  // The box's size is its outer size; the frame is known once the window has been shown
  // (and is nothing on a platform without decorations).
  if (!testAttribute(Qt::WA_WState_Created)) return {0, 0};
  const QSize d = frameGeometry().size() - geometry().size();
  return {std::max(d.width(), 0), std::max(d.height(), 0)};
}

int TMsgBox::ShowError(const std::string& Msg, const QString& Caption) {
  return Execute(QString::fromStdString(Msg), mtError, Caption, MsgBut(mbClose), true);
}

int TMsgBox::Execute(const QString& MsgText, TMsgDlgType DlgType, const QString& CaptionTitle,
                     TMsgBut Buttons_, bool MsgBeep) {
  // A message raised while this box waits for an answer (an error from a handler that ran
  // during the modal wait) gets a box of its own: this one cannot be shown twice, and
  // refilling it would take the buttons away from the question still open.
  if (FBusy) {
    TMsgBox Nested(FMain);
    Nested.Beeper = Beeper;
    return Nested.Execute(MsgText, DlgType, CaptionTitle, Buttons_, MsgBeep);
  }
  FBusy = true;
  const int KindNo = (DlgType >= mtWarning && DlgType <= mtCustom) ? DlgType : mtCustom;
  const TKind& Kind = Kinds[KindNo];
  const bool HasIcon = Kind.Icon != nullptr;
  FImg->setVisible(HasIcon);
  FImg->setPixmap(IconPixmap(Kind.Icon));
  setWindowTitle(CaptionTitle.isEmpty() ? QString(Kind.Caption) : CaptionTitle);

  // The label is as wide as its longest line and breaks only at line breaks.
  QString Text = MsgText;
  Text.replace("\r\n", "\n").replace('\r', '\n');
  const QStringList Lines = Text.split('\n');
  const QFontMetrics Fm(FInfoLabel->font());
  int LabelW = 0;
  for (const QString& Line : Lines)
    LabelW = std::max(LabelW, Fm.horizontalAdvance(Line));
  const int LabelH = static_cast<int>(Lines.size()) * LineHeight;
  FInfoLabel->setText(Text);

  // With no button the box could never be closed; it offers "OK" instead.
  if ((Buttons_ & 0x3F) == 0) Buttons_ = MsgBut(mbOK);
  int Count = 0;
  for (const TButDef& b : Buttons)
    if (Buttons_ & MsgBut(b.Btn)) ++Count;

  const TMsgBoxLayout L = MsgBoxLayout(HasIcon, LabelW, LabelH, Count);
  FWidth = L.Width;
  FHeight = L.Height;
  FInfoLabel->setGeometry(L.LabelLeft, LabelTop, LabelW, LabelH);
  const QSize Extra = FrameExtra();
  setFixedSize(L.Width - Extra.width(), L.Height - Extra.height());

  for (const TButDef& b : Buttons)
    if (Buttons_ & MsgBut(b.Btn)) AddButton(b.Caption, b.Result);

  // Centred over the main window, but never off the desktop's left or top edge.
  const QRect Main = FMain ? FMain->frameGeometry()
                           : (QGuiApplication::primaryScreen()
                                  ? QGuiApplication::primaryScreen()->availableGeometry()
                                  : QRect(0, 0, L.Width, L.Height));
  const QScreen* Screen =
      FMain && FMain->screen() ? FMain->screen() : QGuiApplication::primaryScreen();
  const QRect Desk = Screen ? Screen->virtualGeometry() : QRect();
  const int Left = std::max(Main.left() + (Main.width() - L.Width) / 2, Desk.left());
  const int Top = std::max(Main.top() + (Main.height() - L.Height) / 2, Desk.top());
  move(Left, Top);

  if (MsgBeep && Beeper) Beeper();
  const int Result = exec();

  for (QPushButton* b : FBut)
    delete b;
  FBut.clear();
  FBusy = false;
  return Result;
}

void TMsgBox::AddButton(const QString& Caption, int Result) {
  auto* b = new QPushButton(Caption, this);
  FBut.push_back(b);
  const int ButCnt_ = ButCnt();
  QFont Font("Calibri");
  Font.setStyleHint(QFont::SansSerif);
  Font.setPointSize(12);
  Font.setBold(true);
  b->setFont(Font);
  b->setObjectName(QString("But%1").arg(ButCnt_));
  b->setAutoDefault(false);
  b->setDefault(false);
  connect(b, &QPushButton::clicked, this, [this, Result] { done(Result); });

  const int Total = ButCnt_ * ButStep - 10;
  for (int k = 0; k < ButCnt_; ++k)
    FBut[static_cast<size_t>(k)]->setGeometry(FWidth / 2 - Total / 2 + k * ButStep, FHeight - 80,
                                              ButWidth, ButHeight);
  b->show();
}

void TMsgBox::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  FormShow();
}

void TMsgBox::FormShow() {
  if (auto* b = findChild<QPushButton*>("But1")) b->setFocus(Qt::OtherFocusReason);
}

void TMsgBox::keyPressEvent(QKeyEvent* Event) {
  switch (Event->key()) {
  case Qt::Key_Escape:
    Event->accept(); // no cancel button: Escape does nothing
    return;
  case Qt::Key_Return:
  case Qt::Key_Enter:
    // No default button either: Enter presses the focused button.
    if (auto* b = qobject_cast<QPushButton*>(focusWidget()); b && b->parent() == this) {
      b->click();
      Event->accept();
      return;
    }
    Event->accept();
    return;
  default:
    QDialog::keyPressEvent(Event);
  }
}

void TMsgBox::reject() {
  done(mrCancel);
} // closed by the window system: same as "CLOSE"
