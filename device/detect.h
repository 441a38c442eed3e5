// Finding the iPod: the disk whose vendor is Apple and whose model names an
// iPod, the mount points of its file systems, and the question to put to the
// user when the device cannot be found or looks wrong (the caller asks it).
//
// The kernel's device tree (sysfs) tells which block devices are iPods; the
// mount table (mountinfo) tells where their file systems are mounted. Both
// locations are options so that tests can run on a fake tree.
#ifndef CADENZA_DEVICE_DETECT_H_
#define CADENZA_DEVICE_DETECT_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A question about the drive, to be asked in a Yes/No box; one of the
// answers leads to a folder browser for the user to point at the drive.
struct DriveQuestion {
  std::string text;
  bool browse_on_yes;        // Yes browses; otherwise any answer but Yes does
  std::string browse_title;  // the folder browser's title
};

// What the search for the iPod found.
struct DriveSearch {
  // The drive root with a trailing "/": the last mount found. Empty when
  // none was found.
  std::string drive;
  // Asked when no drive was found, or when the drive has no iTunes folder.
  std::optional<DriveQuestion> question;
};

// Looks for the iPod's drive; `sApplicationName` starts the question asked
// when none is found.
DriveSearch SearchiPodDrive(const DetectOptions& options, const std::string& sApplicationName);

// What a search concludes from the drive it found (a root; empty for none),
// whether it saw an iPod disk at all and whether the drive holds the iTunes
// folder: the drive and the question to ask, if any. Every platform's
// search ends here, so the questions read the same everywhere.
DriveSearch ConcludeDriveSearch(const std::string& drive, bool device_seen, bool has_itunes,
                                const std::string& sApplicationName);

// A folder the user chose as the drive root, with a trailing "/" (empty
// stays empty).
std::string DriveRoot(std::string folder);

// The text of the box that tells the user which drive was taken.
std::string DriveConfirmation(const std::string& drive);

// Helpers shared with the tests.
// Decodes the octal escapes (\040 and the like) of a mount table field.
std::string DecodeMountField(std::string_view field);
// Whether sysfs vendor and model strings name an Apple iPod.
bool IsiPodDisk(std::string_view vendor, std::string_view model);

}  // namespace cadenza

#endif  // CADENZA_DEVICE_DETECT_H_
