#include "core/settings/ini_file.h"

#include "core/platform/file_lock.h"
#include "core/platform/file_replace.h"
#include "core/platform/text_path.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace lumaflash::settings {

// ---------------------------------------------------------------------------------------------
// Text rules
// ---------------------------------------------------------------------------------------------

namespace ini_text {
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

enum class LineKind { kOther, kSection, kEntry };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;       // section or key name, trimmed
  std::string_view value;      // entry value, trimmed, quotes still on
  std::size_t valueStart = 0;  // offset in the line body where the value's text begins
};

// Comments (';' or '#'), blank lines, an unclosed '[' and lines without '=' are kOther: they
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
    return {LineKind::kSection, Trim(text.substr(1, close - 1)), {}, 0};
  }
  const std::size_t equals = text.find('=');
  const std::string_view name = Trim(text.substr(0, equals));
  if (equals == std::string_view::npos || name.empty()) {
    return {};
  }
  const std::size_t afterEquals = static_cast<std::size_t>(text.data() - body.data()) + equals + 1;
  const std::string_view rest = body.substr(afterEquals);
  const std::size_t valueOffset = std::min(rest.find_first_not_of(kBlanks), rest.size());
  return {LineKind::kEntry, name, Trim(rest), afterEquals + valueOffset};
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
    if (parsed.kind == LineKind::kSection) {
      inMatchingSection = EqualsNoCase(parsed.name, section);
      inFirstMatchingSection = inMatchingSection && !location.lastLineOfFirstSection;
      if (inFirstMatchingSection) {
        location.lastLineOfFirstSection = i;
      }
    } else if (parsed.kind == LineKind::kEntry && inMatchingSection) {
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

}  // namespace ini_text

// ---------------------------------------------------------------------------------------------
// Messages and checks around the file access of file_replace_*.cpp
// ---------------------------------------------------------------------------------------------

namespace file_replace {

namespace {
std::atomic<ReplaceStepHook> g_stepHook{nullptr};
}  // namespace

void SetReplaceStepHook(ReplaceStepHook hook) {
  g_stepHook.store(hook);
}

void ReachStep(ReplaceStep step) {
  if (const ReplaceStepHook hook = g_stepHook.load()) {
    hook(step);
  }
}

std::filesystem::path DirectoryOf(const std::filesystem::path& file) {
  std::filesystem::path directory = file.parent_path();
  return directory.empty() ? std::filesystem::path(".") : directory;
}

}  // namespace file_replace

namespace {

namespace fs = std::filesystem;
using file_replace::DirectoryOf;
using file_replace::FileContent;
using file_replace::ReadFileContent;
using file_replace::ReplaceFileContent;

// How long a write waits for another program's write to the same file to finish; one takes
// milliseconds, so running out means the other program is stuck.
constexpr std::chrono::milliseconds kLockWait{5000};

fs::path LockPathFor(const fs::path& settingsPath) {
  fs::path lock = settingsPath;
  lock += ".lock";
  return lock;
}

std::string Quoted(const fs::path& path) {
  return "\"" + platform::Utf8FromPath(path) + "\"";
}

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

std::string ReadFailureMessage(const fs::path& path, const FileContent& content) {
  if (content.status == FileContent::Status::kLink) {
    // Replacing a link, or writing where it points, would let whoever planted it choose which
    // file this program (perhaps run as root) rewrites.
    return "The settings file " + Quoted(path) +
           " is a symbolic link; settings were not saved. Replace it with a regular file to keep "
           "settings.";
  }
  if (content.status == FileContent::Status::kNotAFile) {
    return "The settings file " + Quoted(path) + " is " +
           (content.isDirectory ? "a directory" : "not a regular file") +
           ", so settings cannot be kept there. Rename or remove it and try again.";
  }
  const bool denied = content.error == EACCES || content.error == EPERM;
  return "Cannot read the settings file " + Quoted(path) + ": " + ErrorText(content.error) + ". " +
         (denied ? "Check that this user may read it" : "Check the file and the disk") +
         ", or move the file away to start with default settings.";
}

std::string WriteAdvice(int error, const fs::path& directory) {
  if (auto advice = file_replace::PlatformWriteAdvice(error)) {
    return *advice;
  }
  switch (error) {
    case ENOSPC:
      return "Free some disk space, then try again.";
    case EACCES:
    case EPERM:
      return "Check that this user may write to the folder " + Quoted(directory) + ".";
    case EROFS:
      return "The folder " + Quoted(directory) +
             " is on a read-only file system; start the program from a writable folder.";
    case ENOENT:
      return "Check that the folder " + Quoted(directory) + " exists.";
    case ENOTDIR:
      // Some part of the folder's path is a file: nothing can be written there.
      return "Check that the folder " + Quoted(directory) + " exists and is a folder.";
    default:
      return "Check the folder " + Quoted(directory) + " and the disk, then try again.";
  }
}

std::string WriteFailureMessage(const fs::path& path, int error) {
  return "Could not save the settings file " + Quoted(path) + ": " + ErrorText(error) +
         ". Nothing was changed on disk. " + WriteAdvice(error, DirectoryOf(path));
}

// Why an entry cannot be stored so that it reads back as given, or empty when it can.
std::string EntryProblem(std::string_view section, std::string_view key, std::string_view value) {
  // A line break would end the entry early and let the rest of the value pose as lines of its
  // own; refusing (instead of dropping the breaks) keeps a wrong value from being stored.
  if (ini_text::HasLineBreak(section) || ini_text::HasLineBreak(key) ||
      ini_text::HasLineBreak(value)) {
    return "it contains a line break, which a settings entry cannot hold";
  }
  const std::string_view sectionName = ini_text::Trim(section);
  const std::string_view keyName = ini_text::Trim(key);
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

}  // namespace

std::string IniFile::Read(std::string_view section, std::string_view key,
                          std::string_view fallback) const {
  const FileContent content = ReadFileContent(m_path);
  if (content.status == FileContent::Status::kMissing) {
    m_lastError.clear();
    return std::string(fallback);
  }
  if (content.status != FileContent::Status::kRead) {
    m_lastError = ReadFailureMessage(m_path, content);
    return std::string(fallback);
  }
  m_lastError.clear();
  return ini_text::FindValue(content.text, section, key).value_or(std::string(fallback));
}

bool IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  const std::string problem = EntryProblem(section, key, value);
  if (!problem.empty()) {
    m_lastError = "Cannot save \"" + std::string(key) + "\" in the settings file " +
                  Quoted(m_path) + ": " + problem + ". Nothing was changed on disk.";
    return false;
  }
  // From the read to the replace no other program (a window and a command line in one folder)
  // may write, or one of the two would drop the other's entry. The lock is on a side file
  // because the replace swaps the settings file itself.
  const platform::FileLock lock(LockPathFor(m_path), kLockWait);
  if (lock.Result() == platform::FileLock::State::kTimedOut) {
    m_lastError = "Another program kept the settings file " + Quoted(m_path) + " locked for " +
                  std::to_string(kLockWait.count() / 1000) +
                  " s; settings were not saved. Let the other Lumaflash in this folder finish, "
                  "then try again.";
    return false;
  }
  const FileContent current = ReadFileContent(m_path, true);
  const bool exists = current.status == FileContent::Status::kRead;
  if (!exists && current.status != FileContent::Status::kMissing) {
    m_lastError = ReadFailureMessage(m_path, current);
    return false;
  }
  const std::string updated = ini_text::SetValue(current.text, section, key, value);
  if (exists && updated == current.text) {
    m_lastError.clear();
    return true;
  }
  // The folder may well be writable; the file's owner still said it must not change.
  if (exists && !current.writable) {
    m_lastError = "The settings file " + Quoted(m_path) +
                  " is read-only; settings were not saved. Make it writable to keep settings.";
    return false;
  }
  const int error = ReplaceFileContent(
      m_path, updated, exists ? std::optional<uint32_t>(current.permissions) : std::nullopt);
  if (error != 0) {
    m_lastError = WriteFailureMessage(m_path, error);
    return false;
  }
  m_lastError.clear();
  return true;
}

}  // namespace lumaflash::settings
