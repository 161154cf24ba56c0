#pragma once

namespace lumaflash::platform {

// What the console's control handler does with `event` (a CTRL_..._EVENT) while a StopSignals
// lives: Ctrl+C and Ctrl+Break request its stop; a close, logoff or shutdown requests it too and
// returns only once the StopSignals is gone. True when the event was handled. Windows calls it
// on a thread of its own; tests call it for the events Wine does not deliver.
bool HandleConsoleControl(unsigned long event);

}  // namespace lumaflash::platform
