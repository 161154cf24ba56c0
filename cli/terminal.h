#pragma once

#include <cstddef>
#include <cstdio>

namespace lumaflash::cli {

// Whether `out` is a terminal (a console on Windows).
bool IsTerminal(std::FILE* out);

// The width of the terminal behind `out` in columns; 0 when `out` is no terminal or its width
// cannot be learnt.
std::size_t TerminalColumns(std::FILE* out);

}  // namespace lumaflash::cli
