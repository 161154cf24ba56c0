// lumaflash-mkimage: writes a firmware image file with a repeatable test payload, for
// demonstrations and trials on simulated devices.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/image_file.h"

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr,
                 "usage: lumaflash-mkimage TYPE-HEX LENGTH OUT [HEADER-VERSION [SEED]]\n"
                 "Writes an image for device type TYPE with LENGTH payload bytes to OUT.\n");
    return 2;
  }
  char* end = nullptr;
  unsigned long type = std::strtoul(argv[1], &end, 16);
  unsigned long length = std::strtoul(argv[2], &end, 10);
  unsigned long version = argc > 4 ? std::strtoul(argv[4], &end, 10) : 1;
  unsigned long seed = argc > 5 ? std::strtoul(argv[5], &end, 10) : type;
  if (type > 0xFFFF || length > (1ul << 24) || version > 255) {
    std::fprintf(stderr, "lumaflash-mkimage: value out of range\n");
    return 2;
  }
  auto payload = lumaflash::sim::PatternPayload(length, static_cast<uint32_t>(seed));
  auto file = lumaflash::sim::BuildImageFile(static_cast<uint8_t>(version),
                                             static_cast<uint16_t>(type), payload);
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "lumaflash-mkimage: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
