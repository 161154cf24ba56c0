#include "core/platform/log_file.h"

#include <cstring>

#include "core/platform/text_path.h"

namespace lumaflash::platform {

std::string Describe(const LogFileError& error) {
  return "cannot write the log " + Utf8FromPath(error.path) + " (" + std::strerror(error.osError) +
         "): check that its folder exists and is writable.";
}

}  // namespace lumaflash::platform
