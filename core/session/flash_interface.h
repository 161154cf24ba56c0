#pragma once

#include "core/session/session.h"
#include "core/update/flash.h"

namespace lumaflash::session {

// The whole update of interface `index` from the session's current image path, as one recorded
// attempt (RunAttempt): load, record, transfer, and after success the update stamp in the
// settings file. A record the store did not keep is told as "Record not kept: REASON".
update::FlashOutcome FlashInterface(Session& session, int index);

// After an update of `deviceId`: a success is stamped in the settings file (today, that type),
// anything else leaves the stamp alone. The window and the command line both end an update
// with this, so the automatic repeat sees the same stamp whoever did the update.
void StampIfUpdated(Session& session, uint16_t deviceId, const update::FlashOutcome& outcome);

}  // namespace lumaflash::session
