#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace lumaflash::app {

// The About box's entry: "Inf&o über Lumaflash...".
inline QString AboutEntryText() {
  return QStringLiteral("Inf&o über Lumaflash...");
}

// Offers the About box the way the platform allows. Windows puts the entry into the window's
// system menu (command 16, handled by CLumaflashDlg::OnSysCommand): that belongs in
// about_entry_win32.cpp. Elsewhere (about_entry_generic.cpp) the same entry sits in the
// window's context menu and answers F1. Called once, at window set-up.
void InstallAboutEntry(QWidget& window, const std::function<void()>& showAbout);

}  // namespace lumaflash::app
