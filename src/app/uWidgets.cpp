#include "uWidgets.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <algorithm>

#include "support/uArt.h"
#include "support/uFileName.h"

int TagOf(const QObject* Obj) {
  return Obj ? Obj->property("Tag").toInt() : 0;
}

QFont CalibriFont(int PixelSize, bool Bold) {
  QFont F("Calibri");
  F.setPixelSize(PixelSize);
  F.setBold(Bold);
  return F;
}

// ---------------------------------------------------------------- file edit

TFileEdit::TFileEdit(QWidget* Parent) : QLineEdit(Parent) {
  setReadOnly(true);
  FBrowse = addAction(QIcon(ArtFile(":/app/browse.svg")), QLineEdit::TrailingPosition);
  FBrowse->setObjectName("Browse");
  FBrowse->setToolTip("Browse");
  connect(FBrowse, &QAction::triggered, this, [this] { Browse(); });
}

void TFileEdit::SetPasses(bool Pass) {
  FPasses = Pass;
  // Light red for a file that fails, else the system's standard window colour.
  QPalette p = palette();
  p.setColor(QPalette::Base,
             Pass ? QApplication::palette().color(QPalette::Base) : QColor(255, 192, 192));
  setPalette(p);
}

void TFileEdit::BrowseStart(QString& Dir, QString& File) const {
  const QString Name = QString::fromStdString(Unquoted(text().toStdString()));
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

// ---------------------------------------------------------------- lamp, footer, status bar

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

// ---------------------------------------------------------------- port list

void TPortCombo::showPopup() {
  if (OnDropDown) OnDropDown();
  // The popup is as wide as its longest entry.
  int Widest = width();
  for (int i = 0; i < count(); ++i)
    Widest = std::max(Widest, fontMetrics().horizontalAdvance(itemText(i)) + 30);
  view()->setMinimumWidth(Widest);
  QComboBox::showPopup();
}
