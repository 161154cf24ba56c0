#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace lumaflash::app {

// The About box's entry: "Inf&o über Lumaflash...".
inline QString AboutEntryText() {
  return QStringLiteral("Inf&o über Lumaflash...");
}

// Offers the About box in the window's context menu and on F1 (the Win32 window has its own
// entry in the system menu). Called once, at window set-up.
void InstallAboutEntry(QWidget& window, const std::function<void()>& showAbout);

}  // namespace lumaflash::app
