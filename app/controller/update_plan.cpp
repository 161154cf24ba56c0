#include "app/controller/update_plan.h"

#include <filesystem>

#include "core/platform/text_path.h"
#include "core/session/last_image.h"

namespace lumaflash::app {

UpdatePlan PlanUpdate(session::Session& session, const std::vector<int>& selected,
                      const std::string& handedImage) {
  UpdatePlan plan;
  const int first = selected.empty() ? -1 : selected.front();
  if (selected.size() != 1 || first < 0 ||
      static_cast<std::size_t>(first) >= session.interfaces.Count()) {
    session.feedback.AddStatus("Wrong interface selection !", true);
    return plan;
  }
  plan.index = first;
  plan.deviceId = session.interfaces[static_cast<std::size_t>(first)].deviceId;
  plan.initialName = session::ReadLastOpen(
      session, plan.deviceId, platform::Utf8FromPath(session.currentDirectory / "*.bin"));
  if (!handedImage.empty()) {
    plan.initialName = handedImage;
    plan.path = UpdatePath::AskForFile;
    return plan;
  }
  const bool useLast = session.useLastAgain && !session.currentImagePath.empty();
  session::WriteUseLastAgain(session, plan.deviceId, useLast);
  plan.path = useLast ? UpdatePath::UseLast : UpdatePath::AskForFile;
  return plan;
}

FileRequest RequestFor(const std::string& initialName) {
  const std::filesystem::path path = platform::PathFromUtf8(initialName);
  FileRequest request;
  request.initialName = initialName;
  request.directory = platform::Utf8FromPath(path.parent_path());
  const std::string name = platform::Utf8FromPath(path.filename());
  request.fileName = name.find_first_of("*?") == std::string::npos ? name : "";
  return request;
}

}  // namespace lumaflash::app
