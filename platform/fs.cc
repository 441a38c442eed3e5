// The parts of the file-system layer that are the same on every system.
#include "platform/fs.h"

#include <algorithm>

#include "platform/fs_internal.h"
#include "platform/text.h"

namespace cadenza::fs {

namespace internal {

std::atomic<int64_t>& WriteLimit() {
  static std::atomic<int64_t> limit{-1};
  return limit;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

bool IsTempFor(std::string_view name, std::string_view target) {
  std::string head = ".";
  head += AsciiLower(target);
  head += ".cadenza-";
  return name.size() > head.size() + 4 && AsciiLower(name.substr(0, head.size())) == head &&
         name.substr(name.size() - 4) == ".tmp";
}

std::vector<std::string> SplitList(std::string_view list, char separator) {
  std::vector<std::string> out;
  while (!list.empty()) {
    const size_t cut = list.find(separator);
    std::string_view item = list.substr(0, cut);
    if (!item.empty()) out.emplace_back(item);
    if (cut == std::string_view::npos) break;
    list.remove_prefix(cut + 1);
  }
  return out;
}

void SplitPath(std::string_view path, std::string* folder, std::string* name) {
#ifdef _WIN32
  size_t cut = path.find_last_of("/\\");
#else
  size_t cut = path.rfind('/');
#endif
  if (cut == std::string_view::npos) {
    folder->clear();
    *name = std::string(path);
    return;
  }
  // The root keeps its separator ("/", "I:\").
  *folder = std::string(path.substr(0, cut == 0 || (cut == 2 && path[1] == ':') ? cut + 1 : cut));
  *name = std::string(path.substr(cut + 1));
}

}  // namespace internal

void SetWriteLimitForTesting(int64_t bytes) { internal::WriteLimit() = bytes; }

std::string DevicePath(std::string_view root, std::string_view rel) {
  if (root.empty()) return {};
#ifdef _WIN32
  // A drive root such as "I:\" or "I:/": both separators are accepted and
  // the path is built with "\".
  constexpr char kSep = '\\';
#else
  constexpr char kSep = '/';
#endif
  std::string r(rel);
  std::replace(r.begin(), r.end(), '\\', '/');
  std::string joined(root);
#ifdef _WIN32
  std::replace(joined.begin(), joined.end(), '/', '\\');
  std::replace(r.begin(), r.end(), '/', '\\');
  // "I:\\" (a root that was given a second separator) is still "I:\".
  while (joined.size() > 1 && joined.back() == kSep && joined[joined.size() - 2] == kSep)
    joined.pop_back();
#endif
  while (!r.empty() && r.front() == kSep) r.erase(r.begin());
  if (joined.back() != kSep) joined += kSep;
  joined += r;
  return ResolveNoCase(joined);
}

std::string FileName(std::string_view path) {
  std::string dir, name;
  internal::SplitPath(path, &dir, &name);
  return name;
}

std::string FileStem(std::string_view path) {
  std::string name = FileName(path);
  if (name == "." || name == "..") return name;
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string ParentFolder(std::string_view path) {
  std::string dir, name;
  internal::SplitPath(path, &dir, &name);
  return dir;
}

bool IsAbsolutePath(std::string_view path) {
  if (!path.empty() && path[0] == '/') return true;
#ifdef _WIN32
  if (!path.empty() && path[0] == '\\') return true;
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
#endif
  return false;
}

std::vector<std::string> LeftoverTemps(const std::string& path) {
  std::string dir, name;
  internal::SplitPath(path, &dir, &name);
  std::vector<std::string> out;
  const std::string base = dir.empty() ? "." : dir;
  const bool ends_with_sep = base.back() == '/' || base.back() == '\\';
  for (const DirEntry& e : ListDir(base))
    if (!e.is_dir && internal::IsTempFor(e.name, name))
      out.push_back(base + (ends_with_sep ? "" : "/") + e.name);
  return out;
}

Status RemoveLeftoverTemps(const std::string& path) {
  for (const std::string& t : LeftoverTemps(path)) {
    Status s = DeleteFile(t, true);
    // Gone in the meantime is what was wanted.
    if (!s.ok() && s.code() != Status::Code::kNotFound) return s;
  }
  return Status::OK();
}

Status CopyFile(const std::string& from, const std::string& to) {
  return CopyFileInPieces(from, to, nullptr);
}

std::filesystem::path NativePath(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace cadenza::fs
