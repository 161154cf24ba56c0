#pragma once

#include <filesystem>

namespace lumaflash::serial {

// Where the Linux port walk finds sys/ and dev/: $LUMAFLASH_DEVICE_ROOT when set (tests build a
// fake tree there), otherwise "/".
std::filesystem::path DeviceRoot();

}  // namespace lumaflash::serial
