#pragma once

#include <filesystem>
#include <string_view>

namespace lumaflash::cli {

// Appends `line` to the file at `path`, created when missing, with `header` before it when the
// file is empty. The file is locked for the whole append, so that programs appending at once
// never mix their lines or both write the header. Returns 0 or the errno of the step that failed.
int AppendLocked(const std::filesystem::path& path, std::string_view header, std::string_view line);

}  // namespace lumaflash::cli
