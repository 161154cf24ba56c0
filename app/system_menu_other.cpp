#include "system_menu.h"

namespace lumaflash::app {

// Only Windows gives a window a system menu a program may add to; elsewhere the About box is
// reached through the window's own controls.
void InstallSystemMenuEntry(QWidget& /*window*/, std::function<void()> /*onAbout*/) {}

}  // namespace lumaflash::app
