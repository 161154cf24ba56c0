#pragma once

#include <cstdlib>

// A fuzz target's assertion: a failed check is a crash, which libFuzzer reports with its input.
inline void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}
