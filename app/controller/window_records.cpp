#include "app/controller/window_records.h"

#include "core/session/station_records.h"
#include "lumaflash_version.h"

namespace lumaflash::app {

std::shared_ptr<records::Recorder> StartWindowRecords(
    const AppOptions& options, const std::function<void(std::string)>& tell) {
  auto recorder = std::make_shared<records::Recorder>(records::ResolveRecordsConfig(
      options.records, options.station, options.recordsServer, kVersion));
  if (!recorder->Enabled()) {
    return nullptr;
  }
  if (const std::string problem = session::OpenStationRecords(*recorder, false); !problem.empty()) {
    tell("lumaflash: " + problem + "\n");
  }
  return recorder;
}

void EndWindowRecords(records::Recorder* recorder, const std::function<void(std::string)>& tell) {
  if (recorder == nullptr) {
    return;
  }
  for (const std::string& line : session::CloseStationRecords(*recorder)) {
    tell("lumaflash: " + line + "\n");
  }
}

}  // namespace lumaflash::app
