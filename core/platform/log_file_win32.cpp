#include <windows.h>

#include <cerrno>
#include <string>

#include "core/platform/log_file.h"

namespace lumaflash::cli {

namespace {

int LockedAppend(HANDLE file, std::string_view header, std::string_view line) {
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return EACCES;
  }
  // Read under the lock: of two programs creating the log at once, only the first sees it empty.
  LARGE_INTEGER size{};
  std::string text;
  if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
    text.append(header).append("\n");
  }
  text.append(line).append("\n");
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
      written == text.size();
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  return ok ? 0 : EIO;
}

}  // namespace

int AppendLocked(const std::filesystem::path& path, std::string_view header,
                 std::string_view line) {
  // LockFileEx needs read or write access, and FILE_APPEND_DATA alone is neither. Read access
  // beside it keeps every write an append: without FILE_WRITE_DATA the handle cannot write
  // anywhere but at the end, whatever another program appended meanwhile.
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
  }
  const int error = LockedAppend(file, header, line);
  CloseHandle(file);
  return error;
}

}  // namespace lumaflash::cli
