#pragma once

#include <string_view>

namespace lumaflash::web {

// The page's files, built into the program from web/assets/ so that it needs nothing beside it.
std::string_view PageHtml();
std::string_view PageCss();
std::string_view PageScript();

}  // namespace lumaflash::web
