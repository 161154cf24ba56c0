#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lumaflash::platform {

// SHA-256 of `bytes` as 64 lower-case hex digits; used to record which image went into a unit.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace lumaflash::platform
