#include "core/settings/ini_text.h"

#include <cstddef>
#include <string>
#include <vector>

namespace lumaflash::settings::ini_text {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return kBlanks.find(c) != std::string_view::npos;
}

std::string_view TrimLeft(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

std::string_view Trim(std::string_view text) {
  text = TrimLeft(text);
  const std::size_t last = text.find_last_not_of(kBlanks);
  return last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Only ASCII letters fold: the names this program uses are ASCII, and folding other bytes would
// depend on a code page the file does not declare.
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

bool IsQuoted(std::string_view value) {
  return value.size() >= 2 && value.front() == value.back() &&
         (value.front() == '"' || value.front() == '\'');
}

// Like the Windows reader, one pair of matching outer quotes is not part of the value; this is
// also how a value keeps blanks at its ends.
std::string_view Unquote(std::string_view value) {
  return IsQuoted(value) ? value.substr(1, value.size() - 2) : value;
}

// Two memchr-backed searches, cheap even for very long values.
bool HasLineBreak(std::string_view text) {
  return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

std::string WithoutLineBreaks(std::string_view text) {
  if (!HasLineBreak(text)) {
    return std::string(text);
  }
  std::string result;
  for (const char c : text) {
    if (c != '\n' && c != '\r') {
      result += c;
    }
  }
  return result;
}

// The value as it must stand in the file so that FindValue gives it back unchanged: blanks at
// its ends or outer quotes of its own would otherwise be taken away by the reader.
std::string EncodeValue(std::string_view value) {
  std::string oneLine = WithoutLineBreaks(value);
  if (!oneLine.empty() &&
      (IsBlank(oneLine.front()) || IsBlank(oneLine.back()) || IsQuoted(oneLine))) {
    return '"' + oneLine + '"';
  }
  return oneLine;
}

struct Line {
  std::size_t start = 0;    // offset of the line in the text
  std::string_view body;    // the line without its ending
  std::string_view ending;  // "\n", "\r\n", or empty for a last line without one
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) {
      lines.push_back({start, text.substr(start), {}});
      break;
    }
    std::size_t bodyEnd = newline;
    if (bodyEnd > start && text[bodyEnd - 1] == '\r') {
      --bodyEnd;
    }
    lines.push_back(
        {start, text.substr(start, bodyEnd - start), text.substr(bodyEnd, newline + 1 - bodyEnd)});
    start = newline + 1;
  }
  return lines;
}

// New lines follow the convention the file already uses, so a CRLF file stays CRLF throughout.
std::string_view LineEndingOf(const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (!line.ending.empty()) {
      return line.ending;
    }
  }
  return "\n";
}

enum class LineKind { Other, Section, Entry };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;       // section or key name, trimmed
  std::string_view value;      // entry value, trimmed, quotes still on
  std::size_t valueStart = 0;  // offset in the line body where the value's text begins
};

// Comments (';' or '#'), blank lines, an unclosed '[' and lines without '=' are Other: they
// belong to no entry and are carried through a write untouched.
ParsedLine ParseLine(std::string_view body, bool isFirstLine) {
  std::string_view content = body;
  if (isFirstLine && content.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark) {
    content.remove_prefix(kUtf8ByteOrderMark.size());
  }
  const std::string_view text = TrimLeft(content);
  if (text.empty() || text.front() == ';' || text.front() == '#') {
    return {};
  }
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
      return {};
    }
    return {LineKind::Section, Trim(text.substr(1, close - 1)), {}, 0};
  }
  const std::size_t equals = text.find('=');
  const std::string_view name = Trim(text.substr(0, equals));
  if (equals == std::string_view::npos || name.empty()) {
    return {};
  }
  const std::size_t afterEquals = static_cast<std::size_t>(text.data() - body.data()) + equals + 1;
  const std::string_view rest = body.substr(afterEquals);
  const std::size_t valueOffset = std::min(rest.find_first_not_of(kBlanks), rest.size());
  return {LineKind::Entry, name, Trim(rest), afterEquals + valueOffset};
}

// Where the first matching entry is, or where a new one would go.
struct Location {
  std::optional<std::size_t> entryLine;
  std::optional<std::size_t> lastLineOfFirstSection;  // its last entry, or its header
};

// Sections of the same name act as one, in file order: the first matching key in any of them
// wins, and a new key goes into the first of them.
Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location location;
  bool inMatchingSection = false;
  bool inFirstMatchingSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(lines[i].body, i == 0);
    if (parsed.kind == LineKind::Section) {
      inMatchingSection = EqualsNoCase(parsed.name, section);
      inFirstMatchingSection = inMatchingSection && !location.lastLineOfFirstSection;
      if (inFirstMatchingSection) {
        location.lastLineOfFirstSection = i;
      }
    } else if (parsed.kind == LineKind::Entry && inMatchingSection) {
      if (EqualsNoCase(parsed.name, key)) {
        location.entryLine = i;
        return location;
      }
      if (inFirstMatchingSection) {
        location.lastLineOfFirstSection = i;
      }
    }
  }
  return location;
}

}  // namespace

std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty()) {
    return std::nullopt;
  }
  const std::vector<Line> lines = SplitLines(text);
  const Location location = Locate(lines, section, key);
  if (!location.entryLine) {
    return std::nullopt;
  }
  const std::size_t index = *location.entryLine;
  return std::string(Unquote(ParseLine(lines[index].body, index == 0).value));
}

// Line breaks in the section, key or value are dropped here, so that one call can never add
// more than the lines it means to; IniFile::Write refuses such input before it gets this far.
std::string SetValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value) {
  const std::string sectionName(Trim(WithoutLineBreaks(section)));
  const std::string keyName(Trim(WithoutLineBreaks(key)));
  if (sectionName.empty() || keyName.empty()) {
    return std::string(text);
  }
  const std::string encoded = EncodeValue(value);
  const std::vector<Line> lines = SplitLines(text);
  const std::string_view ending = LineEndingOf(lines);
  const Location location = Locate(lines, sectionName, keyName);

  std::string result;
  result.reserve(text.size() + sectionName.size() + keyName.size() + encoded.size() + 8);
  if (location.entryLine) {
    const std::size_t index = *location.entryLine;
    const Line& line = lines[index];
    const std::size_t valueStart = line.start + ParseLine(line.body, index == 0).valueStart;
    result.append(text.substr(0, valueStart));
    result.append(encoded);
    result.append(text.substr(line.start + line.body.size()));
    return result;
  }
  if (location.lastLineOfFirstSection) {
    const Line& line = lines[*location.lastLineOfFirstSection];
    const std::size_t insertAt = line.start + line.body.size() + line.ending.size();
    result.append(text.substr(0, insertAt));
    if (line.ending.empty()) {
      result.append(ending);  // the last line had no ending; the new one must not join it
    }
    result.append(keyName).append("=").append(encoded).append(ending);
    result.append(text.substr(insertAt));
    return result;
  }
  result.append(text);
  if (!result.empty() && result.back() != '\n') {
    result.append(ending);
  }
  result.append("[").append(sectionName).append("]").append(ending);
  result.append(keyName).append("=").append(encoded).append(ending);
  return result;
}

std::string EntryProblem(std::string_view section, std::string_view key, std::string_view value) {
  // A line break would end the entry early and let the rest of the value pose as lines of its
  // own; refusing (instead of dropping the breaks) keeps a wrong value from being stored.
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
    return "it contains a line break, which a settings entry cannot hold";
  }
  const std::string_view sectionName = Trim(section);
  const std::string_view keyName = Trim(key);
  if (sectionName.empty() || sectionName.find(']') != std::string_view::npos) {
    return "the section name \"" + std::string(section) + "\" is empty or contains ']'";
  }
  if (keyName.empty() || keyName.find('=') != std::string_view::npos ||
      keyName.find_first_of("[;#") == 0) {
    return "the key name \"" + std::string(key) +
           "\" is empty, contains '=' or starts with '[', ';' or '#'";
  }
  return {};
}

}  // namespace lumaflash::settings::ini_text
