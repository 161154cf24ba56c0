#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumaflash::settings {

// The text-level rules of an INI-style file, free of any I/O so they can be tested and fuzzed on
// their own. Sections ("[name]") and keys ("key=value") are matched without regard to case;
// surrounding blanks of names and values are not part of them.
namespace ini_text {

// The value of `key` in `section`, or nothing when the section or key is absent.
std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key);

// `text` with `key` in `section` set to `value`: the first matching entry is replaced in place,
// otherwise the key is added at the end of the section, or the section at the end of the text.
// Every other line stays byte for byte as it was.
std::string SetValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value);

}  // namespace ini_text

// One settings file on disk. Reads see the whole value, however long. A write replaces the file
// atomically (a temporary file beside it, flushed, then renamed over it), so a crash or a full
// disk leaves either the old or the new content, never a mix.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path path) : m_path(std::move(path)) {}

  const std::filesystem::path& Path() const { return m_path; }

  // The value, or `fallback` when the file, the section or the key is missing, or the file
  // cannot be read (LastError() then says why).
  std::string Read(std::string_view section, std::string_view key, std::string_view fallback) const;

  // Sets the value, creating the file, section or key as needed. False when the file cannot be
  // read or written; the file on disk is then left as it was and LastError() says why.
  bool Write(std::string_view section, std::string_view key, std::string_view value);

  // A sentence for the operator about the last failed Read or Write; empty after a success.
  const std::string& LastError() const { return m_lastError; }

 private:
  std::filesystem::path m_path;
  mutable std::string m_lastError;
};

}  // namespace lumaflash::settings
