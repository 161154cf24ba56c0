#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/expected.h"
#include "core/serial/usb_identity.h"

namespace lumaflash::serial {

// Bytes the receive side keeps for one exchange; later bytes of the same reply are dropped.
inline constexpr std::size_t kReceiveBufferSize = 1024;

// Where a port is: its place in the walk (on Windows the COM number), what OpenPort opens, and
// the USB device behind it when the system knows one.
struct PortAddress {
  PortAddress() = default;
  PortAddress(int number, std::string devicePath, std::optional<UsbIdentity> identity = {})
      : portNumber(number), path(std::move(devicePath)), usb(std::move(identity)) {}

  int portNumber = 0;
  std::string path;
  std::optional<UsbIdentity> usb;
};

// Why the system walk leaves a port alone without opening it.
enum class SkipReason {
  None,
  Console,  // the kernel console, or our own controlling terminal
  NoUart,   // a legacy serial port with no UART behind it
};

// "console", "no-uart"; null for SkipReason::None.
const char* SkipReasonName(SkipReason reason);

// A serial port as the system lists it, without opening it.
struct PortInfo {
  PortAddress address;
  std::string byId;  // the stable name under /dev/serial/by-id that points to it, or empty
  SkipReason skipped = SkipReason::None;
};

// Every serial port the system walk sees, the skipped ones included, in natural order. Opens
// nothing. On Linux it reads sysfs and /dev under $LUMAFLASH_DEVICE_ROOT when that is set (tests
// build such a tree), otherwise under "/".
std::vector<PortInfo> ListPorts();

// The USB device behind the port at `path` (a device path or a link to one), if any.
std::optional<UsbIdentity> FindUsbIdentity(const std::string& path);

// Why a port could not be used, so that a person can be told "busy" instead of a generic
// failure.
enum class PortError {
  None,
  NotFound,      // no such device
  Busy,          // another program holds the port
  AccessDenied,  // the user may not open it
  Vanished,      // the device went away while we held it
  Unusable,      // opened but the line could not be configured
  NotOpen,       // an exchange on a link that holds no open port
  Internal,      // the program itself failed while it used the port (the evidence says how)
};

struct PortFailure {
  PortFailure() = default;
  PortFailure(PortError kind, int systemError, std::string portPath, std::string seen = {})
      : error(kind), osError(systemError), path(std::move(portPath)), evidence(std::move(seen)) {}

  PortError error = PortError::None;
  int osError = 0;
  std::string path;
  // What the system showed when a held port vanished ("write: Input/output error", "poll:
  // POLLHUP"), so that a report says how the driver let go; for a busy port, which programs
  // still held it; empty when nothing more is known.
  std::string evidence;
};

// A sentence for the operator: what went wrong with which port, and what to do about it. The
// sentences are the same on every system; only the system's words and tools differ.
std::string DescribePortFailure(const PortFailure& failure);

// A short word for tables and machine-readable output: "busy", "access-denied", ...
const char* PortErrorName(PortError error);

// The system's serial ports that the walk may open, in natural order ("ttyACM2" before
// "ttyACM10"), numbered from 1, with their USB identity. Consoles and phantom UARTs are left out.
std::vector<PortAddress> SystemPorts();

// Natural order of port names: "ttyACM2" before "ttyACM10".
bool NaturalLess(const std::string& a, const std::string& b);

// The ports a caller named, numbered from 1 in the order given, with their USB identity; a path
// named again is left out.
std::vector<PortAddress> NamedPorts(const std::vector<std::string>& paths);

// The name the scan log uses for a port: the device path, or "COM5" on Windows.
std::string PortLogName(const PortAddress& address);

// One serial port held exclusively for the span of one operation: 115200 8N1, raw, no flow
// control, DTR and RTS raised. Closing is automatic on destruction.
class PortLink {
 public:
  PortLink();
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // Opens and configures the port and makes it the current one, closing any port held before.
  // Fails when it cannot be opened, locked or configured; a half-configured port is closed.
  Expected<void, PortFailure> OpenPort(const PortAddress& address);

  // Discards pending input, writes `tx`, then collects reply bytes until rx.size() have come
  // or `timeoutMs` has passed (at least 1 ms) on a monotonic clock, and returns how many came
  // (0 from a silent device); bytes of `rx` past them are left as they were. Fails when no port
  // is open, when the packet cannot be written, or when the device vanishes before its reply
  // begins. A reply that began counts, even when the device vanished during it: the next
  // exchange finds the port gone.
  Expected<uint32_t, PortFailure> Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx,
                                           int32_t timeoutMs);

  // Cancels whatever is pending and closes the port; harmless when none is open.
  void ClosePort();

  bool IsOpen() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumaflash::serial
