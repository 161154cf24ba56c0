#include <windows.h>

#include "core/platform/alert_tone.h"

namespace lumaflash::platform {

namespace {

constexpr DWORD kToneHz = 100;
constexpr DWORD kToneMs = 100;

}  // namespace

// Beep plays through the default sound device on current Windows; it blocks for the duration,
// which the callers accept (an alert comes with a status line, not in a transfer loop).
bool SoundAlertTone() {
  return Beep(kToneHz, kToneMs) != 0;
}

}  // namespace lumaflash::platform
