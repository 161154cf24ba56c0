#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "core/image/firmware_image.h"
#include "core/platform/expected.h"
#include "core/protocol/interface_table.h"
#include "core/records/recorder.h"
#include "core/serial/port_holders.h"
#include "core/update/flash.h"
#include "core/update/listener.h"

namespace lumaflash::session {

// An image file as it was loaded and hashed once, so that the attempts that follow need neither
// while the file stays as it was (the same size and modification time).
struct CheckedImage {
  std::string path;  // absolute, UTF-8
  std::shared_ptr<const image::FirmwareImage> image;
  std::string sha256;  // of the payload
  std::uintmax_t size = 0;
  std::filesystem::file_time_type modified{};

  // Whether the file still has the size and modification time it had when it was checked.
  bool Unchanged() const;
};

// Loads the image at `path` and hashes its payload.
Expected<CheckedImage, image::ImageError> CheckImage(const std::string& path);

// How a run makes its attempts; the same for every attempt of the run.
struct AttemptRules {
  records::Recorder* recorder = nullptr;  // where attempts are recorded; none: records are off
  bool requireRecord = false;  // nothing is sent unless the attempt's row is in the store
  std::stop_token stop;  // requested from another thread: stop between blocks
  std::chrono::milliseconds holderWait = serial::kDefaultHolderWait;
  // The image the run checked before any port was opened; each attempt sends it as it is while
  // its file is unchanged, and loads the file afresh otherwise. None: every attempt loads it.
  const CheckedImage* checked = nullptr;
};

// One update attempt on one device, as the faces report it and the station keeps it.
struct Attempt {
  protocol::InterfaceRecord device;
  std::string imagePath;  // the image file as opened: absolute, UTF-8
  std::string sha256;     // of the payload; empty when the image could not be loaded
  update::FlashOutcome outcome;
  std::chrono::system_clock::time_point startedAt;
  int64_t durationMs = 0;
  // Why the store does not hold this attempt's record; nothing when it does or records are off.
  std::optional<std::string> recordNotKept;
};

// With a record required, an attempt whose row the store could not take: nothing was sent.
struct AttemptRefused {
  std::string reason;  // why the store could not take it
};

// One update attempt and its record, the same from every face. Loads the image at `imagePath`
// into `image` and hashes its payload (or takes the run's checked image, while it is unchanged);
// commits the attempt's row (result "unfinished") before anything is sent; transfers the image
// (update::TransferImage); finishes the row with how the attempt ended; and only then lets the
// lines that tell the ending through to `shown`. A line that comes before the first block and tells
// no ending (a holder's wait, why a port failed) is shown as it happens. While blocks go out the
// row notes how far the attempt got, once a second, without the line waiting for the disk. Refused
// only with `rules.requireRecord`, when the store cannot take the row: then nothing is sent.
Expected<Attempt, AttemptRefused> RunAttempt(const AttemptRules& rules,
                                             const protocol::InterfaceRecord& device,
                                             const std::string& imagePath,
                                             image::FirmwareImage& image,
                                             update::UpdateListener& shown);

// `path` made absolute against the current directory, its "." parts dropped (".." is kept: a
// link may lie before it).
std::string AbsoluteImagePath(const std::string& path);

}  // namespace lumaflash::session
