// The record questions answered in the program, over whole lists of records, for builds whose
// core does not answer them in the database yet. CMake leaves this file out once it does.
#include <algorithm>
#include <map>
#include <tuple>

#include "core/records/questions.h"
#include "core/records/server.h"

namespace lumaflash::records {

namespace {

using Finder = std::function<RecordsResult<std::vector<Record>>(const RecordFilter&)>;

bool NeverStarted(const Record& record) {
  static const std::vector<std::string> kBeforeFirstBlock{
      "no-image",         "image-unusable",      "wrong-device",
      "wrong-bootloader", "unusable-block-size", "port-open-failed",
      "no-such-interface"};
  return std::find(kBeforeFirstBlock.begin(), kBeforeFirstBlock.end(), record.result) !=
         kBeforeFirstBlock.end();
}

std::string UnitOf(const Record& record) {
  return record.serial      ? "s:" + *record.serial
         : record.usbSerial ? "u:" + *record.usbSerial
                            : "a:" + record.id;
}

std::string DayOf(int64_t ms) {
  return IsoUtc(ms).substr(0, 10);
}

class InterimQuestions : public RecordQuestions {
 public:
  InterimQuestions(Finder find, std::function<std::optional<int64_t>()> waiting)
      : m_find(std::move(find)), m_waiting(std::move(waiting)) {}

  RecordsResult<std::vector<SummaryRow>> Summary(const SummaryQuery& query) override {
    auto found = m_find(query.filter);
    if (!found) {
      return MakeUnexpected(found.error());
    }
    std::vector<GroupBy> by = query.by;
    if (by.empty()) {
      by = {GroupBy::Day, GroupBy::Type};
    }
    auto has = [&by](GroupBy part) { return std::find(by.begin(), by.end(), part) != by.end(); };
    std::map<std::tuple<std::string, std::string, std::string, std::string>, SummaryRow> groups;
    std::map<std::tuple<std::string, std::string, std::string, std::string>,
             std::map<std::string, std::vector<const Record*>>>
        units;
    for (const Record& record : *found) {
      SummaryRow key;
      key.day = has(GroupBy::Day) ? DayOf(record.startedAtMs) : "";
      key.station = has(GroupBy::Station) ? record.station : "";
      key.deviceId = has(GroupBy::Type) ? record.deviceId.value_or("-") : "";
      key.deviceName = has(GroupBy::Type) ? record.deviceName.value_or("") : "";
      key.imageSha256 = has(GroupBy::Image) ? record.imageSha256.value_or("") : "";
      const auto id = std::tuple(key.day, key.station, key.deviceId, key.imageSha256);
      SummaryRow& row = groups.try_emplace(id, key).first->second;
      ++row.attempts;
      if (NeverStarted(record)) {
        ++row.notStarted;
        continue;
      }
      row.failures += record.result == "ok" ? 0 : 1;
      row.serialLessAttempts += record.serial || record.usbSerial ? 0 : 1;
      units[id][UnitOf(record)].push_back(&record);
    }
    std::vector<SummaryRow> rows;
    for (auto& [id, row] : groups) {
      for (auto& [unit, attempts] : units[id]) {
        std::sort(attempts.begin(), attempts.end(),
                  [](const Record* a, const Record* b) { return a->startedAtMs < b->startedAtMs; });
        ++row.unitsAttempted;
        row.firstPassUnits += attempts.front()->result == "ok" ? 1 : 0;
        row.unitsUpdated += std::any_of(attempts.begin(), attempts.end(),
                                        [](const Record* a) { return a->result == "ok"; })
                                ? 1
                                : 0;
        row.reworkAttempts += static_cast<int64_t>(attempts.size()) - 1;
      }
      rows.push_back(row);
    }
    return rows;
  }

  RecordsResult<std::vector<FailureRow>> Failures(const RecordFilter& filter) override {
    auto found = m_find(filter);
    if (!found) {
      return MakeUnexpected(found.error());
    }
    std::map<std::tuple<std::string, std::string, int64_t>, FailureRow> groups;
    for (const Record& record : *found) {
      if (record.result == "ok") {
        continue;
      }
      FailureRow& row =
          groups[{record.deviceId.value_or("-"), record.result, record.failedBlock.value_or(-1)}];
      row.deviceId = record.deviceId.value_or("-");
      row.deviceName = record.deviceName.value_or("");
      row.result = record.result;
      row.failedBlock = record.failedBlock;
      ++row.count;
    }
    std::vector<FailureRow> rows;
    rows.reserve(groups.size());
    for (auto& [key, row] : groups) {
      rows.push_back(row);
    }
    return rows;
  }

  RecordsResult<void> List(const RecordFilter& filter, std::size_t limit, std::size_t offset,
                           const std::function<bool(const Record&)>& each) override {
    auto found = m_find(filter);
    if (!found) {
      return MakeUnexpected(found.error());
    }
    for (std::size_t i = offset; i < found->size() && (limit == 0 || i < offset + limit); ++i) {
      if (!each((*found)[i])) {
        break;
      }
    }
    return {};
  }

  RecordsResult<std::vector<StationRow>> Stations() override {
    auto found = m_find({});
    if (!found) {
      return MakeUnexpected(found.error());
    }
    std::map<std::string, StationRow> stations;
    for (const Record& record : *found) {
      StationRow& row = stations[record.station];
      row.station = record.station;
      row.lastStartedAtMs = std::max(row.lastStartedAtMs, record.startedAtMs);
    }
    std::vector<StationRow> rows;
    for (auto& [name, row] : stations) {
      row.waiting = rows.empty() ? m_waiting() : 0;  // the store's count, told once
      rows.push_back(row);
    }
    return rows;
  }

  RecordsResult<int64_t> ChangeCounter() override {
    auto found = m_find({});
    if (!found) {
      return MakeUnexpected(found.error());
    }
    int64_t counter = static_cast<int64_t>(found->size());
    for (const Record& record : *found) {
      counter = counter * 31 + record.endedAtMs;
    }
    return counter;
  }

 private:
  Finder m_find;
  std::function<std::optional<int64_t>()> m_waiting;
};

}  // namespace

RecordsResult<std::unique_ptr<RecordQuestions>> LocalQuestions(const std::filesystem::path& path) {
  auto store = RecordStore::Open(path, RecordStore::Mode::Read);
  if (!store) {
    return MakeUnexpected(store.error());
  }
  std::shared_ptr<RecordStore> shared(std::move(*store));
  return std::unique_ptr<RecordQuestions>(std::make_unique<InterimQuestions>(
      [shared](const RecordFilter& filter) { return shared->Find(filter); },
      [shared]() -> std::optional<int64_t> {
        const auto count = shared->CountUnforwarded();
        return count ? std::optional<int64_t>(static_cast<int64_t>(*count)) : std::nullopt;
      }));
}

RecordsResult<std::unique_ptr<RecordQuestions>> ServerQuestions(const std::string& uri) {
  return std::unique_ptr<RecordQuestions>(std::make_unique<InterimQuestions>(
      [uri](const RecordFilter& filter) { return FindOnServer(uri, filter); },
      []() { return std::optional<int64_t>(); }));
}

}  // namespace lumaflash::records
