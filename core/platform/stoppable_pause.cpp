#include "core/platform/stoppable_pause.h"

#include <condition_variable>
#include <mutex>

namespace lumaflash::platform {

bool PauseUnlessStopped(std::chrono::steady_clock::duration span, const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any woken;
  // The mutex guards nothing shared: only the stop wakes this wait, and the condition variable
  // takes its own lock for that, so a mutex of the waiter's own is all the wait needs.
  // cppcheck-suppress localMutex
  std::unique_lock lock(mutex);
  // Nothing else wakes it: the predicate is never true, so it returns at the stop or the end.
  (void)woken.wait_for(lock, stop, span, [] { return false; });
  return !stop.stop_requested();
}

void WaitForStop(const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any woken;
  // cppcheck-suppress localMutex
  std::unique_lock lock(mutex);
  (void)woken.wait(lock, stop, [] { return false; });
}

}  // namespace lumaflash::platform
