#pragma once
// Answers the program's message box the way a user does: waits for it to show, notes
// its title and text, and presses the button with the given caption.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <memory>

#include "support/uMessageBox.h"

#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& S, std::ostream* Os) {
  *Os << '"' << S.toStdString() << '"';
}

struct TBoxSeen {
  int Count = 0;
  QString Title, Text;
};

inline void AnswerBoxes(const QString& Caption, std::shared_ptr<TBoxSeen> Seen, QObject* Context) {
  auto* Poll = new QTimer(Context);
  QObject::connect(Poll, &QTimer::timeout, Context, [Caption, Seen] {
    auto* Box = qobject_cast<TMsgBox*>(QApplication::activeModalWidget());
    if (!Box || !Box->isVisible()) return;
    for (QPushButton* B : Box->But())
      if (B->text() == Caption) {
        ++Seen->Count;
        Seen->Title = Box->windowTitle();
        Seen->Text = Box->InfoLabel()->text();
        B->click();
        return;
      }
  });
  Poll->start(20);
}
