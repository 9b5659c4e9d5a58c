// The open dialog's filters.
#include "OpenFilters.h"

#include "OutputFormats.h"

#include <QStringList>

namespace pelorix {

namespace {
QString Filter(const QString& AName, const QStringList& APatterns) {
  return AName + QStringLiteral(" (") + APatterns.join(QLatin1Char(' ')) + QLatin1Char(')');
}
} // namespace

QString OpenFileFilters(const std::vector<TInputExtension>& AExtensions) {
  QStringList Media, Video, Audio;
  for (const TInputExtension& Entry : AExtensions) {
    const QString Pattern = QStringLiteral("*.") + QString::fromStdString(Entry.Extension);
    Media << Pattern;
    if (Entry.Sound || IsAudioExtension("." + Entry.Extension))
      Audio << Pattern;
    else
      Video << Pattern;
  }
  QStringList Filters;
  if (!Media.isEmpty()) Filters << Filter(QStringLiteral("Media files"), Media);
  if (!Video.isEmpty()) Filters << Filter(QStringLiteral("Video files"), Video);
  if (!Audio.isEmpty()) Filters << Filter(QStringLiteral("Audio files"), Audio);
  Filters << QStringLiteral("All files (*)");
  return Filters.join(QStringLiteral(";;"));
}

} // namespace pelorix
