#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "core/platform/command_line.h"
#include "core/platform/expected.h"

// The values of lumaflash-cli's own options, each read as the command that uses it wants it, or
// refused with a usage error that says what such a value looks like.
namespace lumaflash::cli {

// --serial: hex digits, two per byte, in either case, with blanks, ':' or '-' between them
// allowed ("0a 1b ff"); given back in upper case without them ("0A1BFF").
Expected<std::string, platform::UsageError> SerialValue(std::string_view text);

// --holder-wait: whole seconds from 0 to 3600.
Expected<std::chrono::seconds, platform::UsageError> HolderWaitValue(std::string_view text);

// --log: a file name, never empty.
Expected<std::string, platform::UsageError> LogValue(std::string_view text);

}  // namespace lumaflash::cli
