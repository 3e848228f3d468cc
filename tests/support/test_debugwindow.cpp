#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <gtest/gtest.h>

#include "support/uDebug.h"

namespace {

QStringList MemoLines(const TDebug& w) {
  return w.Memo()->toPlainText().split('\n', Qt::SkipEmptyParts);
}

TEST(DebugWindow, LooksAsDesigned) {
  TDebugLog Log;
  TDebug w(Log);
  EXPECT_EQ(w.windowTitle(), "Debug");
  EXPECT_EQ(w.size(), QSize(703, 531));
  EXPECT_EQ(w.minimumSize(), w.maximumSize()); // cannot be resized
  EXPECT_FALSE(w.isVisible());
  QPlainTextEdit* Memo = w.findChild<QPlainTextEdit*>("Memo");
  ASSERT_EQ(Memo, w.Memo());
  EXPECT_TRUE(Memo->isReadOnly());
  EXPECT_EQ(Memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(Memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(Memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(Memo->font().pixelSize(), 13);
  EXPECT_TRUE(QFontInfo(Memo->font()).fixedPitch());
}

// The log's font keeps a fixed-pitch face it is given; for a proportional one (what a
// system may put in place of a missing face) it takes the system's fixed-pitch font.
TEST(DebugWindow, LogFontIsAlwaysFixedPitch) {
  QString Proportional;
  for (const QString& F : QFontDatabase::families())
    if (!QFontInfo(QFont(F)).fixedPitch()) {
      Proportional = F;
      break;
    }
  const QString Fixed = QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
  const struct {
    QString Family;
    QString Want; // the family expected, or empty for any fixed-pitch one
  } Cases[] = {
      {"Lucida Console", ""},
      {"No Such Face Anywhere", ""},
      {Proportional, Fixed},
      {Fixed, Fixed},
  };
  for (const auto& c : Cases) {
    if (c.Family.isEmpty()) continue; // a machine with no proportional face at all
    SCOPED_TRACE(c.Family.toStdString());
    const QFont F = DebugLogFont(c.Family);
    EXPECT_EQ(F.pixelSize(), 13);
    EXPECT_TRUE(QFontInfo(F).fixedPitch()) << QFontInfo(F).family().toStdString();
    if (!c.Want.isEmpty()) {
      EXPECT_EQ(QFontInfo(F).family(), c.Want);
    }
  }
}

TEST(DebugWindow, ShowsWhatWasWrittenWhileHiddenAndBefore) {
  TDebugLog Log;
  Log.S("before the window");
  TDebug w(Log);
  Log.S("while hidden");
  Log.F("%d", {5});
  w.show();
  EXPECT_EQ(MemoLines(w), (QStringList{"before the window", "while hidden", "5"}));
}

TEST(DebugWindow, LongLineWrapsButStaysOneLogLine) {
  TDebugLog Log;
  TDebug w(Log);
  w.show();
  Log.S(std::string(400, 'x'));
  EXPECT_EQ(Log.Lines().size(), 1u);
  EXPECT_EQ(w.Memo()->document()->blockCount(), 1);
  EXPECT_GT(w.Memo()->document()->firstBlock().layout()->lineCount(), 1);
}

TEST(DebugWindow, CaretFollowsNewestLine) {
  TDebugLog Log;
  TDebug w(Log);
  w.show();
  for (int i = 0; i < 300; ++i)
    Log.D(i);
  QApplication::processEvents();
  EXPECT_EQ(w.Memo()->textCursor().position(), w.Memo()->document()->characterCount() - 1);
  QScrollBar* Bar = w.Memo()->verticalScrollBar();
  EXPECT_EQ(Bar->value(), Bar->maximum());
}

TEST(DebugWindow, ClosingOnlyHides) {
  TDebugLog Log;
  TDebug w(Log);
  w.show();
  Log.S("a");
  EXPECT_TRUE(w.close());
  EXPECT_FALSE(w.isVisible());
  Log.S("b");
  w.show();
  EXPECT_EQ(MemoLines(w), (QStringList{"a", "b"}));
}

TEST(DebugWindow, DoubleClickClears) {
  TDebugLog Log;
  TDebug w(Log);
  w.show();
  Log.S("a");
  Log.S("b");
  QWidget* Port = w.Memo()->viewport();
  const QPointF At(10, 10);
  QMouseEvent Dbl(QEvent::MouseButtonDblClick, At, Port->mapToGlobal(At), Qt::LeftButton,
                  Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Port, &Dbl);
  EXPECT_TRUE(Log.Lines().empty());
  EXPECT_TRUE(w.Memo()->toPlainText().isEmpty());
  Log.S("first again");
  EXPECT_EQ(MemoLines(w), QStringList{"first again"});
}

} // namespace
