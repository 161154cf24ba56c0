#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>

namespace lumaflash::serial {

// Every system call the POSIX serial link makes goes through here, so that tests can inject
// faults (EINTR, short writes, hang-ups) at exactly one seam. The default forwards to the system.
// Retrying EINTR is the caller's job, not the seam's, so an injected EINTR is seen by the link.
class SystemCalls {
 public:
  virtual ~SystemCalls() = default;
  virtual int Open(const char* path, int flags);
  virtual int Flock(int fd, int operation);
  virtual int Ioctl(int fd, unsigned long request, int* argument);
  virtual int GetAttributes(int fd, termios* attributes);
  virtual int SetAttributes(int fd, int when, const termios* attributes);
  virtual int Flush(int fd, int queue);
  virtual ssize_t Write(int fd, const void* data, size_t size);
  virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
  virtual ssize_t Read(int fd, void* data, size_t size);
  virtual int Close(int fd);
  virtual std::chrono::steady_clock::time_point Now();
};

// The calls in force; the system's own unless a test installed others.
SystemCalls& ActiveSystemCalls();

// Installs `calls` for the lifetime of this object (tests only; not thread-safe against a link
// that is in use).
class ScopedSystemCalls {
 public:
  explicit ScopedSystemCalls(SystemCalls& calls);
  ~ScopedSystemCalls();
  ScopedSystemCalls(const ScopedSystemCalls&) = delete;
  ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

 private:
  SystemCalls* m_previous;
};

}  // namespace lumaflash::serial
