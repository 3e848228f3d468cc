#pragma once
// The debug log window: shows what the log (TDebugLog) holds and follows it.
#include <QWidget>

#include "uDebugLog.h"

class QPlainTextEdit;

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
