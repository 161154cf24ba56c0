#pragma once

#include <optional>
#include <string_view>

#include "core/platform/time_zone.h"

namespace lumaflash::platform {

// The rule a POSIX TZ string writes, "std offset [dst [offset] [,start[/time],end[/time]]]" as
// in "CET-1CEST,M3.5.0,M10.5.0/3"; nothing when `text` is no such string.
std::optional<TimeZone::YearRule> ParseTzString(std::string_view text);

}  // namespace lumaflash::platform
