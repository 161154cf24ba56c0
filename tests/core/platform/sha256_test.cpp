// The digest that names which image went into a unit, against the published SHA-256 examples:
// the padding edges (55 bytes fit one block with the length, 56 do not, 64 fill one) and a
// long message that crosses many blocks.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/platform/sha256.h"

namespace lumaflash {

TEST(Sha256, KnownDigests) {
  const std::pair<std::size_t, std::string> cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [length, digest] : cases) {
    const std::vector<uint8_t> message(length, 'a');
    EXPECT_EQ(platform::Sha256Hex(message), digest) << length << " bytes of 'a'";
  }
}

}  // namespace lumaflash
