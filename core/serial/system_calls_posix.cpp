#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "core/serial/system_calls.h"

namespace lumaflash::serial {

int SystemCalls::Open(const char* path, int flags) {
  return ::open(path, flags);
}
int SystemCalls::Flock(int fd, int operation) {
  return ::flock(fd, operation);
}
int SystemCalls::Ioctl(int fd, unsigned long request, int* argument) {
  return ::ioctl(fd, request, argument);
}
int SystemCalls::GetAttributes(int fd, termios* attributes) {
  return ::tcgetattr(fd, attributes);
}
int SystemCalls::SetAttributes(int fd, int when, const termios* attributes) {
  return ::tcsetattr(fd, when, attributes);
}
int SystemCalls::Flush(int fd, int queue) {
  return ::tcflush(fd, queue);
}
ssize_t SystemCalls::Write(int fd, const void* data, size_t size) {
  return ::write(fd, data, size);
}
int SystemCalls::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}
ssize_t SystemCalls::Read(int fd, void* data, size_t size) {
  return ::read(fd, data, size);
}
int SystemCalls::Close(int fd) {
  return ::close(fd);
}
std::chrono::steady_clock::time_point SystemCalls::Now() {
  return std::chrono::steady_clock::now();
}

namespace {

SystemCalls& SystemDefault() {
  static SystemCalls calls;
  return calls;
}

std::atomic<SystemCalls*> g_active{nullptr};

}  // namespace

SystemCalls& ActiveSystemCalls() {
  SystemCalls* calls = g_active.load(std::memory_order_acquire);
  return calls != nullptr ? *calls : SystemDefault();
}

ScopedSystemCalls::ScopedSystemCalls(SystemCalls& calls)
    : m_previous(g_active.exchange(&calls, std::memory_order_acq_rel)) {}

ScopedSystemCalls::~ScopedSystemCalls() {
  g_active.store(m_previous, std::memory_order_release);
}

}  // namespace lumaflash::serial
