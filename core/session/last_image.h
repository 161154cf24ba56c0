#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/settings/settings.h"

namespace lumaflash::session {

struct Session;

// Fixes the settings file: Lumaflash.ini in `directory`, which also becomes the session's
// current directory (the file dialog starts there).
void SetupSettings(Session& session, const std::filesystem::path& directory);

// After a scan: with exactly one interface listed, its type's last image becomes the current
// image path; when that file exists its "Use last again" flag is read back, "Last file: ..."
// reported and the listener told (LastImageRecalled).
void RecallLastImage(Session& session);

// True when one interface is listed, "Use last again" is on and the last update stamp is
// today's for that interface's type: the update should then start by itself.
bool IsAutoRepeatDue(Session& session);

// Records a successful update of `deviceId` today.
void StampUpdate(Session& session, uint16_t deviceId);

// The settings file's last image for `deviceId`, or `fallback`.
std::string ReadLastOpen(Session& session, uint16_t deviceId, const std::string& fallback);
void WriteLastOpen(Session& session, uint16_t deviceId, const std::string& path);
void WriteUseLastAgain(Session& session, uint16_t deviceId, bool on);

}  // namespace lumaflash::session
