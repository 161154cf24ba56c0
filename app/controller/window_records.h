#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/controller/window_options.h"
#include "core/records/recorder.h"

namespace lumaflash::app {

// The window's record keeping, from its start-up options and the environment: nothing when
// records are off. Forwarding to a server starts at once. A store that cannot be opened is
// told through `tell`; the window still opens.
std::shared_ptr<records::Recorder> StartWindowRecords(const AppOptions& options,
                                                      const std::function<void(std::string)>& tell);

// When the window has closed: gives the server queue at most 5 s, then tells through `tell`
// how many records are still queued locally.
void EndWindowRecords(records::Recorder* recorder, const std::function<void(std::string)>& tell);

}  // namespace lumaflash::app
