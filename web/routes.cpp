#include "web/routes.h"

#include <algorithm>
#include <set>

#include "core/records/record.h"
#include "web/assets.h"
#include "web/escape.h"
#include "web/plots.h"
#include "web/tables.h"
#include "web/view_query.h"

namespace lumaflash::web {

namespace {

using records::RecordsResult;

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kCsv = "text/csv; charset=utf-8";
constexpr const char* kSvg = "image/svg+xml; charset=utf-8";

Response Answer(std::string contentType, std::string body) {
  Response response;
  response.contentType = std::move(contentType);
  response.body = std::move(body);
  return response;
}

Response Unreadable(const records::RecordsError& error) {
  return TextResponse(503, "The records cannot be read just now: " + records::Describe(error) +
                               ". The page tries again by itself.");
}

// The table as the path's ending asks: "x.json" or "x.csv" (with a file name for the download).
Response TableAnswer(const std::string& path, const Table& table) {
  if (path.ends_with(".csv")) {
    Response response = Answer(kCsv, TableCsv(table));
    const std::string name = path.substr(path.rfind('/') + 1);
    response.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"lumaflash-" + name + "\"");
    return response;
  }
  return Answer(kJson, TableJson(table));
}

template <typename Row>
std::vector<Row> Page(std::vector<Row> rows, const ViewQuery& view) {
  if (view.offset >= rows.size()) {
    return {};
  }
  rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(view.offset));
  rows.resize(std::min(rows.size(), view.limit));
  return rows;
}

RecordsResult<std::vector<records::Record>> ListRecords(records::RecordQuestions& questions,
                                                        const records::RecordFilter& filter,
                                                        std::size_t limit, std::size_t offset) {
  std::vector<records::Record> rows;
  auto listed = questions.List(filter, limit, offset, [&rows](const records::Record& record) {
    rows.push_back(record);
    return true;
  });
  if (!listed) {
    return MakeUnexpected(listed.error());
  }
  return rows;
}

// Every attempt of one unit, by its serial number or its USB serial number, newest first.
RecordsResult<std::vector<records::Record>> UnitRecords(records::RecordQuestions& questions,
                                                        const ViewQuery& view) {
  const std::size_t wanted = view.offset + view.limit;
  std::vector<records::Record> rows;
  std::vector<records::RecordFilter> filters(1);
  filters[0].usbSerial = view.unit;
  if (const std::string serial = NormalSerial(view.unit); !serial.empty()) {
    filters.emplace_back().serial = serial;
  }
  for (const records::RecordFilter& filter : filters) {
    auto found = ListRecords(questions, filter, wanted, 0);
    if (!found) {
      return found;
    }
    rows.insert(rows.end(), found->begin(), found->end());
  }
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.startedAtMs != b.startedAtMs ? a.startedAtMs > b.startedAtMs : a.id < b.id;
  });
  rows.erase(std::unique(rows.begin(), rows.end(),
                         [](const auto& a, const auto& b) { return a.id == b.id; }),
             rows.end());
  return Page(std::move(rows), view);
}

RecordsResult<std::vector<records::SummaryRow>> Summary(records::RecordQuestions& questions,
                                                        const records::RecordFilter& filter,
                                                        std::vector<records::GroupBy> by,
                                                        const ViewSource& source) {
  records::SummaryQuery query;
  query.filter = filter;
  query.by = std::move(by);
  query.timeZone = source.timeZone;
  return questions.Summary(query);
}

std::string OptionalJson(const std::optional<int64_t>& value, bool time) {
  if (!value) {
    return "null";
  }
  return time ? JsonString(records::IsoUtc(*value)) : std::to_string(*value);
}

Response StatusAnswer(records::RecordQuestions& questions, const ViewSource& source,
                      const ViewMoment& moment) {
  auto counter = questions.ChangeCounter();
  if (!counter) {
    return Unreadable(counter.error());
  }
  auto stations = questions.Stations();
  if (!stations) {
    return Unreadable(stations.error());
  }
  std::string json = "{\"counter\":" + std::to_string(*counter) +
                     ",\"checkedAt\":" + JsonString(records::IsoUtc(moment.nowMs)) +
                     ",\"liveClients\":" + std::to_string(moment.liveClients) +
                     ",\"maxLive\":" + std::to_string(moment.maxLive) +
                     ",\"source\":" + JsonString(source.description) +
                     ",\"localStore\":" + (source.localStore ? "true" : "false") +
                     ",\"stations\":[";
  for (std::size_t i = 0; i < stations->size(); ++i) {
    const records::StationRow& row = (*stations)[i];
    json += (i == 0 ? "" : ",") + std::string("{\"station\":") + JsonString(row.station) +
            ",\"lastStartedAt\":" + JsonString(records::IsoUtc(row.lastStartedAtMs)) +
            ",\"lastReceivedAt\":" + OptionalJson(row.lastReceivedAtMs, true) +
            ",\"waiting\":" + OptionalJson(row.waiting, false) +
            ",\"oldestWaitingAt\":" + OptionalJson(row.oldestWaitingMs, true) + "}";
  }
  return Answer(kJson, json + "]}\n");
}

Response FailurePlot(records::RecordQuestions& questions, const ViewQuery& view,
                     const records::RecordFilter& filter) {
  auto failures = questions.Failures(filter);
  if (!failures) {
    return Unreadable(failures.error());
  }
  std::string label = view.type.empty() ? "all device types" : "type " + view.type;
  if (!view.type.empty() && !failures->empty() && !failures->front().deviceName.empty()) {
    label = failures->front().deviceName + " (type " + view.type + ")";
  }
  return Answer(kSvg, ParetoPlot(label, std::move(*failures)));
}

Response DataFor(const std::string& path, const ViewQuery& view,
                 records::RecordQuestions& questions, const ViewSource& source,
                 const ViewMoment& moment) {
  const records::RecordFilter filter = FilterOf(view, moment.nowMs, source.zone);
  const std::string name = path.substr(0, path.rfind('.'));
  if (path == "/api/status.json") {
    return StatusAnswer(questions, source, moment);
  }
  if (path == "/plot/yield.svg") {
    auto days = Summary(questions, filter, {records::GroupBy::Day}, source);
    ViewQuery newest;
    newest.limit = kMaxRows;
    return days ? Answer(kSvg, YieldPlot(Page(std::move(*days), newest)))
                : Unreadable(days.error());
  }
  if (path == "/plot/failures.svg") {
    return FailurePlot(questions, view, filter);
  }
  if (name == "/api/attempts") {
    auto rows = ListRecords(questions, filter, view.limit, view.offset);
    return rows ? TableAnswer(path, RecordTable(*rows)) : Unreadable(rows.error());
  }
  if (name == "/api/unit") {
    if (view.unit.empty()) {
      return TextResponse(400,
                          "unit names the serial number or USB serial number to look for; "
                          "add ?unit=SERIAL.");
    }
    auto rows = UnitRecords(questions, view);
    return rows ? TableAnswer(path, RecordTable(*rows)) : Unreadable(rows.error());
  }
  if (name == "/api/days" || name == "/api/groups") {
    const bool groups = name == "/api/groups";
    auto rows = Summary(questions, filter,
                        groups ? std::vector{records::GroupBy::Station, records::GroupBy::Type}
                               : std::vector{records::GroupBy::Day},
                        source);
    if (!rows) {
      return Unreadable(rows.error());
    }
    std::stable_sort(rows->begin(), rows->end(), [groups](const auto& a, const auto& b) {
      return groups ? std::tie(a.station, a.deviceId) < std::tie(b.station, b.deviceId)
                    : a.day > b.day;
    });
    return TableAnswer(path, SummaryTable(Page(std::move(*rows), view), !groups));
  }
  auto rows = questions.Failures(filter);
  if (!rows) {
    return Unreadable(rows.error());
  }
  std::stable_sort(rows->begin(), rows->end(), [](const auto& a, const auto& b) {
    return a.deviceId != b.deviceId ? a.deviceId < b.deviceId : a.count > b.count;
  });
  return TableAnswer(path, FailureTable(Page(std::move(*rows), view)));
}

const std::set<std::string>& DataPaths() {
  static const std::set<std::string> kPaths{
      "/api/status.json",  "/plot/yield.svg",  "/plot/failures.svg", "/api/attempts.json",
      "/api/attempts.csv", "/api/unit.json",   "/api/unit.csv",      "/api/days.json",
      "/api/days.csv",     "/api/groups.json", "/api/groups.csv",    "/api/failures.json",
      "/api/failures.csv"};
  return kPaths;
}

}  // namespace

std::optional<Response> StaticAnswer(const std::string& path) {
  if (path == "/" || path == "/index.html") {
    return Answer("text/html; charset=utf-8", std::string(PageHtml()));
  }
  if (path == "/assets/page.css") {
    return Answer("text/css; charset=utf-8", std::string(PageCss()));
  }
  if (path == "/assets/page.js") {
    return Answer("text/javascript; charset=utf-8", std::string(PageScript()));
  }
  return std::nullopt;
}

bool IsDataPath(const std::string& path) {
  return DataPaths().contains(path);
}

bool IsQuickPath(const std::string& path) {
  return path.starts_with("/api/attempts.") || path.starts_with("/api/unit.");
}

Response DataAnswer(const std::string& target, records::RecordQuestions& questions,
                    const ViewSource& source, const ViewMoment& moment) {
  const std::string path = TargetPath(target);
  if (!IsDataPath(path)) {
    return TextResponse(404, "There is nothing at " + path + "; the view starts at /.");
  }
  auto view = ParseViewQuery(TargetQuery(target));
  if (!view) {
    return TextResponse(400, view.error().message + ".");
  }
  return DataFor(path, *view, questions, source, moment);
}

}  // namespace lumaflash::web
