#pragma once

#include <functional>

class QWidget;

namespace lumaflash::app {

// The command identifier of the "Inf&o über Lumaflash..." entry in the window's system menu.
// Windows keeps the four low bits of a system command for itself, so 16 to 31 all mean it.
inline constexpr unsigned kAboutCommand = 16;

// Appends a separator and "Inf&o über Lumaflash..." to `window`'s native system menu (the menu
// behind the title bar's icon, and Alt+Space) and calls `onAbout` when the entry is chosen,
// after the menu has closed. Stays in force while `window` lives. Does nothing where the
// platform has no such menu (everywhere but Windows).
void InstallSystemMenuEntry(QWidget& window, std::function<void()> onAbout);

}  // namespace lumaflash::app
