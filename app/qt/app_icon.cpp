#include "app/qt/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace lumaflash::app {

namespace {

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 32.0, size / 32.0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x3a, 0x5f));
  painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  QPainterPath bolt;
  constexpr std::array<QPointF, 7> kBolt{QPointF(18, 4),  QPointF(8, 18),  QPointF(15, 18),
                                         QPointF(12, 28), QPointF(24, 13), QPointF(17, 13),
                                         QPointF(20, 4)};
  bolt.moveTo(kBolt[0]);
  for (const QPointF& point : kBolt) {
    bolt.lineTo(point);
  }
  bolt.closeSubpath();
  painter.setBrush(QColor(0xff, 0xc8, 0x30));
  painter.drawPath(bolt);
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) {
    icon.addPixmap(DrawIcon(size));
  }
  return icon;
}

}  // namespace lumaflash::app
