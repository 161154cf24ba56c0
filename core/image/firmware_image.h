#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/platform/expected.h"

namespace lumaflash::image {

inline constexpr std::size_t kImageBufferSize = 262144;

// A firmware image as loaded from a .bin file: the header's fields and the payload.
struct FirmwareImage {
  uint8_t headerVersion = 0;
  uint16_t deviceId = 0;
  uint16_t extraWord = 0;  // a further header word that nothing uses
  uint32_t length = 0;     // payload bytes in `data`
  // The payload, followed by zeros up to the end: a last block that reaches past the payload
  // sends zeros, never the tail of an image loaded earlier.
  std::array<uint8_t, kImageBufferSize> data{};
};

// Size of the header for a header version: 13 bytes, or 16 from version 2 on.
std::size_t HeaderSize(uint8_t headerVersion);

// Why a firmware file could not be loaded: the step, the file, and the numbers that tell it.
struct ImageError {
  enum class Kind {
    Directory,         // the path names a directory
    NotRegularFile,    // a FIFO, a device or the like, never opened
    CannotOpen,        // `osError` says why
    Empty,             // not even the header's first byte
    HeaderTruncated,   // ends inside its `expected`-byte header
    EmptyPayload,      // the header announces 0 payload bytes
    TooLarge,          // announces `expected` payload bytes, more than the image buffer holds
    PayloadTruncated,  // `got` of `expected` payload bytes
  };
  Kind kind = Kind::CannotOpen;
  std::filesystem::path path;
  int osError = 0;
  std::size_t expected = 0;
  std::size_t got = 0;
};

// A sentence for the operator: what is wrong with which file, and what to choose instead.
std::string Describe(const ImageError& error);

// Reads a .bin file into `image`. Fails when the file cannot be opened, ends before its header
// or payload is complete, or announces a payload larger than the image buffer; `image` must
// then not be sent.
Expected<void, ImageError> LoadFirmwareImage(const std::filesystem::path& path,
                                             FirmwareImage& image);

}  // namespace lumaflash::image
