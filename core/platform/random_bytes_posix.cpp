#include <sys/random.h>

#include <cerrno>

#include "core/platform/random_bytes.h"

namespace lumaflash::platform {

Expected<void, RandomError> RandomBytes(std::span<uint8_t> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    // Blocks only until the kernel's pool is first seeded, early in a boot; a signal may cut a
    // request short, so the rest is asked for again.
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno != EINTR) {
      return MakeUnexpected(RandomError{errno});
    }
    filled += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  return {};
}

}  // namespace lumaflash::platform
