#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/platform/expected.h"
#include "core/serial/port.h"

namespace lumaflash::serial {

// What one collection of reply bytes gave: the bytes that came, and why it ended before its
// deadline when the port failed under it (PortError::None when it ran to its end or was full).
struct Collected {
  uint32_t count = 0;
  PortFailure ended;
};

// What PortLink needs from the operating system. port.cpp holds the steps and their order (open,
// configure or close again, discard stale input, write, collect, close); each system's file
// implements only these hooks, and a hook that fails says why with Fail().
class OsPort {
 public:
  OsPort() = default;
  virtual ~OsPort() = default;
  OsPort(const OsPort&) = delete;
  OsPort& operator=(const OsPort&) = delete;

  // Opens the device at `path` for reading and writing, not as a controlling terminal.
  virtual Expected<void, PortFailure> Open(const std::string& path) = 0;
  // Holds the port for this program alone and sets 115200 8N1, raw, no flow control, DTR and RTS
  // up, remembering the settings found so that Close() can give them back.
  virtual Expected<void, PortFailure> Configure() = 0;
  // Throws away what the device sent since the last exchange.
  virtual void DiscardInput() = 0;
  // Writes all of `tx` within the write budget; a port that cannot take it has vanished.
  virtual Expected<void, PortFailure> WriteAll(std::span<const uint8_t> tx) = 0;
  // Reply bytes into `rx` until it is full or `timeoutMs` (at least 1 ms) has passed; a port
  // that vanishes ends the collection early.
  virtual Collected Collect(std::span<uint8_t> rx, int32_t timeoutMs) = 0;
  // Gives back the settings found at open and closes; harmless when nothing is open.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  void SetPath(std::string path) { m_path = std::move(path); }
  const std::string& Path() const { return m_path; }

 protected:
  // Why the port at hand failed, with the system's error number and what it showed.
  PortFailure Failure(PortError error, int osError, std::string evidence = {}) const {
    return PortFailure{error, osError, m_path, std::move(evidence)};
  }
  Unexpected<PortFailure> Fail(PortError error, int osError, std::string evidence = {}) const {
    return MakeUnexpected(Failure(error, osError, std::move(evidence)));
  }

 private:
  std::string m_path;
};

// This system's port.
std::unique_ptr<OsPort> MakeOsPort();

}  // namespace lumaflash::serial
