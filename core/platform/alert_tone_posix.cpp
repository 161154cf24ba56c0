#include "core/platform/alert_tone.h"

namespace lumaflash::platform {

// A terminal bell or a sound server is the front end's business; the core has no speaker here.
bool SoundAlertTone() {
  return false;
}

}  // namespace lumaflash::platform
