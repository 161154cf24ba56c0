#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/record.h"
#include "core/records/record_store.h"
#include "core/records/records_error.h"

namespace lumaflash::records {

// Every word a record's result may hold: how an update ended ("ok", a failure, "interrupted"),
// "in-progress" while it runs, and "unfinished" for an attempt whose program ended in the middle.
inline constexpr std::array<std::string_view, 12> kResultWords{"ok",
                                                               "write-failed",
                                                               "interrupted",
                                                               "unfinished",
                                                               "in-progress",
                                                               "port-open-failed",
                                                               "wrong-device",
                                                               "wrong-bootloader",
                                                               "unusable-block-size",
                                                               "image-unusable",
                                                               "no-image",
                                                               "no-such-interface"};

// As RecordFilter::result: every result except "ok".
inline constexpr std::string_view kNotOk = "not-ok";

// What a summary row is grouped by; rows carry only the parts asked for.
enum class GroupBy { Day, Station, Type, Image };

struct SummaryQuery {
  RecordFilter filter;
  std::vector<GroupBy> by;  // empty: by day and device type
  std::string timeZone;     // IANA name for day boundaries; empty: this machine's local zone
};

// One group of a line's work over the window the filter chooses. A unit is its serial number;
// an attempt without one is a unit of its own. An attempt is "started" once its start packet
// went out; those stopped before (wrong image or device, bootloader or block size refused, port
// not opened, interrupted before anything was sent) are "not started" and stay out of the
// yield. A unit's first started attempt in the window decides first pass and counts in that
// attempt's group; its later ones are rework, in theirs.
struct SummaryRow {
  std::string day;  // "2026-12-08" in the query's zone
  std::string station;
  std::string deviceId;  // four hex digits, or "-" when the device was never identified
  std::string deviceName;
  std::string imageSha256;
  int64_t attempts = 0;            // every attempt, started or not
  int64_t notStarted = 0;          // attempts that never sent a block
  int64_t unitsAttempted = 0;      // units whose first started attempt is in this group
  int64_t unitsUpdated = 0;        // units whose first successful attempt is in this group
  int64_t firstPassUnits = 0;      // of unitsAttempted, those whose first attempt succeeded
  int64_t failures = 0;            // started attempts that did not end "ok"
  int64_t reworkAttempts = 0;      // started attempts after a unit's first
  int64_t serialLessAttempts = 0;  // started attempts whose unit has no serial number
};

// How often each way of failing happened, per device type, and at which block.
struct FailureRow {
  std::string deviceId;
  std::string deviceName;
  std::string result;                  // "write-failed", "unfinished", ...
  std::optional<int64_t> failedBlock;  // nothing: the failure is not tied to a block
  int64_t count = 0;
};

// What a reader needs to judge whether a report is complete.
struct StationRow {
  std::string station;
  int64_t lastStartedAtMs = 0;              // the station's newest record
  std::optional<int64_t> lastReceivedAtMs;  // the server's newest receipt from it
  std::optional<int64_t> waiting;           // local store: records not yet on the server
  std::optional<int64_t> oldestWaitingMs;   // local store: when the oldest of them started
};

// The questions asked of a store of records, answered by the database itself: the local
// store and the server each have one. Safe to use from one thread at a time.
class RecordQuestions {
 public:
  virtual ~RecordQuestions() = default;

  virtual RecordsResult<std::vector<SummaryRow>> Summary(const SummaryQuery& query) = 0;
  virtual RecordsResult<std::vector<FailureRow>> Failures(const RecordFilter& filter) = 0;
  // The records that pass `filter`, newest first, after skipping `offset`, at most `limit`
  // (0: all); each is handed to `each` as it is read, so nothing is held in memory. `each`
  // returning false ends the listing early.
  virtual RecordsResult<void> List(const RecordFilter& filter, std::size_t limit,
                                   std::size_t offset,
                                   const std::function<bool(const Record&)>& each) = 0;
  virtual RecordsResult<std::vector<StationRow>> Stations() = 0;
  // A number that changes whenever a record is added or changed; cheap to ask often.
  virtual RecordsResult<int64_t> ChangeCounter() = 0;
};

// The local store at `path`, opened read-only (it is never changed by a question).
RecordsResult<std::unique_ptr<RecordQuestions>> LocalQuestions(const std::filesystem::path& path);

// The server at `uri`, as the reader role sees it.
RecordsResult<std::unique_ptr<RecordQuestions>> ServerQuestions(const std::string& uri);

}  // namespace lumaflash::records
