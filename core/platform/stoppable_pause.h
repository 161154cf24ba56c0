#pragma once

#include <chrono>
#include <stop_token>

namespace lumaflash::platform {

// Waits until `span` has passed on a monotonic clock, or less as soon as `stop` is requested
// (at once when it was before). True when the whole span passed, false when the stop came.
bool PauseUnlessStopped(std::chrono::steady_clock::duration span, const std::stop_token& stop);

// Returns once a stop is requested on `stop`; never when `stop` has no source.
void WaitForStop(const std::stop_token& stop);

}  // namespace lumaflash::platform
