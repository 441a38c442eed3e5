// Finding the iPod among what Windows Management Instrumentation reports:
// the disk drives ("SELECT * FROM cim_diskdrive") and the links from disk
// partitions to logical disks ("SELECT * FROM Win32_LogicalDiskToPartition").
//
// The rows arrive as property name -> text maps, so that the matching runs
// (and is tested) on any system with rows recorded on a Windows machine.
// Property names are compared without regard to case, as WMI does.
#ifndef CADENZA_DEVICE_WMI_DETECT_H_
#define CADENZA_DEVICE_WMI_DETECT_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cadenza {

using WmiRow = std::map<std::string, std::string>;

// The caption Windows gives the disk drive of an iPod in disk mode.
inline constexpr std::string_view kiPodDiskCaption = "Apple iPod USB Device";

struct WmiDriveMatch {
  // The roots ("E:\" for the logical disk E:) of every iPod disk's logical
  // disks, in enumeration order. The last one is the drive taken.
  std::vector<std::string> drives;
  // Some disk drive was an iPod, with a letter or not.
  bool device_seen = false;
  // The PNPDeviceID of the disk drive of each of those drives.
  std::vector<std::string> pnp_device_ids;
};

// Matches the iPod disk drives (caption exactly kiPodDiskCaption) to their
// logical disks: the disk number is the whole number that ends the drive's
// Name ("\\.\PHYSICALDRIVE12" is disk 12), and a link belongs to the disk
// when its Antecedent names that very disk ("Disk #12, Partition #0").
WmiDriveMatch MatchiPodDrive(const std::vector<WmiRow>& disk_drives,
                             const std::vector<WmiRow>& partition_links);

// The FireWire GUID an iPod reports as the serial of its USB storage
// device, from the disk drive's PNPDeviceID
// ("USBSTOR\DISK&VEN_APPLE&PROD_IPOD&REV_1.62\000A27001A2B3C4D&0"): 16
// upper-case hex digits, or empty when the serial is not 16 hex digits.
std::string FireWireGuidFromPnpId(std::string_view pnp_device_id);

#ifdef _WIN32
// The FireWire GUID of the iPod whose logical disk holds `root` ("E:"),
// asked of WMI: for a device whose SysInfo names none. Empty when WMI knows
// no iPod disk under that drive letter.
std::string iPodGuidOfDrive(const std::string& root);
#endif

}  // namespace cadenza

#endif  // CADENZA_DEVICE_WMI_DETECT_H_
