#include "app/qt/dialog_layout.h"

#include <QFontMetrics>
#include <QString>
#include <QWidget>

namespace lumaflash::app {

DialogUnitScale ScaleFor(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return DialogUnitScale(DialogUnitScale::AverageWidth(alphabet), metrics.height());
}

void Place(QWidget& control, const DialogUnitScale& scale, const UnitRect& units) {
  const UnitRect pixels = scale.ToPixels(units);
  control.setGeometry(pixels.x, pixels.y, pixels.width, pixels.height);
}

void SetFixedClientSize(QWidget& window, const DialogUnitScale& scale, const UnitRect& units) {
  const UnitRect pixels = scale.ToPixels(units);
  window.setFixedSize(pixels.width, pixels.height);
}

}  // namespace lumaflash::app
