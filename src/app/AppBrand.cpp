// The icon and the banner, drawn rather than loaded so that no picture decoder is needed.
#include "AppBrand.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pelorix {

namespace {
const QColor Deep(0x1d, 0x3b, 0x5c);
const QColor Sea(0x2f, 0x6f, 0x9f);
const QColor Spray(0xf2, 0xb7, 0x3f);

// The mark: a rounded square in deep blue with a light play triangle and an amber arc, the
// converted stream leaving it. Drawn into a square of side ASize at the origin.
void PaintMark(QPainter& APainter, qreal ASize) {
  APainter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient Fill(0, 0, 0, ASize);
  Fill.setColorAt(0, Sea);
  Fill.setColorAt(1, Deep);
  APainter.setPen(Qt::NoPen);
  APainter.setBrush(Fill);
  APainter.drawRoundedRect(QRectF(0, 0, ASize, ASize), ASize * 0.2, ASize * 0.2);

  QPainterPath Play;
  Play.moveTo(ASize * 0.34, ASize * 0.26);
  Play.lineTo(ASize * 0.72, ASize * 0.5);
  Play.lineTo(ASize * 0.34, ASize * 0.74);
  Play.closeSubpath();
  APainter.setBrush(QColor(0xf5, 0xf8, 0xfb));
  APainter.drawPath(Play);

  QPen Arc(Spray, ASize * 0.07, Qt::SolidLine, Qt::RoundCap);
  APainter.setPen(Arc);
  APainter.setBrush(Qt::NoBrush);
  APainter.drawArc(QRectF(ASize * 0.16, ASize * 0.16, ASize * 0.68, ASize * 0.68), 200 * 16,
                   120 * 16);
}
} // namespace

QIcon AppIcon() {
  QIcon Icon;
  for (const int Size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap Picture(Size, Size);
    Picture.fill(Qt::transparent);
    QPainter Painter(&Picture);
    PaintMark(Painter, Size);
    Painter.end();
    Icon.addPixmap(Picture);
  }
  return Icon;
}

TBanner::TBanner(QWidget* AParent) : QWidget(AParent) {
  setObjectName(QStringLiteral("Image1"));
  setCursor(Qt::PointingHandCursor);
  setToolTip(SiteAddress);
}

void TBanner::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  Painter.setRenderHint(QPainter::Antialiasing);
  const QRectF Area = rect();
  QLinearGradient Fill(Area.topLeft(), Area.topRight());
  Fill.setColorAt(0, Deep);
  Fill.setColorAt(1, Sea);
  Painter.fillRect(Area, Fill);

  const qreal Mark = Area.height() - 28;
  Painter.save();
  Painter.translate(18, 14);
  PaintMark(Painter, Mark);
  Painter.restore();

  QFont Title = font();
  Title.setPixelSize(34);
  Title.setBold(true);
  Painter.setFont(Title);
  Painter.setPen(Qt::white);
  const qreal TextLeft = 18 + Mark + 18;
  Painter.drawText(QRectF(TextLeft, 14, Area.width() - TextLeft, 44),
                   Qt::AlignLeft | Qt::AlignVCenter, ProductName);

  QFont Line = font();
  Line.setPixelSize(14);
  Painter.setFont(Line);
  Painter.setPen(QColor(0xd8, 0xe6, 0xf2));
  Painter.drawText(QRectF(TextLeft, 58, Area.width() - TextLeft, 24),
                   Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Convert your videos and music, file after file"));

  Painter.setPen(Spray);
  Painter.drawText(Area.adjusted(0, 0, -18, -12), Qt::AlignRight | Qt::AlignBottom,
                   QStringLiteral("pelorix.org"));
}

void TBanner::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (AEvent->button() == Qt::LeftButton && rect().contains(AEvent->position().toPoint()))
    emit Clicked();
}

} // namespace pelorix
