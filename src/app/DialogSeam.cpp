// The desktop's dialogs and boxes.
#include "DialogSeam.h"

#include "InfoWindows.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QToolButton>

namespace pelorix {

namespace {
// Message texts use "\r\n" between lines; a box shows plain line breaks.
QString ShownText(QString AText) {
  return AText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}
} // namespace

QStringList TDesktopDialogs::OpenFiles(QWidget* AParent, const QString& AFilters,
                                       const QString& AFolder) {
  return QFileDialog::getOpenFileNames(AParent, QStringLiteral("Open"), AFolder, AFilters);
}

QString TDesktopDialogs::PickFolder(QWidget* AParent, const QString& ATitle) {
  // The toolkit's own dialog: it can hide the new-folder button and start with nothing chosen.
  QFileDialog Picker(AParent, ATitle, QDir::homePath());
  Picker.setFileMode(QFileDialog::Directory);
  Picker.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog |
                    QFileDialog::ReadOnly);
  if (auto* NewFolder = Picker.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
    NewFolder->hide();
  if (Picker.exec() != QDialog::Accepted || Picker.selectedFiles().isEmpty()) return {};
  return QDir::toNativeSeparators(Picker.selectedFiles().constFirst());
}

void TDesktopDialogs::Message(QWidget* AParent, TMessageKind AKind, const QString& ATitle,
                              const QString& AText) {
  QMessageBox Box(AKind == TMessageKind::mkInformation ? QMessageBox::Information
                                                       : QMessageBox::NoIcon,
                  ATitle, ShownText(AText), QMessageBox::Ok, AParent);
  Box.exec();
}

bool TDesktopDialogs::Ask(QWidget* AParent, const QString& ATitle, const QString& AText) {
  QMessageBox Box(QMessageBox::Question, ATitle, ShownText(AText),
                  QMessageBox::Yes | QMessageBox::No, AParent);
  return Box.exec() == QMessageBox::Yes;
}

void TDesktopDialogs::OpenUrl(const QUrl& AUrl) { QDesktopServices::openUrl(AUrl); }

void TDesktopDialogs::ShowClosingBanner(QWidget* AParent) {
  TfrmClosing Banner(AParent, *this);
  Banner.exec();
}

void TDesktopDialogs::ShowMoreSoftware(QWidget* AParent) {
  auto* Window = new TfrmMoreSoftware(AParent, *this);
  Window->setAttribute(Qt::WA_DeleteOnClose);
  Window->show();
}

} // namespace pelorix
