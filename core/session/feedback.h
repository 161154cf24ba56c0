#pragma once

#include <string>
#include <vector>

#include "core/discovery/catalogue.h"
#include "core/update/listener.h"

namespace lumaflash::session {

// What the session's workflows (scan, update, recall of the last image) tell the person
// watching. The window, the command line and the tests are each one listener; they decide
// what to show for each event (the window: cursor, check box, list).
class Feedback : public update::UpdateListener {
 public:
  // A scan began; it ends with ScanEnded() after its list, its line and any recalled image.
  virtual void ScanStarted() {}
  virtual void ScanEnded() {}

  // The interface list is rebuilt from these rows; row 0 is selected when there is one.
  virtual void ShowInterfaces(const std::vector<discovery::InterfaceRow>& rows) { (void)rows; }

  // After a scan that found one interface: its type's last image `path` exists and is the
  // current image again; `useLastAgain` is what the settings say for "Use last again".
  virtual void LastImageRecalled(const std::string& path, bool useLastAgain) {
    (void)path;
    (void)useLastAgain;
  }
};

}  // namespace lumaflash::session
