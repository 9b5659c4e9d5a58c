// Format entry parsing and the audio extension list.
#include "FormatEntry.h"

namespace pelorix {

namespace {
const QString AudioExtensions = QStringLiteral(".aac .ac3 .mp2 .mp3 .wav .wma .amr .ogg .flac .ra");
}

TFormatEntry ParseFormatEntry(const QString& AText) {
  TFormatEntry Entry;
  const qsizetype Open = AText.indexOf(QLatin1Char('('));
  if (Open < 0) {
    Entry.Label = AText;
    Entry.Label.replace(QLatin1Char('*'), QLatin1Char('x'));
    return Entry;
  }
  const qsizetype Start = Open + 2;
  const qsizetype Close = AText.indexOf(QLatin1Char(')'), Open);
  if (Close > Start) Entry.Extension = AText.mid(Start, Close - Start);
  Entry.Label = AText.left(Open > 0 ? Open - 1 : 0);
  Entry.Label.replace(QLatin1Char('*'), QLatin1Char('x'));
  return Entry;
}

bool IsAudioExtension(const QString& AExtension) {
  return !AExtension.isEmpty() && AudioExtensions.contains(AExtension, Qt::CaseSensitive);
}

QString ExtensionOf(const QString& AFileName) {
  const qsizetype Slash = AFileName.lastIndexOf(QLatin1Char('/'));
  const qsizetype Dot = AFileName.lastIndexOf(QLatin1Char('.'));
  return Dot > Slash ? AFileName.mid(Dot) : QString();
}

} // namespace pelorix
