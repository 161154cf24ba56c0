#include "core/session/station_records.h"

#include "core/platform/text_path.h"

namespace lumaflash::session {

std::string OpenStationRecords(records::Recorder& recorder, bool required) {
  if (!recorder.Enabled()) {
    return {};
  }
  const records::RecordsResult<void> opened = recorder.Open();
  if (!opened && required) {
    return records::Describe(opened.error()) + ". --require-record: nothing was sent.";
  }
  // What waits from earlier runs goes to the server even when this run cannot add to it.
  recorder.StartForwarding();
  return opened ? std::string()
                : records::Describe(opened.error()) +
                      ". Updates go on, but their records are not kept in the store.";
}

std::vector<std::string> CloseStationRecords(records::Recorder& recorder,
                                             const std::stop_token& stop) {
  std::vector<std::string> lines;
  const std::optional<std::size_t> waiting = recorder.FinishForwarding(kQueuePatience, stop);
  if (waiting && *waiting > 0) {
    const std::optional<records::RecordsError> why = recorder.ForwardingError();
    lines.push_back(std::to_string(*waiting) + " record(s) still queued in " +
                    platform::Utf8FromPath(recorder.Config().storePath) + " (" +
                    (why ? records::Describe(*why) : std::string()) +
                    "); the next run or lumaflash-cli records sync forwards them.");
  }
  for (const records::Rejection& refused : recorder.ForwardingRefusals()) {
    lines.push_back("the records server refused the record of the attempt on " +
                    refused.record.port + " (" + refused.record.id + ") for good: SQLSTATE " +
                    refused.sqlState + ": " + refused.message +
                    ". It stays in the local store; lumaflash-cli records --rejected lists it.");
  }
  return lines;
}

}  // namespace lumaflash::session
