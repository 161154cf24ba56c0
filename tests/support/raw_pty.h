#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace lumaflash::testing {

// A bare pseudo-terminal whose far end the test drives by hand: whatever it writes with Send()
// arrives on Path() as if a device had sent it.
class RawPty {
 public:
  RawPty() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(m_master);
    ::unlockpt(m_master);
    std::array<char, 128> name{};
    ::ptsname_r(m_master, name.data(), name.size());
    m_path = name.data();
    // Held open, and raw, so the line discipline neither echoes nor hangs up between opens.
    m_slave = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    ::tcgetattr(m_slave, &line);
    ::cfmakeraw(&line);
    ::tcsetattr(m_slave, TCSANOW, &line);
  }
  ~RawPty() { HangUp(); }
  RawPty(const RawPty&) = delete;
  RawPty& operator=(const RawPty&) = delete;

  const std::string& Path() const { return m_path; }

  void Send(const std::vector<uint8_t>& bytes) const {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t wrote = ::write(m_master, bytes.data() + sent, bytes.size() - sent);
      if (wrote <= 0) {
        return;
      }
      sent += static_cast<std::size_t>(wrote);
    }
  }

  void HangUp() {
    if (m_slave >= 0) {
      ::close(m_slave);
      ::close(m_master);
    }
    m_slave = m_master = -1;
  }

  // What the host wrote, waiting up to `timeoutMs` for the first byte.
  std::vector<uint8_t> Received(int timeoutMs = 200) const {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 4096> buffer{};
    pollfd watch{m_master, POLLIN, 0};
    ssize_t got = 0;
    while (::poll(&watch, 1, bytes.empty() ? timeoutMs : 20) > 0 &&
           (got = ::read(m_master, buffer.data(), buffer.size())) > 0) {
      bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
    }
    return bytes;
  }

  // Everything the host wrote and the test has not read yet, and nothing later: a marker sent
  // from the port's own end queues up behind it, so the read ends at the marker, not at a
  // time-out. Nothing when the marker does not come back within ten seconds.
  std::optional<std::vector<uint8_t>> ReceivedSoFar() const {
    constexpr uint8_t kMarker = 0xA5;
    if (::write(m_slave, &kMarker, 1) != 1) {
      return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    pollfd watch{m_master, POLLIN, 0};
    std::array<uint8_t, 4096> buffer{};
    ssize_t got = 0;
    while ((bytes.empty() || bytes.back() != kMarker) && ::poll(&watch, 1, 10000) > 0 &&
           (got = ::read(m_master, buffer.data(), buffer.size())) > 0) {
      bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
    }
    if (bytes.empty() || bytes.back() != kMarker) {
      return std::nullopt;
    }
    bytes.pop_back();
    return bytes;
  }

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_path;
};

// A line left as a terminal or another serial program would leave it, with every setting an
// update must not keep (9600 baud, 7E2, flow control, echo, line mode), read back as it stands.
inline termios TerminalLine(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios line{};
  ::tcgetattr(fd, &line);
  ::cfsetspeed(&line, B9600);
  line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
  line.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK;
  line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  line.c_oflag |= OPOST;
  EXPECT_EQ(::tcsetattr(fd, TCSANOW, &line), 0);
  ::tcgetattr(fd, &line);
  ::close(fd);
  return line;
}

inline bool SameLine(const std::string& path, const termios& before) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios now{};
  ::tcgetattr(fd, &now);
  ::close(fd);
  return std::memcmp(&before, &now, sizeof now) == 0;
}

}  // namespace lumaflash::testing
