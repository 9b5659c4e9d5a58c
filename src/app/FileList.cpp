// The file list and its status cells.
#include "FileList.h"

#include <QApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyleOptionProgressBar>

#include <algorithm>

namespace pelorix {

namespace {
enum TColumn { colSource, colStatus, colPath, ColumnCount };
constexpr int SourceWidth = 333;
constexpr int StatusWidth = 199;

QStringList LocalFiles(const QMimeData* AData) {
  QStringList Files;
  if (AData)
    for (const QUrl& Url : AData->urls())
      if (Url.isLocalFile()) Files << Url.toLocalFile();
  return Files;
}
} // namespace

QString ProgressCellText(int ACurrentDuration, int ATotalOutputDuration) {
  if (ATotalOutputDuration <= 0) return ProgressMark;
  const int64_t Percent = static_cast<int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration;
  return ProgressMark + QString::number(std::clamp<int64_t>(Percent, 0, 100));
}

void TStatusDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                            const QModelIndex& AIndex) const {
  const QString Text = AIndex.data(Qt::DisplayRole).toString();
  if (!Text.startsWith(ProgressMark)) {
    QStyledItemDelegate::paint(APainter, AOption, AIndex);
    return;
  }
  QStyleOptionProgressBar Bar;
  Bar.rect = AOption.rect.adjusted(3, 3, -3, -3);
  Bar.state = AOption.state | QStyle::State_Horizontal;
  Bar.direction = AOption.direction;
  Bar.fontMetrics = AOption.fontMetrics;
  Bar.palette = AOption.palette;
  Bar.minimum = 0;
  bool Known = false;
  const int Percent = Text.mid(ProgressMark.size()).toInt(&Known);
  Bar.maximum = Known ? 100 : 0; // 0..0 is the style's busy bar
  Bar.progress = Known ? Percent : 0;
  const QString Detail = AIndex.data(ProgressDetailRole).toString();
  Bar.text = !Detail.isEmpty() ? Detail
             : Known           ? QString::number(Percent) + QLatin1Char('%')
                               : QString();
  Bar.textVisible = !Bar.text.isEmpty();
  Bar.textAlignment = Qt::AlignCenter;
  const QWidget* View = AOption.widget;
  QStyle* Style = View ? View->style() : QApplication::style();
  Style->drawControl(QStyle::CE_ProgressBar, &Bar, APainter, View);
}

TFileList::TFileList(QWidget* AParent) : QTableWidget(0, ColumnCount, AParent) {
  setObjectName(QStringLiteral("lvFiles"));
  setHorizontalHeaderLabels(
      {QStringLiteral("Source"), QStringLiteral("Status"), QStringLiteral("Path")});
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->resizeSection(colSource, SourceWidth);
  horizontalHeader()->resizeSection(colStatus, StatusWidth);
  horizontalHeader()->setStretchLastSection(true);
  horizontalHeader()->setHighlightSections(false);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
  setShowGrid(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setWordWrap(false);
  setTextElideMode(Qt::ElideMiddle);
  setItemDelegateForColumn(colStatus, new TStatusDelegate(this));
  setContextMenuPolicy(Qt::CustomContextMenu);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

int TFileList::AddRow(const QString& AFullPath, const QString& ASummary) {
  const QFileInfo File(AFullPath);
  const int Row = rowCount();
  insertRow(Row);
  auto* Source = new QTableWidgetItem(File.fileName());
  Source->setToolTip(ASummary.isEmpty() ? AFullPath : AFullPath + QLatin1Char('\n') + ASummary);
  setItem(Row, colSource, Source);
  setItem(Row, colStatus, new QTableWidgetItem(StatusReady));
  QString Folder = File.absolutePath();
  if (!Folder.endsWith(QLatin1Char('/'))) Folder += QLatin1Char('/');
  setItem(Row, colPath, new QTableWidgetItem(Folder));
  return Row;
}

QString TFileList::FullPath(int ARow) const {
  return item(ARow, colPath)->text() + item(ARow, colSource)->text();
}

QString TFileList::Status(int ARow) const { return item(ARow, colStatus)->text(); }

void TFileList::SetStatus(int ARow, const QString& AText, const QString& AToolTip,
                          const QString& ADetail) {
  QTableWidgetItem* Cell = item(ARow, colStatus);
  // Unchanged cells are left alone: every set repaints the row.
  if (Cell->text() != AText) Cell->setText(AText);
  if (Cell->toolTip() != AToolTip) Cell->setToolTip(AToolTip);
  if (Cell->data(ProgressDetailRole).toString() != ADetail)
    Cell->setData(ProgressDetailRole, ADetail);
}

QString TFileList::StatusDetail(int ARow) const {
  return item(ARow, colStatus)->data(ProgressDetailRole).toString();
}

void TFileList::Clear() { setRowCount(0); }

std::vector<int> TFileList::SelectedRowsFromLast() const {
  std::vector<int> Rows;
  for (const QModelIndex& Index : selectionModel()->selectedRows()) Rows.push_back(Index.row());
  std::sort(Rows.rbegin(), Rows.rend());
  return Rows;
}

void TFileList::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Delete) {
    emit RemoveRequested();
    return;
  }
  QTableWidget::keyPressEvent(AEvent);
}

void TFileList::dragEnterEvent(QDragEnterEvent* AEvent) {
  if (isEnabled() && !LocalFiles(AEvent->mimeData()).isEmpty()) AEvent->acceptProposedAction();
}

void TFileList::dragMoveEvent(QDragMoveEvent* AEvent) {
  if (isEnabled() && !LocalFiles(AEvent->mimeData()).isEmpty()) AEvent->acceptProposedAction();
}

void TFileList::dropEvent(QDropEvent* AEvent) {
  const QStringList Files = LocalFiles(AEvent->mimeData());
  if (Files.isEmpty()) return;
  AEvent->acceptProposedAction();
  emit FilesDropped(Files);
}

void TFileList::paintEvent(QPaintEvent* AEvent) {
  QTableWidget::paintEvent(AEvent);
  if (rowCount() > 0) return;
  QPainter Painter(viewport());
  Painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
  Painter.drawText(viewport()->rect(), Qt::AlignCenter,
                   QStringLiteral("Press \u201cAdd...\u201d to choose the files to convert"));
}

} // namespace pelorix
