#include "core/records/image_filter.h"

#include <algorithm>
#include <cctype>

namespace lumaflash::records {

namespace {

bool IsSha256(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

}  // namespace

std::string NormalImage(std::string_view image) {
  std::string normal(image);
  if (IsSha256(image)) {
    std::transform(normal.begin(), normal.end(), normal.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
  }
  return normal;
}

void FilterByImage(RecordFilter& filter, std::string_view image) {
  if (IsSha256(image)) {
    filter.imageSha256 = NormalImage(image);
  } else if (!image.empty()) {
    filter.imagePath = std::string(image);
  }
}

}  // namespace lumaflash::records
