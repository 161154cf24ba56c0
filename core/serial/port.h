#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace lumaflash::serial {

// Bytes the receive side keeps for one exchange; later bytes of the same reply are dropped.
inline constexpr std::size_t kReceiveBufferSize = 1024;

// Where a port is: its place in the walk (on Windows the COM number) and what OpenPort opens.
struct PortAddress {
  int portNumber = 0;
  std::string path;
};

// Why a port could not be used. The boolean results stay the interface; this rides beside them
// so that a person can be told "busy" instead of a generic failure.
enum class PortError {
  None,
  NotFound,      // no such device
  Busy,          // another program holds the port
  AccessDenied,  // the user may not open it
  Vanished,      // the device went away while we held it
  Unusable,      // opened but the line could not be configured
};

struct PortFailure {
  PortError error = PortError::None;
  int osError = 0;
  std::string path;
};

// A sentence for the operator: what went wrong with which port, and what to do about it.
std::string DescribePortFailure(const PortFailure& failure);

// A short word for tables and machine-readable output: "busy", "access-denied", ...
const char* PortErrorName(PortError error);

// The system's serial ports in natural order ("ttyACM2" before "ttyACM10"), numbered from 1.
std::vector<PortAddress> SystemPorts();

// Natural order of port names: "ttyACM2" before "ttyACM10".
bool NaturalLess(const std::string& a, const std::string& b);

// The ports a caller named, numbered from 1 in the order given; a path named again is left out.
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
  // False when it cannot be opened, locked or configured; LastFailure() then says why.
  bool OpenPort(const PortAddress& address);

  // Discards pending input, writes `tx`, then collects reply bytes until rx.size() have come
  // or `timeoutMs` has passed (at least 1 ms) on a monotonic clock. Returns false only when no
  // port is open. Bytes of `rx` from rxLength on are left as they were. A device that vanishes
  // ends the collection early with what came; LastFailure() then reports it.
  bool Exchange(std::span<const uint8_t> tx, std::span<uint8_t> rx, uint32_t& rxLength,
                int32_t timeoutMs);

  // Cancels whatever is pending and closes the port; harmless when none is open.
  void ClosePort();

  bool IsOpen() const;
  const PortFailure& LastFailure() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumaflash::serial
