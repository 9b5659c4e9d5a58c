// lvFiles: the report list of source files, one row per file with the columns "Source" (the
// file name), "Status" and "Path" (the folder, ending with a separator). The Status cell holds
// "Ready", "Done", "Canceled", "Failed" or a progress bar, written "{|" followed by the
// percentage ("{|" alone: the total is unknown, a busy bar), the bar's own text (percent,
// speed, time left) in the cell's ProgressDetailRole. The window draws every cell from its
// row states. GUI thread.
#pragma once

#include <QStyledItemDelegate>
#include <QTableWidget>

#include <vector>

namespace pelorix {

inline const QString StatusReady = QStringLiteral("Ready");
inline const QString StatusDone = QStringLiteral("Done");
inline const QString StatusCanceled = QStringLiteral("Canceled");
inline const QString StatusFailed = QStringLiteral("Failed");
inline const QString StatusIncomplete = QStringLiteral("Incomplete");
inline const QString ProgressMark = QStringLiteral("{|");
// The text a progress cell's bar shows; empty: the percentage.
constexpr int ProgressDetailRole = Qt::UserRole + 1;

// The Status cell text for a progress report: "{|" + P with P = current * 100 / total,
// computed in 64 bits, toward zero, clamped to 0..100; "{|" when the total is unknown (<= 0).
QString ProgressCellText(int ACurrentDuration, int ATotalOutputDuration);

// Paints "{|"-cells as the style's progress bar; other cells as usual.
class TStatusDelegate final : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
             const QModelIndex& AIndex) const override;
};

class TFileList final : public QTableWidget {
  Q_OBJECT
public:
  explicit TFileList(QWidget* AParent);

  int RowCount() const { return rowCount(); }
  // Appends a row for AFullPath, ASummary below the path in the Source cell's tool tip;
  // returns its index.
  int AddRow(const QString& AFullPath, const QString& ASummary = QString());
  // Removes row ARow; the rows after it move up by one.
  void RemoveRow(int ARow) { removeRow(ARow); }
  // The selected rows, from the last to the first.
  std::vector<int> SelectedRowsFromLast() const;
  // "Path" cell followed by "Source" cell.
  QString FullPath(int ARow) const;
  QString Status(int ARow) const;
  // Sets the Status cell, its tool tip (an empty tip clears it) and its bar's text.
  void SetStatus(int ARow, const QString& AText, const QString& AToolTip = QString(),
                 const QString& ADetail = QString());
  // The bar's text of a progress cell.
  QString StatusDetail(int ARow) const;
  void Clear();

signals:
  // Local files dropped onto the list, in the order given.
  void FilesDropped(const QStringList& AFiles);
  // The Delete key on the list.
  void RemoveRequested();

protected:
  void dragEnterEvent(QDragEnterEvent* AEvent) override;
  void dragMoveEvent(QDragMoveEvent* AEvent) override;
  void dropEvent(QDropEvent* AEvent) override;
  void keyPressEvent(QKeyEvent* AEvent) override;
  // An empty list says how to fill it.
  void paintEvent(QPaintEvent* AEvent) override;
};

} // namespace pelorix
