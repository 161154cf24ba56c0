#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The few file operations the settings store needs, one implementation per operating system.
// Errors are errno values on every platform, so the messages built from them read the same.
namespace lumaflash::settings::file_replace {

struct FileContent {
  enum class Status { Read, Missing, NotAFile, Link, Failed };
  Status status = Status::Failed;
  int error = 0;
  bool isDirectory = false;
  bool writable = true;      // false for a read-only file (no write permission or attribute)
  uint32_t permissions = 0;  // POSIX mode bits; unused on Windows
  std::string text;
};

// The whole content of `path`, or why it could not be read. Never blocks on a FIFO or device.
// With `refuseLink`, a symbolic link (on Windows any reparse point) at `path` itself is not
// followed: the result is Link and neither the link nor its target is touched.
FileContent ReadFileContent(const std::filesystem::path& path, bool refuseLink = false);

// Puts `text` in place of `target` so that readers and crashes only ever see the old or the new
// content: a temporary file beside it, flushed to the disk, then moved over it. `permissions`
// (when known) are given to the new file. Returns 0 or the errno of the step that failed; on
// failure the target is left as it was and nothing is left behind.
int ReplaceFileContent(const std::filesystem::path& target, std::string_view text,
                       std::optional<uint32_t> permissions);

// The steps of ReplaceFileContent in their order, so that a test can stop a writer at exactly
// one of them instead of guessing with a timer. MoveHeld (Windows only): a move met another
// program's hold on the target and will be tried again.
enum class ReplaceStep { TempCreated, TempWritten, TempFlushed, TempClosed, MoveHeld, Renamed };
using ReplaceStepHook = void (*)(ReplaceStep step);

// Installs `hook`, called as each step is done; nullptr removes it. For tests only.
void SetReplaceStepHook(ReplaceStepHook hook);
void ReachStep(ReplaceStep step);

// Advice for errors only this platform produces (a quota, a file-size limit), or nothing.
std::optional<std::string> PlatformWriteAdvice(int error);

// The folder that holds `file`; "." for a bare file name.
std::filesystem::path DirectoryOf(const std::filesystem::path& file);

}  // namespace lumaflash::settings::file_replace
