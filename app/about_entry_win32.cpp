// On Windows the About box's entry goes where Windows users look for it: the window's system
// menu, as command 16.
#include "about_entry.h"
#include "system_menu.h"

namespace lumaflash::app {

void InstallAboutEntry(QWidget& window, const std::function<void()>& showAbout) {
  InstallSystemMenuEntry(window, showAbout);
}

}  // namespace lumaflash::app
