#include "uIniFile.h"

namespace {

std::string Utf8(const QString& s) {
  return s.toStdString();
}

} // namespace

std::filesystem::path PathOf(const QString& Path) {
#ifdef _WIN32
  return std::filesystem::path(Path.toStdWString());
#else
  return std::filesystem::path(Path.toLocal8Bit().toStdString());
#endif
}

QString QtPath(const std::filesystem::path& Path) {
#ifdef _WIN32
  return QString::fromStdWString(Path.wstring());
#else
  return QString::fromLocal8Bit(Path.string());
#endif
}

QString TIniFile::LoadProblem() const {
  if (FStore.LoadProblem() == TIniLoadProblem::None) return QString();
  return QString("The settings file %1 %2; it is ignored and left unchanged.")
      .arg(QtPath(FStore.FileName().filename()),
           QString::fromLatin1(IniLoadProblemText(FStore.LoadProblem())));
}

bool TIniFile::SetBytes(const QByteArray& Bytes) {
  return FStore.SetBytes(std::string_view(Bytes.constData(), size_t(Bytes.size())));
}

QByteArray TIniFile::Bytes() const {
  const std::string b = FStore.Bytes();
  return QByteArray(b.data(), qsizetype(b.size()));
}

bool TIniFile::ValueExists(const QString& Section, const QString& Key) const {
  return FStore.ValueExists(Utf8(Section), Utf8(Key));
}

QString TIniFile::ReadString(const QString& Section, const QString& Key,
                             const QString& Default) const {
  const std::string* v = FStore.Value(Utf8(Section), Utf8(Key));
  return v ? QString::fromStdString(*v) : Default;
}

int32_t TIniFile::ReadInteger(const QString& Section, const QString& Key, int32_t Default) const {
  return FStore.ReadInteger(Utf8(Section), Utf8(Key), Default);
}

bool TIniFile::ReadBoolean(const QString& Section, const QString& Key, bool Default) const {
  return FStore.ReadBoolean(Utf8(Section), Utf8(Key), Default);
}

void TIniFile::WriteString(const QString& Section, const QString& Key, const QString& Value) {
  FStore.WriteString(Utf8(Section), Utf8(Key), Utf8(Value));
}

void TIniFile::WriteInteger(const QString& Section, const QString& Key, int32_t Value) {
  FStore.WriteInteger(Utf8(Section), Utf8(Key), Value);
}

TSettings TIniFile::ReadSettings(std::vector<TSettingProblem>& Problems) const {
  return ::ReadSettings(FStore, Problems);
}

void TIniFile::WriteSettings(const TSettings& S) {
  ::WriteSettings(FStore, S);
}
