// The About entry where there is no system menu to extend: the window's context menu and F1.
#include <QAction>
#include <QKeySequence>
#include <QWidget>

#include "app/qt/about_entry.h"

namespace lumaflash::app {

void InstallAboutEntry(QWidget& window, const std::function<void()>& showAbout) {
  auto* entry = new QAction(AboutEntryText(), &window);  // owned by the window
  entry->setShortcut(QKeySequence(Qt::Key_F1));
  entry->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(entry, &QAction::triggered, &window, [showAbout] { showAbout(); });
  window.addAction(entry);
  window.setContextMenuPolicy(Qt::ActionsContextMenu);
}

}  // namespace lumaflash::app
