#include "core/session/last_image.h"

#include <fstream>

#include "core/platform/text_path.h"
#include "core/session/session.h"

namespace lumaflash::session {

namespace {

// A settings file that cannot be used costs the operator his conveniences, not the update:
// say so once per run, then carry on. True when `result` holds no failure.
template <typename Result>
bool Reported(Session& session, const Result& result) {
  session.lastSettingsProblem = result ? std::string() : settings::Describe(result.error());
  if (result || session.settingsErrorReported) {
    return result.has_value();
  }
  session.settingsErrorReported = true;
  session.feedback.AddStatus(session.lastSettingsProblem, true);
  return false;
}

bool IsReadableFile(const std::string& path) {
  std::ifstream file(platform::PathFromUtf8(path), std::ios::binary);
  return file.is_open();
}

}  // namespace

void SetupSettings(Session& session, const std::filesystem::path& directory) {
  session.currentDirectory = directory;
  session.settings.emplace(settings::SettingsPathIn(directory));
}

std::string ReadLastOpen(Session& session, uint16_t deviceId, const std::string& fallback) {
  if (!session.settings) {
    return fallback;
  }
  const auto value = session.settings->ReadLastOpen(deviceId, fallback);
  return Reported(session, value) ? *value : fallback;
}

void WriteLastOpen(Session& session, uint16_t deviceId, const std::string& path) {
  if (session.settings) {
    Reported(session, session.settings->WriteLastOpen(deviceId, path));
  }
}

void WriteUseLastAgain(Session& session, uint16_t deviceId, bool on) {
  if (session.settings) {
    Reported(session, session.settings->WriteUseLastAgain(deviceId, on));
  }
}

void RecallLastImage(Session& session) {
  if (session.interfaces.Count() != 1 || !session.settings) {
    return;
  }
  const uint16_t deviceId = session.interfaces[0].deviceId;
  session.currentImagePath = ReadLastOpen(session, deviceId, "");
  if (session.currentImagePath.empty() || !IsReadableFile(session.currentImagePath)) {
    return;
  }
  session.useLastAgain =
      settings::AppSettings::IsOn(session.settings->ReadUseLastAgain(deviceId).value_or(""));
  session.feedback.AddStatus("Last file: " + session.currentImagePath, true);
  session.feedback.LastImageRecalled(session.currentImagePath, session.useLastAgain);
}

bool IsAutoRepeatDue(Session& session) {
  if (session.interfaces.Count() != 1 || !session.useLastAgain || !session.settings) {
    return false;
  }
  const auto stamp = session.settings->ReadLastDevice();
  return Reported(session, stamp) &&
         *stamp == settings::FormatUpdateStamp(session.interfaces[0].deviceId, session.today());
}

void StampUpdate(Session& session, uint16_t deviceId) {
  if (session.settings) {
    Reported(session, session.settings->WriteUpdateStamp(deviceId, session.today()));
  }
}

}  // namespace lumaflash::session
