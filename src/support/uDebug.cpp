#include "uDebug.h"

#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

QFont DebugLogFont(const QString& Family) {
  QFont Font(Family);
  Font.setStyleHint(QFont::Monospace);
  Font.setPixelSize(13);
  // The style hint alone is not enough: where the face is missing, some systems
  // substitute a proportional face anyway, and the hex dumps lose their columns.
  if (QFontInfo(Font).fixedPitch()) return Font;
  QFont Fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  Fixed.setPixelSize(13);
  return Fixed;
}

TDebug::TDebug(TDebugLog& Log, QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint), FLog(Log),
      FMemo(new QPlainTextEdit(this)) {
  setWindowTitle("Debug");
  setObjectName("Debug");
  // Only the main window ends the program; closing this one merely hides it.
  setAttribute(Qt::WA_QuitOnClose, false);
  setFixedSize(703, 531);
  move(1237, 221);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  auto* Lay = new QVBoxLayout(this);
  Lay->setContentsMargins(0, 0, 0, 0);
  Lay->addWidget(FMemo);

  FMemo->setObjectName("Memo");
  FMemo->setReadOnly(true);
  FMemo->setUndoRedoEnabled(false);
  FMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  FMemo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  FMemo->setFont(DebugLogFont());
  // Double-clicks reach the text area's viewport, not the edit itself.
  FMemo->viewport()->installEventFilter(this);

  // Whatever was logged before the window existed shows as well.
  for (const std::string& Line : FLog.Lines())
    FMemo->appendPlainText(QString::fromStdString(Line));
  FLog.SetView(this);
}

TDebug::~TDebug() {
  FLog.SetView(nullptr);
}

void TDebug::LineAdded(const std::string& Line) {
  FMemo->appendPlainText(QString::fromStdString(Line));
  // The caret goes behind the newest line so that a shown window follows the log.
  FMemo->moveCursor(QTextCursor::End);
  FMemo->ensureCursorVisible();
}

void TDebug::Cleared() {
  FMemo->clear();
}

void TDebug::MemoDblClick() {
  FLog.C();
}

bool TDebug::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FMemo->viewport() && Event->type() == QEvent::MouseButtonDblClick) {
    MemoDblClick();
    return true;
  }
  return QWidget::eventFilter(Watched, Event);
}
