#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/protocol/interface_table.h"

namespace lumaflash::cli {

// One physical unit as the command line tells units apart: the port it answers on and its
// serial number (upper-case hex).
struct UnitKey {
  std::string port;
  std::string serial;
  bool operator==(const UnitKey&) const = default;
  bool operator<(const UnitKey& other) const {
    return std::tie(port, serial) < std::tie(other.port, other.serial);
  }
};

UnitKey KeyOf(const protocol::InterfaceRecord& record);

// What the operator asked for: which device type the image is for, a serial number to insist
// on (upper-case hex, empty for any), every matching device or one, and whether devices of
// another type are left out (waiting and --all) or offered to the update, which refuses them.
struct ChoiceRules {
  uint16_t imageDeviceId = 0;
  std::string serial;
  bool all = false;
  bool typeMustMatch = false;
};

// The outcome of choosing among the found interfaces.
struct Choice {
  enum class Verdict { Chosen, None, Several };
  Verdict verdict = Verdict::None;
  std::vector<protocol::InterfaceRecord> chosen;   // to update, in port order
  std::vector<protocol::InterfaceRecord> skipped;  // of another device type
  std::vector<protocol::InterfaceRecord> several;  // the candidates when one had to be picked
};

// Picks the devices to update from `found`, leaving out the units in `exclude` (just updated
// and still attached). Nothing is chosen when a single device was asked for and several fit.
Choice ChooseDevices(std::span<const protocol::InterfaceRecord> found, const ChoiceRules& rules,
                     const std::set<UnitKey>& exclude = {});

// Remembers the units updated in a repeat run until a scan no longer finds them, so that a unit
// that stays attached is never updated twice in a row, while one that left and came back is.
class RecentUnits {
 public:
  void Add(const protocol::InterfaceRecord& record) { m_units.insert(KeyOf(record)); }
  // Forgets every remembered unit that `found` no longer holds.
  void KeepOnly(std::span<const protocol::InterfaceRecord> found);
  const std::set<UnitKey>& Units() const { return m_units; }

 private:
  std::set<UnitKey> m_units;
};

}  // namespace lumaflash::cli
