#pragma once
// The window's settings storage (IniFile): the core's INI store and settings model seen
// through QString. Everything the file holds and every rule about it lives in the core;
// this only converts texts and paths at the window's edge.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "flash/uSettings.h"
#include "support/uIniStore.h"

// A path as the core takes it, and back.
std::filesystem::path PathOf(const QString& Path);
QString QtPath(const std::filesystem::path& Path);

class TIniFile {
public:
  // Points the store at a file and loads it; see TIniStore::SetFileName.
  void SetFileName(const QString& FileName) { SetFileName(PathOf(FileName)); }
  void SetFileName(const std::filesystem::path& FileName) { FStore.SetFileName(FileName); }
  QString FileName() const { return QtPath(FStore.FileName()); }
  // Loads the file to read and points the writing at the other where they differ.
  void SetFiles(const TSettingsFiles& Files) {
    FStore.SetFileName(Files.Read);
    if (Files.Write != Files.Read) FStore.SetWriteName(Files.Write);
  }
  QString WriteName() const { return QtPath(FStore.WriteName()); }
  // What to tell the user of a file that was not taken in; empty when it was.
  QString LoadProblem() const;

  bool SetBytes(const QByteArray& Bytes);
  QByteArray Bytes() const;

  bool ValueExists(const QString& Section, const QString& Key) const;
  QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
  // Both raise EConvertError for a value that is no number, naming the key after the
  // text: "'fast' ist kein gültiger Integerwert (ConnBaud)".
  int32_t ReadInteger(const QString& Section, const QString& Key, int32_t Default) const;
  bool ReadBoolean(const QString& Section, const QString& Key, bool Default) const;
  void WriteString(const QString& Section, const QString& Key, const QString& Value);
  void WriteInteger(const QString& Section, const QString& Key, int32_t Value);

  // The settings model on this store.
  TSettings ReadSettings(std::vector<TSettingProblem>& Problems) const;
  void WriteSettings(const TSettings& S);

  // Writes the file; false, silently, when nothing was written (TIniStore::UpdateFile).
  bool UpdateFile() const { return FStore.UpdateFile(); }

private:
  TIniStore FStore;
};
