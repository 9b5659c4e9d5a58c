// The choices beside the format: the quality level and whether streams that already fit the
// format are copied instead of encoded again.
#include "MainWindow.h"

#include "StreamCopy.h"

#include <QCheckBox>
#include <QComboBox>

namespace pelorix {

namespace {
const QString CopyTip =
    QStringLiteral("Streams that already are what the format holds go into the output unchanged: "
                   "no quality is lost and the file is done in seconds");
const QString SmallerTip = QStringLiteral(
    "Nothing is copied at \"Smaller file\": every stream is encoded again to save space");
const QString TargetTip =
    QStringLiteral("Nothing is copied for this format: its players expect its own settings");
} // namespace

void TfrmMain::CreateQualityControls(QWidget* AClient) {
  // Beside the format list, on its row; the copy box under the list, at its left edge.
  selQuality = new QComboBox(AClient);
  selQuality->setObjectName(QStringLiteral("selQuality"));
  selQuality->setGeometry(610, 117, 156, 22);
  selQuality->setAccessibleName(QStringLiteral("Quality"));
  selQuality->setToolTip(
      QStringLiteral("A smaller file, a balance of size and picture, or a better picture"));
  for (const TQualityLevel Level :
       {TQualityLevel::qlSmaller, TQualityLevel::qlBalanced, TQualityLevel::qlBetter})
    selQuality->addItem(QString::fromStdString(QualityLevelText(Level)),
                        QString::fromStdString(QualityLevelName(Level)));
  selQuality->setCurrentIndex(static_cast<int>(TQualityLevel::qlBalanced));

  chkCopyFitting = new QCheckBox(QStringLiteral("Copy streams that already fit"), AClient);
  chkCopyFitting->setObjectName(QStringLiteral("chkCopyFitting"));
  chkCopyFitting->adjustSize();
  chkCopyFitting->setGeometry(350, 141, chkCopyFitting->width(), 20);
  chkCopyFitting->setAccessibleName(QStringLiteral("Copy streams that already fit the format"));
  chkCopyFitting->setChecked(true);

  connect(selQuality, &QComboBox::currentIndexChanged, this, [this] { UpdateCopyFitting(); });
  connect(selFormat, &QComboBox::currentIndexChanged, this, [this] { UpdateCopyFitting(); });
}

TEncodingChoice TfrmMain::EncodingChoice() const {
  TEncodingChoice Choice;
  Choice.Level = QualityLevelNamed(selQuality->currentData().toString().toStdString())
                     .value_or(TQualityLevel::qlBalanced);
  Choice.CopyFitting = chkCopyFitting->isChecked();
  return Choice;
}

void TfrmMain::UpdateCopyFitting() {
  const TQualityLevel Level = EncodingChoice().Level;
  const bool Counts = MayCopyFitting(ChosenFormat(), Level);
  if (!RunActive) chkCopyFitting->setEnabled(Counts);
  chkCopyFitting->setToolTip(Counts                              ? CopyTip
                             : Level == TQualityLevel::qlSmaller ? SmallerTip
                                                                 : TargetTip);
}

} // namespace pelorix
