#include "update_command.h"

#include <filesystem>
#include <vector>

#include "discovery/scan.h"
#include "platform/text_path.h"
#include "session.h"
#include "settings/last_image.h"
#include "update/flash.h"

namespace lumaflash::app {

namespace {

bool IsListedRow(const Session& session, int row) {
  return row >= 0 && static_cast<std::size_t>(row) < session.interfaces.Count();
}

std::string DefaultPattern(const Session& session) {
  return platform::Utf8FromPath(session.currentDirectory / "*.bin");
}

}  // namespace

UpdatePlan PlanUpdate(Session& session, std::size_t selectedCount, int firstSelected) {
  UpdatePlan plan;
  if (selectedCount != 1 || !IsListedRow(session, firstSelected)) {
    session.feedback.AddStatus(kWrongSelection, true);
    return plan;
  }
  plan.index = firstSelected;
  plan.deviceId = session.interfaces[static_cast<std::size_t>(firstSelected)].deviceId;
  plan.initialName = settings::ReadLastOpen(session, plan.deviceId, DefaultPattern(session));
  const bool useLast = session.useLastAgain && !session.currentImagePath.empty();
  settings::WriteUseLastAgain(session, plan.deviceId, useLast);
  plan.path = useLast ? UpdatePath::UseLast : UpdatePath::AskForFile;
  return plan;
}

void AcceptChosenImage(Session& session, const UpdatePlan& plan, const std::string& path) {
  session.currentImagePath = path;
  settings::WriteLastOpen(session, plan.deviceId, path);
}

void ScanAndReport(Session& session) {
  const std::vector<serial::PortFailure> failures = discovery::ScanInterfaces(session);
  if (session.namedPorts.empty()) {
    return;
  }
  for (const serial::PortFailure& failure : failures) {
    session.feedback.AddStatus(serial::DescribePortFailure(failure), true);
  }
}

bool UpdateAndRescan(Session& session, int index) {
  const update::FlashOutcome outcome = update::FlashInterface(session, index);
  ScanAndReport(session);
  return outcome.result == update::FlashResult::Success;
}

InitialLocation SplitInitialName(const std::string& initialName) {
  const std::filesystem::path path = platform::PathFromUtf8(initialName);
  const std::string name = platform::Utf8FromPath(path.filename());
  const std::string directory = platform::Utf8FromPath(path.parent_path());
  if (name.find_first_of("*?") != std::string::npos) {
    return {directory, ""};
  }
  return {directory, name};
}

bool AutoRepeat::Fire(int timerId) {
  if (timerId != kAutoRepeatTimerId || !m_armed) {
    return false;
  }
  m_armed = false;
  return true;
}

}  // namespace lumaflash::app
