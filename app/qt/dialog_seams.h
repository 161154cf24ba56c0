#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "app/controller/window_view.h"

class QWidget;

namespace lumaflash::app {

// The Qt window's modal conversations and its alert tone, replaceable so that tests can answer
// them without a screen or a person. The defaults are the real dialogs and the platform's beep.
struct DialogSeams {
  // The chosen file's full path, or nothing when the operator cancelled.
  std::function<std::optional<std::string>(QWidget* parent, const FileRequest& request)>
      chooseImage;
  // A message box with only an OK button.
  std::function<void(QWidget* parent, const QString& text)> showMessage;
  std::function<void()> beep;

  static DialogSeams Real();
};

}  // namespace lumaflash::app
