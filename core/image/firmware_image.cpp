#include "core/image/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/platform/text_path.h"

namespace lumaflash::image {

namespace {

class ByteReader {
 public:
  explicit ByteReader(std::ifstream& file) : m_file(file) {}

  // Reads exactly `count` bytes; false when the file ends first.
  bool Read(uint8_t* into, std::size_t count) {
    m_file.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
    m_total += static_cast<std::size_t>(m_file.gcount());
    return static_cast<std::size_t>(m_file.gcount()) == count;
  }

  std::size_t Total() const { return m_total; }

 private:
  std::ifstream& m_file;
  std::size_t m_total = 0;
};

uint32_t BigEndian(const uint8_t* bytes, std::size_t count) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

std::string Quoted(const std::filesystem::path& path) {
  return "\"" + platform::Utf8FromPath(path) + "\"";
}

}  // namespace

std::size_t HeaderSize(uint8_t headerVersion) {
  return headerVersion >= 2 ? 16 : 13;
}

std::string Describe(const ImageError& error) {
  const std::string file = Quoted(error.path);
  using Kind = ImageError::Kind;
  switch (error.kind) {
    case Kind::Directory:
      return "Firmware file " + file + " is a directory. Choose a firmware image (.bin).";
    case Kind::NotRegularFile:
      return "Firmware file " + file + " is not a regular file. Choose a firmware image (.bin).";
    case Kind::CannotOpen:
      return "Cannot open firmware file " + file + ": " + std::strerror(error.osError) +
             ". Choose an existing, readable .bin file.";
    case Kind::Empty:
      return "Firmware file " + file + " is empty. Choose a firmware image (.bin).";
    case Kind::HeaderTruncated:
      return "Firmware file " + file + " is truncated: it ends inside its " +
             std::to_string(error.expected) + "-byte header. Choose a complete image.";
    case Kind::EmptyPayload:
      return "Firmware file " + file +
             " has an empty payload (length 0): there is nothing to send. Choose an image with "
             "firmware in it.";
    case Kind::TooLarge:
      return "Firmware file " + file + " announces " + std::to_string(error.expected) +
             " payload bytes; at most " + std::to_string(kImageBufferSize) +
             " fit. It is not an image for these devices.";
    case Kind::PayloadTruncated:
      return "Firmware file " + file + " is truncated: its payload has " +
             std::to_string(error.got) + " of " + std::to_string(error.expected) +
             " bytes. Choose a complete image.";
  }
  return "Firmware file " + file + " cannot be used.";
}

Expected<void, ImageError> LoadFirmwareImage(const std::filesystem::path& path,
                                             FirmwareImage& image) {
  const auto fail = [&path](ImageError::Kind kind, std::size_t expected = 0, std::size_t got = 0,
                            int osError = 0) {
    return MakeUnexpected(ImageError{kind, path, osError, expected, got});
  };
  using Kind = ImageError::Kind;
  // Opening a FIFO waits for a writer and a device never ends: neither is read at all.
  std::error_code statusError;
  const std::filesystem::file_status status = std::filesystem::status(path, statusError);
  if (!statusError && !std::filesystem::is_regular_file(status)) {
    return fail(std::filesystem::is_directory(status) ? Kind::Directory : Kind::NotRegularFile);
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return fail(Kind::CannotOpen, 0, 0, errno);
  }
  ByteReader reader(file);
  std::array<uint8_t, 16> header{};
  if (!reader.Read(header.data(), 1)) {
    return fail(Kind::Empty);
  }
  const std::size_t headerSize = HeaderSize(header[0]);
  if (!reader.Read(header.data() + 1, headerSize - 1)) {
    return fail(Kind::HeaderTruncated, headerSize);
  }
  const std::size_t fields = headerSize - 12;  // offset of the device type
  const uint32_t length = BigEndian(header.data() + fields + 8, 4);
  if (length == 0) {
    return fail(Kind::EmptyPayload);
  }
  if (length > kImageBufferSize) {
    return fail(Kind::TooLarge, length);
  }
  image.headerVersion = header[0];
  image.deviceId = static_cast<uint16_t>(BigEndian(header.data() + fields, 2));
  image.extraWord = static_cast<uint16_t>(BigEndian(header.data() + fields + 2, 2));
  image.length = length;
  if (!reader.Read(image.data.data(), length)) {
    image.length = 0;
    return fail(Kind::PayloadTruncated, length, reader.Total() - headerSize);
  }
  std::fill(image.data.begin() + length, image.data.end(), uint8_t{0});
  return {};
}

}  // namespace lumaflash::image
