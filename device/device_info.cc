#include "device/device_info.h"
#include "device/wmi_detect.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "db/hash58.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/plist.h"
#include "platform/text.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

// Files read here are small; anything larger is not what it claims to be.
constexpr size_t kMaxInfoFileSize = 1 << 20;
constexpr size_t kMaxMountInfoSize = 8 << 20;

constexpr const char* kSysInfoRel = "iPod_Control\\Device\\SysInfo";
constexpr const char* kSysInfoExtendedRel = "iPod_Control\\Device\\SysInfoExtended";
constexpr const char* kDatabaseRel = "iPod_Control\\iTunes\\iTunesDB";

struct Model {
  const char* family;
  const char* generation;
  ChecksumScheme scheme;
};

struct ModelEntry {
  const char* number;  // four characters, without the leading M and the region
  Model model;
};

constexpr Model kIPod1G{"iPod", "1G", ChecksumScheme::kNone};
constexpr Model kIPod2G{"iPod", "2G", ChecksumScheme::kNone};
constexpr Model kIPod3G{"iPod", "3G", ChecksumScheme::kNone};
constexpr Model kIPod4G{"iPod", "4G", ChecksumScheme::kNone};
constexpr Model kPhoto{"iPod photo", "4G", ChecksumScheme::kNone};
constexpr Model kMini1G{"iPod mini", "1G", ChecksumScheme::kNone};
constexpr Model kMini2G{"iPod mini", "2G", ChecksumScheme::kNone};
constexpr Model kVideo5G{"iPod video", "5G", ChecksumScheme::kNone};
constexpr Model kVideo55G{"iPod video", "5.5G", ChecksumScheme::kNone};
constexpr Model kNano1G{"iPod nano", "1G", ChecksumScheme::kNone};
constexpr Model kNano2G{"iPod nano", "2G", ChecksumScheme::kNone};
constexpr Model kShuffle1G{"iPod shuffle", "1G", ChecksumScheme::kNone};
constexpr Model kShuffle2G{"iPod shuffle", "2G", ChecksumScheme::kNone};
constexpr Model kShuffle3G{"iPod shuffle", "3G", ChecksumScheme::kNone};
constexpr Model kShuffle4G{"iPod shuffle", "4G", ChecksumScheme::kNone};
constexpr Model kClassic6G{"iPod classic", "6G", ChecksumScheme::kHash58};
constexpr Model kClassic65G{"iPod classic", "6.5G", ChecksumScheme::kHash58};
constexpr Model kClassic7G{"iPod classic", "7G", ChecksumScheme::kHash58};
constexpr Model kNano3G{"iPod nano", "3G", ChecksumScheme::kHash58};
constexpr Model kNano4G{"iPod nano", "4G", ChecksumScheme::kHash58};
constexpr Model kNano5G{"iPod nano", "5G", ChecksumScheme::kHash72};
constexpr Model kNano6G{"iPod nano", "6G", ChecksumScheme::kHashAB};
constexpr Model kNano7G{"iPod nano", "7G", ChecksumScheme::kHashAB};

// Model numbers by device. The devices that need a checksum are listed
// completely; for the older ones the common numbers are listed, and the USB
// product id or the database on the device covers the rest.
constexpr ModelEntry kModels[] = {
    {"8513", kIPod1G}, {"8541", kIPod1G}, {"8697", kIPod1G}, {"8709", kIPod1G},
    {"8737", kIPod2G}, {"8738", kIPod2G}, {"8740", kIPod2G}, {"8741", kIPod2G},
    {"8946", kIPod3G}, {"8948", kIPod3G}, {"8976", kIPod3G}, {"9244", kIPod3G},
    {"9245", kIPod3G}, {"9460", kIPod3G},
    {"9268", kIPod4G}, {"9282", kIPod4G}, {"9787", kIPod4G}, {"9788", kIPod4G},
    {"9585", kPhoto},  {"9586", kPhoto},  {"9829", kPhoto},  {"9830", kPhoto},
    {"A079", kPhoto},  {"A127", kPhoto},
    {"9160", kMini1G}, {"9435", kMini1G}, {"9436", kMini1G}, {"9437", kMini1G},
    {"9438", kMini1G},
    {"9800", kMini2G}, {"9801", kMini2G}, {"9802", kMini2G}, {"9803", kMini2G},
    {"9804", kMini2G}, {"9805", kMini2G}, {"9806", kMini2G}, {"9807", kMini2G},
    {"A002", kVideo5G}, {"A003", kVideo5G}, {"A146", kVideo5G}, {"A147", kVideo5G},
    {"A452", kVideo5G},
    {"A444", kVideo55G}, {"A446", kVideo55G}, {"A448", kVideo55G}, {"A450", kVideo55G},
    {"A664", kVideo55G},
    {"A004", kNano1G}, {"A005", kNano1G}, {"A099", kNano1G}, {"A107", kNano1G},
    {"A350", kNano1G}, {"A352", kNano1G},
    {"A426", kNano2G}, {"A428", kNano2G}, {"A477", kNano2G}, {"A487", kNano2G},
    {"A489", kNano2G}, {"A497", kNano2G}, {"A725", kNano2G}, {"A726", kNano2G},
    {"A899", kNano2G},
    {"9724", kShuffle1G}, {"9725", kShuffle1G},
    {"A546", kShuffle2G}, {"A564", kShuffle2G}, {"A947", kShuffle2G}, {"A949", kShuffle2G},
    {"A951", kShuffle2G}, {"A953", kShuffle2G}, {"B225", kShuffle2G}, {"B233", kShuffle2G},
    {"B518", kShuffle2G}, {"B520", kShuffle2G}, {"B522", kShuffle2G}, {"B524", kShuffle2G},
    {"B867", kShuffle3G}, {"C164", kShuffle3G}, {"C306", kShuffle3G}, {"C307", kShuffle3G},
    {"C323", kShuffle3G}, {"C381", kShuffle3G}, {"C384", kShuffle3G}, {"C387", kShuffle3G},
    {"C584", kShuffle4G}, {"C585", kShuffle4G}, {"C749", kShuffle4G}, {"C750", kShuffle4G},
    {"C751", kShuffle4G},
    // hash58
    {"B029", kClassic6G}, {"B145", kClassic6G}, {"B147", kClassic6G}, {"B150", kClassic6G},
    {"B562", kClassic65G}, {"B565", kClassic65G},
    {"C293", kClassic7G}, {"C297", kClassic7G},
    {"A978", kNano3G}, {"A980", kNano3G}, {"B249", kNano3G}, {"B253", kNano3G},
    {"B257", kNano3G}, {"B261", kNano3G}, {"B453", kNano3G},
    {"B480", kNano4G}, {"B598", kNano4G}, {"B651", kNano4G}, {"B654", kNano4G},
    {"B657", kNano4G}, {"B660", kNano4G}, {"B663", kNano4G}, {"B666", kNano4G},
    {"B732", kNano4G}, {"B735", kNano4G}, {"B739", kNano4G}, {"B742", kNano4G},
    {"B745", kNano4G}, {"B748", kNano4G}, {"B751", kNano4G}, {"B754", kNano4G},
    {"B903", kNano4G}, {"B905", kNano4G}, {"B907", kNano4G}, {"B909", kNano4G},
    {"B911", kNano4G}, {"B913", kNano4G}, {"B915", kNano4G}, {"B917", kNano4G},
    {"B918", kNano4G},
    // hash72
    {"C027", kNano5G}, {"C031", kNano5G}, {"C034", kNano5G}, {"C037", kNano5G},
    {"C040", kNano5G}, {"C043", kNano5G}, {"C046", kNano5G}, {"C049", kNano5G},
    {"C050", kNano5G},
    // hashAB
    {"C525", kNano6G}, {"C526", kNano6G},
    {"D475", kNano7G}, {"D476", kNano7G}, {"D477", kNano7G}, {"D478", kNano7G},
    {"D479", kNano7G}, {"D480", kNano7G}, {"D481", kNano7G}, {"D744", kNano7G},
    {"E971", kNano7G},
};

std::optional<Model> LookUpModel(std::string_view number) {
  for (const ModelEntry& e : kModels) {
    if (number == e.number) return e.model;
  }
  // Ranges: nano 5G C060..C075, nano 6G C688..C699.
  if (number.size() == 4 && number[0] == 'C' &&
      std::all_of(number.begin() + 1, number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int n = std::atoi(std::string(number.substr(1)).c_str());
    if (n >= 60 && n <= 75) return kNano5G;
    if (n >= 688 && n <= 699) return kNano6G;
  }
  return std::nullopt;
}

struct ProductEntry {
  uint16_t id;
  Model model;
};

constexpr Model kOlderIPod{"iPod", "", ChecksumScheme::kNone};
constexpr ProductEntry kProducts[] = {
    {0x1201, kOlderIPod}, {0x1202, kOlderIPod}, {0x1203, kOlderIPod},
    {0x1204, kOlderIPod}, {0x1205, kOlderIPod}, {0x1209, kOlderIPod},
    {0x120A, kOlderIPod}, {0x1260, kOlderIPod},
    {0x1261, {"iPod classic", "", ChecksumScheme::kHash58}},
    {0x1262, kNano3G}, {0x1263, kNano4G}, {0x1265, kNano5G},
    {0x1266, kNano6G}, {0x1267, kNano7G},
    {0x1300, kShuffle1G}, {0x1301, kShuffle2G}, {0x1302, kShuffle3G}, {0x1303, kShuffle4G},
};

std::optional<Model> LookUpProduct(uint16_t id) {
  for (const ProductEntry& e : kProducts) {
    if (e.id == id) return e.model;
  }
  return std::nullopt;
}

// "MB029LL/A", "xB029", "B029" -> "B029"; "M9724" -> "9724".
std::string NormalizeModelNumber(std::string_view text) {
  std::string s = AsciiUpper(TrimBlanks(text));
  s = s.substr(0, s.find('/'));
  if (s.size() >= 5 && (s[0] == 'M' || s[0] == 'X' || s[0] == 'P')) s.erase(0, 1);
  if (s.size() > 4) s.resize(4);
  return s;
}

// Removes blanks, tabs and line ends around a value.
std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

// Reads a small regular file whole, reading up to EOF rather than trusting
// the size the file system reports (files under /proc report 0) and never
// more than `limit` bytes. Opening does not block, so a FIFO in place of a
// file cannot hang the caller.
enum class ReadResult { kOk, kMissing, kTooLarge, kError };
ReadResult ReadSmallFile(const std::string& path, size_t limit, std::string* out) {
  Status s = fs::ReadFileUpTo(path, limit, out);
  if (s.ok()) return ReadResult::kOk;
  if (s.code() == Status::Code::kNotFound) return ReadResult::kMissing;
  if (s.code() == Status::Code::kInvalid) return ReadResult::kTooLarge;
  return ReadResult::kError;
}

// ---- SysInfo: "Key: value" lines ----

struct SysInfo {
  bool present = false;
  std::string model_text;
  std::string guid_text;
  bool has_guid_line = false;
};

SysInfo ReadSysInfo(const std::string& path, std::vector<std::string>* notes) {
  SysInfo info;
  std::string text;
  switch (ReadSmallFile(path, kMaxInfoFileSize, &text)) {
    case ReadResult::kMissing:
      return info;
    case ReadResult::kTooLarge:
      notes->push_back("SysInfo is larger than 1 MB and was ignored.");
      info.present = true;
      return info;
    case ReadResult::kError:
      notes->push_back("SysInfo could not be read.");
      info.present = true;
      return info;
    case ReadResult::kOk:
      break;
  }
  info.present = true;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(key, "ModelNumStr") && info.model_text.empty()) {
      info.model_text = std::string(value);
    } else if (EqualsNoCase(key, "FirewireGuid") && !info.has_guid_line) {
      info.has_guid_line = true;
      info.guid_text = std::string(value);
    }
  }
  return info;
}

// ---- SysInfoExtended: an XML property list ----

struct SysInfoExtended {
  bool present = false;
  std::string damage;  // non-empty: the file is damaged, and why
  std::optional<uint64_t> db_version;
  std::optional<std::string> guid_text;
};


SysInfoExtended ReadSysInfoExtended(const std::string& path) {
  SysInfoExtended info;
  std::string text;
  switch (ReadSmallFile(path, kMaxInfoFileSize, &text)) {
    case ReadResult::kMissing:
      return info;
    case ReadResult::kTooLarge:
      info.present = true;
      info.damage = "it is larger than 1 MB";
      return info;
    case ReadResult::kError:
      info.present = true;
      info.damage = "it cannot be read";
      return info;
    case ReadResult::kOk:
      break;
  }
  info.present = true;
  std::map<std::string, plist::Value> dict;
  switch (plist::ParseDictionary(text, &dict)) {
    case plist::ParseResult::kUnreadable:
      info.damage = "it is not a readable XML property list";
      return info;
    case plist::ParseResult::kNotDict:
      info.damage = "its property list holds no dictionary";
      return info;
    case plist::ParseResult::kOk:
      break;
  }
  if (auto v = dict.find("DBVersion"); v != dict.end()) {
    if (v->second.kind == plist::Value::Kind::kInteger) {
      info.db_version = v->second.integer;
    } else {
      info.damage = "its DBVersion is not a number";
      return info;
    }
  }
  if (auto v = dict.find("FireWireGUID"); v != dict.end()) {
    // Present but not text: not a GUID.
    info.guid_text = v->second.kind == plist::Value::Kind::kString ? v->second.text : std::string();
  }
  return info;
}

// ---- The USB device behind a mounted volume (Linux sysfs) ----

struct UsbDevice {
  bool found = false;  // an Apple USB device holds the volume
  uint16_t product_id = 0;
  std::string serial;
};

#ifdef _WIN32
// On Windows, WMI knows the iPod disk under a drive letter and the serial
// of its USB storage device, which is the FireWire GUID.
UsbDevice FindUsbDevice(const std::string& root, const DeviceProbeOptions&) {
  UsbDevice usb;
  usb.serial = iPodGuidOfDrive(root);
  usb.found = !usb.serial.empty();
  return usb;
}
#else
// Undoes the octal escapes of /proc/self/mountinfo ("\040" for a blank).
std::string UnescapeMountField(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
        s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool PathIsWithin(const std::string& path, const std::string& folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

struct MountEntry {
  std::string device_number;  // "8:17"
  std::string source;         // "/dev/sdb1"
};

// The mount that holds `path` (the one with the longest mount point; a later
// line wins over an earlier one with the same mount point).
std::optional<MountEntry> FindMount(const std::string& path, const std::string& mountinfo) {
  std::string text;
  if (ReadSmallFile(mountinfo, kMaxMountInfoSize, &text) != ReadResult::kOk) return std::nullopt;
  std::optional<MountEntry> best;
  size_t best_len = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
      size_t sp = line.find(' ', pos);
      if (sp == std::string_view::npos) sp = line.size();
      if (sp > pos) fields.push_back(line.substr(pos, sp - pos));
      pos = sp + 1;
    }
    // id parent major:minor root mount-point options [optional...] - type source ...
    if (fields.size() < 5) continue;
    auto dash = std::find(fields.begin() + 5, fields.end(), std::string_view("-"));
    std::string mount_point = UnescapeMountField(fields[4]);
    if (!PathIsWithin(path, mount_point)) continue;
    if (!best || mount_point.size() >= best_len) {
      MountEntry e;
      e.device_number = std::string(fields[2]);
      if (dash != fields.end() && dash + 2 < fields.end()) e.source = UnescapeMountField(*(dash + 2));
      best = e;
      best_len = mount_point.size();
    }
  }
  return best;
}

std::string ReadSysfsValue(const stdfs::path& p) {
  std::string s;
  if (ReadSmallFile(p.string(), 4096, &s) != ReadResult::kOk) return "";
  return std::string(Trim(s));
}

UsbDevice FindUsbDevice(const std::string& root, const DeviceProbeOptions& options) {
  UsbDevice usb;
  if (options.sysfs_root.empty()) return usb;
  std::error_code ec;
  stdfs::path canonical_root = stdfs::weakly_canonical(root, ec);
  if (ec) return usb;
  auto mount = FindMount(canonical_root.string(), options.mountinfo_path);
  if (!mount) return usb;

  stdfs::path sysfs = stdfs::weakly_canonical(options.sysfs_root, ec);
  if (ec) return usb;
  std::vector<stdfs::path> candidates = {sysfs / "dev" / "block" / mount->device_number};
  if (mount->source.rfind("/dev/", 0) == 0) {
    candidates.push_back(sysfs / "class" / "block" / stdfs::path(mount->source).filename());
  }
  for (const stdfs::path& candidate : candidates) {
    stdfs::path dir = stdfs::canonical(candidate, ec);
    if (ec) continue;
    // Walk up to the first USB device (the first folder with idVendor). A
    // volume on some other USB device behind an Apple hub is not an iPod, so
    // the walk stops there whatever the vendor.
    while (PathIsWithin(dir.string(), sysfs.string()) && dir != sysfs) {
      if (stdfs::exists(dir / "idVendor", ec)) {
        if (AsciiLower(ReadSysfsValue(dir / "idVendor")) != "05ac") return usb;
        usb.found = true;
        std::string product = ReadSysfsValue(dir / "idProduct");
        char* end = nullptr;
        unsigned long id = std::strtoul(product.c_str(), &end, 16);
        if (!product.empty() && end && *end == '\0' && id <= 0xFFFF) {
          usb.product_id = static_cast<uint16_t>(id);
        }
        usb.serial = ReadSysfsValue(dir / "serial");
        return usb;
      }
      dir = dir.parent_path();
    }
  }
  return usb;
}
#endif

// ---- Deciding ----

ChecksumScheme SchemeFromDbVersion(uint64_t v) {
  if (v <= 2) return ChecksumScheme::kNone;
  if (v == 3) return ChecksumScheme::kHash58;
  if (v == 4) return ChecksumScheme::kHash72;
  if (v == 5) return ChecksumScheme::kHashAB;
  return ChecksumScheme::kUnknown;
}

ChecksumScheme SchemeFromField(uint16_t v) {
  switch (v) {
    case hash58::kSchemeNone: return ChecksumScheme::kNone;
    case hash58::kSchemeHash58: return ChecksumScheme::kHash58;
    case hash58::kSchemeHash72: return ChecksumScheme::kHash72;
    case hash58::kSchemeHashAB: return ChecksumScheme::kHashAB;
    default: return ChecksumScheme::kUnknown;
  }
}

// Accepts `text` as the GUID when it is exactly 16 hex digits.
bool TakeGuid(DeviceInfo* info, std::string_view text, InfoSource source, const char* where) {
  hash58::Guid guid;
  if (!hash58::ParseGuid(text, &guid).ok()) {
    info->notes.push_back(std::string("The GUID in ") + where + " (\"" +
                          std::string(text.substr(0, 64)) +
                          "\") is not 16 hex digits and was ignored.");
    return false;
  }
  info->guid = hash58::GuidToText(guid);
  info->guid_source = source;
  return true;
}

std::string Subject(const DeviceInfo& info) {
  std::string name = info.DeviceName();
  return name.empty() ? "This iPod" : "This iPod (" + name + ")";
}

Status SchemeRefusal(const DeviceInfo& info, const std::string& why_unknown) {
  switch (info.scheme) {
    case ChecksumScheme::kHash72:
    case ChecksumScheme::kHashAB:
      return Status::Unsupported(
          Subject(info) + " only accepts a database protected by a checksum (" +
          SchemeName(info.scheme) +
          ") that Cadenza cannot produce, so Cadenza does not write its database. "
          "Use the desktop software made for this iPod to change its music.");
    case ChecksumScheme::kUnknown:
      return Status::Unsupported("Cadenza cannot tell which database checksum this iPod needs (" +
                                 why_unknown + "), so it does not write its database.");
    default:
      return Status::OK();
  }
}

Status MissingGuidRefusal(const DeviceInfo& info, const std::string& sysinfo_path) {
  return Status::Unsupported(
      Subject(info) +
      " only accepts a database signed with its FireWire GUID, and the GUID was not found, "
      "so Cadenza does not write its database. Add the line\n"
      "  FirewireGuid: 0x000A27XXXXXXXXXX\n"
      "to " + sysinfo_path +
      ", with the iPod's 16 hex digit GUID in place of 000A27XXXXXXXXXX (on Linux, "
      "\"lsusb -v\" shows it as the iSerialNumber of the iPod), then try again.");
}

// ---- Reading it all together ----

// The models the SysInfo model number and the USB product id point to.
struct ModelClues {
  std::optional<Model> model;    // from the SysInfo model number
  std::optional<Model> product;  // from the USB product id
};

// Looks the device up by its SysInfo model number and its USB product id, and
// names it after the model number when that is known (it is the more exact of
// the two), else after the product id.
ModelClues IdentifyModel(const SysInfo& sys, const UsbDevice& usb, DeviceInfo* info) {
  ModelClues clues;
  if (!sys.model_text.empty()) {
    info->model_number = NormalizeModelNumber(sys.model_text);
    clues.model = LookUpModel(info->model_number);
    if (!clues.model) {
      info->notes.push_back("The model number " + info->model_number + " is not known.");
    }
  }
  if (usb.found) {
    info->usb_product_id = usb.product_id;
    clues.product = LookUpProduct(usb.product_id);
  }
  if (clues.model) {
    info->family = clues.model->family;
    info->generation = clues.model->generation;
  } else if (clues.product) {
    info->family = clues.product->family;
    info->generation = clues.product->generation;
  }
  return clues;
}

// Takes the checksum scheme from the first source that tells: the database
// version in an undamaged SysInfoExtended, then the model, then the USB
// product id. Returns false when none of them tells.
bool SchemeFromDeviceFiles(const SysInfoExtended& ext, const ModelClues& clues,
                           DeviceInfo* info, std::string* why_unknown) {
  if (ext.damage.empty() && ext.db_version) {
    info->scheme = SchemeFromDbVersion(*ext.db_version);
    info->scheme_source = InfoSource::kSysInfoExtended;
    *why_unknown = "SysInfoExtended gives database version " + std::to_string(*ext.db_version);
  } else if (clues.model) {
    info->scheme = clues.model->scheme;
    info->scheme_source = InfoSource::kSysInfo;
  } else if (clues.product) {
    info->scheme = clues.product->scheme;
    info->scheme_source = InfoSource::kUsb;
  } else {
    return false;
  }
  return true;
}

// When no device file tells the scheme: takes the one the existing database's
// header is marked with; failing that, an iPod (`is_ipod`) gets kUnknown, as
// it must never be assumed to need no checksum, and a plain folder keeps none.
void SchemeFromDatabase(const std::string& root, bool is_ipod, const UsbDevice& usb,
                        DeviceInfo* info, std::string* why_unknown) {
  std::string head;
  RandomAccessFile db;
  if (db.Open(fs::DevicePath(root, kDatabaseRel))) head = db.ReadAt(0, hash58::kSchemeOffset + 2);
  uint16_t field = 0;
  if (hash58::ReadScheme(head, &field)) {
    info->scheme = SchemeFromField(field);
    info->scheme_source = InfoSource::kDatabase;
    *why_unknown = "the database on it is marked with checksum scheme " + std::to_string(field);
  } else if (is_ipod) {
    info->scheme = ChecksumScheme::kUnknown;
    if (usb.found && usb.product_id != 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04x", usb.product_id);
      *why_unknown += ", and its USB product id " + std::string(hex) + " is not known";
    }
  }
}

// Takes the first valid GUID of SysInfoExtended, SysInfo and the USB serial
// number, in that order; each one rejected leaves a note.
void FindGuid(const SysInfoExtended& ext, const SysInfo& sys, const UsbDevice& usb,
              DeviceInfo* info) {
  if (ext.damage.empty() && ext.guid_text) {
    TakeGuid(info, *ext.guid_text, InfoSource::kSysInfoExtended, "SysInfoExtended");
  }
  if (info->guid.empty() && sys.has_guid_line) {
    TakeGuid(info, sys.guid_text, InfoSource::kSysInfo, "SysInfo");
  }
  if (info->guid.empty() && usb.found && !usb.serial.empty()) {
    TakeGuid(info, usb.serial, InfoSource::kUsb, "the USB serial number");
  }
}

// Why the database must not be written, or OK: a damaged SysInfoExtended
// hides the scheme, hash58 cannot be signed without the GUID, and the other
// checksums Cadenza cannot produce at all.
Status DecideRefusal(const DeviceInfo& info, const SysInfoExtended& ext,
                     const std::string& ext_path, const std::string& sysinfo_path,
                     const std::string& why_unknown) {
  if (!ext.damage.empty()) {
    return Status::Corrupt(
        "The file " + ext_path + " on the iPod is damaged (" + ext.damage +
        "), so Cadenza cannot tell which database checksum the iPod needs and does not "
        "write its database. Delete or repair that file, then try again.");
  }
  if (info.scheme == ChecksumScheme::kHash58 && info.guid.empty()) {
    return MissingGuidRefusal(info, sysinfo_path);
  }
  return SchemeRefusal(info, why_unknown);
}

}  // namespace

std::string DeviceInfo::DeviceName() const {
  if (family.empty()) return "";
  return generation.empty() ? family : family + " " + generation;
}

const char* SchemeName(ChecksumScheme scheme) {
  switch (scheme) {
    case ChecksumScheme::kNone: return "none";
    case ChecksumScheme::kHash58: return "hash58";
    case ChecksumScheme::kHash72: return "hash72";
    case ChecksumScheme::kHashAB: return "hashAB";
    case ChecksumScheme::kUnknown: break;
  }
  return "unknown";
}

const char* SourceName(InfoSource source) {
  switch (source) {
    case InfoSource::kSysInfoExtended: return "SysInfoExtended";
    case InfoSource::kSysInfo: return "SysInfo";
    case InfoSource::kUsb: return "USB device";
    case InfoSource::kDatabase: return "existing database";
    case InfoSource::kNone: break;
  }
  return "none";
}

DeviceInfo ReadDeviceInfo(const std::string& root, const DeviceProbeOptions& options) {
  DeviceInfo info;
  if (root.empty()) return info;
  const std::string ext_path = fs::DevicePath(root, kSysInfoExtendedRel);
  const std::string sysinfo_path = fs::DevicePath(root, kSysInfoRel);

  SysInfoExtended ext = ReadSysInfoExtended(ext_path);
  SysInfo sys = ReadSysInfo(sysinfo_path, &info.notes);
#ifdef _WIN32
  // Asking WMI takes a while: only for a GUID that the device's files lack.
  UsbDevice usb;
  if (!(ext.damage.empty() && ext.guid_text) && !sys.has_guid_line) usb = FindUsbDevice(root, options);
#else
  UsbDevice usb = FindUsbDevice(root, options);
#endif

  ModelClues clues = IdentifyModel(sys, usb, &info);
  std::string why_unknown = "nothing on it identifies the model";
  if (!SchemeFromDeviceFiles(ext, clues, &info, &why_unknown)) {
    SchemeFromDatabase(root, ext.present || sys.present || usb.found, usb, &info, &why_unknown);
  }
  FindGuid(ext, sys, usb, &info);
  info.refusal = DecideRefusal(info, ext, ext_path, sysinfo_path, why_unknown);
  return info;
}

Status SignForDevice(const DeviceInfo& info, std::string* image) {
  if (image == nullptr) return Status::Invalid("No database to sign.");
  if (!info.refusal.ok()) return info.refusal;
  switch (info.scheme) {
    case ChecksumScheme::kNone:
      return Status::OK();
    case ChecksumScheme::kHash58:
      break;
    default: {
      Status st = SchemeRefusal(info, "it was not identified");
      return st.ok() ? Status::Unsupported("Cadenza cannot sign this database.") : st;
    }
  }
  hash58::Guid guid;
  if (!hash58::ParseGuid(info.guid, &guid).ok()) {
    return MissingGuidRefusal(info, "iPod_Control/Device/SysInfo");
  }
  // Signing changes only header bytes; keep them to undo a failed check.
  const std::string head = image->substr(0, 0xA0);
  Status st = hash58::Sign(image, guid);
  if (!st.ok()) return st;
  st = hash58::Verify(*image, guid);
  if (!st.ok()) {
    image->replace(0, head.size(), head);
    return Status::Corrupt("The database checksum did not verify after signing (" +
                           st.message() + "); nothing was written.");
  }
  return Status::OK();
}

std::string DescribeDevice(const DeviceInfo& info) {
  std::string out = "Device: ";
  std::string name = info.DeviceName();
  out += name.empty() ? "not identified" : name;
  std::vector<std::string> details;
  if (!info.model_number.empty()) details.push_back("model " + info.model_number);
  if (info.usb_product_id != 0) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "USB product id %04x", info.usb_product_id);
    details.push_back(hex);
  }
  for (size_t i = 0; i < details.size(); ++i) out += (i == 0 ? " (" : ", ") + details[i];
  if (!details.empty()) out += ")";
  out += "\nDatabase checksum: ";
  out += SchemeName(info.scheme);
  if (info.scheme_source != InfoSource::kNone) {
    out += std::string(" (from ") + SourceName(info.scheme_source) + ")";
  }
  out += "\nFireWire GUID: ";
  if (info.guid.empty()) {
    out += "not found";
  } else {
    out += info.guid + " (from " + SourceName(info.guid_source) + ")";
  }
  out += "\n";
  for (const std::string& note : info.notes) out += "Note: " + note + "\n";
  if (!info.refusal.ok()) out += "Writing refused: " + info.refusal.message() + "\n";
  return out;
}

}  // namespace cadenza
