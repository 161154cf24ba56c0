#include "settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
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
constexpr std::string_view kLineBreaks = "\r\n";
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

std::string WithoutLineBreaks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (kLineBreaks.find(c) == std::string_view::npos) {
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
// File access (POSIX)
// ---------------------------------------------------------------------------------------------

namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
  return "\"" + path.string() + "\"";
}

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

fs::path DirectoryOf(const fs::path& file) {
  fs::path directory = file.parent_path();
  return directory.empty() ? fs::path(".") : directory;
}

// Every call that may be interrupted by a signal goes through here; close() does not, because
// after an interrupted close the descriptor is already gone on Linux.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) {
      return result;
    }
  }
}

struct FileContent {
  enum class Status { kRead, kMissing, kNotAFile, kFailed };
  Status status = Status::kFailed;
  int error = 0;
  bool isDirectory = false;
  mode_t permissions = 0;
  std::string text;
};

bool ReadAll(int fd, std::string& text) {
  std::array<char, std::size_t{64} * 1024> buffer;
  for (;;) {
    const ssize_t got = RetryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

// O_NONBLOCK keeps a FIFO planted at the path from hanging the program in open(); for a regular
// file it changes nothing.
FileContent ReadFileContent(const fs::path& path) {
  FileContent content;
  const int fd = RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
  if (fd < 0) {
    content.error = errno;
    content.status =
        content.error == ENOENT ? FileContent::Status::kMissing : FileContent::Status::kFailed;
    return content;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    content.error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    content.status = FileContent::Status::kNotAFile;
    content.isDirectory = S_ISDIR(info.st_mode);
  } else if (!ReadAll(fd, content.text)) {
    content.error = errno;
    content.text.clear();
  } else {
    content.status = FileContent::Status::kRead;
    content.permissions = info.st_mode & 07777;
  }
  ::close(fd);
  return content;
}

std::string ReadFailureMessage(const fs::path& path, const FileContent& content) {
  if (content.status == FileContent::Status::kNotAFile) {
    return "The settings file " + Quoted(path) + " is " +
           (content.isDirectory ? "a directory" : "not a regular file") +
           ", so settings cannot be kept there. Rename or remove it and try again.";
  }
  if (content.error == ENOTDIR) {
    // Some part of the folder's path is a file: neither reading nor writing can work there.
    return "Cannot read the settings file " + Quoted(path) + ": " + ErrorText(content.error) +
           ". Check that the folder " + Quoted(DirectoryOf(path)) + " exists and is a folder.";
  }
  return "Cannot read the settings file " + Quoted(path) + ": " + ErrorText(content.error) +
         ". Check that this user may read it, or move it away to start with default settings.";
}

std::string WriteAdvice(int error, const fs::path& directory) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return "Free some disk space, then try again.";
    case EFBIG:
      return "A file-size limit is set for this program (see \"ulimit -f\"); raise it, then try "
             "again.";
    case EACCES:
    case EPERM:
      return "Check that this user may write to the folder " + Quoted(directory) + ".";
    case EROFS:
      return "The folder " + Quoted(directory) +
             " is on a read-only file system; start the program from a writable folder.";
    case ENOENT:
    case ENOTDIR:
      return "Check that the folder " + Quoted(directory) + " exists.";
    default:
      return "Check the folder " + Quoted(directory) + " and the disk, then try again.";
  }
}

std::string WriteFailureMessage(const fs::path& path, int error) {
  return "Could not save the settings file " + Quoted(path) + ": " + ErrorText(error) +
         ". The file was left as it was. " + WriteAdvice(error, DirectoryOf(path));
}

// Why an entry cannot be stored so that it reads back as given, or empty when it can.
std::string EntryProblem(std::string_view section, std::string_view key, std::string_view value) {
  const auto hasLineBreak = [](std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
  };
  // A line break would end the entry early and let the rest of the value pose as lines of its
  // own; refusing (instead of dropping the breaks) keeps a wrong value from being stored.
  if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) {
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

// A settings file reached through a symbolic link is replaced where it really lives, so the
// link survives the write.
fs::path WriteTarget(const fs::path& path) {
  std::error_code error;
  if (fs::is_symlink(path, error)) {
    fs::path real = fs::canonical(path, error);
    if (!error) {
      return real;
    }
  }
  return path;
}

struct TempFile {
  int fd = -1;
  int error = 0;
  fs::path path;
};

// O_EXCL makes the name ours alone; a name left behind by a killed process only costs a retry.
// Mode 0666 lets the umask decide, as for any new file of the user.
TempFile CreateTempFileBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  constexpr int kAttempts = 100;
  TempFile temp;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temp.path =
        DirectoryOf(target) / ("." + target.filename().string() + "." + std::to_string(::getpid()) +
                               "." + std::to_string(counter.fetch_add(1)) + ".tmp");
    temp.fd = RetryOnInterrupt([&] {
      return ::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    });
    if (temp.fd >= 0) {
      return temp;
    }
    temp.error = errno;
    if (temp.error != EEXIST) {
      return temp;
    }
  }
  return temp;
}

// With SIGXFSZ ignored, the write that crosses a file-size limit is cut short and the next one
// fails with EFBIG; both land in the error path like a full disk.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = RetryOnInterrupt([&] { return ::write(fd, text.data(), text.size()); });
    if (written < 0) {
      return errno;
    }
    if (written == 0) {
      return EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// Makes the rename itself durable. A failure is not reported: the new content is already in
// place and flushed, and losing only the rename in a crash still leaves the complete old file.
void SyncDirectory(const fs::path& directory) {
  const int fd = RetryOnInterrupt(
      [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd >= 0) {
    RetryOnInterrupt([&] { return ::fsync(fd); });
    ::close(fd);
  }
}

// Puts `text` in place of `target` so that readers and crashes only ever see the old or the new
// content. Returns 0 or the errno of the step that failed; on failure nothing is left behind.
int ReplaceFileContent(const fs::path& target, std::string_view text,
                       std::optional<mode_t> permissions) {
  const TempFile temp = CreateTempFileBeside(target);
  if (temp.fd < 0) {
    return temp.error;
  }
  if (permissions) {
    // Keeping the old mode is a courtesy; the file is still usable if this fails.
    static_cast<void>(::fchmod(temp.fd, *permissions));
  }
  int error = WriteAll(temp.fd, text);
  if (error == 0 && RetryOnInterrupt([&] { return ::fsync(temp.fd); }) != 0) {
    error = errno;
  }
  // Some file systems report a failed write-back only at close.
  if (::close(temp.fd) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && ::rename(temp.path.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temp.path.c_str());
    return error;
  }
  SyncDirectory(DirectoryOf(target));
  return 0;
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
                  Quoted(m_path) + ": " + problem + ". The file was left as it was.";
    return false;
  }
  const fs::path target = WriteTarget(m_path);
  const FileContent current = ReadFileContent(target);
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
  const int error = ReplaceFileContent(
      target, updated, exists ? std::optional<mode_t>(current.permissions) : std::nullopt);
  if (error != 0) {
    m_lastError = WriteFailureMessage(m_path, error);
    return false;
  }
  m_lastError.clear();
  return true;
}

}  // namespace lumaflash::settings
