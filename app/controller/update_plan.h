#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/controller/window_view.h"
#include "core/session/session.h"

namespace lumaflash::app {

enum class UpdatePath {
  WrongSelection,  // not exactly one row selected: reported, nothing else happens
  UseLast,         // "Use last again" is on and there is a current image: update from it
  AskForFile,      // the operator picks the image in the file dialog first
};

struct UpdatePlan {
  UpdatePath path = UpdatePath::WrongSelection;
  int index = -1;           // the interface to update: the first selected row
  uint16_t deviceId = 0;    // its type, which names the settings section
  std::string initialName;  // the file dialog's initial name: the type's last image or "DIR/*.bin"
};

// The first half of the Firmware-Update command: checks the selection ("Wrong interface
// selection !" otherwise) and writes USE_LAST_AGAIN for the chosen path, "1" to use the last
// image, "0" when the file dialog is to be shown. A `handedImage` (the program was handed a
// file) is confirmed in the file dialog instead, and leaves USE_LAST_AGAIN as it is: handing a
// file is no choice about the setting.
UpdatePlan PlanUpdate(session::Session& session, const std::vector<int>& selected,
                      const std::string& handedImage);

// What the file dialog is asked for: a pattern such as "DIR/*.bin" names only the directory; a
// file name is offered as it is.
FileRequest RequestFor(const std::string& initialName);

}  // namespace lumaflash::app
