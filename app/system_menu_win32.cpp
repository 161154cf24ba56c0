// The About entry in the native system menu of a Qt window on Windows.
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <utility>

// After Qt, and without the min/max macros, which would break later standard-library code.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "system_menu.h"

namespace lumaflash::app {

namespace {

// "Inf&o über Lumaflash...": the u-umlaut spelled out, so the source file's encoding cannot
// change the text.
constexpr const wchar_t* kAboutText = L"Inf&o \u00fcber Lumaflash...";

// Watches the messages Qt receives for top-level windows and takes the About command of one
// window. A QObject child of that window, so it goes away with it; the base class's destructor
// takes it off the application's list.
class AboutCommandFilter final : public QObject, public QAbstractNativeEventFilter {
 public:
  AboutCommandFilter(QWidget& window, std::function<void()> onAbout)
      : QObject(&window), m_window(&window), m_onAbout(std::move(onAbout)) {}

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
    if (eventType != "windows_generic_MSG" || m_window == nullptr) {
      return false;
    }
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_SYSCOMMAND || (msg->wParam & 0xFFF0) != kAboutCommand ||
        msg->hwnd != reinterpret_cast<HWND>(m_window->winId())) {
      return false;
    }
    // Shown from the event loop, not from inside the window procedure that is still closing
    // the menu.
    QMetaObject::invokeMethod(this, m_onAbout, Qt::QueuedConnection);
    *result = 0;  // WM_SYSCOMMAND handled
    return true;
  }

 private:
  QPointer<QWidget> m_window;
  std::function<void()> m_onAbout;
};

}  // namespace

void InstallSystemMenuEntry(QWidget& window, std::function<void()> onAbout) {
  // winId() creates the native window if it does not exist yet; its system menu comes with it.
  HWND handle = reinterpret_cast<HWND>(window.winId());
  HMENU menu = GetSystemMenu(handle, FALSE);
  if (menu == nullptr) {
    return;  // a window without a system menu (no Qt::WindowSystemMenuHint)
  }
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kAboutCommand, kAboutText);
  auto* filter = new AboutCommandFilter(window, std::move(onAbout));  // owned by `window`
  QCoreApplication::instance()->installNativeEventFilter(filter);
}

}  // namespace lumaflash::app
