#include "core/update/flash.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/protocol/programming.h"

namespace lumaflash::update {

namespace {

constexpr uint16_t kNewestBootloader = 0x0101;

// One failure, told once: the status line with the alert, then the end of the update.
FlashOutcome Refuse(UpdateListener& listener, FlashResult result, const std::string& line) {
  listener.AddStatus(line, true);
  listener.UpdateEnded(false);
  return MakeUnexpected(UpdateError{result, {}, line});
}

std::optional<FlashOutcome> CheckFits(const protocol::InterfaceRecord& record,
                                      const image::FirmwareImage& image, UpdateListener& listener) {
  if (image.deviceId != record.deviceId) {
    return Refuse(listener, FlashResult::WrongDevice, "Firmware file is not for selected device!");
  }
  if (record.bootloaderVersion > kNewestBootloader) {
    return Refuse(listener, FlashResult::WrongBootloader, "Wrong bootloader version!");
  }
  if (!record.HasUsableBlockSize()) {
    return Refuse(listener, FlashResult::UnusableBlockSize,
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

// How the sending ended, and why the port failed under it when it did.
struct Sending {
  SendResult result = SendResult::Sent;
  serial::PortFailure port;
};

// `sent` counts the blocks acknowledged, so on a failure the block after them is the one lost.
Sending SendBlocks(protocol::Programmer& programmer, const protocol::InterfaceRecord& record,
                   const image::FirmwareImage& image, UpdateListener& listener,
                   const std::stop_token& stop, uint32_t& sent) {
  const std::size_t blockSize = record.blockSize;
  std::array<uint8_t, protocol::kMaxBlockSize> last{};
  for (std::size_t offset = 0; offset < image.length; offset += blockSize) {
    if (stop.stop_requested()) {
      return {SendResult::Interrupted, {}};
    }
    listener.StepProgress();
    std::span<const uint8_t> block(image.data.data() + offset, blockSize);
    if (offset + blockSize > image.data.size()) {
      // Only near the end of a full buffer: the block would reach past it, so send the rest
      // with zeros behind it.
      std::copy(image.data.begin() + static_cast<std::ptrdiff_t>(offset), image.data.end(),
                last.begin());
      block = std::span<const uint8_t>(last.data(), blockSize);
    }
    if (auto acknowledged = programmer.SendBlock(&record, block); !acknowledged) {
      return {SendResult::Failed, acknowledged.error().port};
    }
    ++sent;
  }
  return {};
}

UpdateError WriteFailure(UpdateListener& listener, const std::string& port, const Sending& sent) {
  UpdateError outcome;
  outcome.port = sent.port;
  if (sent.result == SendResult::Interrupted) {
    outcome.result = FlashResult::Interrupted;
    outcome.statusLine = "Update interrupted: " + port +
                         " was not fully written. Start the update again before using it.";
  } else {
    outcome.result = FlashResult::WriteFailed;
    outcome.statusLine = "Timeout on write data !";
  }
  // The detail first: the operator's list shows the newest lines, and the status line that
  // names the failure must be the one left in view.
  if (outcome.port.error == serial::PortError::Vanished) {
    listener.AddDetail(serial::DescribePortFailure(outcome.port));
  }
  listener.AddStatus(outcome.statusLine, true);
  listener.UpdateEnded(false);
  return outcome;
}

FlashOutcome PortOpenFailure(UpdateListener& listener, const serial::PortFailure& failure) {
  UpdateError outcome{FlashResult::PortOpenFailed, failure, "Error while open USB port !"};
  listener.AddDetail(serial::DescribePortFailure(outcome.port));
  listener.AddStatus(outcome.statusLine, true);
  listener.UpdateEnded(false);
  return MakeUnexpected(std::move(outcome));
}

// A program that has the port open without locking it (ModemManager probing a new port with
// AT commands, a terminal left open) would read our packets or put its own bytes between them:
// wait for it to let go, and send nothing while it has not.
std::optional<FlashOutcome> WaitForPort(const std::string& path, UpdateListener& listener,
                                        const std::stop_token& stop,
                                        std::chrono::milliseconds limit) {
  const std::vector<serial::PortHolder> held = serial::WaitForHolders(
      path, limit, stop, [&](const std::string& line) { listener.AddStatus(line, false); });
  if (held.empty()) {
    return std::nullopt;
  }
  if (stop.stop_requested()) {
    const std::string line = "Update stopped before anything was sent to " + path + ".";
    listener.AddStatus(line, true);
    listener.UpdateEnded(false);
    return MakeUnexpected(UpdateError{FlashResult::Interrupted, {}, line});
  }
  return PortOpenFailure(listener, serial::PortFailure{serial::PortError::Busy, EBUSY, path,
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

std::string Describe(const UpdateError& error) {
  std::string text = FlashResultName(error.result);
  if (!error.statusLine.empty()) {
    text += ": " + error.statusLine;
  }
  if (error.port.error != serial::PortError::None) {
    text += " " + serial::DescribePortFailure(error.port);
  }
  return text;
}

FlashResult ResultOf(const FlashOutcome& outcome) {
  return outcome ? FlashResult::Success : outcome.error().result;
}

FlashOutcome TransferImage(const protocol::InterfaceRecord& record,
                           const image::FirmwareImage& image, const std::string& imagePath,
                           UpdateListener& listener, const std::stop_token& stop,
                           std::chrono::milliseconds holderWait) {
  if (auto refused = CheckFits(record, image, listener)) {
    return *refused;
  }
  listener.SetProgressRange(BlockCount(image.length, record.blockSize));
  listener.SetProgressStep(1);
  listener.SetProgressPosition(0);

  if (auto held = WaitForPort(record.portPath, listener, stop, holderWait)) {
    return *held;
  }
  serial::PortLink link;
  if (auto opened = link.OpenPort({record.portNumber, record.portPath, record.usb}); !opened) {
    return PortOpenFailure(listener, opened.error());
  }
  protocol::Programmer programmer(link);
  Sending sent;
  if (auto start = programmer.SendStart(&record, image.length); !start) {
    sent = {SendResult::Failed, start.error().port};
  }
  uint32_t acknowledged = 0;
  const bool started = sent.result == SendResult::Sent;
  if (started) {
    sent = SendBlocks(programmer, record, image, listener, stop, acknowledged);
  }
  if (sent.result != SendResult::Sent) {
    UpdateError outcome = WriteFailure(listener, record.portPath, sent);
    outcome.failedBlock = started ? acknowledged + 1 : 0;
    outcome.blockCount = BlockCount(image.length, record.blockSize);
    link.ClosePort();
    return MakeUnexpected(std::move(outcome));
  }
  listener.AddStatus("Write data complete. (" + imagePath + ")", false);
  programmer.SendRun();
  const auto ran = std::chrono::steady_clock::now();
  listener.AddStatus("RUN application.", false);
  // The device's pause to start its application is time the listener may use (to commit the
  // attempt's record), not time added to it.
  listener.Succeeded();
  std::this_thread::sleep_until(ran + kRunPause);
  listener.SetProgressPosition(0);
  link.ClosePort();
  listener.UpdateEnded(true);
  return {};
}

}  // namespace lumaflash::update
