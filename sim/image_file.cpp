#include "sim/image_file.h"

namespace lumaflash::sim {

namespace {

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

}  // namespace

std::vector<uint8_t> BuildImageFile(uint8_t headerVersion, uint16_t deviceId,
                                    std::span<const uint8_t> payload,
                                    std::optional<uint32_t> announcedLength) {
  // Built by push_back from an empty vector: gcc 12 at -O2 misreads an insert after a
  // one-element initialiser as a write out of bounds (-Warray-bounds).
  std::vector<uint8_t> file;
  file.reserve(16 + payload.size());
  file.push_back(headerVersion);
  for (int pad = 0; headerVersion >= 2 && pad < 3; ++pad) {
    file.push_back(0x00);
  }
  PutBigEndian(file, deviceId, 2);
  PutBigEndian(file, 0x0000, 2);
  PutBigEndian(file, 0x00000000, 4);
  PutBigEndian(file, announcedLength.value_or(static_cast<uint32_t>(payload.size())), 4);
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

std::vector<uint8_t> PatternPayload(std::size_t length, uint32_t seed) {
  // xorshift32: cheap, repeatable, and no two neighbouring blocks look alike, so a block sent
  // twice or out of order shows up in a byte-for-byte comparison.
  uint32_t state = seed * 2654435761u + 1u;
  std::vector<uint8_t> payload(length);
  for (uint8_t& byte : payload) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return payload;
}

}  // namespace lumaflash::sim
