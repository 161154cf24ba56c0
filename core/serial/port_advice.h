#pragma once

#include <string>
#include <string_view>

namespace lumaflash::serial {

// The parts of DescribePortFailure's sentences that differ between systems: the system's own
// words for an error number, and the advice that names the system's tools. One file per system.

// The system's message for an error number of the port layer (errno, or a Windows error code).
std::string SystemErrorText(int osError);

// What to check when there is no such port, said before ", then try again."
std::string_view NoSuchPortChecks();

// Who usually holds a busy port, said in parentheses after "another program holds it"; empty
// when the system gives no hint.
std::string_view LikelyHolders();

// How to keep the named holders of a port away, said after "Close that program and try again";
// empty when the system has no such way.
std::string_view HolderAdvice();

// The system's words for a refused open: "permission denied", or its own message.
std::string AccessDeniedWords(int osError);

// What a user who may not open the port at `path` can do about it: on Linux it names the group
// that owns the node (read from the node) with the usermod line, and the udev rule that
// `lumaflash-cli udev-rule` makes for the port's USB id.
std::string AccessDeniedAdvice(const std::string& path);

}  // namespace lumaflash::serial
