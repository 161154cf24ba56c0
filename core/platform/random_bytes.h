#pragma once

#include <cstdint>
#include <span>

#include "core/platform/expected.h"

namespace lumaflash::platform {

// Why the system's random generator gave nothing: its error (errno, or an NTSTATUS on Windows).
struct RandomError {
  long osError = 0;
};

// Fills `bytes` from the operating system's generator: getrandom() on Linux, BCryptGenRandom()
// on Windows. Never falls back to anything weaker.
Expected<void, RandomError> RandomBytes(std::span<uint8_t> bytes);

}  // namespace lumaflash::platform
