// The settings as the real window reads and writes them: the first-run file, conversion
// errors at start-up, unsigned fields, an ignored file, and the saved placement.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "main_rig.h"
#include "support/uDebug.h"
#include "uFormStorage.h"

namespace {

QList<QByteArray> Lines(const QByteArray& Data) {
  return Data.split('\n');
}

QByteArray ConfigAndFiles(const QString& Port) {
  return "[CONFIG]\r\nComPort=" + Port.toUtf8() +
         "\r\nConnBaud=115200\r\nFastBaud=921600\r\nFastFirst=TRUE\r\nSlowLow=1400\r\n"
         "SlowHigh=500\r\nFastLow=150\r\nFastHigh=100\r\nDoBeep=TRUE\r\nAutoErase=TRUE\r\nUseStub="
         "TRUE\r\n\r\n"
         "[FILES]\r\nBootloader=\r\nPartitions=\r\nFirmware=\r\n\r\n";
}

int Ppi() {
  return qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
}

} // namespace

TEST(SettingsWindow, FirstRunWritesAllSectionsAndKeysInOrder) {
  TMainRig Rig; // no settings file
  Rig.Show();
  EXPECT_TRUE(Rig.Main->chkAutoErase->isChecked());
  Rig.CloseAndSave();
  const QByteArray Out = Rig.IniBytes();
  const QString S = TFormStorage::DesktopSuffix();
  const QByteArray Tail = ConfigAndFiles(Rig.Main->cbPort->currentText());
  ASSERT_TRUE(Out.endsWith(Tail)) << Out.constData();
  const QList<QByteArray> Main = Lines(Out.left(Out.size() - Tail.size()));
  const QRect F = Rig.Main->frameGeometry();
  const QByteArray Norm = QString("%1,%2,%3,%4")
                              .arg(F.left())
                              .arg(F.top())
                              .arg(F.left() + F.width())
                              .arg(F.top() + F.height())
                              .toUtf8();
  QList<QByteArray> Want = {"[Main]\r",
                            "FormVersion=0\r",
                            "ShowCmd=1\r",
                            "Flags=0\r",
                            "PixelsPerInch=" + QByteArray::number(Ppi()) + "\r",
                            "MinMaxPos" + S.toUtf8() + "=-1,-1,-1,-1\r",
                            "MinMaxPos=-1,-1,-1,-1\r",
                            "NormPos" + S.toUtf8() + "=" + Norm + "\r",
                            "NormPos=" + Norm + "\r"};
  if (Main.size() == 12)
    Want << "ActiveControl=" + Rig.Main->focusWidget()->objectName().toUtf8() + "\r";
  Want << "\r"
       << "";
  EXPECT_EQ(Main, Want) << Out.constData();
}

TEST(SettingsWindow, InvalidIntegersReportedAndDefaultsTaken) {
  TMainRig Rig("[config]\r\nconnbaud=fast\r\nFastBaud=$1C200\r\nSlowLow=0x10\r\n"
               "DoBeep=perhaps\r\nAutoErase=no\r\nFastFirst=N\r\n");
  Rig.Show();
  EXPECT_EQ(Rig.Boxes,
            QStringList({QString::fromUtf8("'fast' ist kein gültiger Integerwert (ConnBaud)"),
                         QString::fromUtf8("'perhaps' ist kein gültiger Integerwert (DoBeep)")}));
  const TConfig& C = Rig.Main->Config();
  EXPECT_EQ(C.ConnBaud, 115200u);
  EXPECT_EQ(C.FastBaud, 115200u);
  EXPECT_EQ(C.SlowLow, 16u);
  EXPECT_TRUE(C.DoBeep);
  EXPECT_FALSE(C.FastFirst);
  EXPECT_FALSE(Rig.Main->chkAutoErase->isChecked());
  // Start-up went on to its end.
  EXPECT_EQ(Rig.Main->sBar->PanelText(1), "ESP32");
  EXPECT_TRUE(Rig.Main->Timer1->isActive());
}

TEST(SettingsWindow, UnsignedFieldsStoredAsTheirSignedBits) {
  QByteArray Saved;
  {
    TMainRig Rig("[CONFIG]\r\nFastBaud=2000000\r\n");
    Rig.Show();
    Rig.Main->FConfig.ConnBaud = 4294967295u;
    Rig.CloseAndSave();
    Saved = Rig.IniBytes();
  }
  EXPECT_TRUE(Saved.contains("\r\nConnBaud=-1\r\n")) << Saved.constData();
  // Read back, a value beyond every serial rate is refused and the default taken.
  TMainRig Again(Saved);
  Again.Show();
  EXPECT_EQ(Again.Boxes,
            QStringList({QString::fromUtf8(
                "'-1' liegt nicht im gültigen Bereich von 9600 bis 5000000 (ConnBaud)")}));
  EXPECT_EQ(Again.Main->Config().ConnBaud, 115200u);
  EXPECT_EQ(Again.Main->Config().FastBaud, 2000000u);
}

// Every number of the connection settings has a range; a value outside it is reported
// with the key, the value and the range, and the default is taken. Values that kept a
// run in the connect sequence for ever (-1 read as 4294967295 ms) are among them.
TEST(SettingsWindow, ValuesOutsideTheirRangeReportedAndDefaultsTaken) {
  const struct {
    const char* Key;
    uint32_t TConfig::*Field;
    const char* Value;
    int64_t Read; // -1: refused, the default stands
  } Cases[] = {
      {"ConnBaud", &TConfig::ConnBaud, "9600", 9600},
      {"ConnBaud", &TConfig::ConnBaud, "9599", -1},
      {"ConnBaud", &TConfig::ConnBaud, "0", -1},
      {"FastBaud", &TConfig::FastBaud, "5000000", 5000000},
      {"FastBaud", &TConfig::FastBaud, "5000001", -1},
      {"FastBaud", &TConfig::FastBaud, "-921600", -1},
      {"SlowLow", &TConfig::SlowLow, "-1", -1},
      {"SlowLow", &TConfig::SlowLow, "5000", 5000},
      {"SlowHigh", &TConfig::SlowHigh, "5001", -1},
      {"SlowHigh", &TConfig::SlowHigh, "0", 0},
      {"FastLow", &TConfig::FastLow, "-1", -1},
      {"FastLow", &TConfig::FastLow, "$FFFFFFFF", -1},
      {"FastHigh", &TConfig::FastHigh, "99999999", -1},
      {"FastHigh", &TConfig::FastHigh, "2147483647", -1},
  };
  const auto Range = [](const std::string& Key) {
    return Key.find("Baud") != std::string::npos ? "9600 bis 5000000" : "0 bis 5000";
  };
  for (const auto& c : Cases) {
    TMainRig Rig(QByteArray("[CONFIG]\r\n") + c.Key + "=" + c.Value + "\r\n");
    Rig.Show();
    const uint32_t Got = Rig.Main->Config().*(c.Field);
    if (c.Read >= 0) {
      EXPECT_TRUE(Rig.Boxes.isEmpty()) << c.Key << "=" << c.Value;
      EXPECT_EQ(Got, c.Read) << c.Key << "=" << c.Value;
    } else {
      EXPECT_EQ(Rig.Boxes, QStringList({QString::fromUtf8("'%1' liegt nicht im gültigen Bereich "
                                                          "von %2 (%3)")
                                            .arg(c.Value, Range(c.Key), c.Key)}))
          << c.Key << "=" << c.Value;
      EXPECT_EQ(Got, TConfig().*(c.Field)) << c.Key << "=" << c.Value;
    }
    // Start-up went on to its end.
    EXPECT_TRUE(Rig.Main->Timer1->isActive()) << c.Key << "=" << c.Value;
  }
}

// A switch of the CONFIG section as the file holds it, and as the window writes it back.
struct TSwitchCase {
  const char* Name;
  QByteArray Ini;
  bool Value;
  QStringList Boxes;
  QByteArray Saved; // the CONFIG section as written back (%1: the port)
  int Count = 1;    // keys of that name in the file written back
};

void CheckSwitch(const char* Key, bool TConfig::*Field, std::initializer_list<TSwitchCase> Cases) {
  const QByteArray Lower = QByteArray(Key).toLower() + "=";
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.Name);
    TMainRig Rig(c.Ini);
    Rig.Show();
    EXPECT_EQ(Rig.Main->Config().*Field, c.Value);
    EXPECT_EQ(Rig.Boxes, c.Boxes);
    Rig.CloseAndSave();
    const QByteArray Out = Rig.IniBytes();
    const QByteArray Want =
        QByteArray(c.Saved).replace("%1", Rig.Main->cbPort->currentText().toUtf8());
    EXPECT_TRUE(Out.startsWith(Want)) << Out.constData();
    EXPECT_EQ(Out.count(QByteArray(Key) + "=") + Out.count(Lower), c.Count) << Out.constData();
  }
}

TEST(SettingsWindow, UseStubReadKeptInPlaceAndWrittenBack) {
  CheckSwitch(
      "UseStub", &TConfig::UseStub,
      {{"absent: true, added at the end of the section",
        "[CONFIG]\r\nConnBaud=9600\r\n",
        true,
        {},
        "[CONFIG]\r\nConnBaud=9600\r\nComPort=%1\r\nFastBaud=921600\r\nFastFirst=TRUE\r\n"
        "SlowLow=1400\r\nSlowHigh=500\r\nFastLow=150\r\nFastHigh=100\r\nDoBeep=TRUE\r\n"
        "AutoErase=TRUE\r\nUseStub=TRUE\r\n\r\n"},
       {"false where the file has it",
        "[config]\r\nusestub=no\r\nConnBaud=9600\r\n",
        false,
        {},
        "[config]\r\nusestub=FALSE\r\nConnBaud=9600\r\nComPort=%1\r\nFastBaud=921600\r\n"
        "FastFirst=TRUE\r\nSlowLow=1400\r\nSlowHigh=500\r\nFastLow=150\r\nFastHigh=100\r\n"
        "DoBeep=TRUE\r\nAutoErase=TRUE\r\n\r\n"},
       {"a number", "[CONFIG]\r\nUseStub=0\r\n", false, {}, "[CONFIG]\r\nUseStub=FALSE\r\n"},
       {"no boolean: reported, true",
        "[CONFIG]\r\nUseStub=maybe\r\n",
        true,
        {QString::fromUtf8("'maybe' ist kein gültiger Integerwert (UseStub)")},
        "[CONFIG]\r\nUseStub=TRUE\r\n"}});
}

// FastWrite is read like UseStub and written back in place, but never added to a file
// that does not hold it: the files of those who never asked for it keep their keys.
TEST(SettingsWindow, FastWriteReadAndWrittenBackOnlyWhereStored) {
  CheckSwitch(
      "FastWrite", &TConfig::FastWrite,
      {{"absent: false, not added",
        "[CONFIG]\r\nConnBaud=9600\r\n",
        false,
        {},
        "[CONFIG]\r\nConnBaud=9600\r\nComPort=%1\r\nFastBaud=921600\r\nFastFirst=TRUE\r\n"
        "SlowLow=1400\r\nSlowHigh=500\r\nFastLow=150\r\nFastHigh=100\r\nDoBeep=TRUE\r\n"
        "AutoErase=TRUE\r\nUseStub=TRUE\r\n\r\n",
        0},
       {"true where the file has it",
        "[config]\r\nfastwrite=yes\r\nUseStub=TRUE\r\n",
        true,
        {},
        "[config]\r\nfastwrite=TRUE\r\nUseStub=TRUE\r\n"},
       {"a number", "[CONFIG]\r\nFastWrite=1\r\n", true, {}, "[CONFIG]\r\nFastWrite=TRUE\r\n"},
       {"no boolean: reported, false",
        "[CONFIG]\r\nFastWrite=maybe\r\n",
        false,
        {QString::fromUtf8("'maybe' ist kein gültiger Integerwert (FastWrite)")},
        "[CONFIG]\r\nFastWrite=FALSE\r\n"}});
}

TEST(SettingsWindow, OverLargeFileReportedAndLeftUnchanged) {
  const QByteArray Big = "[CONFIG]\r\nConnBaud=9600\r\n" + QByteArray(IniMaxFileSize, ';');
  TMainRig Rig(Big);
  Rig.Show();
  ASSERT_EQ(Rig.Boxes.size(), 1);
  EXPECT_TRUE(Rig.Boxes[0].contains("larger than 1 MiB")) << Rig.Boxes[0].toStdString();
  EXPECT_EQ(Rig.Main->Config().ConnBaud, 115200u);
  Rig.CloseAndSave();
  EXPECT_EQ(Rig.IniBytes(), Big);
}

#ifndef _WIN32
// A settings file that is a FIFO would hold start-up until someone wrote to it.
TEST(SettingsWindow, FifoSettingsFileReportedDefaultsTakenNeverWritten) {
  TMainRig Rig;
  QFile::remove(Rig.IniPath());
  ASSERT_EQ(::mkfifo(Rig.IniPath().toLocal8Bit().constData(), 0644), 0);
  Rig.Main->IniFile->SetFileName(Rig.IniPath()); // as at the window's creation
  Rig.Show();
  ASSERT_EQ(Rig.Boxes.size(), 1);
  EXPECT_TRUE(Rig.Boxes[0].contains("Quorvex.ini")) << Rig.Boxes[0].toStdString();
  EXPECT_TRUE(Rig.Boxes[0].contains("not a regular file")) << Rig.Boxes[0].toStdString();
  EXPECT_EQ(Rig.Main->Config().ConnBaud, 115200u);
  Rig.CloseAndSave();
  struct stat St {};
  ASSERT_EQ(::lstat(Rig.IniPath().toLocal8Bit().constData(), &St), 0);
  EXPECT_TRUE(S_ISFIFO(St.st_mode));
}
#endif

TEST(SettingsWindow, PlacementAppliedOnlyWhenItFits) {
  QPoint Home;
  {
    TMainRig Rig;
    Rig.Show();
    Home = Rig.Main->frameGeometry().topLeft();
  }
  const QString S = TFormStorage::DesktopSuffix();
  const QString P = QString::number(Ppi());
  const struct {
    const char* Name;
    QString Main;
    QPoint Where;
  } Cases[] = {
      {"sized key preferred",
       "NormPos" + S + "=10,20,0,0\r\nNormPos=30,40,0,0\r\nPixelsPerInch=" + P,
       {10, 20}},
      {"plain key for another desktop size",
       "NormPos(99999x1)=10,20,0,0\r\nNormPos=30,40,0,0\r\nPixelsPerInch=" + P,
       {30, 40}},
      {"off every monitor", "NormPos=50000,50000,0,0\r\nPixelsPerInch=" + P, Home},
      {"partly off the monitor", "NormPos=-200,10,0,0\r\nPixelsPerInch=" + P, Home},
      {"other pixels per inch", "NormPos=30,40,0,0\r\nPixelsPerInch=" + QString::number(Ppi() + 48),
       Home},
      {"negative form version", "FormVersion=-1\r\nNormPos=30,40,0,0", Home},
  };
  for (const auto& c : Cases) {
    TMainRig Rig(("[Main]\r\n" + c.Main + "\r\n").toUtf8());
    Rig.Show();
    EXPECT_EQ(Rig.Main->frameGeometry().topLeft(), c.Where) << c.Name;
  }
}

// Start-up restores the placement twice (before the window's first show and again after
// the settings are read): a placement value that is no number is named once, not twice.
TEST(SettingsWindow, PlacementValueThatIsNoNumberShownOnce) {
  const struct {
    const char* Main;
    QStringList Boxes;
  } Cases[] = {
      {"FormVersion=abc", {QString::fromUtf8("'abc' ist kein gültiger Integerwert (FormVersion)")}},
      {"NormPos=10,20,0,0\r\nPixelsPerInch=many",
       {QString::fromUtf8("'many' ist kein gültiger Integerwert (PixelsPerInch)")}},
      {"ShowCmd=normal", {QString::fromUtf8("'normal' ist kein gültiger Integerwert (ShowCmd)")}},
  };
  for (const auto& c : Cases) {
    TMainRig Rig(QByteArray("[Main]\r\n") + c.Main + "\r\n[CONFIG]\r\nFastHigh=99999999\r\n");
    Rig.Show();
    QStringList Want = c.Boxes;
    Want << QString::fromUtf8(
        "'99999999' liegt nicht im gültigen Bereich von 0 bis 5000 (FastHigh)");
    EXPECT_EQ(Rig.Boxes, Want) << c.Main;
    EXPECT_TRUE(Rig.Main->Timer1->isActive()) << c.Main;
  }
}

TEST(SettingsWindow, PositionItems) {
  const struct {
    const char* Text;
    int Index, Value;
  } Cases[] = {{"10,20,30,40", 1, 20}, {" -5 , 7", 0, -5}, {"30,abc", 1, -99},
               {"30", 1, -99},         {"", 0, -99},       {"$10,x", 0, 16}};
  for (const auto& c : Cases)
    EXPECT_EQ(TFormStorage::PosItem(c.Text, c.Index, -99), c.Value) << c.Text;
}

TEST(SettingsWindow, ShowCommandRestoredAndSaved) {
  const struct {
    int Cmd;
    Qt::WindowState State;
    int Saved;
  } Cases[] = {
      {1, Qt::WindowNoState, 1},   {3, Qt::WindowMaximized, 3}, {2, Qt::WindowMinimized, 2},
      {6, Qt::WindowMinimized, 2}, {7, Qt::WindowMinimized, 2}, {5, Qt::WindowNoState, 1},
      {9, Qt::WindowNoState, 1},   {42, Qt::WindowNoState, 1},
  };
  for (const auto& c : Cases) {
    TMainRig Rig("[Main]\r\nShowCmd=" + QByteArray::number(c.Cmd) + "\r\n");
    Rig.Show();
    const Qt::WindowStates St = Rig.Main->windowState();
    EXPECT_EQ(St & (Qt::WindowMinimized | Qt::WindowMaximized), Qt::WindowStates(c.State)) << c.Cmd;
    Rig.CloseAndSave();
    EXPECT_TRUE(Rig.IniBytes().contains("\r\nShowCmd=" + QByteArray::number(c.Saved) + "\r\n"))
        << c.Cmd << ": " << Rig.IniBytes().constData();
  }
}

TEST(SettingsWindow, ActiveControlGetsTheFocus) {
  TMainRig Rig("[Main]\r\nActiveControl=butErase\r\n");
  Rig.Show();
  EXPECT_EQ(Rig.Main->focusWidget(), Rig.Main->butErase);
}

int main(int argc, char** argv) {
  return RunGuiTests(argc, argv);
}
