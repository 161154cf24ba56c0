#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "core/image/firmware_image.h"
#include "core/protocol/interface_table.h"
#include "core/serial/port.h"
#include "core/serial/port_holders.h"
#include "core/update/feedback.h"

namespace lumaflash {
struct Session;
}

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

// A short word for tables and machine-readable output: "ok", "write-failed", ...
const char* FlashResultName(FlashResult result);

struct FlashOutcome {
  FlashResult result = FlashResult::Success;
  serial::PortFailure port;  // why the port could not be opened, or vanished
  std::string statusLine;    // the line that told of the failure; empty on success
  // A write failure: the block that was not acknowledged, counted from 1 (0: the start
  // packet), and how many blocks the image takes.
  uint32_t failedBlock = 0;
  uint32_t blockCount = 0;
};

// Sends a loaded image to one interface: checks type, bootloader and block size, opens the
// port, sends start, blocks and run, and closes the port on every path. Reports through
// `feedback`; `imagePath` only names the image in the success line. Every block goes out as a
// full block, padded with zeros past the payload. `cancel`, when set, stops between blocks.
// Before it opens the port it waits up to `holderWait` for other programs that hold the port
// to let go, and sends nothing while one still does (PortOpenFailed, Busy, the holders named).
FlashOutcome TransferImage(const protocol::InterfaceRecord& record, const FirmwareImage& image,
                           const std::string& imagePath, Feedback& feedback,
                           const std::atomic<bool>* cancel = nullptr,
                           std::chrono::milliseconds holderWait = serial::kDefaultHolderWait);

// The whole update of interface `index` from the session's current image path: load, transfer,
// and after success the update stamp in the settings file.
FlashOutcome FlashInterface(Session& session, int index);

}  // namespace lumaflash::update
