#include "core/records/summary.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace lumaflash::records {

namespace {

std::string UnitOf(const Record& record) {
  if (record.serial) {
    return "serial " + *record.serial;
  }
  if (record.usbSerial) {
    return "usb " + *record.usbSerial;
  }
  return "port " + record.port;
}

struct Unit {
  bool firstOk = false;
  bool anyOk = false;
};

struct Group {
  SummaryRow row;
  std::map<std::string, Unit> units;
};

}  // namespace

std::vector<SummaryRow> Summarize(std::vector<Record> records) {
  // A unit's first attempt of the day is the earliest one.
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return std::tie(a.startedAtMs, a.id) < std::tie(b.startedAtMs, b.id);
  });
  std::map<std::pair<std::string, std::string>, Group> groups;
  for (const Record& record : records) {
    const std::string day = IsoUtc(record.startedAtMs).substr(0, 10);
    Group& group = groups[{day, record.deviceId.value_or("-")}];
    group.row.day = day;
    group.row.deviceId = record.deviceId.value_or("-");
    group.row.deviceName = record.deviceName.value_or("Unknown device");
    const bool ok = record.result == "ok";
    ++group.row.attempts;
    group.row.failures += ok ? 0 : 1;
    const auto [unit, first] = group.units.try_emplace(UnitOf(record));
    if (first) {
      unit->second.firstOk = ok;
    }
    unit->second.anyOk = unit->second.anyOk || ok;
  }
  std::vector<SummaryRow> rows;
  for (auto& [key, group] : groups) {
    group.row.unitsAttempted = static_cast<int64_t>(group.units.size());
    for (const auto& [name, unit] : group.units) {
      group.row.unitsUpdated += unit.anyOk ? 1 : 0;
      group.row.firstPassUnits += unit.firstOk ? 1 : 0;
    }
    rows.push_back(group.row);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const SummaryRow& a, const SummaryRow& b) { return a.day > b.day; });
  return rows;
}

}  // namespace lumaflash::records
