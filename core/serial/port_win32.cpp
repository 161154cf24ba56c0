// The serial link on Windows: a COM port opened through the device namespace, configured through
// its DCB, and read with time-outs set for each exchange's deadline so that nothing spins.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/serial/os_port.h"
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

class Win32Port final : public OsPort {
 public:
  Win32Port() = default;
  ~Win32Port() override { Close(); }
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  Expected<void, PortFailure> Open(const std::string& path) override;
  Expected<void, PortFailure> Configure() override;
  void DiscardInput() override;
  Expected<void, PortFailure> WriteAll(std::span<const uint8_t> tx) override;
  Collected Collect(std::span<uint8_t> rx, int32_t timeoutMs) override;
  void Close() override;
  bool IsOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }

 private:
  // Windows error codes travel as the port layer's int, as errno values do elsewhere.
  Unexpected<PortFailure> Fail(PortError error, DWORD osError) const {
    return OsPort::Fail(error, static_cast<int>(osError));
  }
  PortFailure Vanished(DWORD osError) const {
    return Failure(PortError::Vanished, static_cast<int>(osError));
  }

  HANDLE m_handle = INVALID_HANDLE_VALUE;
  // The line settings and time-outs the port had when we opened it, given back at close.
  std::optional<DCB> m_lineBefore;
  std::optional<COMMTIMEOUTS> m_timeoutsBefore;
};

Expected<void, PortFailure> Win32Port::Open(const std::string& path) {
  HANDLE handle = CreateFileA(DeviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return Fail(ClassifyOpenError(error), error);
  }
  m_handle = handle;
  return {};
}

Expected<void, PortFailure> Win32Port::Configure() {
  DCB line{};
  line.DCBlength = sizeof(line);
  if (!GetCommState(m_handle, &line)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  m_lineBefore = line;
  if (COMMTIMEOUTS before{}; GetCommTimeouts(m_handle, &before)) {
    m_timeoutsBefore = before;
  }
  ApplyLineSettings(line);
  if (!SetCommState(m_handle, &line)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  COMMTIMEOUTS timeouts = TimeoutsFor(0);
  if (!SetCommTimeouts(m_handle, &timeouts)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  if (!PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    return Fail(PortError::Unusable, GetLastError());
  }
  // The DCB already asks for both lines up; raising them again covers drivers that only act on
  // the escape functions. A port without modem lines refuses these, which does no harm.
  (void)EscapeCommFunction(m_handle, SETDTR);
  (void)EscapeCommFunction(m_handle, SETRTS);
  return {};
}

Expected<void, PortFailure> Win32Port::WriteAll(std::span<const uint8_t> tx) {
  // Each WriteFile has the whole budget; the clock keeps a trickle of partial writes from
  // adding up beyond it.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteBudgetMs);
  std::size_t sent = 0;
  while (sent < tx.size()) {
    if (Clock::now() >= deadline) {
      return MakeUnexpected(Vanished(ERROR_TIMEOUT));
    }
    DWORD wrote = 0;
    const auto chunk = static_cast<DWORD>(tx.size() - sent);
    if (!WriteFile(m_handle, tx.data() + sent, chunk, &wrote, nullptr)) {
      return MakeUnexpected(Vanished(GetLastError()));
    }
    if (wrote == 0) {
      return MakeUnexpected(Vanished(ERROR_TIMEOUT));  // the budget ran out with nothing taken
    }
    sent += wrote;
  }
  return {};
}

Collected Win32Port::Collect(std::span<uint8_t> rx, int32_t timeoutMs) {
  const std::size_t wanted = std::min(rx.size(), kReceiveBufferSize);
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int32_t>(timeoutMs, 1));
  Collected reply;
  std::size_t count = 0;
  while (count < wanted) {
    const DWORD waitMs = RemainingMs(Clock::now(), deadline);
    if (waitMs == 0) {
      break;
    }
    COMMTIMEOUTS timeouts = TimeoutsFor(waitMs);
    if (!SetCommTimeouts(m_handle, &timeouts)) {
      reply.ended = Vanished(GetLastError());
      break;
    }
    DWORD got = 0;
    if (!ReadFile(m_handle, rx.data() + count, static_cast<DWORD>(wanted - count), &got, nullptr)) {
      // An unplugged USB port fails every read from now on; waiting out the deadline would
      // only delay the report.
      reply.ended = Vanished(GetLastError());
      break;
    }
    count += got;  // zero bytes: the wait ran out; the clock decides whether to try again
  }
  reply.count = static_cast<uint32_t>(count);
  return reply;
}

// Bytes that came after the last exchange's deadline belong to no one.
void Win32Port::DiscardInput() {
  (void)PurgeComm(m_handle, PURGE_RXABORT | PURGE_RXCLEAR);
}

void Win32Port::Close() {
  if (m_handle == INVALID_HANDLE_VALUE) {
    return;
  }
  // The link never leaves an operation pending, but a cancel before the close costs nothing and
  // keeps CloseHandle from waiting on a driver that still holds one.
  (void)CancelIo(m_handle);
  (void)PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT);
  // Drivers keep a port's settings after the close: give back what the next program expects.
  if (m_lineBefore) {
    (void)SetCommState(m_handle, &*m_lineBefore);
  }
  if (m_timeoutsBefore) {
    (void)SetCommTimeouts(m_handle, &*m_timeoutsBefore);
  }
  m_lineBefore.reset();
  m_timeoutsBefore.reset();
  (void)CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

}  // namespace

std::unique_ptr<OsPort> MakeOsPort() {
  return std::make_unique<Win32Port>();
}

}  // namespace lumaflash::serial
