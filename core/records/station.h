#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumaflash::records {

// The machine's host name, or "unknown" when the system tells none.
std::string HostName();

// The operating-system user running the program, or "unknown".
std::string OperatorName();

// Where the station keeps its records unless told otherwise: $XDG_STATE_HOME/lumaflash (by
// default ~/.local/state/lumaflash) on Linux, %LOCALAPPDATA%\Lumaflash on Windows, each with
// records.sqlite. Empty when neither the variable nor a home folder is known.
std::filesystem::path DefaultStorePath();

// An environment variable as UTF-8; nothing when it is not set.
std::optional<std::string> EnvironmentText(const char* name);

}  // namespace lumaflash::records
