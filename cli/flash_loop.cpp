// The scan, choose, update loop of a flash command.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>

#include "cli/commands.h"
#include "cli/device_choice.h"
#include "cli/exit_codes.h"
#include "cli/flash_run.h"
#include "cli/rescanner.h"
#include "core/discovery/catalogue.h"
#include "core/serial/port_watch.h"
#include "core/session/find_interfaces.h"

namespace lumaflash::cli {

namespace {

constexpr std::chrono::milliseconds kRescanPause{1000};

// Lists the devices an update leaves out, each once per attached unit.
void TellSkipped(const FlashRun& run, const std::vector<protocol::InterfaceRecord>& skipped,
                 std::set<UnitKey>& told) {
  for (const protocol::InterfaceRecord& record : skipped) {
    if (told.insert(KeyOf(record)).second) {
      std::fprintf(run.human, "skipped %s: %s, the image is for %s\n", Describe(record).c_str(),
                   TypeName(record.deviceId).c_str(), TypeName(run.image.deviceId).c_str());
    }
  }
}

int NoneFound(const FlashRun& run, const Choice& choice, bool namedPortFailed) {
  // The ports were named, and what kept them closed was told above: that, not a missing
  // device, is what the operator must mend.
  if (namedPortFailed && choice.skipped.empty()) {
    std::fprintf(stderr,
                 "lumaflash-cli: no named port could be opened and no device answered; nothing "
                 "was sent.\n");
    return kExitPortOpenFailed;
  }
  if (!run.options.serial.empty()) {
    std::fprintf(stderr,
                 "lumaflash-cli: no device with serial number %s answered. Check the number "
                 "(lumaflash-cli scan lists them) and that the device is in bootloader mode.\n",
                 run.options.serial.c_str());
  } else if (!choice.skipped.empty()) {
    std::fprintf(stderr, "lumaflash-cli: no device of type %s (%s) answered; nothing was sent.\n",
                 discovery::WordHex(run.image.deviceId).c_str(),
                 discovery::LookupDeviceName(run.image.deviceId).c_str());
  } else {
    std::fprintf(stderr,
                 "lumaflash-cli: no device in bootloader mode answered. Connect one, put it in "
                 "bootloader mode and try again.\n");
  }
  return kExitNoInterface;
}

int Several(const Choice& choice) {
  protocol::InterfaceTable table;
  for (std::size_t i = 0; i < choice.several.size() && i < protocol::kInterfaceTableSize; ++i) {
    table[i] = choice.several[i];
  }
  PrintInterfaceTable(stderr, table);
  std::fprintf(stderr,
               "lumaflash-cli: %zu devices answered; nothing was sent. Name the one to update "
               "with --serial HEX or --port PATH, or update them all with --all.\n",
               choice.several.size());
  return kExitAmbiguous;
}

// One flash command's rounds: each scans, chooses and updates, until the run has its exit code.
class Loop {
 public:
  explicit Loop(const FlashRun& run)
      : m_run(run),
        m_waiting(run.options.wait || run.options.repeat),
        m_rules{run.image.deviceId, run.options.serial, run.options.all, m_waiting},
        m_scanner(run.options.ports, run.options.usb) {
    if (m_waiting) {
      m_scanner.WatchHolders(run.options.holderWait, run.rules.stop,
                             [&run](const std::string& line) {
                               std::fprintf(run.human, "%s\n", line.c_str());
                               std::fflush(run.human);
                             });
      // A new port is looked at the moment it appears; the timed rescan stays for what no
      // event announces (a device on a port that was there before, a system where nothing is
      // watched).
      m_watch.emplace();
    }
  }

  int Run() {
    while (!m_run.rules.stop.stop_requested()) {
      if (const std::optional<int> exit = Round()) {
        return *exit;
      }
    }
    return Stopped();
  }

 private:
  // One scan and what follows from it: the run's exit code once it ends, nothing to go on.
  std::optional<int> Round() {
    m_scanner.Scan();
    for (const serial::PortFailure& failure :
         session::FailuresToTell(m_scanner.NewFailures(), !m_run.options.ports.empty())) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(failure).c_str());
    }
    if (const auto& held = m_scanner.StillHeld()) {
      std::fprintf(stderr, "lumaflash-cli: %s\n", serial::DescribePortFailure(*held).c_str());
      return kExitPortOpenFailed;
    }
    // A stop that came while the probes ran must not be noticed only after the start packet.
    if (m_run.rules.stop.stop_requested()) {
      return Stopped();
    }
    const Choice choice = Choose();
    if (choice.verdict == Choice::Verdict::Several) {
      return Several(choice);
    }
    if (choice.verdict == Choice::Verdict::Chosen) {
      m_toldWaiting = false;
      return Update(choice);
    }
    if (!m_waiting) {
      const bool namedPortFailed = !m_run.options.ports.empty() &&
                                   m_scanner.Interfaces().Used().empty() &&
                                   !m_scanner.CurrentFailures().empty();
      return NoneFound(m_run, choice, namedPortFailed);
    }
    TellWaiting();
    m_watch->Wait(kRescanPause, m_run.rules.stop);
    return std::nullopt;
  }

  Choice Choose() {
    const auto found = m_scanner.Interfaces().Used();
    if (found.size() != m_lastCount) {
      std::fprintf(m_run.human, "%s\n", discovery::FoundLine(found.size()).c_str());
      m_lastCount = found.size();
    }
    m_recent.KeepOnly(found);
    std::erase_if(m_toldSkipped, [&](const UnitKey& key) {
      return std::none_of(found.begin(), found.end(),
                          [&](const auto& record) { return KeyOf(record) == key; });
    });
    Choice choice = ChooseDevices(found, m_rules, m_recent.Units());
    TellSkipped(m_run, choice.skipped, m_toldSkipped);
    return choice;
  }

  std::optional<int> Update(const Choice& choice) {
    const std::vector<FlashRecord> records = m_run.options.all
                                                 ? UpdateAll(m_run, choice.chosen)
                                                 : UpdateOne(m_run, choice.chosen.front());
    bool recordLost = false;
    for (const FlashRecord& record : records) {
      Publish(m_run, record);
      m_recent.Add(record.device);
      if (!record.refused) {
        m_done.push_back(record);
      }
      recordLost = recordLost || record.recordNotKept || record.refused;
    }
    if (recordLost && m_run.options.requireRecord) {
      std::fprintf(stderr,
                   "lumaflash-cli: --require-record: a record could not be kept, so no further "
                   "device is updated. Mend the record store and run again.\n");
      return kExitRecordNotKept;
    }
    if (!m_run.options.repeat || CombinedExit(records) == kExitInterrupted) {
      return CombinedExit(records);
    }
    return std::nullopt;
  }

  void TellWaiting() {
    if (m_toldWaiting) {
      return;
    }
    const std::string type = discovery::WordHex(m_run.image.deviceId) + " (" +
                             discovery::LookupDeviceName(m_run.image.deviceId) + ")";
    const std::string serial =
        m_run.options.serial.empty() ? "" : " with serial " + m_run.options.serial;
    std::fprintf(m_run.human, "Waiting for a%s device of type %s%s... (Ctrl+C ends)\n",
                 m_done.empty() ? "" : " further", type.c_str(), serial.c_str());
    std::fflush(m_run.human);
    m_toldWaiting = true;
  }

  int Stopped() const {
    if (m_run.options.repeat && !m_done.empty()) {
      const auto updated =
          std::count_if(m_done.begin(), m_done.end(),
                        [](const FlashRecord& record) { return record.outcome.has_value(); });
      std::fprintf(m_run.human, "Stopped. %td update(s) in this run, %td failed.\n", updated,
                   static_cast<std::ptrdiff_t>(m_done.size()) - updated);
      return CombinedExit(m_done);
    }
    if (m_run.options.repeat) {
      std::fprintf(m_run.human, "Stopped. No update in this run.\n");
      return kExitOk;
    }
    std::fprintf(stderr, "lumaflash-cli: stopped before an update began; nothing was sent.\n");
    return kExitInterrupted;
  }

  const FlashRun& m_run;
  const bool m_waiting;
  const ChoiceRules m_rules;
  Rescanner m_scanner;
  std::optional<serial::PortWatch> m_watch;
  RecentUnits m_recent;
  std::set<UnitKey> m_toldSkipped;
  std::vector<FlashRecord> m_done;
  bool m_toldWaiting = false;
  std::size_t m_lastCount = SIZE_MAX;
};

}  // namespace

int FlashLoop(const FlashRun& run) {
  return Loop(run).Run();
}

}  // namespace lumaflash::cli
