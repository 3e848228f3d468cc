// The port list of the real window: network ports from the settings, natural order,
// selection of the saved port and its survival across a refresh.
#include <gtest/gtest.h>

#include "../settings/main_rig.h"

namespace {

QByteArray IniWith(const char* NetPorts, const char* ComPort) {
  return QByteArray("[CONFIG]\r\nNetPorts=") + NetPorts + "\r\nComPort=" + ComPort + "\r\n";
}

const char* Net = "rfc2217://localhost:10, rfc2217://localhost:9,bogus, rfc2217://LOCALHOST:9";

} // namespace

TEST(PortCombo, NetPortsListedInNaturalOrderAndSavedOneSelectedIgnoringCase) {
  TMainRig Rig(IniWith(Net, "RFC2217://LocalHost:10"));
  Rig.Show();
  const QStringList Items = Rig.Items();
  const qsizetype i9 = Items.indexOf("rfc2217://localhost:9");
  const qsizetype i10 = Items.indexOf("rfc2217://localhost:10");
  ASSERT_GE(i9, 0);
  ASSERT_GE(i10, 0);
  EXPECT_LT(i9, i10);
  EXPECT_FALSE(Items.contains("bogus"));
  EXPECT_EQ(Items.filter("rfc2217://localhost:9", Qt::CaseInsensitive).size(), 1);
  EXPECT_EQ(Rig.Main->cbPort->currentText(), "rfc2217://localhost:10");
  EXPECT_EQ(Rig.Main->cbPort->toolTip(), "rfc2217://localhost:10");
  EXPECT_TRUE(Rig.Boxes.isEmpty());
#ifndef _WIN32
  // A local port is listed by its short name; the tooltip names the device it opens.
  for (int i = 0; i < Items.size(); ++i)
    if (!Items[i].contains("://")) {
      Rig.Main->cbPort->setCurrentIndex(i);
      EXPECT_EQ(Rig.Main->cbPort->toolTip(), "/dev/" + Items[i]);
    }
#endif
}

TEST(PortCombo, VanishedSavedPortSelectsFirstItem) {
  TMainRig Rig(IniWith(Net, "ttyGONE7"));
  Rig.Show();
  EXPECT_EQ(Rig.Main->cbPort->currentIndex(), 0);
}

TEST(PortCombo, OpeningTheListRefreshesAndKeepsTheSelection) {
  TMainRig Rig(IniWith(Net, ""));
  Rig.Show();
  // Never the first item (localhost:9 sorts before it), so a refresh that fell back to
  // the first item would show.
  Rig.Main->cbPort->setCurrentText("rfc2217://localhost:10");
  ASSERT_GT(Rig.Main->cbPort->currentIndex(), 0);
  const QStringList Before = Rig.Items();
  Rig.Main->cbPortDropDown();
  EXPECT_EQ(Rig.Items(), Before);
  EXPECT_EQ(Rig.Main->cbPort->currentText(), "rfc2217://localhost:10");
}

TEST(PortCombo, SavedPortWrittenBackAndNetPortsKeptUnchanged) {
  TMainRig Rig(IniWith(Net, "rfc2217://localhost:9"));
  Rig.Show();
  Rig.CloseAndSave();
  const QByteArray Out = Rig.IniBytes();
  EXPECT_TRUE(Out.contains(QByteArray("NetPorts=") + Net + "\r\n")) << Out.constData();
  EXPECT_TRUE(Out.contains("ComPort=rfc2217://localhost:9\r\n")) << Out.constData();
}

int main(int argc, char** argv) {
  return RunGuiTests(argc, argv);
}
