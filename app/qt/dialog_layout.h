#pragma once

#include "app/controller/dialog_units.h"

class QFont;
class QWidget;

namespace lumaflash::app {

// The dialog-unit scale of a window font.
DialogUnitScale ScaleFor(const QFont& font);

// Puts `control` at a rectangle given in dialog units.
void Place(QWidget& control, const DialogUnitScale& scale, const UnitRect& units);

// Fixes a window's client area to a size given in dialog units (it cannot be resized).
void SetFixedClientSize(QWidget& window, const DialogUnitScale& scale, const UnitRect& units);

}  // namespace lumaflash::app
