#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/expected.h"

// Reading a small file whole and replacing it atomically, one implementation per operating
// system. Error numbers are errno values on every system, so the messages built from them read
// the same.
namespace lumaflash::platform {

// Why a file could not be read or replaced.
struct FileError {
  enum class Kind {
    Missing,   // no such file (or a parent that is a plain file)
    NotAFile,  // a directory (`isDirectory`) or another thing that is no regular file
    Link,      // a symbolic link (on Windows any reparse point) that was not to be followed
    Failed,    // the system refused: `osError` says why
  };
  Kind kind = Kind::Failed;
  int osError = 0;
  bool isDirectory = false;
};

// A regular file's whole content, and what a later replace needs to know about it.
struct FileContent {
  std::string text;
  bool writable = true;      // false for a read-only file (no write permission or attribute)
  uint32_t permissions = 0;  // POSIX mode bits; unused on Windows
};

// The whole content of `path`, or why it could not be read. Never blocks on a FIFO or device.
// With `refuseLink`, a symbolic link (on Windows any reparse point) at `path` itself is not
// followed: the failure is Link and neither the link nor its target is touched.
Expected<FileContent, FileError> ReadFileContent(const std::filesystem::path& path,
                                                 bool refuseLink = false);

// Puts `text` in place of `target` so that readers and crashes only ever see the old or the new
// content: a temporary file beside it, flushed to the disk, then moved over it. `permissions`
// (when known) are given to the new file. On failure (Failed, with the errno of the step that
// failed) the target is left as it was and nothing is left behind.
Expected<void, FileError> ReplaceFileContent(const std::filesystem::path& target,
                                             std::string_view text,
                                             std::optional<uint32_t> permissions);

// The steps of ReplaceFileContent in their order, so that a test can stop a writer at exactly
// one of them instead of guessing with a timer. MoveHeld (Windows only): a move met another
// program's hold on the target and will be tried again.
enum class ReplaceStep { TempCreated, TempWritten, TempFlushed, TempClosed, MoveHeld, Renamed };
using ReplaceStepHook = void (*)(ReplaceStep step);

// Installs `hook`, called as each step is done; nullptr removes it. For tests only.
void SetReplaceStepHook(ReplaceStepHook hook);
void ReachStep(ReplaceStep step);

// Advice for write errors only this system produces (a quota, a file-size limit, a file held
// open), or nothing.
std::optional<std::string> PlatformWriteAdvice(int error);

// The folder that holds `file`; "." for a bare file name.
std::filesystem::path DirectoryOf(const std::filesystem::path& file);

}  // namespace lumaflash::platform
