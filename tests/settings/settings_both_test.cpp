// One hand-edited settings file read by the real window and by the command line's own
// reading: both take the same values, refuse the same ones with the same words, in
// every encoding the file may come in.
#include <gtest/gtest.h>

#include <QCheckBox>

#include "main_rig.h"
#include "uCliPlan.h"

namespace {

// Comments, odd spacing, keys in other letter case, values out of range and no numbers,
// text beyond Latin-1; CR LF line ends.
const QString HandEdited =
    QString::fromUtf8("; edited by hand\r\n"
                      "[config]\r\n"
                      "  connbaud  =   $1C200  \r\n"
                      "FastBaud=99\r\n"
                      "\tFastFirst = no\r\n"
                      "SlowLow=0x10\r\n"
                      "SlowHigh = fast\r\n"
                      "FastLow=\r\n"
                      " DoBeep = Y\r\n"
                      "AutoErase=0\r\n"
                      "UseStub = maybe\r\n"
                      "NetPorts = rfc2217://bänk:4000 ,rfc2217://localhost:9\r\n"
                      "ComPort=rfc2217://bänk:4000\r\n"
                      "\r\n"
                      "; the images, one named beyond Latin-1\r\n"
                      "[Files]\r\n"
                      "Firmware = Grüße ✓.bin\r\n"
                      "Bootloader=/nonexistent/böot images/boot.bin\r\n");

QByteArray Utf16(const QString& Text, bool Le) {
  QByteArray b = Le ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
  for (QChar c : Text) {
    const char Lo = char(c.unicode() & 0xFF), Hi = char(c.unicode() >> 8);
    b.append(Le ? Lo : Hi);
    b.append(Le ? Hi : Lo);
  }
  return b;
}

} // namespace

TEST(SettingsBoth, OneHandEditedFileReadsTheSameInTheWindowAndTheCommandLine) {
  const struct {
    const char* Name;
    QByteArray Bytes;
  } Encodings[] = {
      {"UTF-16 little-endian", Utf16(HandEdited, true)},
      {"UTF-16 big-endian", Utf16(HandEdited, false)},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + HandEdited.toUtf8()},
      {"UTF-8", HandEdited.toUtf8()},
  };
  const QStringList Refused = {
      QString::fromUtf8("'99' liegt nicht im gültigen Bereich von 9600 bis 5000000 (FastBaud)"),
      QString::fromUtf8("'fast' ist kein gültiger Integerwert (SlowHigh)"),
      QString::fromUtf8("'maybe' ist kein gültiger Integerwert (UseStub)")};
  for (const auto& E : Encodings) {
    SCOPED_TRACE(E.Name);
    TMainRig Rig(E.Bytes);
    Rig.Show();
    TSettings S;
    std::vector<TSettingProblem> Problems;
    std::string Error;
    ASSERT_TRUE(LoadSettings(Rig.IniPath().toStdString(), true, S, Problems, Error)) << Error;

    // What each shows of what it refused.
    QStringList CliRefused;
    for (const TSettingProblem& P : Problems)
      CliRefused << QString::fromStdString(ConversionText(P));
    EXPECT_EQ(Rig.Boxes, Refused);
    EXPECT_EQ(CliRefused, Refused);

    // The values, each against what the file means and against the other reader.
    const TConfig& W = Rig.Main->Config();
    const struct {
      const char* Key;
      uint32_t Window, Cli, Want;
    } Numbers[] = {
        {"ConnBaud", W.ConnBaud, S.Config.ConnBaud, 115200},
        {"FastBaud", W.FastBaud, S.Config.FastBaud, 921600},
        {"SlowLow", W.SlowLow, S.Config.SlowLow, 16},
        {"SlowHigh", W.SlowHigh, S.Config.SlowHigh, 500},
        {"FastLow", W.FastLow, S.Config.FastLow, 0},
        {"FastHigh", W.FastHigh, S.Config.FastHigh, 100},
        {"FastFirst", W.FastFirst, S.Config.FastFirst, false},
        {"DoBeep", W.DoBeep, S.Config.DoBeep, true},
        {"UseStub", W.UseStub, S.Config.UseStub, true},
        {"AutoErase", Rig.Main->chkAutoErase->isChecked(), S.AutoErase, false},
    };
    for (const auto& N : Numbers) {
      EXPECT_EQ(N.Window, N.Want) << N.Key;
      EXPECT_EQ(N.Cli, N.Want) << N.Key;
    }
    const struct {
      const char* Key;
      QString Window;
      std::string Cli;
      const char* Want;
    } Texts[] = {
        {"ComPort", Rig.Main->cbPort->currentText(), S.ComPort, "rfc2217://bänk:4000"},
        {"Firmware", Rig.Main->edFirm->text(), S.Firmware, "Grüße ✓.bin"},
        {"Bootloader", Rig.Main->edBoot->text(), S.Bootloader, "/nonexistent/böot images/boot.bin"},
        {"Partitions", Rig.Main->edPart->text(), S.Partitions, ""},
    };
    for (const auto& T : Texts) {
      EXPECT_EQ(T.Window.toStdString(), T.Want) << T.Key;
      EXPECT_EQ(T.Cli, T.Want) << T.Key;
    }
    EXPECT_TRUE(Rig.Items().contains(QString::fromUtf8("rfc2217://localhost:9")));
    EXPECT_EQ(S.NetPorts, "rfc2217://bänk:4000 ,rfc2217://localhost:9");
  }
}
