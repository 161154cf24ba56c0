#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/platform/time_zone.h"
#include "core/records/questions.h"
#include "web/http_types.h"

namespace lumaflash::web {

// What the page shows, how it says where its data comes from: "the records of PATH", "the
// records server".
struct ViewSource {
  std::string description;
  bool localStore = false;  // a station's own store: the page says how many records wait
  // The zone of the days, as `records --summary` counts them: its IANA name for the questions
  // (empty: this machine's zone) and the zone itself for the first day a view shows.
  std::string timeZone = "UTC";
  platform::TimeZone zone = platform::TimeZone::Utc();
};

// The answers that need no records: the page, its style sheet and its script. Nothing for any
// other path.
std::optional<Response> StaticAnswer(const std::string& path);

// Whether a path is answered by DataAnswer (and so needs the records).
bool IsDataPath(const std::string& path);
// Whether a data path asks only for a page of records, which an index answers at once.
bool IsQuickPath(const std::string& path);

// The moment of an answer: the time the view's days count back from, and the live slots.
struct ViewMoment {
  int64_t nowMs = 0;
  std::size_t liveClients = 0;
  std::size_t maxLive = 0;
};

// The answers that ask the records: the tables as JSON or CSV, the plots as SVG and the status
// line's figures. Every list is limited and paged; a bad query is refused with a 400 that says
// which parameter is wrong.
Response DataAnswer(const std::string& target, records::RecordQuestions& questions,
                    const ViewSource& source, const ViewMoment& moment);

}  // namespace lumaflash::web
