// Start-up time that the settings and the port list add: the window shown with a settings
// file of 1000 keys whose NetPorts names 100 ports, against the window shown with no file.
// Also the close: writing the settings back and the file to disk, and the reading itself
// (the INI store's parse and the settings model) in CPU time, which the machine's other
// load disturbs less.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "uIniFile.h"
#include "uMain.h"

namespace {

QByteArray BigIni(const QString& Folder) {
  QByteArray s = "[CONFIG]\r\nComPort=rfc2217://bench:77\r\nNetPorts=";
  for (int i = 0; i < 100; ++i)
    s += (i ? "," : "") + QByteArray("rfc2217://bench:") + QByteArray::number(i + 1);
  s += "\r\nConnBaud=115200\r\nDoBeep=yes\r\n";
  int Keys = 4;
  for (int sec = 0; Keys < 997; ++sec) {
    s += "[Extra" + QByteArray::number(sec) + "]\r\n";
    for (int k = 0; k < 100 && Keys < 997; ++k, ++Keys)
      s += "Key" + QByteArray::number(k) + "=some value " + QByteArray::number(Keys) + "\r\n";
  }
  s += "[FILES]\r\nBootloader=" + Folder.toUtf8() +
       "/b.bin\r\nPartitions=p.bin\r\nFirmware=f.bin\r\n";
  return s;
}

struct TTimes {
  double Show, Close;
};

TTimes Run(const QByteArray& Ini) {
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("Quorvex.ini");
  if (!Ini.isNull()) {
    QFile f(Path);
    f.open(QIODevice::WriteOnly);
    f.write(Ini);
  }
  TDebugLog Log;
  TMain Main(Log);
  Main.ProgPath = Dir.path() + "/";
  QElapsedTimer t;
  t.start();
  Main.IniFile->SetFileName(Path); // what FormCreate does
  Main.show();                     // placement, FormShow
  const double Show = static_cast<double>(t.nsecsElapsed()) / 1e6;
  t.restart();
  Main.close();
  Main.SaveSettingsFile();
  const double Close = static_cast<double>(t.nsecsElapsed()) / 1e6;
  return {Show, Close};
}

// CPU microseconds of one parse of the file and one read of every settings key.
double ReadCpuUs(const QByteArray& Ini) {
  const std::string Bytes = Ini.toStdString();
  constexpr int Reads = 50;
  std::vector<TSettingProblem> Problems;
  const std::clock_t Start = std::clock();
  for (int i = 0; i < Reads; ++i) {
    TIniStore Store;
    Store.SetBytes(Bytes);
    Problems.clear();
    const TSettings S = ReadSettings(Store, Problems);
    if (S.Config.ConnBaud == 0) std::printf("?"); // keeps the read
  }
  return double(std::clock() - Start) * 1e6 / CLOCKS_PER_SEC / Reads;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication App(argc, argv);
  QTemporaryDir Tmp;
  const QByteArray Big = BigIni(Tmp.path());
  std::vector<double> BaseShow, BigShow, BaseClose, BigClose;
  Run(QByteArray()); // warm-up: fonts, styles, udev
  for (int i = 0; i < 9; ++i) {
    const TTimes a = Run(QByteArray());
    const TTimes b = Run(Big);
    BaseShow.push_back(a.Show);
    BaseClose.push_back(a.Close);
    BigShow.push_back(b.Show);
    BigClose.push_back(b.Close);
  }
  std::printf("settings file: %lld bytes, 1000 keys, 100 network ports\n",
              static_cast<long long>(Big.size()));
  std::printf("start-up (load + show): no file %.2f ms, big file %.2f ms, added %.2f ms\n",
              Median(BaseShow), Median(BigShow), Median(BigShow) - Median(BaseShow));
  std::printf("close (write back + file to disk): no file %.2f ms, big file %.2f ms\n",
              Median(BaseClose), Median(BigClose));
  std::vector<double> Read;
  for (int i = 0; i < 9; ++i)
    Read.push_back(ReadCpuUs(Big));
  std::printf("reading (store parse + settings model), big file: %.0f us CPU\n", Median(Read));
  return 0;
}
