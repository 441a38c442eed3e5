// The file-system layer on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/fs.h"
#include "platform/fs_internal.h"
#include "platform/text.h"

namespace cadenza::fs {

namespace stdfs = std::filesystem;

namespace {

std::string ErrnoText(int e) { return std::strerror(e); }

// The status of a failed write or create: a full disk is told apart.
Status WriteError(int e, const std::string& what) {
  if (e == ENOSPC || e == EDQUOT) return Status::NoSpace(ErrnoText(e) + ": " + what);
  return Status::IOError(ErrnoText(e) + ": " + what);
}

// Opens a file for reading without blocking on a FIFO or a device, and
// keeps it only when it is a regular file.
Status OpenRegular(const std::string& path, int* fd, struct stat* st) {
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) {
    int e = errno;
    if (e == ENOENT || e == ENOTDIR) return Status::NotFound("File not found: " + path);
    return Status::IOError(ErrnoText(e) + ": " + path);
  }
  if (::fstat(*fd, st) != 0 || !S_ISREG(st->st_mode)) {
    ::close(*fd);
    *fd = -1;
    return Status::IOError("Not a regular file: " + path);
  }
  return Status::OK();
}

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.size = st.st_size;
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.inode = st.st_ino;
  return s;
}

// Writes all of `data` to fd, honouring the test write limit.
Status WriteAll(int fd, const char* data, size_t n, const std::string& what) {
  size_t done = 0;
  while (done < n) {
    size_t want = n - done;
    int64_t limit = internal::WriteLimit().load();
    if (limit >= 0) {
      if (limit == 0) return WriteError(ENOSPC, what);
      want = std::min<size_t>(want, static_cast<size_t>(limit));
    }
    ssize_t w = ::write(fd, data + done, want);
    if (w < 0) {
      if (errno == EINTR) continue;
      return WriteError(errno, what);
    }
    if (limit >= 0) internal::WriteLimit().fetch_sub(w);
    done += static_cast<size_t>(w);
  }
  return Status::OK();
}

}  // namespace

std::string ResolveNoCase(std::string_view path) {
  if (path.empty()) return {};
  std::string out;
  size_t i = 0;
  if (path[0] == '/') {
    out = "/";
    i = 1;
  }
  bool missing = false;  // once a component is missing, the rest is too
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view comp = path.substr(i, j - i);
    if (!comp.empty()) {
      std::string name(comp);
      if (!missing && comp != "." && comp != "..") {
        std::string parent = out.empty() ? "." : out;
        std::string exact = out + name;
        struct stat st;
        if (::lstat(exact.c_str(), &st) != 0) {
          bool found = false;
          if (DIR* d = ::opendir(parent.c_str())) {
            while (dirent* e = ::readdir(d)) {
              if (internal::EqualNoCase(e->d_name, name)) {
                name = e->d_name;
                found = true;
                break;
              }
            }
            ::closedir(d);
          }
          if (!found) missing = true;
        }
      }
      out += name;
      if (j < path.size()) out += '/';
    }
    i = j + 1;
  }
  return out;
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status StatFile(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0)
    return Status::NotFound("File not found: " + path);
  if (!S_ISREG(st.st_mode)) return Status::IOError("Not a regular file: " + path);
  *stamp = StampOf(st);
  return Status::OK();
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

Status CreateFolder(const std::string& path) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return WriteError(errno, path);
  if (!FolderExists(path)) return Status::IOError("Not a folder: " + path);
  return Status::OK();
}

Status CreateFolders(const std::string& path) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  std::error_code ec;
  stdfs::create_directories(path, ec);
  if (ec) return Status::IOError(ec.message() + ": " + path);
  return Status::OK();
}

Status ReadWholeFile(const std::string& path, std::string* out, FileStamp* stamp) {
  out->clear();
  int fd;
  struct stat st;
  if (Status s = OpenRegular(path, &fd, &st); !s.ok()) return s;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t r = ::read(fd, out->data() + done, out->size() - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return Status::IOError(ErrnoText(e) + ": " + path);
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  out->resize(done);
  if (stamp) *stamp = StampOf(st);
  ::close(fd);
  return Status::OK();
}

Status ReadFileUpTo(const std::string& path, size_t limit, std::string* out) {
  out->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int e = errno;
    if (e == ENOENT || e == ENOTDIR) return Status::NotFound("File not found: " + path);
    return Status::IOError(ErrnoText(e) + ": " + path);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::IOError("Not a regular file: " + path);
  }
  Status s;
  char buf[16384];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      s = Status::IOError(ErrnoText(errno) + ": " + path);
      break;
    }
    if (r == 0) break;
    if (out->size() + static_cast<size_t>(r) > limit) {
      s = Status::Invalid("File too large: " + path);
      break;
    }
    out->append(buf, static_cast<size_t>(r));
  }
  ::close(fd);
  if (!s.ok()) out->clear();
  return s;
}

Status WriteFileAtomic(const std::string& path, std::string_view data) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  stdfs::path p(path);
  std::string dir = p.parent_path().string();
  if (dir.empty()) dir = ".";
  std::random_device rd;
  std::string tmp = dir + "/." + p.filename().string() + ".cadenza-" + std::to_string(::getpid()) +
                    "-" + std::to_string(rd() % 1000000) + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return WriteError(errno, tmp);
  Status s = WriteAll(fd, data.data(), data.size(), tmp);
  if (s.ok() && ::fsync(fd) != 0) s = WriteError(errno, tmp);
  if (::close(fd) != 0 && s.ok()) s = WriteError(errno, tmp);
  if (s.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
    s = Status::IOError(ErrnoText(errno) + ": " + path);
  if (!s.ok()) {
    ::unlink(tmp.c_str());
    return s;
  }
  // Make the rename itself durable.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return Status::OK();
}

Status RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return WriteError(errno, to);
  return Status::OK();
}

Status GetSpace(const std::string& path, SpaceInfo* out) {
  struct statvfs v {};
  if (path.empty() || ::statvfs(path.c_str(), &v) != 0)
    return Status::IOError(ErrnoText(errno) + ": " + path);
  out->free_bytes = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
  out->block_size = v.f_frsize ? v.f_frsize : v.f_bsize;
  return Status::OK();
}

Status FlushFileSystem(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Status::IOError(ErrnoText(errno) + ": " + path);
  Status s;
  if (::syncfs(fd) != 0) s = Status::IOError(ErrnoText(errno) + ": " + path);
  ::close(fd);
  return s;
}

Status CopyFileInPieces(const std::string& from, const std::string& to,
                        const std::function<bool(uint64_t, uint64_t)>& after_piece, size_t piece) {
  int in;
  struct stat st;
  if (Status s = OpenRegular(from, &in, &st); !s.ok()) return s;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    int e = errno;
    ::close(in);
    return WriteError(e, to);
  }
  std::string buf(std::max<size_t>(piece, 1), '\0');
  uint64_t total = static_cast<uint64_t>(st.st_size), done = 0;
  Status s;
  for (;;) {
    ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      s = Status::IOError(ErrnoText(errno) + ": " + from);
      break;
    }
    if (r == 0) break;
    s = WriteAll(out, buf.data(), static_cast<size_t>(r), to);
    if (!s.ok()) break;
    done += static_cast<uint64_t>(r);
    if (after_piece && !after_piece(done, total)) {
      s = Status::Cancelled("The copy was cancelled");
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0 && s.ok()) s = WriteError(errno, to);
  if (!s.ok()) ::unlink(to.c_str());
  return s;
}

Status WriteAt(const std::string& path, int64_t offset, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Status::IOError(ErrnoText(errno) + ": " + path);
  Status s;
  if (::pwrite(fd, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size()))
    s = Status::IOError(ErrnoText(errno) + ": " + path);
  if (::close(fd) != 0 && s.ok()) s = Status::IOError(ErrnoText(errno) + ": " + path);
  return s;
}

Status WriteDurablyAt(const std::string& path, int64_t offset, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return WriteError(errno, path);
  Status s;
  if (::pwrite(fd, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size()))
    s = WriteError(errno, path);
  if (s.ok() && ::fsync(fd) != 0) s = WriteError(errno, path);
  if (::close(fd) != 0 && s.ok()) s = WriteError(errno, path);
  return s;
}

Status DeleteFile(const std::string& path, bool force) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    return Status::NotFound("File not found: " + path);
  if (!force && !(st.st_mode & S_IWUSR)) return Status::IOError("Permission denied: " + path, 70);
  if (::unlink(path.c_str()) != 0) return Status::IOError(ErrnoText(errno) + ": " + path, 70);
  return Status::OK();
}

Status DeleteFolder(const std::string& path, bool force) {
  if (!FolderExists(path)) return Status::NotFound("Path not found: " + path, 76);
  std::error_code ec;
  if (!force) {
    for (auto it = stdfs::recursive_directory_iterator(path, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
      struct stat st;
      if (::lstat(it->path().c_str(), &st) == 0 && !(st.st_mode & S_IWUSR))
        return Status::IOError("Permission denied: " + it->path().string(), 70);
    }
  }
  stdfs::remove_all(path, ec);
  if (ec) return Status::IOError(ec.message() + ": " + path, 70);
  return Status::OK();
}

Status RemoveEmptyFolder(const std::string& path) {
  if (path.empty() || ::rmdir(path.c_str()) != 0)
    return Status::IOError(ErrnoText(errno) + ": " + path, 75);
  return Status::OK();
}

std::vector<DirEntry> ListDir(const std::string& path) {
  std::vector<DirEntry> out;
  DIR* d = path.empty() ? nullptr : ::opendir(path.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      std::string full = path;
      if (full.back() != '/') full += '/';
      full += name;
      dir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back({std::move(name), dir});
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
}

namespace {

void Walk(const std::string& dir, std::vector<std::string>* files, std::vector<WalkError>* errors) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    errors->push_back({dir, ErrnoText(errno)});
    return;
  }
  std::vector<std::string> folders;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string full = dir + (dir.back() == '/' ? "" : "/") + e->d_name;
    struct stat st;
    if (e->d_type == DT_DIR) {
      folders.push_back(std::move(full));
    } else if (e->d_type == DT_REG) {
      files->push_back(std::move(full));
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat lst;
      if (::lstat(full.c_str(), &lst) == 0 && S_ISDIR(lst.st_mode))
        folders.push_back(std::move(full));
      else if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        files->push_back(std::move(full));
    }
    errno = 0;
  }
  if (errno != 0) errors->push_back({dir, ErrnoText(errno)});
  ::closedir(d);
  for (const std::string& f : folders) Walk(f, files, errors);
}

}  // namespace

std::vector<std::string> WalkFiles(const std::string& dir, std::vector<WalkError>* errors) {
  std::vector<std::string> files;
  Walk(dir, &files, errors);
  std::sort(files.begin(), files.end());
  return files;
}

bool IsExecutableFile(const std::string& path) {
  return FileExists(path) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> ProgramSearchFolders() {
  const char* path = ::getenv("PATH");
  return path ? internal::SplitList(path, ':') : std::vector<std::string>{};
}

Status CreateTempFile(std::string_view stem, std::string* path) {
  std::error_code ec;
  std::string dir = stdfs::temp_directory_path(ec).string();
  if (ec || dir.empty()) dir = "/tmp";
  std::string templ = dir + "/cadenza-" + std::string(stem) + "-XXXXXX";
  int fd = ::mkstemp(templ.data());
  if (fd < 0) return WriteError(errno, templ);
  ::close(fd);
  *path = templ;
  return Status::OK();
}

std::string ProgramFolder() {
  std::error_code ec;
  auto p = stdfs::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return p.parent_path().string();
}

}  // namespace cadenza::fs
