#pragma once

namespace lumaflash::platform {

// Sounds the operator's alert: a 100 Hz tone of 100 ms. Returns only when the tone has ended.
// False where the system has no way to play it (on Linux a desktop program may still ring the
// display's bell instead, which the core cannot reach).
bool SoundAlertTone();

}  // namespace lumaflash::platform
