#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "core/platform/random_bytes.h"

namespace lumaflash::platform {

Expected<void, RandomError> RandomBytes(std::span<uint8_t> bytes) {
  // The system's preferred generator, without opening an algorithm handle of our own.
  const NTSTATUS status = ::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) {
    return MakeUnexpected(RandomError{static_cast<long>(status)});
  }
  return {};
}

}  // namespace lumaflash::platform
