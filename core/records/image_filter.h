#pragma once

#include <string>
#include <string_view>

#include "core/records/record_store.h"

namespace lumaflash::records {

// An image as a user names one, on the command line or in a view's address: 64 hexadecimal
// digits (in either case) are the SHA-256 of its payload, anything else is its path.

// `image` as the records hold it: a SHA-256 in lower case, a path as given.
std::string NormalImage(std::string_view image);

// Narrows `filter` to the image `image` names, by its SHA-256 or by its path; an empty `image`
// leaves the filter as it is.
void FilterByImage(RecordFilter& filter, std::string_view image);

}  // namespace lumaflash::records
