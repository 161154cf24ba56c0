#include <windows.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "core/platform/file_replace.h"

namespace lumaflash::platform {

namespace {

namespace fs = std::filesystem;

// Virus scanners, backup tools and search indexers open a freshly written file for a moment;
// the replace waits this long for them before it gives up.
constexpr int kBusyAttempts = 40;
constexpr DWORD kBusyPauseMs = 50;

// The messages of the settings store are built from errno values on every platform.
int ErrnoFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

bool IsHeldByAnotherProgram(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Runs `call` (which returns a Win32 error or ERROR_SUCCESS) again while another program holds
// the file, for a bounded time. "Access denied" is retried as well: it is what Windows reports
// for a file whose deletion is pending or that a scanner holds without sharing.
template <typename Call>
DWORD RetryWhileHeld(Call call) {
  DWORD error = call();
  for (int attempt = 1; attempt < kBusyAttempts && IsHeldByAnotherProgram(error); ++attempt) {
    Sleep(kBusyPauseMs);
    error = call();
  }
  return error;
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return m_handle; }
  bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
  bool Close() {
    const bool closed = !Valid() || CloseHandle(m_handle) != 0;
    m_handle = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE m_handle;
};

bool ReadAll(HANDLE file, std::string& text) {
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    text.append(buffer.data(), got);
  }
}

DWORD WriteAll(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
    if (!WriteFile(file, text.data(), chunk, &written, nullptr)) {
      return GetLastError();
    }
    if (written == 0) {
      return ERROR_WRITE_FAULT;
    }
    text.remove_prefix(written);
  }
  return ERROR_SUCCESS;
}

struct TempFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  fs::path path;
};

bool ProcessIsGone(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process; denied means alive
  }
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// A write that was killed leaves its temporary file "NAME.PID.N.tmp" behind; those of processes
// that have ended are removed here, so they never pile up.
void RemoveLeftovers(const fs::path& target) {
  const std::wstring prefix = target.filename().wstring() + L".";
  std::error_code error;
  for (fs::directory_iterator entry(DirectoryOf(target), error), end; !error && entry != end;
       entry.increment(error)) {
    const std::wstring name = entry->path().filename().wstring();
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, L".tmp") != 0) {
      continue;
    }
    const std::wstring middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    const std::size_t dot = middle.find(L'.');
    if (dot == 0 || dot == std::wstring::npos ||
        middle.find_first_not_of(L"0123456789.") != std::wstring::npos) {
      continue;
    }
    const auto pid = static_cast<DWORD>(std::wcstoul(middle.substr(0, dot).c_str(), nullptr, 10));
    if (pid != GetCurrentProcessId() && ProcessIsGone(pid)) {
      DeleteFileW(entry->path().c_str());
    }
  }
}

// CREATE_NEW makes the name ours alone; a name left behind by a killed process costs a retry.
TempFile CreateTempFileBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  constexpr int kAttempts = 100;
  TempFile temp;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temp.path = DirectoryOf(target) /
                (target.filename().wstring() + L"." + std::to_wstring(GetCurrentProcessId()) +
                 L"." + std::to_wstring(counter.fetch_add(1)) + L".tmp");
    temp.handle = CreateFileW(temp.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp.handle != INVALID_HANDLE_VALUE) {
      return temp;
    }
    temp.error = GetLastError();
    if (temp.error != ERROR_FILE_EXISTS && temp.error != ERROR_ALREADY_EXISTS) {
      return temp;
    }
  }
  return temp;
}

// Writes the temporary file completely and flushes it to the disk before anything replaces the
// old file, so a crash never leaves a settings file with only part of its content.
DWORD FillAndFlush(Handle& file, std::string_view text) {
  DWORD error = WriteAll(file.Get(), text);
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file.Get())) {
    error = GetLastError();
  }
  if (!file.Close() && error == ERROR_SUCCESS) {
    error = GetLastError();
  }
  return error;
}

Unexpected<FileError> Failure(FileError::Kind kind, int osError, bool isDirectory = false) {
  return MakeUnexpected(FileError{kind, osError, isDirectory});
}

// A failed open or look-up: missing, or refused for the reason the system gave.
Unexpected<FileError> OpenFailure(DWORD error) {
  const int osError = ErrnoFor(error);
  return Failure(osError == ENOENT ? FileError::Kind::Missing : FileError::Kind::Failed, osError);
}

}  // namespace

// Shares everything with other programs: reading must never stop an editor or the next writer.
Expected<FileContent, FileError> ReadFileContent(const fs::path& path, bool refuseLink) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return OpenFailure(GetLastError());
  }
  // A symbolic link or junction: replacing it, or what it points to, is not ours to decide.
  if (refuseLink && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Failure(FileError::Kind::Link, 0);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Failure(FileError::Kind::NotAFile, 0, true);
  }
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD openError = RetryWhileHeld([&] {
    opened = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return opened == INVALID_HANDLE_VALUE ? GetLastError() : DWORD{ERROR_SUCCESS};
  });
  Handle file(opened);
  if (!file.Valid()) {
    return OpenFailure(openError);
  }
  // A device name such as "NUL" or "COM1" opens like a file but is none.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    return Failure(FileError::Kind::NotAFile, 0);
  }
  FileContent content;
  if (!ReadAll(file.Get(), content.text)) {
    return Failure(FileError::Kind::Failed, ErrnoFor(GetLastError()));
  }
  content.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  return content;
}

// MOVEFILE_WRITE_THROUGH returns only once the move is on the disk, which is what the POSIX
// version's fsync of the folder achieves.
Expected<void, FileError> ReplaceFileContent(const fs::path& target, std::string_view text,
                                             std::optional<uint32_t> /*permissions*/) {
  RemoveLeftovers(target);
  TempFile temp = CreateTempFileBeside(target);
  if (temp.handle == INVALID_HANDLE_VALUE) {
    return Failure(FileError::Kind::Failed, ErrnoFor(temp.error));
  }
  ReachStep(ReplaceStep::TempCreated);
  Handle file(temp.handle);
  DWORD error = FillAndFlush(file, text);
  ReachStep(ReplaceStep::TempClosed);
  if (error == ERROR_SUCCESS) {
    error = RetryWhileHeld([&] {
      if (MoveFileExW(temp.path.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return DWORD{ERROR_SUCCESS};
      }
      const DWORD failed = GetLastError();
      if (IsHeldByAnotherProgram(failed)) {
        ReachStep(ReplaceStep::MoveHeld);
      }
      return failed;
    });
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileW(temp.path.c_str());
    return Failure(FileError::Kind::Failed, ErrnoFor(error));
  }
  ReachStep(ReplaceStep::Renamed);
  return {};
}

std::optional<std::string> PlatformWriteAdvice(int error) {
  if (error == EBUSY) {
    return "Another program keeps the file open (an editor, a backup or virus scanner); close "
           "it, then try again.";
  }
  return std::nullopt;
}

}  // namespace lumaflash::platform
