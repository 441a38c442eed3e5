// What is out of step between a device's database and its music folders:
// what a crash, another program or a hand at the file manager can leave.
#ifndef CADENZA_COMPONENT_CHECK_H_
#define CADENZA_COMPONENT_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cadenza/records.h"
#include "platform/fs.h"

namespace cadenza {

struct DeviceCheck {
  // A listed track whose media file is missing (location empty when the
  // track names none).
  struct Missing {
    int32_t id = 0;
    std::string location;
  };
  std::vector<Missing> missing;
  // Files below the music folder that no track lists.
  std::vector<std::string> unlisted;
  // Temporary files of database writes that were interrupted.
  std::vector<std::string> leftovers;
  // Music folders that could not be read, with the reason.
  std::vector<fs::WalkError> unreadable;
  // A lock file left by a program that was killed while it changed the
  // device.
  bool stale_lock = false;

  bool in_step() const {
    return missing.empty() && unlisted.empty() && leftovers.empty() && unreadable.empty() &&
           !stale_lock;
  }
};

// Compares the tracks of a loaded database with the files on the device
// whose root is `root`.
DeviceCheck CheckDevice(const std::string& root, const MHLT& tracks);

}  // namespace cadenza

#endif  // CADENZA_COMPONENT_CHECK_H_
