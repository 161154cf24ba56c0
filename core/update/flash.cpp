#include "core/update/flash.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <thread>
#include <vector>

#include "core/platform/text_path.h"
#include "core/protocol/programming.h"
#include "core/session/last_image.h"
#include "core/session/session.h"

namespace lumaflash::update {

namespace {

constexpr uint16_t kNewestBootloader = 0x0101;
constexpr std::chrono::milliseconds kRunPause{100};

// One failure, told once: the status line with the alert, the arrow cursor back.
FlashOutcome Refuse(Feedback& feedback, FlashResult result, const std::string& line) {
  feedback.AddStatus(line, true);
  feedback.ShowArrowCursor();
  return FlashOutcome{result, {}, line};
}

std::optional<FlashOutcome> CheckFits(const protocol::InterfaceRecord& record,
                                      const FirmwareImage& image, Feedback& feedback) {
  if (image.deviceId != record.deviceId) {
    return Refuse(feedback, FlashResult::WrongDevice, "Firmware file is not for selected device!");
  }
  if (record.bootloaderVersion > kNewestBootloader) {
    return Refuse(feedback, FlashResult::WrongBootloader, "Wrong bootloader version!");
  }
  if (!record.HasUsableBlockSize()) {
    return Refuse(feedback, FlashResult::UnusableBlockSize,
                  "The device reports a block size of " + std::to_string(record.blockSize) +
                      " bytes, which cannot be sent (1 to 1021 can). Nothing was sent.");
  }
  return std::nullopt;
}

// The progress range is the number of blocks, so the bar ends full, not past its end.
uint32_t BlockCount(uint32_t length, uint16_t blockSize) {
  return (length + blockSize - 1u) / blockSize;
}

enum class SendResult { Sent, Failed, Interrupted };

// `sent` counts the blocks acknowledged, so on a failure the block after them is the one lost.
SendResult SendBlocks(protocol::Programmer& programmer, const protocol::InterfaceRecord& record,
                      const FirmwareImage& image, Feedback& feedback,
                      const std::atomic<bool>* cancel, uint32_t& sent) {
  const std::size_t blockSize = record.blockSize;
  std::array<uint8_t, protocol::kMaxBlockSize> last{};
  for (std::size_t offset = 0; offset < image.length; offset += blockSize) {
    if (cancel != nullptr && cancel->load()) {
      return SendResult::Interrupted;
    }
    feedback.StepProgress();
    std::span<const uint8_t> block(image.data.data() + offset, blockSize);
    if (offset + blockSize > image.data.size()) {
      // Only near the end of a full buffer: the block would reach past it, so send the rest
      // with zeros behind it.
      std::copy(image.data.begin() + static_cast<std::ptrdiff_t>(offset), image.data.end(),
                last.begin());
      block = std::span<const uint8_t>(last.data(), blockSize);
    }
    if (!programmer.SendBlock(&record, block)) {
      return SendResult::Failed;
    }
    ++sent;
  }
  return SendResult::Sent;
}

FlashOutcome WriteFailure(Feedback& feedback, const serial::PortLink& link, const std::string& port,
                          SendResult sent) {
  FlashOutcome outcome;
  outcome.port = link.LastFailure();
  if (sent == SendResult::Interrupted) {
    outcome.result = FlashResult::Interrupted;
    outcome.statusLine = "Update interrupted: " + port +
                         " was not fully written. Start the update again before using it.";
  } else {
    outcome.result = FlashResult::WriteFailed;
    outcome.statusLine = "Timeout on write data !";
  }
  feedback.AddStatus(outcome.statusLine, true);
  if (outcome.port.error == serial::PortError::Vanished) {
    feedback.AddStatus(serial::DescribePortFailure(outcome.port), false);
  }
  feedback.ShowArrowCursor();
  return outcome;
}

FlashOutcome PortOpenFailure(Feedback& feedback, const serial::PortFailure& failure) {
  FlashOutcome outcome{FlashResult::PortOpenFailed, failure, "Error while open USB port !"};
  feedback.AddStatus(outcome.statusLine, true);
  feedback.AddStatus(serial::DescribePortFailure(outcome.port), false);
  feedback.ShowArrowCursor();
  return outcome;
}

// A program that has the port open without locking it (ModemManager probing a new port with
// AT commands, a terminal left open) would read our packets or put its own bytes between them:
// wait for it to let go, and send nothing while it has not.
std::optional<FlashOutcome> WaitForPort(const std::string& path, Feedback& feedback,
                                        const std::atomic<bool>* cancel,
                                        std::chrono::milliseconds limit) {
  const std::vector<serial::PortHolder> held = serial::WaitForHolders(
      path, limit, cancel, [&](const std::string& line) { feedback.AddStatus(line, false); });
  if (held.empty()) {
    return std::nullopt;
  }
  if (cancel != nullptr && cancel->load()) {
    const std::string line = "Update stopped before anything was sent to " + path + ".";
    feedback.AddStatus(line, true);
    feedback.ShowArrowCursor();
    return FlashOutcome{FlashResult::Interrupted, {}, line};
  }
  return PortOpenFailure(feedback, serial::PortFailure{serial::PortError::Busy, EBUSY, path,
                                                       serial::StillHeldText(held, path, limit)});
}

}  // namespace

const char* FlashResultName(FlashResult result) {
  switch (result) {
    case FlashResult::Success:
      return "ok";
    case FlashResult::NoImagePath:
      return "no-image";
    case FlashResult::ImageUnusable:
      return "image-unusable";
    case FlashResult::WrongDevice:
      return "wrong-device";
    case FlashResult::WrongBootloader:
      return "wrong-bootloader";
    case FlashResult::UnusableBlockSize:
      return "unusable-block-size";
    case FlashResult::PortOpenFailed:
      return "port-open-failed";
    case FlashResult::WriteFailed:
      return "write-failed";
    case FlashResult::Interrupted:
      return "interrupted";
    case FlashResult::NoSuchInterface:
      return "no-such-interface";
  }
  return "unknown";
}

FlashOutcome TransferImage(const protocol::InterfaceRecord& record, const FirmwareImage& image,
                           const std::string& imagePath, Feedback& feedback,
                           const std::atomic<bool>* cancel, std::chrono::milliseconds holderWait) {
  if (auto refused = CheckFits(record, image, feedback)) {
    return *refused;
  }
  feedback.SetProgressRange(BlockCount(image.length, record.blockSize));
  feedback.SetProgressStep(1);
  feedback.SetProgressPosition(0);

  if (auto held = WaitForPort(record.portPath, feedback, cancel, holderWait)) {
    return *held;
  }
  serial::PortLink link;
  if (!link.OpenPort(serial::PortAddress{record.portNumber, record.portPath, record.usb})) {
    return PortOpenFailure(feedback, link.LastFailure());
  }
  protocol::Programmer programmer(link);
  SendResult sent =
      programmer.SendStart(&record, image.length) ? SendResult::Sent : SendResult::Failed;
  uint32_t acknowledged = 0;
  const bool started = sent == SendResult::Sent;
  if (started) {
    sent = SendBlocks(programmer, record, image, feedback, cancel, acknowledged);
  }
  if (sent != SendResult::Sent) {
    FlashOutcome outcome = WriteFailure(feedback, link, record.portPath, sent);
    outcome.failedBlock = started ? acknowledged + 1 : 0;
    outcome.blockCount = BlockCount(image.length, record.blockSize);
    link.ClosePort();
    return outcome;
  }
  feedback.AddStatus("Write data complete. (" + imagePath + ")", false);
  programmer.SendRun();
  feedback.AddStatus("RUN application.", false);
  std::this_thread::sleep_for(kRunPause);
  feedback.SetProgressPosition(0);
  link.ClosePort();
  return FlashOutcome{};
}

FlashOutcome FlashInterface(Session& session, int index) {
  if (session.currentImagePath.empty()) {
    return FlashOutcome{FlashResult::NoImagePath, {}, {}};
  }
  if (index < 0 || static_cast<std::size_t>(index) >= session.interfaces.Count()) {
    return Refuse(session.feedback, FlashResult::NoSuchInterface, "Wrong interface selection !");
  }
  std::string error;
  if (!LoadFirmwareImage(platform::PathFromUtf8(session.currentImagePath), *session.image, error)) {
    return Refuse(session.feedback, FlashResult::ImageUnusable, error);
  }
  const protocol::InterfaceRecord& record = session.interfaces[static_cast<std::size_t>(index)];
  FlashOutcome outcome = TransferImage(record, *session.image, session.currentImagePath,
                                       session.feedback, session.cancel, session.holderWait);
  if (outcome.result == FlashResult::WrongDevice) {
    session.currentImagePath.clear();
  }
  if (outcome.result == FlashResult::Success) {
    settings::StampUpdate(session, record.deviceId);
    session.feedback.RefreshControls();
  }
  return outcome;
}

}  // namespace lumaflash::update
