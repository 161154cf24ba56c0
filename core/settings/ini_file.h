#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/platform/expected.h"
#include "core/settings/ini_text.h"

namespace lumaflash::settings {

// Why the settings file could not be read or written.
struct SettingsError {
  enum class Kind {
    Link,         // a symbolic link, never followed or replaced
    NotAFile,     // a directory (`isDirectory`) or another thing that is no regular file
    CannotRead,   // `osError` says why
    BadEntry,     // `key` cannot be stored so that it reads back: `problem` says why
    Locked,       // another program held the settings lock past the wait
    ReadOnly,     // the file itself may not be changed
    CannotWrite,  // replacing the file failed with `osError`; nothing changed on disk
  };
  Kind kind = Kind::CannotRead;
  std::filesystem::path path;
  int osError = 0;
  bool isDirectory = false;
  std::string key;
  std::string problem;
};

// A sentence for the operator: what is wrong with the settings file and what to do about it.
std::string Describe(const SettingsError& error);

// One settings file on disk. Reads see the whole value, however long. A write replaces the file
// atomically (a temporary file beside it, flushed, then renamed over it), so a crash or a full
// disk leaves either the old or the new content, never a mix.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path path) : m_path(std::move(path)) {}

  const std::filesystem::path& Path() const { return m_path; }

  // The value, or `fallback` when the file, the section or the key is missing. Fails only when
  // the file exists but cannot be read.
  Expected<std::string, SettingsError> Read(std::string_view section, std::string_view key,
                                            std::string_view fallback) const;

  // Sets the value, creating the file, section or key as needed. Fails when the file cannot be
  // read or written; the file on disk is then left as it was.
  Expected<void, SettingsError> Write(std::string_view section, std::string_view key,
                                      std::string_view value);

 private:
  std::filesystem::path m_path;
};

}  // namespace lumaflash::settings
