// Faults injected at the system-call seam of the serial link, on top of real pseudo-terminals
// and simulated devices. The link's deadlines run on a fake clock that only moves when a wait
// would have passed, so no verdict here depends on how fast the machine is.
#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/port.h"
#include "serial/system_calls.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/recording_feedback.h"
#include "support/sim_devices.h"
#include "update/flash.h"

namespace lumaflash {
namespace {

using std::chrono::milliseconds;
using FakeClock = std::chrono::steady_clock;

enum class Call { Open, Flock, GetAttributes, SetAttributes, Flush, Write, Poll, Read, Close };
constexpr std::size_t kCallKinds = 9;

const char* CallName(Call call) {
  constexpr std::array<const char*, kCallKinds> kNames{
      "open", "flock", "tcgetattr", "tcsetattr", "tcflush", "write", "poll", "read", "close"};
  return kNames[static_cast<std::size_t>(call)];
}

// Reported by an injected poll instead of an error: the far end hung up (for the second, only
// while the link waits for room to write).
constexpr int kHangUp = -1;
constexpr int kHangUpWhileWriting = -2;

// Once `afterWrites` writes have gone through, the next `times` calls of `call` (every one when
// `times` is negative) fail with `error`, or report a hang-up when `error` is kHangUp.
struct Rule {
  Call call;
  int error;
  int afterWrites = 0;
  int times = -1;
};

// The real system calls, with faults and a fake clock. Waits that come back empty move the
// clock by the time they would have taken; each injected fault moves it by kFaultCost; any other
// reading of the clock moves it a little, so that no loop can spin without time passing.
class FaultySystemCalls : public serial::SystemCalls {
 public:
  static constexpr milliseconds kFaultCost{1};
  // How long a poll really waits for a simulated device that is expected to answer.
  static constexpr int kRealWaitMs = 5000;

  FaultySystemCalls(std::vector<Rule> rules, bool deviceAnswers)
      : m_rules(std::move(rules)), m_deviceAnswers(deviceAnswers) {}

  int Count(Call call) const { return m_counts[static_cast<std::size_t>(call)]; }
  FakeClock::duration Elapsed() const { return m_now - FakeClock::time_point{}; }
  int writeLimit = 0;  // when above 0, each write takes at most this many bytes

  int Open(const char* path, int flags) override {
    return Guarded(Call::Open, [&] {
      int fd = SystemCalls::Open(path, flags);
      if (fd >= 0) {
        m_openFds.push_back(fd);
      }
      return fd;
    });
  }
  int Flock(int fd, int operation) override {
    return Guarded(Call::Flock, [&] { return SystemCalls::Flock(fd, operation); });
  }
  int GetAttributes(int fd, termios* attributes) override {
    return Guarded(Call::GetAttributes, [&] { return SystemCalls::GetAttributes(fd, attributes); });
  }
  int SetAttributes(int fd, int when, const termios* attributes) override {
    return Guarded(Call::SetAttributes,
                   [&] { return SystemCalls::SetAttributes(fd, when, attributes); });
  }
  int Flush(int fd, int queue) override {
    return Guarded(Call::Flush, [&] { return SystemCalls::Flush(fd, queue); });
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    const ssize_t wrote = Guarded(Call::Write, [&] {
      const size_t limit = writeLimit > 0 ? std::min(size, static_cast<size_t>(writeLimit)) : size;
      return SystemCalls::Write(fd, data, limit);
    });
    if (wrote > 0) {
      ++m_writes;
    }
    return wrote;
  }
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    std::optional<int> fault = Fault(Call::Poll);
    if (fault && *fault == kHangUpWhileWriting) {
      fault = (fds[0].events & POLLOUT) != 0 ? std::optional<int>(kHangUp) : std::nullopt;
    }
    if (fault && *fault == kHangUp) {
      fds[0].revents = POLLHUP;
      return 1;
    }
    if (fault) {
      errno = *fault;
      return -1;
    }
    const int ready = SystemCalls::Poll(fds, count, m_deviceAnswers ? kRealWaitMs : 0);
    if (ready == 0) {
      m_now += milliseconds(timeoutMs);
    }
    return ready;
  }
  ssize_t Read(int fd, void* data, size_t size) override {
    return Guarded(Call::Read, [&] { return SystemCalls::Read(fd, data, size); });
  }
  int Close(int fd) override {
    ++m_counts[static_cast<std::size_t>(Call::Close)];
    std::erase(m_openFds, fd);
    // The descriptor is gone whatever close() reports, as on Linux.
    const int result = SystemCalls::Close(fd);
    if (const std::optional<int> fault = FaultFor(Call::Close)) {
      errno = *fault;
      return -1;
    }
    return result;
  }
  FakeClock::time_point Now() override {
    m_now += std::chrono::microseconds(10);
    return m_now;
  }

  // Descriptors the link opened and has not closed.
  const std::vector<int>& OpenDescriptors() const { return m_openFds; }

 private:
  std::optional<int> FaultFor(Call call) {
    for (Rule& rule : m_rules) {
      if (rule.call == call && m_writes >= rule.afterWrites && rule.times != 0) {
        if (rule.times > 0) {
          --rule.times;
        }
        m_now += kFaultCost;
        return rule.error;
      }
    }
    return std::nullopt;
  }

  std::optional<int> Fault(Call call) {
    ++m_counts[static_cast<std::size_t>(call)];
    return FaultFor(call);
  }

  template <typename Real>
  auto Guarded(Call call, Real real) -> decltype(real()) {
    if (const std::optional<int> fault = Fault(call)) {
      errno = *fault;
      return -1;
    }
    return real();
  }

  std::vector<Rule> m_rules;
  bool m_deviceAnswers;
  std::array<int, kCallKinds> m_counts{};
  int m_writes = 0;
  std::vector<int> m_openFds;
  FakeClock::time_point m_now{};
};

// One update of a simulated 0x3514 device with a four-block image, under injected faults.
struct FaultedUpdate {
  explicit FaultedUpdate(std::vector<Rule> rules, int writeLimit = 0)
      : device(testing::StartDevice(testing::Device(0x3514, kBlockSize))),
        calls(std::move(rules), true) {
    calls.writeLimit = writeLimit;
    record.bootloaderVersion = 0x0100;
    record.deviceId = 0x3514;
    record.blockSize = kBlockSize;
    record.portNumber = 1;
    record.portPath = device->Path();
    image = std::make_unique<update::FirmwareImage>();
    image->deviceId = 0x3514;
    image->length = static_cast<uint32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), image->data.begin());
  }

  update::FlashOutcome Run() {
    serial::ScopedSystemCalls scoped(calls);
    return update::TransferImage(record, *image, "image.bin", feedback);
  }

  static constexpr uint16_t kBlockSize = 64;
  std::vector<uint8_t> payload = sim::PatternPayload(4 * kBlockSize, 7);
  std::unique_ptr<sim::PtyDevice> device;
  FaultySystemCalls calls;
  protocol::InterfaceRecord record;
  std::unique_ptr<update::FirmwareImage> image;
  testing::RecordingFeedback feedback;
};

// Nothing is left holding the port: every descriptor the link opened is closed, and another
// link can take the port at once.
void ExpectPortReleased(const FaultedUpdate& run) {
  EXPECT_TRUE(run.calls.OpenDescriptors().empty());
  serial::PortLink next;
  EXPECT_TRUE(next.OpenPort(serial::PortAddress{1, run.device->Path()}))
      << serial::DescribePortFailure(next.LastFailure());
}

TEST(FaultInjection, InterruptedCallsAreRetriedAndTheUpdateCompletes) {
  struct Case {
    Call call;
    int times;
  };
  const Case cases[] = {
      {Call::Open, 3},  {Call::Flock, 3}, {Call::GetAttributes, 3}, {Call::SetAttributes, 3},
      {Call::Flush, 5}, {Call::Write, 5}, {Call::Poll, 5},          {Call::Read, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(CallName(c.call));
    FaultedUpdate run({{c.call, EINTR, 0, c.times}, {c.call, EINTR, 3, c.times}});
    const update::FlashOutcome outcome = run.Run();
    EXPECT_EQ(outcome.result, update::FlashResult::Success) << outcome.statusLine;
    EXPECT_GT(run.calls.Count(c.call), c.times) << "the interrupted call was tried again";
    const auto got = run.device->Snapshot();
    EXPECT_EQ(got.BlockCount(), 4);
    EXPECT_EQ(got.Image(), run.payload);
    EXPECT_TRUE(got.RunReceived());
    EXPECT_EQ(run.calls.Count(Call::Close), 1);
    ExpectPortReleased(run);
  }
}

TEST(FaultInjection, ShortWritesAndFullDriverBuffersStillDeliverEveryByte) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    int writeLimit;
  };
  const Case cases[] = {
      {"one byte per write", {}, 1},
      {"seven bytes per write", {}, 7},
      {"driver full now and then", {{Call::Write, EAGAIN, 0, 4}, {Call::Write, EAGAIN, 2, 4}}, 5},
      {"reads find nothing at first", {{Call::Read, EAGAIN, 1, 6}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultedUpdate run(c.rules, c.writeLimit);
    const update::FlashOutcome outcome = run.Run();
    EXPECT_EQ(outcome.result, update::FlashResult::Success) << outcome.statusLine;
    const auto got = run.device->Snapshot();
    EXPECT_EQ(got.Image(), run.payload);
    EXPECT_TRUE(got.ProtocolViolations().empty()) << got.ProtocolViolations().front();
    ExpectPortReleased(run);
  }
}

TEST(FaultInjection, PortFailingMidTransferEndsTheUpdateWithThePortClosed) {
  struct Case {
    const char* name;
    Rule rule;
    const char* evidence;  // how the failure begins to say what the system reported
  };
  // Two writes in: the start packet and the first block have gone out.
  const Case cases[] = {
      {"write fails with EIO", {Call::Write, EIO, 2}, "write: Input/output error"},
      // What cdc_acm answers a write once the device is unplugged.
      {"write fails with ENODEV", {Call::Write, ENODEV, 2}, "write: No such device"},
      {"read fails with EIO", {Call::Read, EIO, 2}, "read: Input/output error"},
      {"poll reports a hang-up", {Call::Poll, kHangUp, 2}, "poll: POLLHUP"},
      {"poll fails with EIO", {Call::Poll, EIO, 2}, "poll: Input/output error"},
      {"driver stays full", {Call::Write, EAGAIN, 2}, "write: no progress"},
      {"write is interrupted without end", {Call::Write, EINTR, 2}, "write: no progress"},
      {"poll is interrupted without end", {Call::Poll, EINTR, 2}, ""},
      {"read is interrupted without end", {Call::Read, EINTR, 2}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Rule> rules{c.rule};
    if (c.rule.call == Call::Write && c.rule.error == EAGAIN) {
      // The same full driver, but the device hangs up while the link waits for room.
      FaultedUpdate hungUp({c.rule, {Call::Poll, kHangUpWhileWriting, 2}});
      const update::FlashOutcome outcome = hungUp.Run();
      EXPECT_EQ(outcome.result, update::FlashResult::WriteFailed);
      EXPECT_EQ(outcome.port.error, serial::PortError::Vanished);
      EXPECT_EQ(outcome.port.osError, EIO) << "the hang-up ended the wait, not the budget";
      ExpectPortReleased(hungUp);
    }
    FaultedUpdate run(rules);
    const update::FlashOutcome outcome = run.Run();
    EXPECT_EQ(outcome.result, update::FlashResult::WriteFailed);
    EXPECT_EQ(outcome.statusLine, "Timeout on write data !");
    EXPECT_TRUE(run.feedback.Said("Timeout on write data !"));
    EXPECT_TRUE(outcome.port.evidence.starts_with(c.evidence) &&
                (outcome.port.evidence.empty() == (*c.evidence == '\0')))
        << outcome.port.evidence;
    if (!outcome.port.evidence.empty()) {
      EXPECT_NE(serial::DescribePortFailure(outcome.port).find("(" + outcome.port.evidence + ")"),
                std::string::npos);
    }
    EXPECT_FALSE(run.feedback.Said("RUN application."));
    const auto got = run.device->Snapshot();
    EXPECT_FALSE(got.RunReceived()) << "a failed transfer must not start the application";
    EXPECT_LE(got.BlockCount(), 2);
    EXPECT_EQ(run.calls.Count(Call::Close), 1);
    ExpectPortReleased(run);
  }
}

// A silent device: the collection must end at its deadline on the fake clock however the
// waits are cut up by signals, and neither much earlier nor much later.
TEST(FaultInjection, InterruptedWaitsKeepTheExchangeDeadline) {
  struct Case {
    const char* name;
    std::vector<Rule> rules;
  };
  const Case cases[] = {
      {"no signals", {}},
      {"every poll interrupted", {{Call::Poll, EINTR, 1}}},
      {"polls interrupted now and then", {{Call::Poll, EINTR, 1, 3}}},
      {"every poll finds the buffer busy", {{Call::Poll, EAGAIN, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RawPty pty;
    FaultySystemCalls calls(c.rules, false);
    serial::ScopedSystemCalls scoped(calls);
    serial::PortLink link;
    ASSERT_TRUE(link.OpenPort(serial::PortAddress{1, pty.Path()}));
    std::array<uint8_t, 1000> rx{};
    uint32_t rxLength = 99;
    const auto before = calls.Elapsed();
    EXPECT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
    const auto took = calls.Elapsed() - before;
    EXPECT_EQ(rxLength, 0u);
    EXPECT_GE(took, milliseconds(50));
    EXPECT_LT(took, milliseconds(50) + 2 * FaultySystemCalls::kFaultCost);
    EXPECT_LE(calls.Count(Call::Poll), 52) << "one wait per fault at most, not a spin";
    EXPECT_EQ(pty.Received(), std::vector<uint8_t>{0xB0});
  }
}

TEST(FaultInjection, ConfigurationFailuresCloseThePortAndSayWhy) {
  struct Case {
    const char* name;
    Rule rule;
    serial::PortError expected;
  };
  const Case cases[] = {
      {"open: permission", {Call::Open, EACCES}, serial::PortError::AccessDenied},
      {"open: busy", {Call::Open, EBUSY}, serial::PortError::Busy},
      {"open: gone", {Call::Open, ENODEV}, serial::PortError::NotFound},
      {"open: interrupted without end", {Call::Open, EINTR}, serial::PortError::Unusable},
      {"lock held elsewhere", {Call::Flock, EWOULDBLOCK}, serial::PortError::Busy},
      {"lock fails", {Call::Flock, ENOLCK}, serial::PortError::Unusable},
      {"tcgetattr fails", {Call::GetAttributes, ENOTTY}, serial::PortError::Unusable},
      {"tcsetattr fails", {Call::SetAttributes, EIO}, serial::PortError::Unusable},
      {"tcflush fails", {Call::Flush, EIO}, serial::PortError::Unusable},
      {"tcflush interrupted without end", {Call::Flush, EINTR}, serial::PortError::Unusable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RawPty pty;
    FaultySystemCalls calls({c.rule}, false);
    {
      serial::ScopedSystemCalls scoped(calls);
      serial::PortLink link;
      EXPECT_FALSE(link.OpenPort(serial::PortAddress{1, pty.Path()}));
      EXPECT_FALSE(link.IsOpen());
      EXPECT_EQ(link.LastFailure().error, c.expected);
      EXPECT_EQ(link.LastFailure().osError, c.rule.error);
      EXPECT_TRUE(calls.OpenDescriptors().empty()) << "a half-configured port is closed again";
      std::array<uint8_t, 1> rx{};
      uint32_t rxLength = 5;
      EXPECT_FALSE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
      EXPECT_EQ(rxLength, 0u);
    }
    EXPECT_LE(calls.Count(c.rule.call), 100) << "a signal storm is not retried forever";
  }
}

TEST(FaultInjection, FailingCloseIsNotRetried) {
  for (const int error : {EINTR, EIO}) {
    SCOPED_TRACE(error);
    testing::RawPty pty;
    FaultySystemCalls calls({{Call::Close, error}}, false);
    serial::ScopedSystemCalls scoped(calls);
    serial::PortLink link;
    ASSERT_TRUE(link.OpenPort(serial::PortAddress{1, pty.Path()}));
    link.ClosePort();
    EXPECT_EQ(calls.Count(Call::Close), 1);
    EXPECT_FALSE(link.IsOpen());
    link.ClosePort();
    EXPECT_EQ(calls.Count(Call::Close), 1) << "a closed link closes nothing again";
    EXPECT_TRUE(calls.OpenDescriptors().empty());
  }
}

}  // namespace
}  // namespace lumaflash
