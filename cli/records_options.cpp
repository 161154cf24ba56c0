#include "cli/records_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <vector>

#include "core/platform/command_line.h"
#include "core/platform/time_zone.h"
#include "core/records/questions.h"

namespace lumaflash::cli {

namespace {

constexpr std::array<std::string_view, 4> kGroupings{"day", "station", "type", "image"};

Unexpected<RecordsOptionError> Refuse(std::string message) {
  return MakeUnexpected(RecordsOptionError{std::move(message)});
}

// The word meant: a known word in other letters ("OK"), one within two edits, or one that
// holds the word ("failed" in "write-failed").
std::string Nearest(std::string_view typed, std::span<const std::string_view> known) {
  std::string lower(typed);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  for (std::string_view word : known) {
    if (word == lower) {
      return " (did you mean " + std::string(word) + "?)";
    }
  }
  if (std::string near = platform::NearMiss(lower, known); !near.empty()) {
    return near;
  }
  for (std::string_view word : known) {
    if (lower.size() >= 3 && word.find(lower) != std::string_view::npos) {
      return " (did you mean " + std::string(word) + "?)";
    }
  }
  return "";
}

Expected<void, RecordsOptionError> StoreResult(std::string_view value, Options& options) {
  std::vector<std::string_view> known(records::kResultWords.begin(), records::kResultWords.end());
  known.push_back(records::kNotOk);
  if (std::find(known.begin(), known.end(), value) == known.end()) {
    return Refuse("--result takes one of " + ResultWordsText() + "; \"" + std::string(value) +
                  "\" is none of them" + Nearest(value, known));
  }
  options.result = value;
  return {};
}

Expected<void, RecordsOptionError> StoreTime(std::string_view name, std::string_view value,
                                             Options& options) {
  if (!platform::ParseCivilTime(value)) {
    return Refuse(std::string(name) +
                  " takes a date, YYYY-MM-DD (e.g. 2026-12-08), or a time, "
                  "YYYY-MM-DDTHH:MM[:SS] with Z or +HH:MM when it is not in the --tz zone; \"" +
                  std::string(value) + "\" is no such date or time");
  }
  (name == "--since" ? options.since : options.until) = value;
  return {};
}

}  // namespace

bool IsRecordsValueOption(std::string_view name) {
  return name == "--since" || name == "--until" || name == "--result" || name == "--by" ||
         name == "--tz" || name == "--limit";
}

std::string ResultWordsText() {
  std::string text;
  for (std::string_view word : records::kResultWords) {
    text += std::string(word) + ", ";
  }
  return text + "or " + std::string(records::kNotOk);
}

Expected<void, RecordsOptionError> StoreRecordsOption(std::string_view name, std::string_view value,
                                                      Options& options) {
  if (name == "--result") {
    return StoreResult(value, options);
  }
  if (name == "--since" || name == "--until") {
    return StoreTime(name, value, options);
  }
  if (name == "--by") {
    if (std::find(kGroupings.begin(), kGroupings.end(), value) == kGroupings.end()) {
      return Refuse("--by takes day, station, type or image; \"" + std::string(value) +
                    "\" is none of them" + Nearest(value, kGroupings));
    }
    options.by.emplace_back(value);
    return {};
  }
  if (name == "--limit") {
    std::size_t limit = 0;
    const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), limit);
    if (value.empty() || status != std::errc() || end != value.data() + value.size() ||
        limit == 0) {
      return Refuse("--limit takes how many records to list at most, a whole number from 1; \"" +
                    std::string(value) + "\" is not one");
    }
    options.limit = limit;
    return {};
  }
  if (value.empty()) {
    return Refuse("--tz needs a zone, an IANA name such as Europe/Berlin; \"\" names none");
  }
  options.timeZone = value;
  return {};
}

}  // namespace lumaflash::cli
