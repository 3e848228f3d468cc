#include "uMainRunView.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>

#include "support/uMessageBox.h"
#include "uMain.h"

void TRunLogRelay::LineAdded(const std::string& Line) {
  TDebugLog* Log = &FLog;
  QMetaObject::invokeMethod(
      &FContext, [Log, Line] { Log->S(Line); }, Qt::QueuedConnection);
}

template <class F> void TMainRunView::Post(F Fn) {
  TMain* W = &M;
  QMetaObject::invokeMethod(
      W, [W, Fn = std::move(Fn)] { Fn(*W); }, Qt::QueuedConnection);
}

void TMainRunView::Status(const std::string& Text) {
  Post([Text](TMain& W) { W.SetStatusText(Text); });
}

void TMainRunView::Led(bool On) {
  Post([On](TMain& W) { W.SetLed(On); });
}

void TMainRunView::Mac(const std::string& Text) {
  Post([Text](TMain& W) { W.LabMac->setText(QString::fromStdString(Text)); });
}

void TMainRunView::ProgressMax(uint32_t Max) {
  const int V = static_cast<int>(std::min<uint32_t>(Max, INT32_MAX));
  Post([V](TMain& W) { W.pBar->setMaximum(V); });
}

void TMainRunView::ProgressPos(uint32_t Pos) {
  const int V = static_cast<int>(std::min<uint32_t>(Pos, INT32_MAX));
  Post([V](TMain& W) { W.pBar->setValue(V); });
}

void TMainRunView::ProgressVisible(bool Visible) {
  Post([Visible](TMain& W) { W.pBar->setVisible(Visible); });
}

bool TMainRunView::ConfirmErase() {
  auto Answer = std::make_shared<std::promise<bool>>();
  std::future<bool> Got = Answer->get_future();
  Post([Answer](TMain& W) {
    bool Yes = false;
    try {
      Yes = W.AskErase() == mrYes;
    } catch (...) {
      Answer->set_value(false);
      throw; // shown by the application's error display
    }
    Answer->set_value(Yes);
  });
  while (Got.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
    if (FJob && FJob->StopRequested()) return false;
  return Got.get();
}

void TMainRunView::Finished(const TFlashResult& Result) {
  Post([Result](TMain& W) { W.EndRun(Result); });
}
