#include "core/session/flash_interface.h"

#include <string>

#include "core/session/last_image.h"
#include "core/session/recorded_attempt.h"

namespace lumaflash::session {

update::FlashOutcome FlashInterface(Session& session, int index) {
  using update::FlashResult;
  if (session.currentImagePath.empty()) {
    return MakeUnexpected(update::UpdateError{FlashResult::NoImagePath, {}, {}});
  }
  if (index < 0 || static_cast<std::size_t>(index) >= session.interfaces.Count()) {
    const std::string line = "Wrong interface selection !";
    session.feedback.AddStatus(line, true);
    session.feedback.UpdateEnded(false);
    return MakeUnexpected(update::UpdateError{FlashResult::NoSuchInterface, {}, line});
  }
  const protocol::InterfaceRecord& record = session.interfaces[static_cast<std::size_t>(index)];
  const AttemptRules rules{session.recorder, false, session.stop, session.holderWait};
  // Without a record required no attempt is refused.
  const Attempt attempt =
      *RunAttempt(rules, record, session.currentImagePath, *session.image, session.feedback);
  if (attempt.recordNotKept) {
    session.feedback.AddStatus("Record not kept: " + *attempt.recordNotKept, true);
  }
  if (update::ResultOf(attempt.outcome) == FlashResult::WrongDevice) {
    session.currentImagePath.clear();
  }
  StampIfUpdated(session, record.deviceId, attempt.outcome);
  return attempt.outcome;
}

void StampIfUpdated(Session& session, uint16_t deviceId, const update::FlashOutcome& outcome) {
  if (outcome) {
    StampUpdate(session, deviceId);
  }
}

}  // namespace lumaflash::session
