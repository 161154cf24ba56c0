#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "core/discovery/catalogue.h"
#include "core/image/firmware_image.h"
#include "core/platform/sha256.h"
#include "core/platform/text_path.h"

namespace lumaflash::cli {

int RunInfo(const Options& options) {
  const std::string& path = options.positional[0];
  auto image = std::make_unique<image::FirmwareImage>();
  if (auto loaded = image::LoadFirmwareImage(platform::PathFromUtf8(path), *image); !loaded) {
    std::fprintf(stderr, "lumaflash-cli: %s\n", image::Describe(loaded.error()).c_str());
    return kExitImageUnusable;
  }
  std::printf("File:           %s\n", path.c_str());
  std::printf("Header version: %u\n", unsigned{image->headerVersion});
  std::printf("Device type:    %s (%s)\n", discovery::WordHex(image->deviceId).c_str(),
              discovery::LookupDeviceName(image->deviceId).c_str());
  std::printf("Payload:        %u bytes\n", image->length);
  std::printf(
      "SHA-256:        %s\n",
      platform::Sha256Hex(std::span<const uint8_t>(image->data.data(), image->length)).c_str());
  return kExitOk;
}

}  // namespace lumaflash::cli
