// What kind of iPod a device root belongs to, which database checksum it
// needs, and the FireWire GUID that checksum is keyed with.
//
// The checksum scheme is decided by the first of these that tells:
//   1. DBVersion in iPod_Control/Device/SysInfoExtended (an XML property list
//      a host tool writes after querying the device);
//   2. the model number (ModelNumStr) in iPod_Control/Device/SysInfo;
//   3. the USB product id of the Apple device that holds the mounted volume
//      (Linux sysfs);
//   4. the scheme field of the database already on the device.
// A folder with none of these needs no checksum; an iPod that none of them
// identifies gets the scheme "unknown", and writes to it are refused.
//
// The GUID is taken from SysInfoExtended (FireWireGUID), then SysInfo
// (FirewireGuid), then the USB serial number of the device holding the
// volume. Only exactly 16 hex digits count; a GUID is never guessed.
#ifndef CADENZA_DEVICE_DEVICE_INFO_H_
#define CADENZA_DEVICE_DEVICE_INFO_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

enum class ChecksumScheme {
  kNone,     // the device checks nothing
  kHash58,   // iPod classic, nano 3G/4G: produced here from the GUID
  kHash72,   // nano 5G: cannot be produced here
  kHashAB,   // nano 6G/7G: cannot be produced here
  kUnknown,  // an iPod that could not be identified
};

// Where a piece of information came from.
enum class InfoSource {
  kNone,             // not found (for the scheme: nothing identifies a device)
  kSysInfoExtended,  // iPod_Control/Device/SysInfoExtended
  kSysInfo,          // iPod_Control/Device/SysInfo
  kUsb,              // the USB device that holds the volume (sysfs)
  kDatabase,         // the scheme field of the database on the device
};

// Where to look for the USB device behind a mounted volume. Tests point
// these at a fake tree.
struct DeviceProbeOptions {
  std::string sysfs_root = "/sys";
  std::string mountinfo_path = "/proc/self/mountinfo";
};

struct DeviceInfo {
  // "iPod classic", "iPod nano", ...; empty when not known.
  std::string family;
  // "6G", "3G", ...; empty when not known.
  std::string generation;
  // Four characters without the leading M and the region suffix ("B029");
  // empty when SysInfo gives none.
  std::string model_number;
  // USB product id of the Apple device holding the volume (0: not found).
  uint16_t usb_product_id = 0;

  ChecksumScheme scheme = ChecksumScheme::kNone;
  InfoSource scheme_source = InfoSource::kNone;

  // 16 upper-case hex digits; empty when no valid GUID was found.
  std::string guid;
  InfoSource guid_source = InfoSource::kNone;

  // OK when the database may be written. Otherwise every write must be
  // refused before anything is changed, and the message says why and what
  // the user can do.
  Status refusal;

  // Things found but not used (a malformed GUID, an unreadable file, ...).
  std::vector<std::string> notes;

  // "iPod classic 6G", "iPod nano", or "" when nothing is known.
  std::string DeviceName() const;
};

// Examines the device mounted at `root`. Never fails: what cannot be
// determined shows in the result (and in `refusal` when it blocks writes).
DeviceInfo ReadDeviceInfo(const std::string& root, const DeviceProbeOptions& options = {});

// The last step of every database write: `image` is the complete database
// with every length final. For a device that needs no checksum the bytes are
// left as they are; for hash58 the image is signed and the signature checked
// by recomputing it. A device whose checksum cannot be produced (or whose
// GUID is unknown) gets the refusal, and the image is left unchanged
// whenever an error is returned.
Status SignForDevice(const DeviceInfo& info, std::string* image);

// Lines for a report such as `cadenza info`: the device, its scheme, the GUID
// and where each came from, and the refusal if any.
std::string DescribeDevice(const DeviceInfo& info);

// "none", "hash58", "hash72", "hashAB", "unknown".
const char* SchemeName(ChecksumScheme scheme);
// "SysInfoExtended", "SysInfo", "USB device", "existing database", "none".
const char* SourceName(InfoSource source);

}  // namespace cadenza

#endif  // CADENZA_DEVICE_DEVICE_INFO_H_
