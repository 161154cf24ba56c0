#pragma once

#include <string>

namespace lumaflash::app {

// The calls TellOperator makes, replaceable so that a test can take the path a double-click
// takes (no console anywhere) without a message box waiting for a click.
struct ConsoleSeams {
  // Whether the standard handle for this stream leads somewhere (redirected, or a console).
  bool (*hasStandardHandle)(bool error) = nullptr;
  // AttachConsole(ATTACH_PARENT_PROCESS).
  bool (*attachParentConsole)() = nullptr;
  // A message box with the text; `error` shows the error icon.
  void (*messageBox)(const std::wstring& text, bool error) = nullptr;
};

// Text that a windowed program has to say before (or instead of) its window: --help,
// --version, a usage error. It goes to where standard output (or error) already leads, else
// to the console the program was started from, else into a message box. Unset seams are the
// real calls.
void TellOperator(const std::string& text, bool error, const ConsoleSeams& seams = {});

}  // namespace lumaflash::app
