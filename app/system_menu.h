#pragma once

#include <functional>

#include "window_controller.h"  // kAboutCommand

class QWidget;

namespace lumaflash::app {

// Appends a separator and "Inf&o über Lumaflash..." to `window`'s native system menu (the menu
// behind the title bar's icon, and Alt+Space) and calls `onAbout` when the entry is chosen,
// after the menu has closed. Stays in force while `window` lives. Does nothing where the
// platform has no such menu (everywhere but Windows).
void InstallSystemMenuEntry(QWidget& window, std::function<void()> onAbout);

}  // namespace lumaflash::app
