#pragma once
// The run's view: the window's controls as the flash job's observer, and the relay that
// brings the run's log lines to the window's log. The job runs on a thread of its own;
// every report is queued to the window's thread in the order the job made it, so the
// window shows what it always showed while its event loop runs undisturbed.
#include <string>

#include "flash/uFlashJob.h"
#include "support/uDebugLog.h"

class QObject;
class TMain;

// Passes every line the run logs to the window's log, on the window's thread.
class TRunLogRelay : public IDebugView {
public:
  TRunLogRelay(QObject& Context, TDebugLog& Log) : FContext(Context), FLog(Log) {}
  void LineAdded(const std::string& Line) override;
  void Cleared() override {} // the run's copy only: the window's log keeps its lines

private:
  QObject& FContext;
  TDebugLog& FLog;
};

class TMainRunView : public IFlashObserver {
public:
  explicit TMainRunView(TMain& Main) : M(Main) {}
  void SetJob(const TFlashJob* Job) { FJob = Job; }

  void Status(const std::string& Text) override;
  void Led(bool On) override;
  void Mac(const std::string& Text) override;
  void ProgressMax(uint32_t Max) override;
  void ProgressPos(uint32_t Pos) override;
  void ProgressVisible(bool Visible) override;
  // The box is shown by the window's thread; the job waits for the answer, and gives
  // up waiting (no erase) once it is told to stop.
  bool ConfirmErase() override;
  void Finished(const TFlashResult& Result) override;

private:
  template <class F> void Post(F Fn);
  TMain& M;
  const TFlashJob* FJob = nullptr;
};
