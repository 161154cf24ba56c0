#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/serial/port.h"

namespace lumaflash::serial {

// What PortLink needs from the operating system. port.cpp holds the steps and their order (open,
// configure or close again, discard stale input, write, collect, close); each system's file
// implements only these hooks. A hook that fails records why through Fail(), which LastFailure()
// then reports.
class OsPort {
 public:
  explicit OsPort(PortFailure& failure) : m_failure(failure) {}
  virtual ~OsPort() = default;
  OsPort(const OsPort&) = delete;
  OsPort& operator=(const OsPort&) = delete;

  // Opens the device at `path` for reading and writing, not as a controlling terminal.
  virtual bool Open(const std::string& path) = 0;
  // Holds the port for this program alone and sets 115200 8N1, raw, no flow control, DTR and RTS
  // up, remembering the settings found so that Close() can give them back.
  virtual bool Configure() = 0;
  // Throws away what the device sent since the last exchange.
  virtual void DiscardInput() = 0;
  // Writes all of `tx` within the write budget; false (a vanished port) when it cannot.
  virtual bool WriteAll(std::span<const uint8_t> tx) = 0;
  // Reply bytes into `rx` until it is full or `timeoutMs` (at least 1 ms) has passed; a port
  // that vanishes ends the collection early.
  virtual uint32_t Collect(std::span<uint8_t> rx, int32_t timeoutMs) = 0;
  // Gives back the settings found at open and closes; harmless when nothing is open.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  void SetPath(std::string path) { m_path = std::move(path); }

 protected:
  // Records why the port failed; returns false so that a step can end with it.
  bool Fail(PortError error, int osError, std::string evidence = {}) {
    m_failure = PortFailure{error, osError, m_path, std::move(evidence)};
    return false;
  }

 private:
  PortFailure& m_failure;
  std::string m_path;
};

// This system's port, reporting its failures into `failure`.
std::unique_ptr<OsPort> MakeOsPort(PortFailure& failure);

}  // namespace lumaflash::serial
