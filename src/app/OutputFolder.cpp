// The settings and the output folder: reading and writing conf.ini (the folder, the format, the
// quality and copy choices), the folder picker, the "Browse" button and the same-folder rule.
#include "MainWindow.h"

#include "AppBrand.h"
#include "AppTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

namespace pelorix {

void TfrmMain::ReadSettings() {
  const TSettingsValues Values = Settings.Read();
  txtOutput->setText(QString::fromStdString(Values.Output));
  chkSameFolder->setChecked(Values.SameFolder);
  OpenFolder = QString::fromStdString(Values.OpenFolder);
  // The stored format by its exact text; an unknown or missing one selects the first entry.
  const int Stored = selFormat->findText(QString::fromStdString(Values.Format), Qt::MatchExactly);
  selFormat->setCurrentIndex(Stored >= 0 ? Stored : 0);
  // The level by its name; an unknown one is the balanced level.
  const int Level = selQuality->findData(QString::fromStdString(Values.Quality));
  selQuality->setCurrentIndex(Level >= 0 ? Level
                                         : selQuality->findData(QString::fromStdString(
                                               QualityLevelName(TQualityLevel::qlBalanced))));
  chkCopyFitting->setChecked(Values.CopyFitting);
  UpdateCopyFitting();
}

bool TfrmMain::WriteSettings() {
  TSettingsValues Values;
  Values.Output = txtOutput->text().toStdString();
  Values.SameFolder = chkSameFolder->isChecked();
  Values.Format = selFormat->currentText().toStdString();
  Values.OpenFolder = OpenFolder.toStdString();
  Values.Quality = selQuality->currentData().toString().toStdString();
  Values.CopyFitting = chkCopyFitting->isChecked();
  std::string FailedPath;
  if (Settings.Write(Values, FailedPath)) return true;
  Dialogs.Message(this, TMessageKind::mkPlain, AppTitle,
                  texts::UnableToWrite.arg(QString::fromStdString(FailedPath)));
  return false;
}

void TfrmMain::btnFolderChangeClick() {
  if (!txtOutput->isEnabled()) return;
  const QString Folder = Dialogs.PickFolder(this, texts::PickFolderTitle);
  if (!Folder.isEmpty()) txtOutput->setText(Folder);
}

void TfrmMain::btnBrowseClick() {
  // Handed over even when the folder does not exist yet; the desktop says so.
  Dialogs.OpenUrl(QUrl::fromLocalFile(txtOutput->text()));
}

void TfrmMain::chkSameFolderClick() {
  const bool OwnFolder = !chkSameFolder->isChecked();
  if (!RunActive) {
    txtOutput->setEnabled(OwnFolder);
    btnFolderChange->setEnabled(txtOutput->isEnabled());
  }
  btnBrowse->setEnabled(OwnFolder);
}

} // namespace pelorix
