#include "busy_run.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <thread>

namespace lumaflash::app {

namespace {

// Drops the operator's input for every widget while installed on the application.
class InputBlocker : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    return IsInput(event->type()) || QObject::eventFilter(watched, event);
  }

 private:
  static bool IsInput(QEvent::Type type) {
    switch (type) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::ContextMenu:
      case QEvent::Close:
        return true;
      default:
        return false;
    }
  }
};

}  // namespace

void RunBusy(const std::function<void()>& work) {
  InputBlocker blocker;
  QCoreApplication::instance()->installEventFilter(&blocker);
  QEventLoop loop;
  std::thread worker([&] {
    work();
    // Queued, so that a quit that comes before exec() has started is not lost.
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  QCoreApplication::instance()->removeEventFilter(&blocker);
}

}  // namespace lumaflash::app
