#pragma once

#include <QIcon>

namespace lumaflash::app {

// The program's icon (a lamp with a lightning flash), drawn rather than loaded so the program
// carries no image files; used as big and small window icon and in the About box.
QIcon AppIcon();

}  // namespace lumaflash::app
