// Finding the iPod: the disk whose vendor is Apple and whose model names an
// iPod, the mount points of its file systems, and the questions to the user
// when the device cannot be found or looks wrong.
//
// The kernel's device tree (sysfs) tells which block devices are iPods; the
// mount table (mountinfo) tells where their file systems are mounted. Both
// locations are options so that tests can run on a fake tree.
#ifndef CADENZA_DEVICE_DETECT_H_
#define CADENZA_DEVICE_DETECT_H_

#include <string>
#include <string_view>
#include <vector>

#include "cadenza/host.h"

namespace cadenza {

struct DetectOptions {
  std::string sysfs_root = "/sys";
  std::string mountinfo_path = "/proc/self/mountinfo";
};

// Every mount point (without a trailing "/", decoded) of every iPod disk, in
// enumeration order: disks sorted by name, on each disk the whole disk and
// then its partitions sorted by name, for each of them its mounts in mount
// table order. `device_seen` (may be null) is set when an iPod disk exists
// at all, mounted or not.
std::vector<std::string> FindiPodMounts(const DetectOptions& options,
                                        bool* device_seen);

// The whole detection with its questions. Returns the drive root, always
// with a trailing "/", or empty when the user declined or cancelled.
// `accepted` (may be null) tells whether the outcome is a drive the user
// should be told about: found with its iTunes folder, confirmed, or chosen.
std::string DetectiPodDrive(Host& host, const DetectOptions& options,
                            const std::string& sApplicationName, bool* accepted);

// DetectiPodDrive, then with bConfirm an information box naming the drive
// when the outcome is accepted.
std::string GetiPodDriveString(Host& host, const DetectOptions& options,
                               const std::string& sApplicationName,
                               bool bConfirm = false);

// Helpers shared with the tests.
// Decodes the octal escapes (\040 and the like) of a mount table field.
std::string DecodeMountField(std::string_view field);
// Whether sysfs vendor and model strings name an Apple iPod.
bool IsiPodDisk(std::string_view vendor, std::string_view model);

}  // namespace cadenza

#endif  // CADENZA_DEVICE_DETECT_H_
