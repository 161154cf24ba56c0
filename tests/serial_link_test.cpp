// The serial link on real pseudo-terminals, with simulated devices, and with faults injected at
// its system-call seam. Deadlines under injected faults run on a fake clock that only moves when
// a wait would have passed, so no verdict there depends on how fast the machine is.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/scan.h"
#include "protocol/programming.h"
#include "serial/port.h"
#include "serial/system_calls.h"
#include "sim/image_file.h"
#include "support/raw_pty.h"
#include "support/recording_feedback.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "update/flash.h"

namespace lumaflash {
namespace {

using serial::PortError;
using std::chrono::milliseconds;

serial::PortAddress At(const std::string& path) {
  return serial::PortAddress{1, path};
}

TEST(SerialLink, AnswerLeftFromTheLastExchangeIsGoneAtTheNext) {
  auto device = testing::StartDevice(testing::Device(0x3514),
                                     {{sim::Fault::DoubleAck, sim::PacketKind::Start, 0}});
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(At(device->Path())));
  std::array<uint8_t, 1000> rx{};
  uint32_t rxLength = 0;
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 4>{0xB1, 0x00, 0x01, 0x10}, std::span(rx).first(1),
                            rxLength, 50));
  ASSERT_EQ(rxLength, 1u);
  std::this_thread::sleep_for(milliseconds(20));  // the second acknowledge is in by now
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
  const auto expected = sim::EncodeIdentifyReply(device->Snapshot().Config());
  ASSERT_EQ(rxLength, expected.size()) << "the stale 0xB9 came first";
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rx.begin()));
}

TEST(SerialLink, OverlongReplyIsCutToWhatTheCallerAndTheReceiveBufferHold) {
  auto device = testing::StartDevice(testing::Device(0x3514),
                                     {{sim::Fault::Overlong, sim::PacketKind::Identify, -1}});
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(At(device->Path())));
  constexpr uint8_t kUntouched = 0xEE;  // never sent by the device
  std::array<uint8_t, 2000> rx{};
  rx.fill(kUntouched);
  uint32_t rxLength = 0;
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, std::span(rx).first(1000), rxLength, 50));
  EXPECT_EQ(rxLength, 1000u);
  EXPECT_EQ(rx[1000], kUntouched) << "nothing is written past what the caller asked for";
  ASSERT_TRUE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
  EXPECT_EQ(rxLength, serial::kReceiveBufferSize);
  EXPECT_EQ(rx[serial::kReceiveBufferSize], kUntouched) << "nor past the receive buffer";
}

TEST(SerialLink, OpenFailuresAreToldApart) {
  testing::RawPty pty;
  serial::PortLink first;
  ASSERT_TRUE(first.OpenPort(At(pty.Path())));
  testing::TempDir dir;
  const auto plainFile = dir.Write("not-a-tty", std::vector<uint8_t>{1, 2, 3});
  const std::vector<std::pair<std::string, PortError>> cases = {
      {pty.Path(), PortError::Busy},
      {(dir / "missing").string(), PortError::NotFound},
      {plainFile.string(), PortError::Unusable},
  };
  for (const auto& [path, expected] : cases) {
    serial::PortLink link;
    EXPECT_FALSE(link.OpenPort(At(path))) << path;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastFailure().error, expected) << path;
    EXPECT_EQ(link.LastFailure().path, path);
  }
  first.ClosePort();
  serial::PortLink second;
  EXPECT_TRUE(second.OpenPort(At(pty.Path()))) << "a closed port is free again";
}

TEST(SerialLink, PortsAreWalkedInNaturalOrder) {
  const std::vector<std::pair<std::string, std::string>> ordered = {
      {"ttyACM2", "ttyACM10"}, {"ttyACM0", "ttyUSB0"}, {"ttyS01", "ttyS2"}, {"ttyS9", "ttyS10"}};
  for (const auto& [a, b] : ordered) {
    EXPECT_TRUE(serial::NaturalLess(a, b)) << a << " < " << b;
    EXPECT_FALSE(serial::NaturalLess(b, a)) << b << " < " << a;
  }
  EXPECT_FALSE(serial::NaturalLess("ttyS1", "ttyS1"));
}

TEST(SerialLink, SideBySideProbesMatchAOneByOneScan) {
  std::vector<std::unique_ptr<sim::PtyDevice>> devices;
  std::vector<std::string> paths;
  for (uint16_t type : std::vector<uint16_t>{0x3514, 0x4801, 0x3611, 0x1234}) {
    devices.push_back(testing::StartDevice(testing::Device(type)));
    paths.push_back(devices.back()->Path());
  }
  const auto ports = serial::NamedPorts(paths);
  protocol::InterfaceTable oneByOne;
  protocol::InterfaceTable sideBySide;
  std::string oneByOneLog;
  std::string sideBySideLog;
  discovery::AssembleScan(discovery::ProbePorts(ports, 1), oneByOne, oneByOneLog);
  discovery::AssembleScan(discovery::ProbePorts(ports), sideBySide, sideBySideLog);
  EXPECT_EQ(sideBySideLog, oneByOneLog);
  ASSERT_EQ(sideBySide.Count(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sideBySide[i].portPath, paths[i]);
    EXPECT_EQ(sideBySide[i].portNumber, static_cast<int>(i) + 1);
  }
}

// The progress bar follows the scan: each probe is reported as it ends, not once all have.
// Port 2's probe ends only after port 1's has been reported; a report held back to the end
// would leave it waiting for nothing.
TEST(SerialLink, EachProbeIsReportedAsItEnds) {
  for (const std::size_t threads : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(threads);
    std::promise<void> firstReported;
    std::shared_future<void> reported = firstReported.get_future().share();
    bool waited = false;
    std::vector<int> order;
    const auto probe = [&](const serial::PortAddress& address) {
      if (address.portNumber == 2) {
        waited = reported.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      }
      discovery::Probe answered;
      answered.address = address;
      answered.opened = true;
      return answered;
    };
    const auto probed = [&](const discovery::Probe& done) {
      order.push_back(done.address.portNumber);
      if (done.address.portNumber == 1) {
        firstReported.set_value();
      }
    };
    const auto probes =
        discovery::ProbePorts(serial::NamedPorts({"/a", "/b"}), threads, probed, probe);
    EXPECT_TRUE(waited);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(probes.size(), 2u);
  }
}

// Programming packets refuse what would read past the caller's data or a missing record,
// without sending a byte; on a closed link no packet can be acknowledged.
TEST(SerialLink, ProgrammerRefusesBadArgumentsBeforeSending) {
  testing::RawPty pty;
  serial::PortLink link;
  ASSERT_TRUE(link.OpenPort(At(pty.Path())));
  protocol::Programmer programmer(link);
  protocol::InterfaceRecord record;
  record.blockSize = 64;
  const std::vector<uint8_t> data(64);
  EXPECT_FALSE(programmer.SendStart(nullptr, 64));
  EXPECT_FALSE(programmer.SendBlock(nullptr, data));
  EXPECT_FALSE(programmer.SendBlock(&record, std::span(data).first(63)));
  record.blockSize = 0;
  EXPECT_FALSE(programmer.SendBlock(&record, data));
  EXPECT_TRUE(pty.Received(50).empty());
  link.ClosePort();
  record.blockSize = 64;
  EXPECT_FALSE(programmer.SendStart(&record, 64));
  EXPECT_FALSE(programmer.SendBlock(&record, data));
}

enum class Call { Open, Flock, GetAttributes, SetAttributes, Flush, Write, Poll, Read, Close };
constexpr std::array<const char*, 9> kCallNames{
    "open", "flock", "tcgetattr", "tcsetattr", "tcflush", "write", "poll", "read", "close"};

// Reported by an injected poll instead of an error: the far end hung up (for the second, only
// while the link waits for room to write).
constexpr int kHangUp = -1;
constexpr int kHangUpWhileWriting = -2;

// Once `afterWrites` writes have gone through, the next `times` calls of `call` (every one when
// `times` is negative) fail with `error`, or report a hang-up.
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

  FaultySystemCalls(std::vector<Rule> rules, bool deviceAnswers)
      : m_rules(std::move(rules)), m_deviceAnswers(deviceAnswers) {}

  int Count(Call call) const { return m_counts[static_cast<std::size_t>(call)]; }
  std::chrono::steady_clock::duration Elapsed() const { return m_now.time_since_epoch(); }
  const std::vector<int>& OpenDescriptors() const { return m_openFds; }
  int writeLimit = 0;             // when above 0, each write takes at most this many bytes
  bool exclusiveCleared = false;  // TIOCNXCL was asked for while the descriptor was open

  int Open(const char* path, int flags) override {
    return Guarded(Call::Open, [&] {
      const int fd = SystemCalls::Open(path, flags);
      if (fd >= 0) {
        m_openFds.push_back(fd);
      }
      return fd;
    });
  }
  int Flock(int fd, int operation) override {
    return Guarded(Call::Flock, [&] { return SystemCalls::Flock(fd, operation); });
  }
  int Ioctl(int fd, unsigned long request, int* argument) override {
    exclusiveCleared = exclusiveCleared || request == TIOCNXCL;
    return SystemCalls::Ioctl(fd, request, argument);
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
    m_writes += wrote > 0 ? 1 : 0;
    return wrote;
  }
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    std::optional<int> fault = Fault(Call::Poll);
    if (fault == kHangUpWhileWriting) {
      fault = (fds[0].events & POLLOUT) != 0 ? std::optional<int>(kHangUp) : std::nullopt;
    }
    if (fault == kHangUp) {
      fds[0].revents = POLLHUP;
      return 1;
    }
    if (fault) {
      errno = *fault;
      return -1;
    }
    // A device that answers gets real time to do so; the fake clock only moves on a miss.
    const int ready = SystemCalls::Poll(fds, count, m_deviceAnswers ? 5000 : 0);
    m_now += ready == 0 ? milliseconds(timeoutMs) : milliseconds(0);
    return ready;
  }
  ssize_t Read(int fd, void* data, size_t size) override {
    return Guarded(Call::Read, [&] { return SystemCalls::Read(fd, data, size); });
  }
  int Close(int fd) override {
    ++m_counts[static_cast<std::size_t>(Call::Close)];
    std::erase(m_openFds, fd);
    const int result = SystemCalls::Close(fd);  // gone whatever close() reports, as on Linux
    if (const std::optional<int> fault = FaultFor(Call::Close)) {
      errno = *fault;
      return -1;
    }
    return result;
  }
  std::chrono::steady_clock::time_point Now() override {
    m_now += std::chrono::microseconds(10);
    return m_now;
  }

 private:
  std::optional<int> FaultFor(Call call) {
    for (Rule& rule : m_rules) {
      if (rule.call == call && m_writes >= rule.afterWrites && rule.times != 0) {
        rule.times -= rule.times > 0 ? 1 : 0;
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
  std::array<int, kCallNames.size()> m_counts{};
  int m_writes = 0;
  std::vector<int> m_openFds;
  std::chrono::steady_clock::time_point m_now{};
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
    record.portPath = device->Path();
    image->deviceId = 0x3514;
    image->length = static_cast<uint32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), image->data.begin());
  }

  update::FlashOutcome Run() {
    serial::ScopedSystemCalls scoped(calls);
    update::FlashOutcome outcome = update::TransferImage(record, *image, "image.bin", feedback);
    // Nothing is left holding the port: every descriptor opened is closed once, and another
    // link can take the port at once.
    EXPECT_TRUE(calls.OpenDescriptors().empty());
    EXPECT_EQ(calls.Count(Call::Close), 1);
    serial::PortLink next;
    EXPECT_TRUE(next.OpenPort(At(device->Path())))
        << serial::DescribePortFailure(next.LastFailure());
    return outcome;
  }

  static constexpr uint16_t kBlockSize = 64;
  std::vector<uint8_t> payload = sim::PatternPayload(4 * kBlockSize, 7);
  std::unique_ptr<sim::PtyDevice> device;
  FaultySystemCalls calls;
  protocol::InterfaceRecord record;
  std::unique_ptr<update::FirmwareImage> image = std::make_unique<update::FirmwareImage>();
  testing::RecordingFeedback feedback;
};

TEST(FaultInjection, InterruptedShortAndRefusedCallsStillDeliverEveryByte) {
  struct Case {
    std::string name;
    std::vector<Rule> rules;
    int writeLimit;
  };
  std::vector<Case> cases = {
      {"one byte per write", {}, 1},
      {"driver full now and then", {{Call::Write, EAGAIN, 0, 4}, {Call::Write, EAGAIN, 2, 4}}, 5},
      {"reads find nothing at first", {{Call::Read, EAGAIN, 1, 6}}, 0},
  };
  for (Call call : {Call::Open, Call::Flock, Call::GetAttributes, Call::SetAttributes, Call::Flush,
                    Call::Write, Call::Poll, Call::Read}) {
    cases.push_back({std::string(kCallNames[static_cast<std::size_t>(call)]) + " interrupted",
                     {{call, EINTR, 0, 3}, {call, EINTR, 3, 3}},
                     0});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultedUpdate run(c.rules, c.writeLimit);
    const update::FlashOutcome outcome = run.Run();
    EXPECT_EQ(outcome.result, update::FlashResult::Success) << outcome.statusLine;
    const auto got = run.device->Snapshot();
    EXPECT_EQ(got.Image(), run.payload);
    EXPECT_TRUE(got.RunReceived());
    EXPECT_TRUE(got.ProtocolViolations().empty());
  }
}

TEST(FaultInjection, PortFailingMidTransferEndsTheUpdateWithThePortClosed) {
  // Two writes in: the start packet and the first block have gone out. Evidence: how the
  // failure begins to say what the system reported.
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    const char* evidence;
  };
  // clang-format off
  const Case cases[] = {
      {"write fails with EIO", {{Call::Write, EIO, 2}}, "write: Input/output error"},
      // What cdc_acm answers a write once the device is unplugged.
      {"write fails with ENODEV", {{Call::Write, ENODEV, 2}}, "write: No such device"},
      {"read fails with EIO", {{Call::Read, EIO, 2}}, "read: Input/output error"},
      {"poll reports a hang-up", {{Call::Poll, kHangUp, 2}}, "poll: POLLHUP"},
      {"poll fails with EIO", {{Call::Poll, EIO, 2}}, "poll: Input/output error"},
      {"driver stays full", {{Call::Write, EAGAIN, 2}}, "write: no progress"},
      {"driver full, then a hang-up", {{Call::Write, EAGAIN, 2}, {Call::Poll, kHangUpWhileWriting, 2}}, ""},
      {"write is interrupted without end", {{Call::Write, EINTR, 2}}, "write: no progress"},
      {"poll is interrupted without end", {{Call::Poll, EINTR, 2}}, ""},
      {"read is interrupted without end", {{Call::Read, EINTR, 2}}, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    const auto& [name, rules, evidence] = c;
    SCOPED_TRACE(name);
    FaultedUpdate run(rules);
    const update::FlashOutcome outcome = run.Run();
    EXPECT_EQ(outcome.result, update::FlashResult::WriteFailed);
    EXPECT_EQ(outcome.statusLine, "Timeout on write data !");
    if (rules.size() == 2) {
      EXPECT_EQ(outcome.port.osError, EIO) << "the hang-up ended the wait, not the budget";
    }
    if (rules.size() == 1) {
      EXPECT_TRUE(outcome.port.evidence.starts_with(evidence) &&
                  outcome.port.evidence.empty() == (*evidence == '\0'))
          << outcome.port.evidence;
    }
    if (!outcome.port.evidence.empty()) {
      EXPECT_NE(serial::DescribePortFailure(outcome.port).find("(" + outcome.port.evidence + ")"),
                std::string::npos);
    }
    EXPECT_FALSE(run.feedback.Said("RUN application."));
    const auto got = run.device->Snapshot();
    EXPECT_FALSE(got.RunReceived()) << "a failed transfer must not start the application";
    EXPECT_LE(got.BlockCount(), 2);
  }
}

// A silent device: the collection must end at its deadline on the fake clock however the
// waits are cut up by signals, and neither much earlier nor much later.
TEST(FaultInjection, InterruptedWaitsKeepTheExchangeDeadline) {
  const std::vector<std::vector<Rule>> cases = {
      {}, {{Call::Poll, EINTR, 1}}, {{Call::Poll, EINTR, 1, 3}}, {{Call::Poll, EAGAIN, 1}}};
  for (const std::vector<Rule>& rules : cases) {
    SCOPED_TRACE(rules.size());
    testing::RawPty pty;
    FaultySystemCalls calls(rules, false);
    serial::ScopedSystemCalls scoped(calls);
    serial::PortLink link;
    ASSERT_TRUE(link.OpenPort(At(pty.Path())));
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
  const std::vector<std::pair<Rule, PortError>> cases = {
      {{Call::Open, EACCES}, PortError::AccessDenied},
      {{Call::Open, EBUSY}, PortError::Busy},
      {{Call::Open, ENODEV}, PortError::NotFound},
      {{Call::Open, EINTR}, PortError::Unusable},
      {{Call::Flock, EWOULDBLOCK}, PortError::Busy},
      {{Call::Flock, ENOLCK}, PortError::Unusable},
      {{Call::GetAttributes, ENOTTY}, PortError::Unusable},
      {{Call::SetAttributes, EIO}, PortError::Unusable},
      {{Call::Flush, EIO}, PortError::Unusable},
      {{Call::Flush, EINTR}, PortError::Unusable},
  };
  for (const auto& [rule, expected] : cases) {
    SCOPED_TRACE(std::string(kCallNames[static_cast<std::size_t>(rule.call)]) + " " +
                 std::to_string(rule.error));
    testing::RawPty pty;
    FaultySystemCalls calls({rule}, false);
    {
      serial::ScopedSystemCalls scoped(calls);
      serial::PortLink link;
      EXPECT_FALSE(link.OpenPort(At(pty.Path())));
      EXPECT_FALSE(link.IsOpen());
      EXPECT_EQ(link.LastFailure().error, expected);
      EXPECT_EQ(link.LastFailure().osError, rule.error);
      EXPECT_TRUE(calls.OpenDescriptors().empty()) << "a half-configured port is closed again";
      std::array<uint8_t, 1> rx{};
      uint32_t rxLength = 5;
      EXPECT_FALSE(link.Exchange(std::array<uint8_t, 1>{0xB0}, rx, rxLength, 50));
      EXPECT_EQ(rxLength, 0u);
    }
    EXPECT_LE(calls.Count(rule.call), 100) << "a signal storm is not retried forever";
  }
}

TEST(FaultInjection, FailingCloseIsNotRetriedAndTheExclusiveFlagIsClearedFirst) {
  for (const int error : {EINTR, EIO}) {
    SCOPED_TRACE(error);
    testing::RawPty pty;
    FaultySystemCalls calls({{Call::Close, error}}, false);
    serial::ScopedSystemCalls scoped(calls);
    serial::PortLink link;
    ASSERT_TRUE(link.OpenPort(At(pty.Path())));
    link.ClosePort();
    link.ClosePort();
    EXPECT_EQ(calls.Count(Call::Close), 1);
    EXPECT_FALSE(link.IsOpen());
    // The flag belongs to the tty, not the descriptor: left set, it locks out the next program
    // while anyone else keeps the tty open.
    EXPECT_TRUE(calls.exclusiveCleared);
  }
}

}  // namespace
}  // namespace lumaflash
