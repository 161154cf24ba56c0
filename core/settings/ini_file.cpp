// The settings file on disk: read whole, replaced atomically under a lock, and the sentences
// that say why it could not be. The text rules are ini_text's.
#include "core/settings/ini_file.h"

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "core/platform/file_lock.h"
#include "core/platform/file_replace.h"
#include "core/platform/text_path.h"

namespace lumaflash::settings {

namespace {

namespace fs = std::filesystem;
using platform::FileContent;
using platform::FileError;

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

SettingsError ReadFailure(const fs::path& path, const FileError& failure) {
  SettingsError error{SettingsError::Kind::CannotRead, path, failure.osError, false, {}, {}};
  if (failure.kind == FileError::Kind::Link) {
    error.kind = SettingsError::Kind::Link;
  } else if (failure.kind == FileError::Kind::NotAFile) {
    error.kind = SettingsError::Kind::NotAFile;
    error.isDirectory = failure.isDirectory;
  }
  return error;
}

bool IsMissing(const Expected<FileContent, FileError>& content) {
  return !content && content.error().kind == FileError::Kind::Missing;
}

std::string ReadFailureMessage(const SettingsError& error) {
  const fs::path& path = error.path;
  if (error.kind == SettingsError::Kind::Link) {
    // Replacing a link, or writing where it points, would let whoever planted it choose which
    // file this program (perhaps run as root) rewrites.
    return "The settings file " + Quoted(path) +
           " is a symbolic link; settings were not saved. Replace it with a regular file to keep "
           "settings.";
  }
  if (error.kind == SettingsError::Kind::NotAFile) {
    return "The settings file " + Quoted(path) + " is " +
           (error.isDirectory ? "a directory" : "not a regular file") +
           ", so settings cannot be kept there. Rename or remove it and try again.";
  }
  const bool denied = error.osError == EACCES || error.osError == EPERM;
  return "Cannot read the settings file " + Quoted(path) + ": " + ErrorText(error.osError) + ". " +
         (denied ? "Check that this user may read it" : "Check the file and the disk") +
         ", or move the file away to start with default settings.";
}

std::string WriteAdvice(int error, const fs::path& directory) {
  if (auto advice = platform::PlatformWriteAdvice(error)) {
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
         ". Nothing was changed on disk. " + WriteAdvice(error, platform::DirectoryOf(path));
}

}  // namespace

std::string Describe(const SettingsError& error) {
  switch (error.kind) {
    case SettingsError::Kind::Link:
    case SettingsError::Kind::NotAFile:
    case SettingsError::Kind::CannotRead:
      return ReadFailureMessage(error);
    case SettingsError::Kind::BadEntry:
      return "Cannot save \"" + error.key + "\" in the settings file " + Quoted(error.path) + ": " +
             error.problem + ". Nothing was changed on disk.";
    case SettingsError::Kind::Locked:
      return "Another program kept the settings file " + Quoted(error.path) + " locked for " +
             std::to_string(kLockWait.count() / 1000) +
             " s; settings were not saved. Let the other Lumaflash in this folder finish, then "
             "try again.";
    case SettingsError::Kind::ReadOnly:
      return "The settings file " + Quoted(error.path) +
             " is read-only; settings were not saved. Make it writable to keep settings.";
    case SettingsError::Kind::CannotWrite:
      return WriteFailureMessage(error.path, error.osError);
  }
  return "The settings file " + Quoted(error.path) + " cannot be used.";
}

Expected<std::string, SettingsError> IniFile::Read(std::string_view section, std::string_view key,
                                                   std::string_view fallback) const {
  const auto content = platform::ReadFileContent(m_path);
  if (IsMissing(content)) {
    return std::string(fallback);
  }
  if (!content) {
    return MakeUnexpected(ReadFailure(m_path, content.error()));
  }
  return ini_text::FindValue(content->text, section, key).value_or(std::string(fallback));
}

Expected<void, SettingsError> IniFile::Write(std::string_view section, std::string_view key,
                                             std::string_view value) {
  using Kind = SettingsError::Kind;
  if (std::string problem = ini_text::EntryProblem(section, key, value); !problem.empty()) {
    return MakeUnexpected(
        SettingsError{Kind::BadEntry, m_path, 0, false, std::string(key), std::move(problem)});
  }
  // From the read to the replace no other program (a window and a command line in one folder)
  // may write, or one of the two would drop the other's entry. The lock is on a side file
  // because the replace swaps the settings file itself.
  const platform::FileLock lock(LockPathFor(m_path), kLockWait);
  if (lock.Result() == platform::FileLock::State::TimedOut) {
    return MakeUnexpected(SettingsError{Kind::Locked, m_path, 0, false, {}, {}});
  }
  const auto read = platform::ReadFileContent(m_path, true);
  if (!read && !IsMissing(read)) {
    return MakeUnexpected(ReadFailure(m_path, read.error()));
  }
  const bool exists = read.has_value();
  const FileContent current = read.value_or(FileContent{});
  const std::string updated = ini_text::SetValue(current.text, section, key, value);
  if (exists && updated == current.text) {
    return {};
  }
  // The folder may well be writable; the file's owner still said it must not change.
  if (exists && !current.writable) {
    return MakeUnexpected(SettingsError{Kind::ReadOnly, m_path, 0, false, {}, {}});
  }
  const auto replaced = platform::ReplaceFileContent(
      m_path, updated, exists ? std::optional<uint32_t>(current.permissions) : std::nullopt);
  if (!replaced) {
    return MakeUnexpected(
        SettingsError{Kind::CannotWrite, m_path, replaced.error().osError, false, {}, {}});
  }
  return {};
}

}  // namespace lumaflash::settings
