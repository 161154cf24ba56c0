#include "cli/device_choice.h"

#include "core/discovery/catalogue.h"

namespace lumaflash::cli {

UnitKey KeyOf(const protocol::InterfaceRecord& record) {
  return UnitKey{record.portPath, discovery::SerialHex(record.Serial())};
}

Choice ChooseDevices(std::span<const protocol::InterfaceRecord> found, const ChoiceRules& rules,
                     const std::set<UnitKey>& exclude) {
  Choice choice;
  std::vector<protocol::InterfaceRecord> candidates;
  for (const protocol::InterfaceRecord& record : found) {
    const UnitKey key = KeyOf(record);
    if (exclude.contains(key) || (!rules.serial.empty() && key.serial != rules.serial)) {
      continue;
    }
    if ((rules.all || rules.typeMustMatch) && record.deviceId != rules.imageDeviceId) {
      choice.skipped.push_back(record);
      continue;
    }
    candidates.push_back(record);
  }
  if (candidates.empty()) {
    return choice;
  }
  if (!rules.all && candidates.size() > 1) {
    choice.verdict = Choice::Verdict::Several;
    choice.several = std::move(candidates);
    return choice;
  }
  choice.verdict = Choice::Verdict::Chosen;
  choice.chosen = std::move(candidates);
  return choice;
}

void RecentUnits::KeepOnly(std::span<const protocol::InterfaceRecord> found) {
  std::set<UnitKey> present;
  for (const protocol::InterfaceRecord& record : found) {
    present.insert(KeyOf(record));
  }
  std::erase_if(m_units, [&](const UnitKey& key) { return !present.contains(key); });
}

}  // namespace lumaflash::cli
