#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumaflash::testing {

// The whole content of a file, or "" when it cannot be read. Read with stdio rather than an
// istreambuf_iterator: gcc 12 at -O2 reports a null dereference inside the iterator.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    std::array<char, 4096> chunk{};
    for (std::size_t got = 0; (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
      text.append(chunk.data(), got);
    }
    std::fclose(file);
  }
  return text;
}

// Replaces the file's content with `bytes`; the test fails when that cannot be done.
inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

}  // namespace lumaflash::testing
