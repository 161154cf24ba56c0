#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace lumaflash::update {

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

// Reads a .bin file into `image`. False when the file cannot be opened, ends before its header
// or payload is complete, or announces a payload larger than the image buffer; `error` then
// holds a sentence for the operator and `image` must not be sent.
bool LoadFirmwareImage(const std::filesystem::path& path, FirmwareImage& image, std::string& error);

}  // namespace lumaflash::update
