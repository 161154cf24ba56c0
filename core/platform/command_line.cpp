#include "core/platform/command_line.h"

#include <algorithm>
#include <numeric>

namespace lumaflash::platform {

namespace {

// Help text ends before column 79, so that it fits a terminal of 80 columns with room to spare;
// the help of an option starts in column 20 unless its name and value reach further.
constexpr std::size_t kLastColumn = 78;
constexpr std::size_t kHelpColumn = 20;

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
      if (auto taken = onOperand(word); !taken) {
        return CommandLineStop{Reason::Refused, word, nullptr, taken.error()};
      }
      continue;
    }
    const OptionSpec* option = FindOption(table, word);
    if (option == nullptr) {
      return CommandLineStop{Reason::UnknownOption, word, nullptr, {}};
    }
    if (!option->value.empty() && i + 1 >= args.size()) {
      return CommandLineStop{Reason::MissingValue, word, option, {}};
    }
    const std::string_view value = option->value.empty() ? std::string_view() : args[++i];
    if (auto taken = onOption(*option, value); !taken) {
      return CommandLineStop{Reason::Refused, std::string(value), option, taken.error()};
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

Expected<std::string, UsageError> TextValue(std::string_view name, std::string_view value) {
  if (value.empty()) {
    return MakeUnexpected(UsageError{std::string(name) + " needs a value; \"\" names nothing"});
  }
  return std::string(value);
}

std::string Synopsis(std::string_view head, std::span<const OptionSpec> table,
                     std::string_view tail, std::size_t lead) {
  std::string line(head);
  const std::size_t indent = lead + line.size() + 1;
  std::size_t column = indent - 1;
  std::vector<std::string> words;
  for (const OptionSpec& option : table) {
    std::string word = "[" + std::string(option.name);
    word += option.value.empty() ? "]" : " " + std::string(option.value) + "]";
    words.push_back(word + (option.repeatable ? "..." : ""));
  }
  if (!tail.empty()) {
    words.emplace_back(tail);
  }
  for (const std::string& word : words) {
    if (column + word.size() + 1 > kLastColumn) {
      line += "\n" + std::string(indent - 1, ' ');
      column = indent - 1;
    }
    line += " " + word;
    column += word.size() + 1;
  }
  return line;
}

std::string Wrapped(std::string_view text, std::size_t indent) {
  std::string out;
  std::size_t column = indent;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    if (column > indent && column + 1 + word.size() > kLastColumn) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

std::string OptionEntry(std::string_view head, std::string_view help) {
  std::string entry = "  " + std::string(head);
  // Heads longer than the column of the help push it right by two blanks.
  entry.resize(std::max<std::size_t>(entry.size() + 2, kHelpColumn), ' ');
  return entry + Wrapped(help, entry.size()) + "\n";
}

std::string OptionList(std::span<const OptionSpec> table) {
  std::string list;
  for (const OptionSpec& option : table) {
    std::string head(option.name);
    head += option.value.empty() ? "" : " " + std::string(option.value);
    list += OptionEntry(head, option.help);
  }
  return list;
}

}  // namespace lumaflash::platform
