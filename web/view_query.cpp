#include "web/view_query.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "core/records/image_filter.h"
#include "web/escape.h"

namespace lumaflash::web {

namespace {

bool AllHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return text;
}

// A whole number from `low` to `high`; nothing for anything else.
std::optional<std::size_t> Number(std::string_view text, std::size_t low, std::size_t high) {
  std::size_t value = 0;
  auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || status != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

Unexpected<QueryError> Refuse(std::string message) {
  return MakeUnexpected(QueryError{std::move(message)});
}

}  // namespace

std::string NormalSerial(std::string_view text) {
  std::string hex;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      continue;
    }
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return {};
    }
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return hex.size() % 2 == 0 ? hex : std::string();
}

Expected<ViewQuery, QueryError> ParseViewQuery(std::string_view query) {
  ViewQuery view;
  if (const QueryValue days = QueryParameter(query, "days"); days.present && !days.value.empty()) {
    const auto number = Number(days.value, 0, kMaxDays);
    if (!number) {
      return Refuse("days takes a whole number of days from 0 (every day) to " +
                    std::to_string(kMaxDays) + "; \"" + days.value + "\" is not one");
    }
    view.days = static_cast<int>(*number);
  }
  view.station = QueryParameter(query, "station").value;
  view.result = QueryParameter(query, "result").value;
  const bool resultWord = view.result.size() <= 40 &&
                          std::all_of(view.result.begin(), view.result.end(),
                                      [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
  if (!resultWord) {
    return Refuse(
        "result takes one word of how an attempt ended (ok, write-failed, "
        "interrupted, ...); \"" +
        view.result + "\" is not one");
  }
  view.unit = QueryParameter(query, "unit").value;
  view.type = Lower(QueryParameter(query, "type").value);
  if (!view.type.empty() && (view.type.size() != 4 || !AllHex(view.type))) {
    return Refuse("type takes a device type as four hexadecimal digits (e.g. 3514); \"" +
                  view.type + "\" is not one");
  }
  view.image = records::NormalImage(QueryParameter(query, "image").value);
  if (const QueryValue offset = QueryParameter(query, "offset"); offset.present) {
    const auto number = Number(offset.value, 0, 1'000'000'000);
    if (!number) {
      return Refuse("offset takes the number of rows to skip; \"" + offset.value + "\" is not one");
    }
    view.offset = *number;
  }
  if (const QueryValue limit = QueryParameter(query, "limit"); limit.present) {
    const auto number = Number(limit.value, 1, kMaxRows);
    if (!number) {
      return Refuse("limit takes a number of rows from 1 to " + std::to_string(kMaxRows) + "; \"" +
                    limit.value + "\" is not one (page through longer lists with offset)");
    }
    view.limit = *number;
  }
  return view;
}

records::RecordFilter FilterOf(const ViewQuery& view, int64_t nowMs,
                               const platform::TimeZone& zone) {
  records::RecordFilter filter;
  if (view.days > 0) {
    // Whole days of the zone, today included, so that the first bar of the plot is not a part day.
    filter.sinceMs = zone.DayStartMs(zone.LocalDay(nowMs) - (view.days - 1));
  }
  auto set = [](std::optional<std::string>& field, const std::string& value) {
    if (!value.empty()) {
      field = value;
    }
  };
  set(filter.station, view.station);
  set(filter.deviceId, view.type);
  set(filter.result, view.result);
  records::FilterByImage(filter, view.image);
  return filter;
}

}  // namespace lumaflash::web
