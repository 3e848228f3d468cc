#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <gtest/gtest.h>

#include "support/uMessageBox.h"

namespace {

TEST(MsgBoxLayout, WorkedLayouts) {
  const TMsgBoxLayout Err = MsgBoxLayout(true, 200, 18, 1);
  EXPECT_EQ(Err.LabelLeft, 68);
  EXPECT_EQ(Err.Width, 288);
  EXPECT_EQ(Err.Height, 150);
  EXPECT_EQ(Err.ButTop, 70);
  EXPECT_EQ(Err.ButLeft, std::vector<int>{104});

  const TMsgBoxLayout Conf = MsgBoxLayout(true, 90, 18, 2);
  EXPECT_EQ(Conf.Width, 280);
  EXPECT_EQ(Conf.ButLeft, (std::vector<int>{55, 145}));

  const TMsgBoxLayout Six = MsgBoxLayout(true, 10, 18, 6);
  EXPECT_EQ(Six.ButLeft.back() + 80 - Six.ButLeft.front(), 530);
  EXPECT_EQ(Six.ButLeft.front(), 140 - 265);

  EXPECT_EQ(MsgBoxLayout(true, 10, 72, 1).Height, 157);
  EXPECT_EQ(MsgBoxLayout(true, 10, 54, 1).Height, 150);
  EXPECT_EQ(MsgBoxLayout(false, 10, 18, 1).LabelLeft, 20);
  EXPECT_EQ(MsgBoxLayout(false, 300, 18, 1).Width, 340);
}

// What the box looked like while it was up.
struct Seen {
  QString Title;
  QStringList Captions;
  QStringList Names;
  QString Focus;
  bool ImgVisible = false;
  QRect Label;
  QList<QRect> Buttons;
  QSize Size;
  QPoint Pos;
  QImage Icon;
};

// Runs Execute; while the box is shown, records it and then lets Act close it.
int RunBox(TMsgBox& Box, Seen& S, const std::function<void(TMsgBox&)>& Act, const QString& Text,
           TMsgDlgType Type, const QString& Title, TMsgBut Buttons, bool Beep = false) {
  QTimer::singleShot(0, &Box, [&] {
    S.Title = Box.windowTitle();
    for (QPushButton* b : Box.But()) {
      S.Captions << b->text();
      S.Names << b->objectName();
      S.Buttons << b->geometry();
    }
    if (QWidget* f = Box.focusWidget()) S.Focus = f->objectName();
    S.ImgVisible = !Box.Img()->isHidden();
    S.Label = Box.InfoLabel()->geometry();
    S.Size = Box.size();
    S.Pos = Box.pos();
    S.Icon = Box.Img()->pixmap().toImage();
    Act(Box);
  });
  // Never hang the suite: a box still open after a while is closed with a marker.
  QTimer Guard;
  Guard.setSingleShot(true);
  QObject::connect(&Guard, &QTimer::timeout, &Box, [&] { Box.done(-99); });
  Guard.start(5000);
  return Box.Execute(Text, Type, Title, Buttons, Beep);
}

auto Click(const char* Name) {
  return [Name](TMsgBox& Box) { Box.findChild<QPushButton*>(Name)->click(); };
}

TEST(MsgBox, ErrorReport) {
  TMsgBox Box;
  int Beeps = 0;
  Box.Beeper = [&] { ++Beeps; };
  Seen S;
  const int r =
      RunBox(Box, S, Click("But1"), "No Device Found!", mtError, "Error", MsgBut(mbClose), true);
  EXPECT_EQ(r, 2);
  EXPECT_EQ(Beeps, 1);
  EXPECT_EQ(S.Title, "Error");
  EXPECT_EQ(S.Captions, QStringList{"CLOSE"});
  EXPECT_EQ(S.Names, QStringList{"But1"});
  EXPECT_EQ(S.Focus, "But1");
  EXPECT_TRUE(S.ImgVisible);
  // The window follows the layout arithmetic for the label the text needs.
  const TMsgBoxLayout L = MsgBoxLayout(true, S.Label.width(), 18, 1);
  EXPECT_EQ(S.Label, QRect(68, 8, S.Label.width(), 18));
  EXPECT_EQ(S.Size, QSize(L.Width, L.Height));
  EXPECT_EQ(S.Buttons, QList<QRect>{QRect(L.ButLeft[0], 70, 80, 25)});
  // The error sign: red disc, transparent corner.
  EXPECT_EQ(S.Icon.size(), QSize(32, 32));
  EXPECT_EQ(S.Icon.pixelColor(0, 0).alpha(), 0);
  const QColor Disc = S.Icon.pixelColor(5, 16);
  EXPECT_GT(Disc.red(), 150);
  EXPECT_LT(Disc.blue(), 100);
  // The buttons of a call are gone afterwards.
  EXPECT_TRUE(Box.findChildren<QPushButton*>().isEmpty());
  EXPECT_FALSE(Box.isVisible());
}

TEST(MsgBox, EraseConfirmation) {
  TMsgBox Box;
  int Beeps = 0;
  Box.Beeper = [&] { ++Beeps; };
  for (const auto& [Button, Want] : {std::pair{"But1", 6}, std::pair{"But2", 7}}) {
    Seen S;
    EXPECT_EQ(RunBox(Box, S, Click(Button), "Erase Flash?", mtConfirmation, "ERASE",
                     MsgBut({mbYes, mbNo}), false),
              Want);
    EXPECT_EQ(S.Title, "ERASE");
    EXPECT_EQ(S.Captions, (QStringList{"YES", "NO"}));
    EXPECT_EQ(S.Names, (QStringList{"But1", "But2"}));
    EXPECT_EQ(S.Focus, "But1");
    EXPECT_EQ(S.Size, QSize(280, 150));
    EXPECT_EQ(S.Buttons, (QList<QRect>{QRect(55, 70, 80, 25), QRect(145, 70, 80, 25)}));
    EXPECT_GT(S.Icon.pixelColor(5, 16).blue(), 150);
  }
  EXPECT_EQ(Beeps, 0);
}

TEST(MsgBox, KindCaptionsAndIcons) {
  struct Kind {
    TMsgDlgType Type;
    const char* Caption;
    bool Icon;
  };
  const Kind Kinds[] = {{mtWarning, "Warning", true},
                        {mtError, "Error", true},
                        {mtInformation, "Information", true},
                        {mtConfirmation, "Confirmation", true},
                        {mtCustom, "Message", false}};
  TMsgBox Box;
  for (const Kind& k : Kinds) {
    Seen S;
    RunBox(Box, S, Click("But1"), "x", k.Type, "", MsgBut(mbOK));
    EXPECT_EQ(S.Title, k.Caption);
    EXPECT_EQ(S.ImgVisible, k.Icon) << k.Caption;
    EXPECT_EQ(S.Label.left(), k.Icon ? 68 : 20) << k.Caption;
    if (k.Icon) {
      EXPECT_GT(S.Icon.pixelColor(16, 16).alpha(), 0) << k.Caption;
    }
  }
}

TEST(MsgBox, AllButtonsInOrderWithTheirResults) {
  const QStringList Order = {"CLOSE", "YES", "NO", "OK", "IGNORE", "CANCEL"};
  const int Results[] = {2, 6, 7, 1, 5, 3};
  TMsgBox Box;
  for (int k = 0; k < 6; ++k) {
    Seen S;
    const QByteArray Name = "But" + QByteArray::number(k + 1);
    EXPECT_EQ(RunBox(Box, S, Click(Name.constData()), "pick", mtInformation, "", 0x3F), Results[k]);
    EXPECT_EQ(S.Captions, Order);
    EXPECT_EQ(S.Buttons.back().right() + 1 - S.Buttons.front().left(), 530);
  }
}

TEST(MsgBox, KeyboardAndWindowSystemClose) {
  TMsgBox Box;
  Seen S;
  // Escape does nothing; Enter presses the focused button.
  auto Keys = [](TMsgBox& B) {
    QKeyEvent Esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&B, &Esc);
    if (!B.isVisible()) return;
    B.findChild<QPushButton*>("But2")->setFocus();
    QKeyEvent Enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&B, &Enter);
  };
  EXPECT_EQ(RunBox(Box, S, Keys, "?", mtConfirmation, "", MsgBut({mbYes, mbNo})), 7);
  for (QPushButton* b : Box.findChildren<QPushButton*>())
    EXPECT_FALSE(b->isDefault());
  // A close by the window system answers like "CLOSE".
  EXPECT_EQ(
      RunBox(
          Box, S, [](TMsgBox& B) { B.close(); }, "?", mtConfirmation, "", MsgBut({mbYes, mbNo})),
      2);
}

TEST(MsgBox, MultiLineTextSizesTheBox) {
  TMsgBox Box;
  Seen Four, Three;
  RunBox(Box, Four, Click("But1"), "1\n2\n3\n4", mtError, "", MsgBut(mbClose));
  EXPECT_EQ(Four.Label.height(), 72);
  EXPECT_EQ(Four.Size.height(), 157);
  EXPECT_EQ(Four.Buttons.front().top(), 77);
  RunBox(Box, Three, Click("But1"), "1\r\n2\r\n3", mtError, "", MsgBut(mbClose));
  EXPECT_EQ(Three.Label.height(), 54);
  EXPECT_EQ(Three.Size.height(), 150);
  // A long line widens the box; markup is shown as it stands.
  Seen Wide;
  RunBox(Box, Wide, Click("But1"), QString(200, 'W') + "<b>", mtError, "", MsgBut(mbClose));
  EXPECT_GT(Wide.Size.width(), 288);
  EXPECT_EQ(Wide.Size.width(), 68 + Wide.Label.width() + 20);
  EXPECT_TRUE(Box.InfoLabel()->text().endsWith("<b>"));
  EXPECT_EQ(Box.InfoLabel()->textFormat(), Qt::PlainText);
}

TEST(MsgBox, CentredOverMainWindowButNotOffTheDesktop) {
  QWidget Main;
  Main.setGeometry(100, 120, 601, 401);
  TMsgBox Box(&Main);
  Seen S;
  RunBox(Box, S, Click("But1"), "x", mtError, "", MsgBut(mbClose));
  const QRect F = Main.frameGeometry();
  EXPECT_EQ(S.Pos, QPoint(F.left() + (F.width() - 280) / 2, F.top() + (F.height() - 150) / 2));

  Main.setGeometry(-900, -900, 300, 300);
  RunBox(Box, S, Click("But1"), "x", mtError, "", MsgBut(mbClose));
  const QRect Desk = QGuiApplication::primaryScreen()->virtualGeometry();
  EXPECT_EQ(S.Pos, Desk.topLeft());
}

// A message raised while the box waits for an answer (an error from a handler that
// ran during the modal wait) is answered on its own; the open question keeps its buttons.
TEST(MsgBox, NestedCallLeavesTheOpenBoxIntact) {
  TMsgBox Box;
  int Inner = -1;
  QString NestedText;
  QStringList OuterCaptions;
  QString OuterTitle;
  QTimer::singleShot(0, &Box, [&] {
    QTimer::singleShot(0, &Box, [&] {
      auto* Nested = qobject_cast<TMsgBox*>(QApplication::activeModalWidget());
      if (!Nested || Nested == &Box || Nested->But().empty()) return;
      NestedText = Nested->InfoLabel()->text();
      Nested->But().front()->click();
    });
    Inner = Box.Execute("second", mtError, "", MsgBut(mbClose), false);
    for (QPushButton* b : Box.But())
      OuterCaptions << b->text();
    OuterTitle = Box.windowTitle();
    if (auto* No = Box.findChild<QPushButton*>("But2")) No->click();
  });
  QTimer Guard;
  Guard.setSingleShot(true);
  QObject::connect(&Guard, &QTimer::timeout, &Box, [&] {
    if (auto* M = qobject_cast<QDialog*>(QApplication::activeModalWidget()); M && M != &Box)
      M->done(-98);
    Box.done(-99);
  });
  Guard.start(5000);
  const int Outer =
      Box.Execute("Erase Flash?", mtConfirmation, "ERASE", MsgBut({mbYes, mbNo}), false);
  EXPECT_EQ(Inner, 2);
  EXPECT_EQ(NestedText, "second");
  EXPECT_EQ(OuterCaptions, (QStringList{"YES", "NO"}));
  EXPECT_EQ(OuterTitle, "ERASE");
  EXPECT_EQ(Outer, 7);
  EXPECT_TRUE(Box.findChildren<QPushButton*>().isEmpty());
}

TEST(MsgBox, EmptyButtonSetStillOffersAWayOut) {
  TMsgBox Box;
  Seen S;
  EXPECT_EQ(RunBox(Box, S, Click("But1"), "x", mtInformation, "", 0), 1);
  EXPECT_EQ(S.Captions, QStringList{"OK"});
}

} // namespace
