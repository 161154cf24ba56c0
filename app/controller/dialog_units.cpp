#include "app/controller/dialog_units.h"

#include <algorithm>
#include <cstdint>

namespace lumaflash::app {

namespace {

// units * base / divisor, rounded half away from zero.
int Scale(int units, int base, int divisor) {
  const int64_t product = int64_t{units} * base;
  const int64_t half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

}  // namespace

DialogUnitScale::DialogUnitScale(int averageCharWidth, int charHeight)
    : m_baseX(std::max(1, averageCharWidth)), m_baseY(std::max(1, charHeight)) {}

int DialogUnitScale::AverageWidth(int widthOfAlphabet) {
  return (widthOfAlphabet / 26 + 1) / 2;
}

int DialogUnitScale::ToPixelsX(int units) const {
  return Scale(units, m_baseX, 4);
}

int DialogUnitScale::ToPixelsY(int units) const {
  return Scale(units, m_baseY, 8);
}

UnitRect DialogUnitScale::ToPixels(const UnitRect& units) const {
  return {ToPixelsX(units.x), ToPixelsY(units.y), ToPixelsX(units.width), ToPixelsY(units.height)};
}

}  // namespace lumaflash::app
