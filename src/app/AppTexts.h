// The window's message texts, exactly as the user reads them (spelling included).
#pragma once

#include <QString>
#include <QStringList>

namespace pelorix::texts {

inline const QString LibraryError = QStringLiteral("Error: Lib cannot be loaded.");
inline const QString InformationTitle = QStringLiteral("Information");
inline const QString ChooseAFile = QStringLiteral("Please choose a file.");
inline const QString ErrorFound = QStringLiteral("Error found");
inline const QString UnableToWrite = QStringLiteral("Unable to write to %1"); // the file's path
inline const QString PickFolderTitle = QStringLiteral("Select an Output Folder:");

// The question before a list is converted to the format it was converted to last.
inline QString ConvertAgainQuestion(const QString& AEntryText) {
  return QStringLiteral("File(s) from the list was already converted to this format\r\n") +
         AEntryText + QStringLiteral("\r\nDo you wish to convert agin?");
}

// The one box at the end of a run that names every file that failed ("name: reason" each).
inline QString FailedFiles(const QStringList& ALines) {
  return (ALines.size() == 1
              ? QStringLiteral("1 file could not be converted:")
              : QStringLiteral("%1 files could not be converted:").arg(ALines.size())) +
         QStringLiteral("\r\n\r\n") + ALines.join(QStringLiteral("\r\n"));
}

} // namespace pelorix::texts
