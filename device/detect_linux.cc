// The search for the iPod on Linux: the kernel's device tree (sysfs) tells
// which block devices are iPods, the mount table where they are mounted.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <set>

#include "device/detect.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {
namespace {

// The sysfs attributes read here are a line each; the mount table of a busy
// machine is a few hundred kilobytes. Anything beyond these bounds is cut.
constexpr size_t kAttributeLimit = 4096;
constexpr size_t kMountTableLimit = 16u << 20;

// Reads a file up to `limit` bytes. Kernel files report no size of their own
// (the mount table says 0), so this reads until the end instead of trusting
// the size. Returns false when the file cannot be opened or read.
bool ReadLimited(const std::string& path, size_t limit, std::string* out) {
  out->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  bool ok = true;
  while (out->size() < limit) {
    size_t want = std::min(sizeof buf, limit - out->size());
    ssize_t r = ::read(fd, buf, want);
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (r == 0) break;
    out->append(buf, static_cast<size_t>(r));
  }
  ::close(fd);
  return ok;
}

// Removes surrounding white space (sysfs pads vendor and model with spaces
// and ends every attribute with a line feed).
std::string TrimSpace(std::string_view s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(ws);
  return std::string(s.substr(b, e - b + 1));
}

std::string ReadAttribute(const std::string& path) {
  std::string text;
  if (!ReadLimited(path, kAttributeLimit, &text)) return {};
  return TrimSpace(text);
}

// "major:minor" with both parts decimal; anything else is no device number.
bool IsDeviceNumber(std::string_view s) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == s.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == colon) continue;
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

struct MountEntry {
  std::string devno;        // "major:minor" of the mounted file system
  std::string root;         // folder of that file system shown at the mount point
  std::string mount_point;  // decoded
  std::string source;       // decoded, e.g. /dev/sdb1
  bool hidden = false;      // another file system was mounted over it later
};

std::vector<std::string> SplitSpaces(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    size_t j = line.find(' ', i);
    if (j == std::string_view::npos) j = line.size();
    if (j > i) out.emplace_back(line.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

// One line of the mount table:
//   id parent major:minor root mount-point options [optional...] - type source super-options
// Lines that do not have this shape are skipped.
bool ParseMountLine(std::string_view line, MountEntry* e) {
  std::vector<std::string> f = SplitSpaces(line);
  if (f.size() < 6) return false;
  size_t sep = 6;
  while (sep < f.size() && f[sep] != "-") ++sep;
  if (sep + 2 >= f.size()) return false;  // needs "-", type and source
  e->devno = f[2];
  e->root = DecodeMountField(f[3]);
  e->mount_point = DecodeMountField(f[4]);
  e->source = DecodeMountField(f[sep + 2]);
  return !e->mount_point.empty();
}

std::vector<MountEntry> ReadMountTable(const std::string& path) {
  std::vector<MountEntry> out;
  std::string text;
  if (!ReadLimited(path, kMountTableLimit, &text)) return out;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('\n', i);
    if (j == std::string::npos) j = text.size();
    MountEntry e;
    if (ParseMountLine(std::string_view(text).substr(i, j - i), &e)) out.push_back(std::move(e));
    i = j + 1;
  }
  // A later mount on the same folder covers the earlier one: the folder no
  // longer shows that file system.
  std::set<std::string> seen_later;
  for (size_t k = out.size(); k-- > 0;) {
    if (!seen_later.insert(out[k].mount_point).second) out[k].hidden = true;
  }
  return out;
}

// A block device of the iPod disk: the disk itself or one of its partitions.
struct BlockNode {
  std::string dev_path;  // /dev/<name>
  std::string devno;     // "major:minor", empty when unknown
};

std::string JoinPath(const std::string& a, std::string_view b) {
  if (a.empty() || a.back() == '/') return a + std::string(b);
  return a + "/" + std::string(b);
}

BlockNode MakeNode(const std::string& sys_dir, const std::string& name) {
  BlockNode n;
  // Device names with a "/" in them appear in sysfs with "!" instead.
  std::string dev_name = name;
  for (char& c : dev_name) {
    if (c == '!') c = '/';
  }
  n.dev_path = "/dev/" + dev_name;
  std::string devno = ReadAttribute(JoinPath(sys_dir, "dev"));
  if (IsDeviceNumber(devno)) n.devno = devno;
  return n;
}

bool MountsNode(const MountEntry& m, const BlockNode& n) {
  if (!n.devno.empty() && m.devno == n.devno) return true;
  return m.source == n.dev_path;
}

}  // namespace

std::vector<std::string> FindiPodMounts(const DetectOptions& options, bool* device_seen) {
  if (device_seen) *device_seen = false;
  std::vector<std::string> found;
  const std::string block = JoinPath(options.sysfs_root, "block");
  std::vector<MountEntry> mounts;
  bool mounts_read = false;

  for (const fs::DirEntry& disk : fs::ListDir(block)) {
    if (!disk.is_dir) continue;
    const std::string disk_dir = JoinPath(block, disk.name);
    std::string vendor = ReadAttribute(JoinPath(disk_dir, "device/vendor"));
    std::string model = ReadAttribute(JoinPath(disk_dir, "device/model"));
    if (!IsiPodDisk(vendor, model)) continue;
    if (device_seen) *device_seen = true;
    if (!mounts_read) {
      mounts = ReadMountTable(options.mountinfo_path);
      mounts_read = true;
    }

    // The whole disk first (a disk formatted without a partition table
    // carries its file system there), then its partitions.
    std::vector<BlockNode> nodes{MakeNode(disk_dir, disk.name)};
    for (const fs::DirEntry& part : fs::ListDir(disk_dir)) {
      if (!part.is_dir) continue;
      const std::string part_dir = JoinPath(disk_dir, part.name);
      if (!fs::FileExists(JoinPath(part_dir, "partition"))) continue;
      nodes.push_back(MakeNode(part_dir, part.name));
    }

    for (const BlockNode& n : nodes) {
      for (const MountEntry& m : mounts) {
        // Only a mount of the file system's own root is the drive root; a
        // bind mount of one of its folders is not.
        if (m.hidden || m.root != "/") continue;
        if (MountsNode(m, n)) found.push_back(m.mount_point);
      }
    }
  }
  return found;
}

}  // namespace cadenza
