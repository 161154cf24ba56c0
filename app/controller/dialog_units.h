#pragma once

namespace lumaflash::app {

// A rectangle in dialog units or in pixels.
struct UnitRect {
  int x;
  int y;
  int width;
  int height;

  bool operator==(const UnitRect&) const = default;
};

// Dialog units tie a layout to its font: across, a quarter of the font's average character
// width; down, an eighth of its character height. A window laid out in them keeps its
// proportions at any font size and screen density.
class DialogUnitScale {
 public:
  // `averageCharWidth` and `charHeight` in pixels, as DialogUnitScale::AverageWidth measures.
  DialogUnitScale(int averageCharWidth, int charHeight);

  // The average character width the way dialog units define it: the width of the 52 letters
  // A-Z a-z over 52, rounded to the nearest pixel.
  static int AverageWidth(int widthOfAlphabet);

  int ToPixelsX(int units) const;
  int ToPixelsY(int units) const;
  UnitRect ToPixels(const UnitRect& units) const;

 private:
  int m_baseX;
  int m_baseY;
};

}  // namespace lumaflash::app
