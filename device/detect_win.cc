// The search for the iPod on Windows: Windows Management Instrumentation
// lists the disk drives and the logical disks on their partitions; the
// matching over those rows is in device/wmi_detect.cc.
#include "device/detect.h"
#include "device/wmi_detect.h"
#include "platform/wmi.h"

namespace cadenza {

// The drive letters ("E:") of every iPod disk, in WMI's order. When WMI
// cannot be asked (no service, a refused query) nothing is known about the
// disks, and the search ends in the question that lets the user point at
// the drive rather than in an error.
namespace {

bool AskWmi(WmiDriveMatch* match) {
  std::vector<WmiRow> disk_drives;
  std::vector<WmiRow> partition_links;
  if (!WmiQuery("SELECT * FROM cim_diskdrive", {"Caption", "Name", "PNPDeviceID"}, &disk_drives)
           .ok() ||
      !WmiQuery("SELECT * FROM Win32_LogicalDiskToPartition", {"Antecedent", "Dependent"},
                &partition_links)
           .ok()) {
    return false;
  }
  *match = MatchiPodDrive(disk_drives, partition_links);
  return true;
}

}  // namespace

std::vector<std::string> FindiPodMounts(const DetectOptions&, bool* device_seen) {
  if (device_seen) *device_seen = false;
  WmiDriveMatch match;
  if (!AskWmi(&match)) return {};
  if (device_seen) *device_seen = match.device_seen;
  for (std::string& root : match.drives) root.pop_back();  // the trailing "\"
  return match.drives;
}

std::string iPodGuidOfDrive(const std::string& root) {
  WmiDriveMatch match;
  if (root.size() < 2 || !AskWmi(&match)) return {};
  std::string guid;
  for (size_t i = 0; i < match.drives.size(); ++i) {
    const std::string& drive = match.drives[i];
    if (drive.size() >= 2 && (drive[0] | 0x20) == (root[0] | 0x20) && root[1] == ':')
      guid = FireWireGuidFromPnpId(match.pnp_device_ids[i]);
  }
  return guid;
}

}  // namespace cadenza
