#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/platform/expected.h"

namespace lumaflash::platform {

// Why a line could not be added to a log file.
struct LogFileError {
  enum class Step { Open, Lock, Size, Write, Close };
  Step step = Step::Open;
  std::filesystem::path path;
  int osError = 0;  // an errno value on every system, so the sentence reads the same
};

// "cannot write the log PATH (reason): check that its folder exists and is writable."
std::string Describe(const LogFileError& error);

// Appends `line` to the log file at `path`, created when missing, with `header` before it when
// the file is empty. The file is locked for the whole append, so that programs appending at once
// never mix their lines or both write the header.
Expected<void, LogFileError> AppendLocked(const std::filesystem::path& path,
                                          std::string_view header, std::string_view line);

}  // namespace lumaflash::platform
