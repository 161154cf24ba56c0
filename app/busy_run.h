#pragma once

#include <functional>

namespace lumaflash::app {

// Runs `work` (a scan or an update, which block until they end) on a worker thread while this,
// the GUI thread, goes on painting and serving the worker's feedback, but takes no input: key,
// mouse, wheel, touch, context-menu, shortcut and close events are dropped until `work` ends.
// Returns when `work` has returned. Must be called on the GUI thread.
void RunBusy(const std::function<void()>& work);

}  // namespace lumaflash::app
