#include "core/platform/file_replace.h"

#include <atomic>

namespace lumaflash::platform {

namespace {

std::atomic<ReplaceStepHook> g_stepHook{nullptr};

}  // namespace

void SetReplaceStepHook(ReplaceStepHook hook) {
  g_stepHook.store(hook);
}

void ReachStep(ReplaceStep step) {
  if (const ReplaceStepHook hook = g_stepHook.load()) {
    hook(step);
  }
}

std::filesystem::path DirectoryOf(const std::filesystem::path& file) {
  std::filesystem::path directory = file.parent_path();
  return directory.empty() ? std::filesystem::path(".") : directory;
}

}  // namespace lumaflash::platform
