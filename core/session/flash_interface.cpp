#include "core/session/flash_interface.h"

#include <string>

#include "core/platform/text_path.h"
#include "core/session/last_image.h"

namespace lumaflash::session {

namespace {

update::FlashOutcome Refuse(Feedback& feedback, update::FlashResult result,
                            const std::string& line) {
  feedback.AddStatus(line, true);
  feedback.UpdateEnded(false);
  return MakeUnexpected(update::UpdateError{result, {}, line});
}

}  // namespace

update::FlashOutcome FlashInterface(Session& session, int index) {
  using update::FlashResult;
  if (session.currentImagePath.empty()) {
    return MakeUnexpected(update::UpdateError{FlashResult::NoImagePath, {}, {}});
  }
  if (index < 0 || static_cast<std::size_t>(index) >= session.interfaces.Count()) {
    return Refuse(session.feedback, FlashResult::NoSuchInterface, "Wrong interface selection !");
  }
  if (auto loaded = image::LoadFirmwareImage(platform::PathFromUtf8(session.currentImagePath),
                                             *session.image);
      !loaded) {
    return Refuse(session.feedback, FlashResult::ImageUnusable, image::Describe(loaded.error()));
  }
  const protocol::InterfaceRecord& record = session.interfaces[static_cast<std::size_t>(index)];
  update::FlashOutcome outcome =
      update::TransferImage(record, *session.image, session.currentImagePath, session.feedback,
                            session.cancel, session.holderWait);
  if (update::ResultOf(outcome) == FlashResult::WrongDevice) {
    session.currentImagePath.clear();
  }
  StampIfUpdated(session, record.deviceId, outcome);
  return outcome;
}

void StampIfUpdated(Session& session, uint16_t deviceId, const update::FlashOutcome& outcome) {
  if (outcome) {
    StampUpdate(session, deviceId);
  }
}

}  // namespace lumaflash::session
