#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

#include "core/image/firmware_image.h"
#include "core/platform/expected.h"
#include "core/protocol/interface_table.h"
#include "core/serial/port.h"
#include "core/serial/port_holders.h"
#include "core/update/listener.h"

namespace lumaflash::update {

enum class FlashResult {
  Success,
  NoImagePath,        // nothing chosen; nothing shown
  ImageUnusable,      // cannot be opened, truncated or too large
  WrongDevice,        // the image is for another device type
  WrongBootloader,    // bootloader newer than 0x0101
  UnusableBlockSize,  // the device reported a block size of 0 or above 1021
  PortOpenFailed,
  WriteFailed,  // start packet or a block not acknowledged
  Interrupted,  // stopped between two blocks on request
  NoSuchInterface,
};

// After the run packet the device is given this long to start its application before the port
// is closed.
inline constexpr std::chrono::milliseconds kRunPause{100};

// A short word for tables and machine-readable output: "ok", "write-failed", ...
const char* FlashResultName(FlashResult result);

// Why an update did not complete.
struct UpdateError {
  FlashResult result = FlashResult::WriteFailed;
  serial::PortFailure port;  // why the port could not be opened, or vanished
  std::string statusLine;    // the line that told of the failure; empty when none was shown
  // A write failure: the block that was not acknowledged, counted from 1 (0: the start
  // packet), and how many blocks the image takes.
  uint32_t failedBlock = 0;
  uint32_t blockCount = 0;
};

// For tables and logs: the result's word, the status line and the port's reason, e.g.
// "write-failed: Timeout on write data ! /dev/ttyACM0 vanished: ...".
std::string Describe(const UpdateError& error);

// An update that completed, or why it did not.
using FlashOutcome = Expected<void, UpdateError>;

// FlashResult::Success, or the failure's result.
FlashResult ResultOf(const FlashOutcome& outcome);

// Sends a loaded image to one interface: checks type, bootloader and block size, opens the
// port, sends start, blocks and run, and closes the port on every path. Reports through
// `listener`, which hears UpdateEnded() on every path; `imagePath` only names the image in the
// success line. Every block goes out as a full block, padded with zeros past the payload.
// A stop requested on `stop` ends the update between two blocks. Before it opens the port it waits up to `holderWait`
// for other programs that hold the port to let go, and sends nothing while one still does
// (PortOpenFailed, Busy, the holders named).
FlashOutcome TransferImage(const protocol::InterfaceRecord& record,
                           const image::FirmwareImage& image, const std::string& imagePath,
                           UpdateListener& listener, const std::stop_token& stop = {},
                           std::chrono::milliseconds holderWait = serial::kDefaultHolderWait);

}  // namespace lumaflash::update
