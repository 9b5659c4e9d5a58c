// Reading and writing the settings file.
#include "AppSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace pelorix {

namespace {
const QString FileName = QStringLiteral("conf.ini");
const QString OutputKey = QStringLiteral("Main/strOutput");
const QString SameFolderKey = QStringLiteral("Main/booSameFolder");
const QString FormatKey = QStringLiteral("Main/strFormat");

QString UserSettingsPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/pelorix/") + FileName;
}
} // namespace

TAppSettings::TAppSettings(const QString& AAppFolder) : FallbackPath(UserSettingsPath()) {
  const QString Beside = AAppFolder + FileName;
  const QFileInfo Folder(AAppFolder);
  if (QFileInfo::exists(Beside) || (Folder.isDir() && Folder.isWritable()))
    Path = Beside;
  else
    Path = FallbackPath;
}

QString TAppSettings::DefaultOutputFolder() {
  return QDir::homePath() + QStringLiteral("/orvaneVideo");
}

TSettingsValues TAppSettings::Read() const {
  TSettingsValues Values;
  const QSettings File(Path, QSettings::IniFormat);
  Values.Output = File.value(OutputKey, DefaultOutputFolder()).toString();
  bool IsNumber = false;
  const int SameFolder = File.value(SameFolderKey, 0).toString().trimmed().toInt(&IsNumber);
  Values.SameFolder = IsNumber && SameFolder != 0;
  Values.Format = File.value(FormatKey).toString();
  return Values;
}

bool TAppSettings::WriteTo(const QString& APath, const TSettingsValues& AValues) {
  QDir().mkpath(QFileInfo(APath).absolutePath());
  QSettings File(APath, QSettings::IniFormat);
  File.setValue(OutputKey, AValues.Output);
  File.setValue(SameFolderKey, AValues.SameFolder ? 1 : 0);
  File.setValue(FormatKey, AValues.Format);
  File.sync();
  return File.status() == QSettings::NoError && QFileInfo::exists(APath);
}

bool TAppSettings::Write(const TSettingsValues& AValues, QString& AFailedPath) {
  if (WriteTo(Path, AValues)) return true;
  if (Path != FallbackPath && WriteTo(FallbackPath, AValues)) {
    Path = FallbackPath;
    return true;
  }
  AFailedPath = Path;
  return false;
}

} // namespace pelorix
