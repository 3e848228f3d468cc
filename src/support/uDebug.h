#pragma once
// The debug log window: shows what the log (TDebugLog) holds and follows it.
#include <QFont>
#include <QString>
#include <QWidget>

#include "uDebugLog.h"

class QPlainTextEdit;

// The log's font: Family 13 pixels high where the face found for it is fixed-pitch;
// else (the face is missing and the system put a proportional one in its place) the
// system's fixed-pitch font at that height.
QFont DebugLogFont(const QString& Family = QStringLiteral("Lucida Console"));

class TDebug : public QWidget, public IDebugView {
  Q_OBJECT
public:
  explicit TDebug(TDebugLog& Log, QWidget* Parent = nullptr);
  ~TDebug() override;

  TDebugLog& Log() { return FLog; }
  QPlainTextEdit* Memo() const { return FMemo; }

  // IDebugView
  void LineAdded(const std::string& Line) override;
  void Cleared() override;

  // The user double-clicked the log: everything goes.
  void MemoDblClick();

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  TDebugLog& FLog;
  QPlainTextEdit* FMemo;
};
