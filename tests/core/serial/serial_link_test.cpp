// The serial link on real pseudo-terminals, with simulated devices, and with faults injected at
// its system-call seam. Deadlines under injected faults run on a fake clock that only moves when
// a wait would have passed, so no verdict there depends on how fast the machine is.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/programming.h"
#include "core/serial/port.h"
#include "core/serial/system_calls.h"
#include "core/update/flash.h"
#include "sim/image_file.h"
#include "tests/support/raw_pty.h"
#include "tests/support/recording_feedback.h"
#include "tests/support/sim_devices.h"

namespace lumaflash {
namespace {

using serial::PortError;
using std::chrono::milliseconds;
constexpr std::array<uint8_t, 1> kIdentify{0xB0};

const auto At = [](const std::string& path) { return serial::PortAddress{1, path}; };

// A second acknowledge left over from the last exchange (it came with the first, so it is
// waiting) is gone at the next; an overlong reply
// is cut to what the caller and the receive buffer hold, with nothing written past either.
TEST(SerialLink, StaleAndOverlongRepliesStayInBounds) {
  auto stale = testing::StartDevice(testing::Device(0x3514),
                                    {{sim::Fault::DoubleAck, sim::PacketKind::Start, 0}});
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(At(stale->Path())));
  std::array<uint8_t, 2000> rx{};
  ASSERT_TRUE(
      link.Exchange(std::array<uint8_t, 4>{0xB1, 0x00, 0x01, 0x10}, std::span(rx).first(1), 50));
  const uint32_t rxLength = link.Exchange(kIdentify, rx, 50).value_or(0);
  const auto expected = sim::EncodeIdentifyReply(stale->Snapshot().Config());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rx.begin(), rx.begin() + rxLength));

  auto overlong = testing::StartDevice(testing::Device(0x3514),
                                       {{sim::Fault::Overlong, sim::PacketKind::Identify, -1}});
  link.ClosePort();
  ASSERT_TRUE(link.OpenPort(At(overlong->Path())));
  for (const std::size_t asked : {std::size_t{1000}, rx.size()}) {
    rx.fill(0xEE);  // never sent by the device
    const std::size_t held = std::min(asked, serial::kReceiveBufferSize);
    EXPECT_EQ(link.Exchange(kIdentify, std::span(rx).first(asked), 50).value_or(0), held);
    EXPECT_EQ(rx[held], 0xEE) << "written past " << held;
  }
}

TEST(SerialLink, PortsAreWalkedInNaturalOrder) {
  const std::vector<std::pair<std::string, std::string>> ordered = {
      {"ttyACM2", "ttyACM10"}, {"ttyACM0", "ttyUSB0"}, {"ttyS01", "ttyS2"}, {"ttyS9", "ttyS10"}};
  for (const auto& [a, b] : ordered) {
    EXPECT_TRUE(serial::NaturalLess(a, b) && !serial::NaturalLess(b, a)) << a << " < " << b;
  }
  EXPECT_FALSE(serial::NaturalLess("ttyS1", "ttyS1"));
}

enum class Call { Open, Flock, GetAttributes, SetAttributes, Flush, Write, Poll, Read, Close };
constexpr std::array<const char*, 9> kCallNames{
    "open", "flock", "tcgetattr", "tcsetattr", "tcflush", "write", "poll", "read", "close"};

constexpr int kHangUp = -1, kHangUpWhileWriting = -2;  // injected by poll instead of an error

// Once `afterWrites` writes have gone through, the next `times` calls of `call` (every one when
// `times` is negative) fail with `error`, or (poll) report a hang-up, when writing for the 2nd.
struct Rule {
  Call call;
  int error;
  int afterWrites = 0;
  int times = -1;
};

// The real system calls, with faults and a fake clock: an empty wait moves it by its time-out, a
// fault by kFaultCost, any other reading a little, so that no loop spins without time passing.
class FaultySystemCalls : public serial::SystemCalls {
 public:
  static constexpr milliseconds kFaultCost{1};

  FaultySystemCalls(std::vector<Rule> rules, bool deviceAnswers)
      : m_rules(std::move(rules)), m_deviceAnswers(deviceAnswers) {}

  int Count(Call call) const { return m_counts[static_cast<std::size_t>(call)]; }
  std::chrono::steady_clock::duration Elapsed() const { return m_now.time_since_epoch(); }
  std::vector<int> openFds;
  int writeLimit = 0;             // when above 0, each write takes at most this many bytes
  bool exclusiveCleared = false;  // TIOCNXCL was asked for while the descriptor was open

  int Open(const char* path, int flags) override {
    return Guarded(Call::Open, [&] {
      const int fd = SystemCalls::Open(path, flags);
      openFds.insert(openFds.end(), fd >= 0 ? 1 : 0, fd);
      return fd;
    });
  }
  int Flock(int fd, int op) override {
    return Guarded(Call::Flock, [&] { return SystemCalls::Flock(fd, op); });
  }
  int Ioctl(int fd, unsigned long request, int* argument) override {
    exclusiveCleared = exclusiveCleared || request == TIOCNXCL;
    return SystemCalls::Ioctl(fd, request, argument);
  }
  int GetAttributes(int fd, termios* t) override {
    return Guarded(Call::GetAttributes, [&] { return SystemCalls::GetAttributes(fd, t); });
  }
  int SetAttributes(int fd, int when, const termios* t) override {
    return Guarded(Call::SetAttributes, [&] { return SystemCalls::SetAttributes(fd, when, t); });
  }
  int Flush(int fd, int queue) override {
    return Guarded(Call::Flush, [&] { return SystemCalls::Flush(fd, queue); });
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    const ssize_t wrote = Guarded(Call::Write, [&] {
      return SystemCalls::Write(
          fd, data, writeLimit > 0 ? std::min(size, static_cast<size_t>(writeLimit)) : size);
    });
    m_writes += wrote > 0 ? 1 : 0;
    return wrote;
  }
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    const std::optional<int> fault = Fault(Call::Poll);
    if (fault == kHangUp || (fault == kHangUpWhileWriting && (fds[0].events & POLLOUT) != 0)) {
      fds[0].revents = POLLHUP;
      return 1;
    }
    if (fault > 0) {
      errno = *fault;
      return -1;
    }
    // A device that answers gets real time to do so; the fake clock only moves on a miss.
    const int ready = SystemCalls::Poll(fds, count, m_deviceAnswers ? 5000 : 0);
    m_now += milliseconds(ready == 0 ? timeoutMs : 0);
    return ready;
  }
  ssize_t Read(int fd, void* data, size_t size) override {
    return Guarded(Call::Read, [&] { return SystemCalls::Read(fd, data, size); });
  }
  int Close(int fd) override {
    std::erase(openFds, fd);
    const int result = SystemCalls::Close(fd);  // gone whatever close() reports, as on Linux
    return Guarded(Call::Close, [&] { return result; });
  }
  std::chrono::steady_clock::time_point Now() override {
    return m_now += std::chrono::microseconds(10);
  }

 private:
  std::optional<int> Fault(Call call) {
    ++m_counts[static_cast<std::size_t>(call)];
    for (Rule& rule : m_rules) {
      if (rule.call == call && m_writes >= rule.afterWrites && rule.times != 0) {
        rule.times -= rule.times > 0 ? 1 : 0;
        m_now += kFaultCost;
        return rule.error;
      }
    }
    return std::nullopt;
  }
  template <typename Real>
  auto Guarded(Call call, Real real) -> decltype(real()) {
    const std::optional<int> fault = Fault(call);
    errno = fault.value_or(errno);
    return fault ? -1 : real();
  }

  std::vector<Rule> m_rules;
  bool m_deviceAnswers;
  std::array<int, kCallNames.size()> m_counts{};
  int m_writes = 0;
  std::chrono::steady_clock::time_point m_now{};
};

// One update of a simulated device with a four-block image per row, under injected faults.
// Evidence: how the failure begins to say what the system reported ("" none, nullptr: the
// update succeeds). Faults after 2 writes strike once the start packet and block 1 have gone.
TEST(FaultInjection, UpdateUnderFaultsDeliversEveryByteOrEndsWithThePortClosed) {
  // clang-format off
  struct Case { std::string name; std::vector<Rule> rules; int writeLimit; const char* evidence; };
  std::vector<Case> cases = {
      {"one byte per write", {}, 1, nullptr},
      {"driver full now and then", {{Call::Write, EAGAIN, 0, 4}, {Call::Write, EAGAIN, 2, 4}}, 5, nullptr},
      {"reads find nothing at first", {{Call::Read, EAGAIN, 1, 6}}, 0, nullptr},
      {"write fails with EIO", {{Call::Write, EIO, 2}}, 0, "write: Input/output error"},
      // What cdc_acm answers a write once the device is unplugged.
      {"write fails with ENODEV", {{Call::Write, ENODEV, 2}}, 0, "write: No such device"},
      {"read fails with EIO", {{Call::Read, EIO, 2}}, 0, "read: Input/output error"},
      {"poll reports a hang-up", {{Call::Poll, kHangUp, 2}}, 0, "poll: POLLHUP"},
      {"poll fails with EIO", {{Call::Poll, EIO, 2}}, 0, "poll: Input/output error"},
      {"driver stays full", {{Call::Write, EAGAIN, 2}}, 0, "write: no progress"},
      {"driver full, then a hang-up", {{Call::Write, EAGAIN, 2}, {Call::Poll, kHangUpWhileWriting, 2}}, 0, "?"},
      {"write is interrupted without end", {{Call::Write, EINTR, 2}}, 0, "write: no progress"},
      {"poll is interrupted without end", {{Call::Poll, EINTR, 2}}, 0, ""},
      {"read is interrupted without end", {{Call::Read, EINTR, 2}}, 0, ""},
  };
  for (Call call : {Call::Open, Call::Flock, Call::GetAttributes, Call::SetAttributes, Call::Flush, Call::Write, Call::Poll, Call::Read}) {
    cases.push_back({std::string(kCallNames[static_cast<std::size_t>(call)]) + " interrupted", {{call, EINTR, 0, 3}, {call, EINTR, 3, 3}}, 0, nullptr});
  }
  // clang-format on
  const std::vector<uint8_t> payload = sim::PatternPayload(4 * 64, 7);
  auto image = std::make_unique<image::FirmwareImage>();
  image->deviceId = 0x3514;
  image->length = static_cast<uint32_t>(payload.size());
  std::copy(payload.begin(), payload.end(), image->data.begin());
  protocol::InterfaceRecord record;
  record.bootloaderVersion = 0x0100;
  record.deviceId = 0x3514;
  record.blockSize = 64;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = testing::StartDevice(testing::Device(0x3514, 64));
    record.portPath = device->Path();
    FaultySystemCalls calls(c.rules, true);
    calls.writeLimit = c.writeLimit;
    testing::RecordingFeedback feedback;
    update::FlashOutcome transferred;
    {
      serial::ScopedSystemCalls scoped(calls);
      transferred = update::TransferImage(record, *image, "image.bin", feedback);
    }
    const update::UpdateError outcome =
        transferred ? update::UpdateError{update::FlashResult::Success, {}, {}}
                    : transferred.error();
    // Nothing holds the port: every descriptor is closed once, and another link can take it.
    EXPECT_TRUE(calls.openFds.empty());
    EXPECT_EQ(calls.Count(Call::Close), 1);
    serial::PortLink next;
    const auto reopened = next.OpenPort(At(device->Path()));
    EXPECT_TRUE(reopened) << serial::DescribePortFailure(reopened.error());
    const auto got = device->Snapshot();
    EXPECT_TRUE(got.ProtocolViolations().empty());
    if (c.evidence == nullptr) {
      EXPECT_EQ(outcome.result, update::FlashResult::Success) << outcome.statusLine;
      EXPECT_TRUE(got.Image() == payload && got.RunReceived());
      continue;
    }
    EXPECT_EQ(outcome.result, update::FlashResult::WriteFailed);
    EXPECT_EQ(outcome.statusLine, "Timeout on write data !");
    const std::string& evidence = outcome.port.evidence;
    EXPECT_TRUE(*c.evidence == '?'
                    ? outcome.port.osError == EIO  // the hang-up ended the wait
                    : evidence.starts_with(c.evidence) && evidence.empty() == (*c.evidence == '\0'))
        << evidence;
    EXPECT_TRUE(evidence.empty() ||
                serial::DescribePortFailure(outcome.port).find("(" + evidence + ")") !=
                    std::string::npos);
    EXPECT_FALSE(feedback.Said("RUN application.") || got.RunReceived());
    EXPECT_LE(got.BlockCount(), 2);
  }
}

// Open and configuration failures close the half-configured port and say why. Programming
// packets that would read past the caller's data or a missing record are refused without
// sending a byte, and on a closed link none can be acknowledged. On a silent device the
// collection ends at its deadline on the fake clock however signals cut up the waits. A failing
// close is not retried, and the exclusive flag (the tty's: left set, it locks out the next
// program) is cleared before it.
TEST(FaultInjection, OpenExchangeAndCloseUnderFaults) {
  using enum PortError;
  // clang-format off
  const std::vector<std::pair<Rule, PortError>> cases = {
      {{Call::Open, EACCES}, AccessDenied}, {{Call::Open, EBUSY}, Busy},
      {{Call::Open, ENODEV}, NotFound}, {{Call::Open, EINTR}, Unusable},
      {{Call::Flock, EWOULDBLOCK}, Busy}, {{Call::Flock, ENOLCK}, Unusable},
      {{Call::GetAttributes, ENOTTY}, Unusable}, {{Call::SetAttributes, EIO}, Unusable},
      {{Call::Flush, EIO}, Unusable}, {{Call::Flush, EINTR}, Unusable},
      {{Call::Close, EINTR}, None}, {{Call::Close, EIO}, None},
      {{Call::Poll, EINTR, 1}, None}, {{Call::Poll, EINTR, 1, 3}, None}, {{Call::Poll, EAGAIN, 1}, None},
  };
  // clang-format on
  for (const auto& [rule, expected] : cases) {
    SCOPED_TRACE(std::string(kCallNames[static_cast<std::size_t>(rule.call)]) + " " +
                 std::to_string(rule.error));
    testing::RawPty pty;
    FaultySystemCalls calls({rule}, false);
    {
      serial::ScopedSystemCalls scoped(calls);
      serial::PortLink link;
      const auto open = link.OpenPort(At(pty.Path()));
      const bool opened = open.has_value();
      EXPECT_EQ(opened ? PortError::None : open.error().error, expected);
      EXPECT_TRUE(opened || open.error().osError == rule.error);
      protocol::Programmer programmer(link);
      protocol::InterfaceRecord record, noBlocks;
      noBlocks.blockSize = 0;
      const std::vector<uint8_t> data(record.blockSize);
      using Step = protocol::ProgrammingError::Step;
      const auto stepOf = [](const Expected<void, protocol::ProgrammingError>& sent) {
        return sent ? std::nullopt : std::optional(sent.error().step);
      };
      EXPECT_EQ(stepOf(programmer.SendStart(nullptr, 64)), Step::Start);
      for (const auto& refused :
           {programmer.SendBlock(nullptr, data),
            programmer.SendBlock(&record, std::span(data).first(data.size() - 1)),
            programmer.SendBlock(&noBlocks, data)}) {
        EXPECT_EQ(stepOf(refused), Step::Block);
      }
      std::array<uint8_t, 1000> rx{};
      const auto before = calls.Elapsed();
      const auto received = link.Exchange(kIdentify, rx, 50);
      const auto took = calls.Elapsed() - before;
      EXPECT_EQ(received ? *received : 99u, opened ? 0u : 99u);
      EXPECT_EQ(received ? PortError::None : received.error().error,
                opened ? PortError::None : PortError::NotOpen);
      if (opened) {
        EXPECT_TRUE(took >= milliseconds(50) &&
                    took < milliseconds(50) + 2 * FaultySystemCalls::kFaultCost);
        EXPECT_LE(calls.Count(Call::Poll), 52) << "one wait per fault at most, not a spin";
        EXPECT_EQ(pty.Received(), std::vector<uint8_t>{0xB0});
      }
      link.ClosePort();
      link.ClosePort();
      EXPECT_FALSE(link.IsOpen() || programmer.SendStart(&record, 64) ||
                   programmer.SendBlock(&record, data));
      EXPECT_TRUE(calls.openFds.empty()) << "a half-configured port is closed again";
      EXPECT_EQ(calls.Count(Call::Close), rule.call == Call::Open ? 0 : 1);
      EXPECT_TRUE(calls.exclusiveCleared || !opened);
    }
    EXPECT_LE(calls.Count(rule.call), 100) << "a signal storm is not retried forever";
  }
}

}  // namespace
}  // namespace lumaflash
