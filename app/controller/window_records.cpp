#include "app/controller/window_records.h"

#include "core/platform/text_path.h"
#include "lumaflash_version.h"

namespace lumaflash::app {

namespace {

constexpr std::chrono::seconds kQueuePatience{5};

}  // namespace

std::shared_ptr<records::Recorder> StartWindowRecords(
    const AppOptions& options, const std::function<void(std::string)>& tell) {
  auto recorder = std::make_shared<records::Recorder>(records::ResolveRecordsConfig(
      options.records, options.station, options.recordsServer, kVersion));
  if (!recorder->Enabled()) {
    return nullptr;
  }
  if (auto opened = recorder->Open(); !opened) {
    tell("lumaflash: " + records::Describe(opened.error()) +
         ". Updates go on, but their records are not kept.\n");
  }
  recorder->StartForwarding();
  return recorder;
}

void EndWindowRecords(records::Recorder* recorder, const std::function<void(std::string)>& tell) {
  if (recorder == nullptr) {
    return;
  }
  const std::optional<std::size_t> waiting = recorder->FinishForwarding(kQueuePatience);
  if (waiting && *waiting > 0) {
    tell("lumaflash: " + std::to_string(*waiting) + " record(s) still queued in " +
         platform::Utf8FromPath(recorder->Config().storePath) + " (" + recorder->ForwardingError() +
         "); the next run or lumaflash-cli records sync forwards them.\n");
  }
}

}  // namespace lumaflash::app
