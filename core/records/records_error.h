#pragma once

#include <string>
#include <utility>

#include "core/platform/expected.h"

namespace lumaflash::records {

// Why records could not be kept, read or forwarded: one sentence that names the store or the
// server, the reason and what to do, ready for any face to show.
struct RecordsError {
  std::string message;
};

inline const std::string& Describe(const RecordsError& error) {
  return error.message;
}

template <typename T>
using RecordsResult = Expected<T, RecordsError>;

inline Unexpected<RecordsError> RecordsFailure(std::string message) {
  return MakeUnexpected(RecordsError{std::move(message)});
}

}  // namespace lumaflash::records
