#include "uFormStorage.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include "uIniFile.h"

namespace {

int CurrentPixelsPerInch(const QWidget& w) {
  const QScreen* s = w.screen() ? w.screen() : QGuiApplication::primaryScreen();
  return s ? qRound(s->logicalDotsPerInch()) : 96;
}

// The window's normal (restored) rectangle, frame included, as left, top, right, bottom.
QRect NormalFrame(const QWidget& w) {
  const QRect Frame = w.frameGeometry();
  if (!(w.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)))
    return Frame;
  const QRect Normal = w.normalGeometry();
  if (!Normal.isValid()) return Frame;
  const QPoint Off = w.geometry().topLeft() - Frame.topLeft();
  return QRect(Normal.topLeft() - Off, Frame.size());
}

} // namespace

QString TFormStorage::DesktopSuffix() {
  const QScreen* s = QGuiApplication::primaryScreen();
  const QSize Size = s ? s->virtualGeometry().size() : QSize(0, 0);
  return QStringLiteral("(%1x%2)").arg(Size.width()).arg(Size.height());
}

int TFormStorage::PosItem(const QString& Text, int Index, int Fallback) {
  const QStringList Items = Text.split(QChar(','));
  int32_t v = 0;
  if (Index < Items.size() && IniTryStrToInt(Items[Index].trimmed().toStdString(), v) &&
      !Items[Index].trimmed().isEmpty())
    return v;
  return Fallback;
}

QString TFormStorage::ReadPos(const QString& Key) const {
  const QString Sized = Key + DesktopSuffix();
  if (FIni.ValueExists(FSection, Sized)) return FIni.ReadString(FSection, Sized, QString());
  if (FIni.ValueExists(FSection, Key)) return FIni.ReadString(FSection, Key, QString());
  return QString();
}

void TFormStorage::RestorePlacement() {
  if (FIni.ReadInteger(FSection, QStringLiteral("FormVersion"), 0) < 0) return;
  FIni.ReadInteger(FSection, QStringLiteral("Flags"), 0); // no placement flags under Qt

  // The minimised position has no meaning under Qt: read, but nothing to apply.
  const QString MinMax = ReadPos(QStringLiteral("MinMaxPos"));

  const QString Norm = ReadPos(QStringLiteral("NormPos"));
  if (!MinMax.isNull() || !Norm.isNull()) {
    const QRect Cur = FForm.frameGeometry();
    QRect r = Cur;
    if (!Norm.isNull()) r.moveTo(PosItem(Norm, 0, Cur.left()), PosItem(Norm, 1, Cur.top()));
    const int Ppi = CurrentPixelsPerInch(FForm);
    const int SavedPpi = FIni.ReadInteger(FSection, QStringLiteral("PixelsPerInch"), Ppi);
    // Right and bottom as the placement record has them: one past the last pixel.
    const QPoint BottomRight(r.left() + r.width() - 1, r.top() + r.height() - 1);
    if (!Norm.isNull() && SavedPpi == Ppi && r.width() > 0 &&
        QGuiApplication::screenAt(r.topLeft()) && QGuiApplication::screenAt(BottomRight))
      FForm.move(r.topLeft()); // moved windows keep their place instead of the system's
  }

  const int Cmd = FIni.ReadInteger(FSection, QStringLiteral("ShowCmd"),
                                   FForm.isMinimized()   ? 2
                                   : FForm.isMaximized() ? 3
                                                         : 1);
  Qt::WindowStates St = FForm.windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
  if (Cmd == 2 || Cmd == 6 || Cmd == 7)
    St |= Qt::WindowMinimized;
  else if (Cmd == 3)
    St |= Qt::WindowMaximized;
  FForm.setWindowState(St);

  const QString Active = FIni.ReadString(FSection, QStringLiteral("ActiveControl"), QString());
  if (!Active.isEmpty())
    if (QWidget* w = FForm.findChild<QWidget*>(Active))
      if (w->isEnabled() && w->focusPolicy() != Qt::NoFocus) w->setFocus();
}

void TFormStorage::SavePlacement() {
  const bool Min = FForm.isMinimized();
  const int Cmd = Min ? 2 : FForm.isMaximized() ? 3 : 1;
  // As the placement record's flag "restore to maximised" for a minimised maximised window.
  const int Flags = Min && (FForm.windowState() & Qt::WindowMaximized) ? 2 : 0;
  const QRect r = NormalFrame(FForm);
  const QString Suffix = DesktopSuffix();
  const QString MinMax = QStringLiteral("-1,-1,-1,-1"); // as for a window never minimised
  const QString Norm = QStringLiteral("%1,%2,%3,%4")
                           .arg(r.left())
                           .arg(r.top())
                           .arg(r.left() + r.width())
                           .arg(r.top() + r.height());
  FIni.WriteInteger(FSection, QStringLiteral("FormVersion"), 0);
  FIni.WriteInteger(FSection, QStringLiteral("ShowCmd"), Cmd);
  FIni.WriteInteger(FSection, QStringLiteral("Flags"), Flags);
  FIni.WriteInteger(FSection, QStringLiteral("PixelsPerInch"), CurrentPixelsPerInch(FForm));
  FIni.WriteString(FSection, QStringLiteral("MinMaxPos") + Suffix, MinMax);
  FIni.WriteString(FSection, QStringLiteral("MinMaxPos"), MinMax);
  FIni.WriteString(FSection, QStringLiteral("NormPos") + Suffix, Norm);
  FIni.WriteString(FSection, QStringLiteral("NormPos"), Norm);
  const QWidget* Focus = FForm.focusWidget();
  if (Focus && Focus != &FForm && !Focus->objectName().isEmpty())
    FIni.WriteString(FSection, QStringLiteral("ActiveControl"), Focus->objectName());
}
