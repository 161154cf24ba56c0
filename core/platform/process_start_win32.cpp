#include "core/platform/process_start.h"

namespace lumaflash::platform {

// Windows hands out handles, not the lowest free descriptor number, so a port can never take
// the place of a missing standard handle; and there is no SIGPIPE.
void PrepareProcess() {}

}  // namespace lumaflash::platform
