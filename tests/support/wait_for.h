#pragma once

#include <chrono>
#include <thread>

namespace lumaflash::testing {

// Polls `done` every `poll` until it holds or `limit` has passed; whether it holds. For a state
// that another thread or process reaches without telling the test.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10),
             std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(poll);
  }
  return done();
}

}  // namespace lumaflash::testing
