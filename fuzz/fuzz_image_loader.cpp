// Writes each input to a real file and loads it as a firmware image; the result is checked
// against a plain reading of the file layout. One image object serves every input, as the
// window's image buffer does, so a payload shorter than the last one must not send its tail.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/image/firmware_image.h"
#include "fuzz/check.h"

namespace {

using lumaflash::image::FirmwareImage;
using lumaflash::image::kImageBufferSize;

const std::filesystem::path& ScratchFile() {
  static const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "fuzz-image-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    Check(fd >= 0);
    ::close(fd);
    return std::filesystem::path(pattern);
  }();
  static const bool removedAtExit = [] {
    return std::atexit([] { std::filesystem::remove(ScratchFile()); }) == 0;
  }();
  (void)removedAtExit;
  return path;
}

void WriteScratch(const uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(ScratchFile().c_str(), "wb");
  Check(file != nullptr);
  Check(std::fwrite(data, 1, size, file) == size);
  Check(std::fclose(file) == 0);
}

uint32_t BigEndian(const uint8_t* bytes, std::size_t count) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = value * 256 + bytes[i];
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static FirmwareImage image;
  WriteScratch(data, size);
  const auto result = lumaflash::image::LoadFirmwareImage(ScratchFile(), image);
  const bool loaded = result.has_value();
  const std::string error = loaded ? std::string() : Describe(result.error());

  const std::size_t header = size > 0 && data[0] >= 2 ? 16 : 13;
  const bool headerComplete = size >= header;
  const uint32_t length = headerComplete ? BigEndian(data + header - 4, 4) : 0;
  // An empty payload is refused like a truncated one: nothing would be written into the device.
  const bool expectLoaded =
      headerComplete && length > 0 && length <= kImageBufferSize && size - header >= length;
  Check(loaded == expectLoaded);
  if (!loaded) {
    Check(!error.empty());
    return 0;
  }
  Check(error.empty());
  Check(image.headerVersion == data[0]);
  Check(image.deviceId == BigEndian(data + header - 12, 2));
  Check(image.extraWord == BigEndian(data + header - 10, 2));
  Check(image.length == length);
  Check(std::equal(data + header, data + header + length, image.data.begin()));
  Check(std::all_of(image.data.begin() + length, image.data.end(),
                    [](uint8_t byte) { return byte == 0; }));
  return 0;
}
