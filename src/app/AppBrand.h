// The product's name, title and site, and its pictures: the window icon and the banner
// across the top of the main window. GUI thread.
#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

namespace pelorix {

inline const QString AppTitle = QStringLiteral("Pelorix.org");
inline const QString ProductName = QStringLiteral("Pelorix");
inline const QString SiteAddress = QStringLiteral("https://pelorix.org");

// The product icon, drawn at the usual sizes (the installed SVG shows the same picture).
QIcon AppIcon();

// Image1: the banner. A hand cursor; a click emits Clicked.
class TBanner final : public QWidget {
  Q_OBJECT
public:
  explicit TBanner(QWidget* AParent);

signals:
  void Clicked();

protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;
};

} // namespace pelorix
