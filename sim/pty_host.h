#pragma once

#include <termios.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/expected.h"
#include "sim/device_model.h"

namespace lumaflash::sim {

// A simulated device served on a pseudo-terminal: the host program opens Path() as if it were
// the device's serial port. A thread answers packets as the device model says, at the times it
// says; destroying the object ends the device.
// What the host program left on the port, as the device's side of the line sees it.
struct HostLine {
  termios settings{};      // a pseudo-terminal's master reports the settings of its far end
  bool exclusive = false;  // TIOCEXCL: nobody else may open the port now
};

// Why a simulated device could not start serving: the step, the tty or pseudo-terminal (once
// it has a name) and the system's error.
struct HostError {
  enum class Step { ServeTty, CreatePty, NamePty, SetUpPty };
  Step step = Step::CreatePty;
  std::string path;
  int osError = 0;
};

// One line: what could not be set up, and why.
std::string Describe(const HostError& error);

class PtyDevice {
 public:
  // Starts the device, or says why no pseudo-terminal could be made for it.
  static Expected<std::unique_ptr<PtyDevice>, HostError> Start(DeviceConfig config,
                                                               std::vector<FaultPlan> faults);
  // Serves the device on an existing tty instead (a USB gadget's port, say), switched to raw
  // mode, or says why it cannot be opened or configured.
  static Expected<std::unique_ptr<PtyDevice>, HostError> StartOnTty(const std::string& path,
                                                                    DeviceConfig config,
                                                                    std::vector<FaultPlan> faults);
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // The port to open, e.g. "/dev/pts/7".
  const std::string& Path() const { return m_path; }

  // A copy of the device's state, taken between two packets.
  DeviceModel Snapshot() const;

  // The line settings and the exclusive flag of the port (pseudo-terminal only, else empty).
  std::optional<HostLine> ReadHostLine() const;

  // The device goes away now, as if unplugged: its port hangs up.
  void Vanish();

 private:
  PtyDevice(DeviceConfig config, std::vector<FaultPlan> faults);
  Expected<void, HostError> Open();
  Expected<void, HostError> OpenTty(const std::string& path);
  // Serves until a stop is requested on `stop` or the line goes down. An exception ends the
  // device as an unplug would, not the program.
  void Serve(const std::stop_token& stop);
  void ServeGuarded(const std::stop_token& stop);
  void SendDue(Clock::time_point now);
  // How long poll() may wait for the host before the next reply is due; -1 when none waits.
  int MsToNextReply(Clock::time_point now) const;
  void HangUp();

  mutable std::mutex m_mutex;
  DeviceModel m_model;
  std::string m_path;
  int m_master = -1;  // the device's end: the pseudo-terminal's master, or the tty served
  int m_slave = -1;   // kept open so the line stays up between the host's opens (pty only)
  int m_wake[2] = {-1, -1};
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  std::vector<Pending> m_pending;
  bool m_hungUp = false;
  std::jthread m_thread;
};

}  // namespace lumaflash::sim
