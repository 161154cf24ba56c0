#include "core/platform/command_line.h"

#include <algorithm>
#include <numeric>

namespace lumaflash::platform {

namespace {

const OptionSpec* FindOption(std::span<const OptionSpec> table, std::string_view name) {
  const auto found = std::find_if(table.begin(), table.end(),
                                  [name](const OptionSpec& option) { return option.name == name; });
  return found == table.end() ? nullptr : &*found;
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<CommandLineStop> WalkCommandLine(std::span<const std::string> args,
                                               std::span<const OptionSpec> table,
                                               const OptionHandler& onOption,
                                               const OperandHandler& onOperand) {
  using Reason = CommandLineStop::Reason;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word.size() < 2 || word[0] != '-') {
      if (!onOperand(word)) {
        return CommandLineStop{Reason::Refused, word};
      }
      continue;
    }
    const OptionSpec* option = FindOption(table, word);
    if (option == nullptr) {
      return CommandLineStop{Reason::UnknownOption, word};
    }
    if (!option->value.empty() && i + 1 >= args.size()) {
      return CommandLineStop{Reason::MissingValue, word, option};
    }
    const std::string_view value = option->value.empty() ? std::string_view() : args[++i];
    if (!onOption(*option, value)) {
      return CommandLineStop{Reason::Refused, std::string(value), option};
    }
  }
  return std::nullopt;
}

std::string NearMiss(std::string_view typed, std::span<const std::string_view> known) {
  std::string_view best;
  std::size_t bestDistance = 3;
  for (std::string_view candidate : known) {
    std::size_t distance = EditDistance(typed, candidate);
    if (typed.size() >= 3 && candidate.starts_with(typed)) {
      distance = std::min<std::size_t>(distance, 1);
    }
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best.empty() ? std::string() : " (did you mean " + std::string(best) + "?)";
}

}  // namespace lumaflash::platform
