// The serial link on Windows: a COM port opened through the device namespace, configured through
// its DCB, and read with time-outs set for each exchange's deadline so that nothing spins.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/serial/access_advice.h"
#include "core/serial/port.h"

namespace lumaflash::serial {

namespace {

using Clock = std::chrono::steady_clock;

// A write of one packet that takes longer than this means the line is stuck, not slow: 1024
// bytes at 115200 baud take under 100 ms.
constexpr DWORD kWriteBudgetMs = 2000;

constexpr std::string_view kDeviceNamespace = "\\\\.\\";

// "\\.\COM5": the device namespace reaches COM10 and above too, where the bare name does not.
// A name given with the prefix already is taken as it is.
std::string DeviceName(const std::string& path) {
  if (path.starts_with(kDeviceNamespace)) {
    return path;
  }
  return std::string(kDeviceNamespace) + path;
}

PortError ClassifyOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DEV_NOT_EXIST:
      return PortError::NotFound;
    // A COM port is exclusive: the driver answers "access denied" when another program holds it.
    // Wine passes on the host's "busy" of a terminal held exclusively as a lock violation.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return PortError::Busy;
    default:
      return PortError::Unusable;
  }
}

// 115200 8N1, binary, no flow control of any kind, DTR and RTS held up, and line errors that do
// not stop the port until someone clears them.
void ApplyLineSettings(DCB& line) {
  line.BaudRate = CBR_115200;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  line.fBinary = TRUE;
  line.fParity = FALSE;
  line.fOutxCtsFlow = FALSE;
  line.fOutxDsrFlow = FALSE;
  line.fDtrControl = DTR_CONTROL_ENABLE;
  line.fDsrSensitivity = FALSE;
  line.fTXContinueOnXoff = TRUE;
  line.fOutX = FALSE;
  line.fInX = FALSE;
  line.fErrorChar = FALSE;
  line.fNull = FALSE;
  line.fRtsControl = RTS_CONTROL_ENABLE;
  line.fAbortOnError = FALSE;
}

// A read that returns at once with whatever is queued, or waits for the first byte up to
// `waitMs` and then returns with it: the documented combination of MAXDWORD, MAXDWORD and a
// constant. Writes get a fixed budget so that a stuck line cannot hang the program.
// With no wait at all, MAXDWORD and zeros: return at once with whatever is queued.
COMMTIMEOUTS TimeoutsFor(DWORD waitMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = waitMs > 0 ? MAXDWORD : 0;
  timeouts.ReadTotalTimeoutConstant = waitMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteBudgetMs;
  return timeouts;
}

DWORD RemainingMs(Clock::time_point now, Clock::time_point deadline) {
  if (now >= deadline) {
    return 0;
  }
  // Round up, so that a fraction of a millisecond still waits instead of polling.
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<DWORD>(remaining.count());
}

std::string SystemMessage(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

struct PortLink::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
  PortFailure failure;
  // The line settings and time-outs the port had when we opened it, given back at close.
  std::optional<DCB> lineBefore;
  std::optional<COMMTIMEOUTS> timeoutsBefore;

  bool Fail(PortError error, DWORD osError) {
    failure = PortFailure{error, static_cast<int>(osError), path};
    return false;
  }

  void MarkVanished(DWORD osError) {
    failure = PortFailure{PortError::Vanished, static_cast<int>(osError), path};
  }

  bool Configure();
  bool WriteAll(std::span<const uint8_t> tx);
  uint32_t Collect(std::span<uint8_t> rx, int32_t timeoutMs);
};

bool PortLink::Impl::Configure() {
  DCB line{};
  line.DCBlength = sizeof(line);
  if (!GetCommState(handle, &line)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  lineBefore = line;
  if (COMMTIMEOUTS before{}; GetCommTimeouts(handle, &before)) {
    timeoutsBefore = before;
  }
  ApplyLineSettings(line);
  if (!SetCommState(handle, &line)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  COMMTIMEOUTS timeouts = TimeoutsFor(0);
  if (!SetCommTimeouts(handle, &timeouts)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  if (!PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  // The DCB already asks for both lines up; raising them again covers drivers that only act on
  // the escape functions. A port without modem lines refuses these, which does no harm.
  (void)EscapeCommFunction(handle, SETDTR);
  (void)EscapeCommFunction(handle, SETRTS);
  return true;
}

bool PortLink::Impl::WriteAll(std::span<const uint8_t> tx) {
  // Each WriteFile has the whole budget; the clock keeps a trickle of partial writes from
  // adding up beyond it.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteBudgetMs);
  std::size_t sent = 0;
  while (sent < tx.size()) {
    if (Clock::now() >= deadline) {
      MarkVanished(ERROR_TIMEOUT);
      return false;
    }
    DWORD wrote = 0;
    const auto chunk = static_cast<DWORD>(tx.size() - sent);
    if (!WriteFile(handle, tx.data() + sent, chunk, &wrote, nullptr)) {
      MarkVanished(GetLastError());
      return false;
    }
    if (wrote == 0) {
      MarkVanished(ERROR_TIMEOUT);  // the write budget ran out with nothing taken
      return false;
    }
    sent += wrote;
  }
  return true;
}

uint32_t PortLink::Impl::Collect(std::span<uint8_t> rx, int32_t timeoutMs) {
  const std::size_t wanted = std::min(rx.size(), kReceiveBufferSize);
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int32_t>(timeoutMs, 1));
  std::size_t count = 0;
  while (count < wanted) {
    const DWORD waitMs = RemainingMs(Clock::now(), deadline);
    if (waitMs == 0) {
      break;
    }
    COMMTIMEOUTS timeouts = TimeoutsFor(waitMs);
    if (!SetCommTimeouts(handle, &timeouts)) {
      MarkVanished(GetLastError());
      break;
    }
    DWORD got = 0;
    if (!ReadFile(handle, rx.data() + count, static_cast<DWORD>(wanted - count), &got, nullptr)) {
      // An unplugged USB port fails every read from now on; waiting out the deadline would
      // only delay the report.
      MarkVanished(GetLastError());
      break;
    }
    count += got;  // zero bytes: the wait ran out; the clock decides whether to try again
  }
  return static_cast<uint32_t>(count);
}

PortLink::PortLink() : m_impl(std::make_unique<Impl>()) {}

PortLink::~PortLink() {
  ClosePort();
}

bool PortLink::OpenPort(const PortAddress& address) {
  ClosePort();
  m_impl->path = address.path;
  m_impl->failure = {};
  HANDLE handle = CreateFileA(DeviceName(address.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return m_impl->Fail(ClassifyOpenError(error), error);
  }
  m_impl->handle = handle;
  if (!m_impl->Configure()) {
    PortFailure why = m_impl->failure;
    ClosePort();
    m_impl->failure = why;
    return false;
  }
  return true;
}

bool PortLink::Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx, uint32_t& rxLength,
                        int32_t timeoutMs) {
  rxLength = 0;
  if (m_impl->handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Bytes that came after the last exchange's deadline belong to no one.
  (void)PurgeComm(m_impl->handle, PURGE_RXABORT | PURGE_RXCLEAR);
  if (!m_impl->WriteAll(tx)) {
    return true;  // nothing will answer a packet that did not go out; rxLength stays 0
  }
  rxLength = m_impl->Collect(rx, timeoutMs);
  return true;
}

void PortLink::ClosePort() {
  if (m_impl->handle == INVALID_HANDLE_VALUE) {
    return;
  }
  // The link never leaves an operation pending, but a cancel before the close costs nothing and
  // keeps CloseHandle from waiting on a driver that still holds one.
  (void)CancelIo(m_impl->handle);
  (void)PurgeComm(m_impl->handle, PURGE_TXABORT | PURGE_RXABORT);
  // Drivers keep a port's settings after the close: give back what the next program expects.
  if (m_impl->lineBefore) {
    (void)SetCommState(m_impl->handle, &*m_impl->lineBefore);
  }
  if (m_impl->timeoutsBefore) {
    (void)SetCommTimeouts(m_impl->handle, &*m_impl->timeoutsBefore);
  }
  m_impl->lineBefore.reset();
  m_impl->timeoutsBefore.reset();
  (void)CloseHandle(m_impl->handle);
  m_impl->handle = INVALID_HANDLE_VALUE;
}

bool PortLink::IsOpen() const {
  return m_impl->handle != INVALID_HANDLE_VALUE;
}

const PortFailure& PortLink::LastFailure() const {
  return m_impl->failure;
}

std::string DescribePortFailure(const PortFailure& failure) {
  const std::string& port = failure.path;
  switch (failure.error) {
    case PortError::None:
      return port + ": no error.";
    case PortError::NotFound:
      return port +
             ": no such port. Check the cable, that the device is in bootloader mode and that "
             "the Device Manager lists the port under \"Ports (COM & LPT)\", then try again.";
    case PortError::Busy:
      return port +
             " is busy: another program holds it (a terminal program, or another Lumaflash). "
             "Close that program and try again.";
    case PortError::AccessDenied:
      return port + ": access denied (" + SystemMessage(static_cast<DWORD>(failure.osError)) +
             "). " + AccessDeniedAdvice(port);
    case PortError::Vanished:
      return port +
             " vanished: the device was unplugged or reset. Plug it in again and "
             "retry.";
    case PortError::Unusable:
      return port + " cannot be used as a serial port (" +
             SystemMessage(static_cast<DWORD>(failure.osError)) +
             "). Check that it is the device's port.";
  }
  return port;
}

}  // namespace lumaflash::serial
