#pragma once

#include <string>

namespace lumaflash::serial {

// What a user who may not open the port at `path` can do about it: on Linux it names the group
// that owns the node (read from the node) with the usermod line, and the udev rule that
// `lumaflash-cli udev-rule` makes for the port's USB id.
std::string AccessDeniedAdvice(const std::string& path);

}  // namespace lumaflash::serial
