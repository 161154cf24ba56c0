#include "core/records/question_sql.h"

#include <algorithm>

namespace lumaflash::records::sql {

namespace {

// Refused before the port was opened, or the port would not open: the unit was never touched.
// An interruption with no block named (0) came before the start packet.
constexpr const char* kStarted =
    "(result NOT IN ('no-image', 'image-unusable', 'wrong-device', 'wrong-bootloader', "
    "'unusable-block-size', 'port-open-failed', 'no-such-interface') AND NOT (result = "
    "'interrupted' AND coalesce(failed_block, 0) = 0))";

// Times are milliseconds in the station's store and timestamptz on the server, which takes
// them as ISO 8601 text.
std::string BindTime(Query& query, int64_t ms) {
  if (query.dialect == Dialect::Sqlite) {
    return query.Bind({std::nullopt, ms});
  }
  return query.Bind({IsoUtc(ms), std::nullopt});
}

// " WHERE a AND b ...": fixed pieces, one per filter that is set, so that each question can
// use its index; the values are always bound.
std::string Where(Query& query, const RecordFilter& filter) {
  std::vector<std::string> conditions;
  if (filter.sinceMs) {
    conditions.push_back("started_at >= " + BindTime(query, *filter.sinceMs));
  }
  if (filter.untilMs) {
    conditions.push_back("started_at < " + BindTime(query, *filter.untilMs));
  }
  const std::pair<const char*, const std::optional<std::string>*> texts[] = {
      {"serial", &filter.serial},
      {"usb_serial", &filter.usbSerial},
      {"image_sha256", &filter.imageSha256},
      {"image_path", &filter.imagePath},
      {"station", &filter.station},
      {"device_id", &filter.deviceId},
  };
  for (const auto& [column, value] : texts) {
    if (*value) {
      conditions.push_back(std::string(column) + " = " + query.Bind({**value, std::nullopt}));
    }
  }
  if (filter.result && *filter.result == kNotOk) {
    conditions.emplace_back("result <> 'ok'");
  } else if (filter.result) {
    conditions.push_back("result = " + query.Bind({*filter.result, std::nullopt}));
  }
  std::string text;
  for (const std::string& condition : conditions) {
    text += (text.empty() ? " WHERE " : " AND ") + condition;
  }
  return text;
}

// Text in byte order, as SQLite sorts it: the server would otherwise sort by its locale.
std::string Ordered(Dialect dialect, const std::string& column) {
  return dialect == Dialect::Postgres ? column + " COLLATE \"C\"" : column;
}

bool Has(const std::vector<GroupBy>& by, GroupBy part) {
  return std::find(by.begin(), by.end(), part) != by.end();
}

}  // namespace

const char* const kStartedSql = kStarted;

std::string Query::Bind(Value value) {
  values.push_back(std::move(value));
  return (dialect == Dialect::Sqlite ? "?" : "$") + std::to_string(values.size());
}

Query ListQuery(Dialect dialect, const std::string& columns, const RecordFilter& filter,
                std::size_t limit, std::size_t offset) {
  Query query{dialect, "", {}};
  query.text = "SELECT " + columns + " FROM records" + Where(query, filter) +
               " ORDER BY started_at DESC, id";
  if (limit > 0 || offset > 0) {
    // SQLite takes an offset only after a limit, and -1 for none.
    const int64_t most = limit > 0 ? static_cast<int64_t>(limit) : -1;
    query.text += dialect == Dialect::Sqlite || limit > 0
                      ? " LIMIT " + query.Bind({std::nullopt, most})
                      : std::string();
    query.text += " OFFSET " + query.Bind({std::nullopt, static_cast<int64_t>(offset)});
  }
  return query;
}

Query SummaryQueryText(Dialect dialect, const SummaryQuery& summary, const std::string& timeZone) {
  Query query{dialect, "", {}};
  const std::vector<GroupBy> by =
      summary.by.empty() ? std::vector<GroupBy>{GroupBy::Day, GroupBy::Type} : summary.by;
  const bool byDay = Has(by, GroupBy::Day);
  const bool byStation = Has(by, GroupBy::Station);
  const bool byType = Has(by, GroupBy::Type);
  const bool byImage = Has(by, GroupBy::Image);
  const bool sqlite = dialect == Dialect::Sqlite;
  // The day is found per record only when asked for, and shown once per group.
  std::string dayRaw = "NULL";
  std::string dayShown = "NULL";
  if (byDay && sqlite) {
    dayRaw = "lumaflash_local_day(started_at)";
    dayShown = "date(day * 86400, 'unixepoch')";
  } else if (byDay) {
    dayRaw = "(started_at AT TIME ZONE " + query.Bind({timeZone, std::nullopt}) + ")::date";
    dayShown = "to_char(day, 'YYYY-MM-DD')";
  }
  const std::string raw = "SELECT started_at, serial, result, " + dayRaw + " AS day, " +
                          (byStation ? "station" : "NULL") + " AS station, " +
                          (byType ? "coalesce(device_id, '-')" : "NULL") + " AS device_id, " +
                          (byType ? "device_name" : "NULL") + " AS device_name, " +
                          (byImage ? "coalesce(image_sha256, '-')" : "NULL") + " AS image, " +
                          kStarted + " AS started FROM records" + Where(query, summary.filter);
  // One pass over each unit's attempts in time order counts, at every attempt, the unit's
  // started and successful attempts so far: the first of each is what the yield asks about.
  // (One device cannot start two attempts in the same millisecond, so time alone orders them.)
  const std::string ranked =
      "SELECT day, station, device_id, device_name, image, started, result = 'ok' AS ok, "
      "serial IS NULL AS serial_less, started AND (serial IS NULL OR count(*) FILTER (WHERE "
      "started) OVER unit = 1) AS first_started, result = 'ok' AND (serial IS NULL OR count(*) "
      "FILTER (WHERE result = 'ok') OVER unit = 1) AS first_ok FROM (" +
      raw +
      ") AS chosen WINDOW unit AS (PARTITION BY serial ORDER BY started_at ROWS UNBOUNDED "
      "PRECEDING)";
  // In the order of SummaryRow.
  constexpr const char* kCounts[] = {
      "",                               // attempts
      "NOT started",                    // notStarted
      "first_started",                  // unitsAttempted
      "first_ok",                       // unitsUpdated
      "first_started AND ok",           // firstPassUnits
      "started AND NOT ok",             // failures
      "started AND NOT first_started",  // reworkAttempts
      "started AND serial_less",        // serialLessAttempts
  };
  std::string counts;
  for (const char* condition : kCounts) {
    counts += *condition == '\0' ? std::string(", count(*)")
                                 : ", count(*) FILTER (WHERE " + std::string(condition) + ")";
  }
  query.text = "SELECT " + dayShown + ", max(station), max(device_id), " +
               (byType ? "coalesce(max(device_name), 'Unknown device')" : "NULL") + ", max(image)" +
               counts + " FROM (" + ranked +
               ") AS ranked GROUP BY day, station, device_id, image ORDER BY day DESC, " +
               Ordered(dialect, "station") + ", " + Ordered(dialect, "device_id") + ", " +
               Ordered(dialect, "image");
  return query;
}

Query FailuresQuery(Dialect dialect, const RecordFilter& filter) {
  Query query{dialect, "", {}};
  std::string where = Where(query, filter);
  where += (where.empty() ? " WHERE " : " AND ") + std::string("result <> 'ok'");
  query.text =
      "SELECT coalesce(device_id, '-'), coalesce(max(device_name), 'Unknown device'), result, "
      "failed_block, count(*) FROM records" +
      where + " GROUP BY coalesce(device_id, '-'), result, failed_block ORDER BY " +
      Ordered(dialect, "coalesce(device_id, '-')") + ", count(*) DESC, " +
      Ordered(dialect, "result") + ", failed_block NULLS FIRST";
  return query;
}

}  // namespace lumaflash::records::sql
