#pragma once

#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

#include "core/records/recorder.h"

namespace lumaflash::session {

// At the end of a run the server gets this long to take what waits; the rest stays queued in
// the local store for the next run or `records sync`.
inline constexpr std::chrono::seconds kQueuePatience{5};

// Opens the station's record store at the start of a run, before any port, and starts
// forwarding to the server. Empty when the store is ready (or records are off); otherwise the
// sentence to show, which says whether the run goes on without records or, with `required`,
// that nothing was sent.
std::string OpenStationRecords(records::Recorder& recorder, bool required);

// At the end of a run: forwarding gets at most kQueuePatience, and none once a stop is requested
// on `stop` (Ctrl+C, SIGTERM). The sentences to show: how many records stay queued, where and why, when any do; then
// one per record the server refused for good during the run.
std::vector<std::string> CloseStationRecords(records::Recorder& recorder,
                                             const std::stop_token& stop = {});

}  // namespace lumaflash::session
