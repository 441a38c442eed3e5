#include "device/wmi_detect.h"

#include <optional>

#include "db/hash58.h"
#include "platform/text.h"

namespace cadenza {
namespace {

// The value of a property, its name compared without regard to case; empty
// when the row lacks it.
std::string_view Property(const WmiRow& row, std::string_view name) {
  const std::string wanted = AsciiLower(name);
  for (const auto& [key, value] : row) {
    if (AsciiLower(key) == wanted) return value;
  }
  return {};
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A run of decimal digits without its leading zeros ("007" -> "7", "0" ->
// "0"), so that numbers of any length compare as text.
std::string CanonicalNumber(std::string_view digits) {
  size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return "0";
  return std::string(digits.substr(first));
}

// The number that ends a disk drive's Name ("\\.\PHYSICALDRIVE12" -> "12").
std::optional<std::string> DiskNumber(std::string_view name) {
  size_t end = name.size();
  size_t begin = end;
  while (begin > 0 && IsDigit(name[begin - 1])) --begin;
  if (begin == end) return std::nullopt;
  return CanonicalNumber(name.substr(begin));
}

// The key value of an object path: what follows its last "=", without the
// quotes around it. Object paths come with their backslashes doubled on
// some systems, and then a quote may be escaped as \".
std::string_view KeyValue(std::string_view path) {
  size_t eq = path.rfind('=');
  if (eq == std::string_view::npos) return {};
  std::string_view v = path.substr(eq + 1);
  while (!v.empty() && (v.front() == '"' || v.front() == '\\')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == '"' || v.back() == '\\')) v.remove_suffix(1);
  return v;
}

// The disk a partition link's Antecedent names
// (...Win32_DiskPartition.DeviceID="Disk #1, Partition #0" -> "1").
std::optional<std::string> LinkedDisk(std::string_view antecedent) {
  constexpr std::string_view kDisk = "Disk #";
  std::string_view v = KeyValue(antecedent);
  if (v.substr(0, kDisk.size()) != kDisk) return std::nullopt;
  v.remove_prefix(kDisk.size());
  size_t n = 0;
  while (n < v.size() && IsDigit(v[n])) ++n;
  if (n == 0 || n == v.size() || v[n] != ',') return std::nullopt;
  return CanonicalNumber(v.substr(0, n));
}

// The drive root of a partition link's Dependent
// (...Win32_LogicalDisk.DeviceID="E:" -> "E:\"); empty unless the logical
// disk is a drive letter.
std::string LinkedRoot(std::string_view dependent) {
  std::string_view v = KeyValue(dependent);
  if (v.size() != 2 || v[1] != ':') return {};
  const char c = v[0];
  if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return {};
  return std::string(v) + "\\";
}

}  // namespace

WmiDriveMatch MatchiPodDrive(const std::vector<WmiRow>& disk_drives,
                             const std::vector<WmiRow>& partition_links) {
  WmiDriveMatch match;
  for (const WmiRow& disk : disk_drives) {
    if (Property(disk, "Caption") != kiPodDiskCaption) continue;
    match.device_seen = true;
    const std::optional<std::string> number = DiskNumber(Property(disk, "Name"));
    if (!number) continue;
    for (const WmiRow& link : partition_links) {
      if (LinkedDisk(Property(link, "Antecedent")) != number) continue;
      std::string root = LinkedRoot(Property(link, "Dependent"));
      if (root.empty()) continue;
      match.drives.push_back(std::move(root));
      match.pnp_device_ids.emplace_back(Property(disk, "PNPDeviceID"));
    }
  }
  return match;
}

std::string FireWireGuidFromPnpId(std::string_view pnp_device_id) {
  // The instance part, after the last backslash, is the serial followed by
  // "&" and the unit number.
  size_t slash = pnp_device_id.rfind('\\');
  if (slash == std::string_view::npos) return {};
  std::string_view instance = pnp_device_id.substr(slash + 1);
  std::string_view serial = instance.substr(0, instance.find('&'));
  hash58::Guid guid;
  if (serial.size() != 16 || !hash58::ParseGuid(serial, &guid).ok()) return {};
  return hash58::GuidToText(guid);
}

}  // namespace cadenza
