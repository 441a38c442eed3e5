// The file-system layer on Windows: wide-character calls, each path
// converted from UTF-8 at the call.
#include <windows.h>

#include <algorithm>
#include <random>

#include "platform/fs.h"
#include "platform/fs_internal.h"
#include "platform/text.h"

namespace cadenza::fs {

namespace {

std::wstring W(const std::string& path) { return Utf8ToWide(path); }

bool IsSep(char c) { return c == '/' || c == '\\'; }

// The system's text for an error number, without the line end.
std::string ErrorText(DWORD e) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, e, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text = n && buf ? WideToUtf8(std::wstring_view(buf, n)) : std::string();
  if (buf) LocalFree(buf);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "Error " + std::to_string(e);
  return text;
}

bool IsMissing(DWORD e) { return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND; }

// The status of a failed write or create: a full disk is told apart.
Status WriteError(DWORD e, const std::string& what) {
  if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL)
    return Status::NoSpace(ErrorText(e) + ": " + what);
  return Status::IOError(ErrorText(e) + ": " + what);
}

class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h) {
    Close();
    h_ = h;
  }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  bool Close() {
    bool closed = true;
    if (h_ != INVALID_HANDLE_VALUE) closed = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE h_;
};

bool GetAttributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return !path.empty() && GetFileAttributesExW(W(path).c_str(), GetFileExInfoStandard, data);
}

FileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStamp s;
  s.size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  // 100 ns units since 1601, made nanoseconds since 1970 as on POSIX (the
  // 1601-based count in nanoseconds would not fit 64 bits).
  const uint64_t t = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime;
  constexpr int64_t k1970 = 116444736000000000;  // 1970-01-01 in those units
  s.mtime_ns = (static_cast<int64_t>(t) - k1970) * 100;
  s.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return s;
}

// Opens a file for reading and keeps it only when it is a regular disk file
// (not a folder, a pipe or a device).
Status OpenRegular(const std::string& path, Handle* h, BY_HANDLE_FILE_INFORMATION* info) {
  if (path.empty()) return Status::NotFound("File not found: " + path);
  HANDLE raw = CreateFileW(W(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (IsMissing(e)) return Status::NotFound("File not found: " + path);
    if (e == ERROR_ACCESS_DENIED && FolderExists(path))
      return Status::IOError("Not a regular file: " + path);
    return Status::IOError(ErrorText(e) + ": " + path);
  }
  Handle opened(raw);
  if (GetFileType(raw) != FILE_TYPE_DISK || !GetFileInformationByHandle(raw, info) ||
      (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Status::IOError("Not a regular file: " + path);
  h->reset(opened.release());
  return Status::OK();
}

// Writes all of `data`, honouring the test write limit.
Status WriteAll(HANDLE h, const char* data, size_t n, const std::string& what) {
  size_t done = 0;
  while (done < n) {
    size_t want = std::min<size_t>(n - done, 1u << 30);
    int64_t limit = internal::WriteLimit().load();
    if (limit >= 0) {
      if (limit == 0) return WriteError(ERROR_DISK_FULL, what);
      want = std::min<size_t>(want, static_cast<size_t>(limit));
    }
    DWORD written = 0;
    if (!WriteFile(h, data + done, static_cast<DWORD>(want), &written, nullptr))
      return WriteError(GetLastError(), what);
    if (limit >= 0) internal::WriteLimit().fetch_sub(written);
    done += written;
  }
  return Status::OK();
}

// Reads until the end of the file, at most `limit` bytes (kInvalid beyond).
Status ReadToEnd(HANDLE h, size_t limit, const std::string& path, std::string* out) {
  char buf[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr))
      return Status::IOError(ErrorText(GetLastError()) + ": " + path);
    if (got == 0) return Status::OK();
    if (out->size() + got > limit) return Status::Invalid("File too large: " + path);
    out->append(buf, got);
  }
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir + (IsSep(dir.back()) ? "" : "\\") + name;
}

// Calls `f` for each entry of a folder ("." and ".." left out); false when
// the folder cannot be read (`error` set).
template <typename F>
bool ForEachEntry(const std::string& dir, F f, DWORD* error) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(W(Join(dir, "*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return *error == ERROR_FILE_NOT_FOUND;  // an empty folder (a drive root)
  }
  do {
    std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    f(WideToUtf8(name), data.dwFileAttributes);
  } while (FindNextFileW(find, &data));
  *error = GetLastError();
  FindClose(find);
  return *error == ERROR_NO_MORE_FILES;
}

}  // namespace

std::string ResolveNoCase(std::string_view path) {
  // Windows file systems ignore case themselves.
  return std::string(path);
}

bool FolderExists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  return GetAttributes(path, &d) && (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  return GetAttributes(path, &d);
}

bool FileExists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  return GetAttributes(path, &d) &&
         !(d.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

Status StatFile(const std::string& path, FileStamp* stamp) {
  Handle h;
  BY_HANDLE_FILE_INFORMATION info;
  if (Status s = OpenRegular(path, &h, &info); !s.ok()) {
    if (s.code() == Status::Code::kNotFound || !FileExists(path)) {
      if (FolderExists(path)) return Status::IOError("Not a regular file: " + path);
      return Status::NotFound("File not found: " + path);
    }
    return s;
  }
  *stamp = StampOf(info);
  return Status::OK();
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetAttributes(path, &d) ||
      (d.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
}

Status CreateFolder(const std::string& path) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  if (!CreateDirectoryW(W(path).c_str(), nullptr)) {
    DWORD e = GetLastError();
    if (e != ERROR_ALREADY_EXISTS) return WriteError(e, path);
  }
  if (!FolderExists(path)) return Status::IOError("Not a folder: " + path);
  return Status::OK();
}

Status CreateFolders(const std::string& path) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  // Each folder on the way, after the drive ("C:\") or share ("\\s\x\").
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') start = 2;
  if (path.size() >= 2 && IsSep(path[0]) && IsSep(path[1])) {
    size_t server = path.find_first_of("/\\", 2);
    start = server == std::string::npos ? path.size() : path.find_first_of("/\\", server + 1);
    if (start == std::string::npos) start = path.size();
  }
  for (size_t i = start; i <= path.size(); ++i) {
    if (i < path.size() && !IsSep(path[i])) continue;
    std::string part = path.substr(0, i);
    if (part.empty() || (part.size() == 2 && part[1] == ':') || IsSep(part.back())) continue;
    if (FolderExists(part)) continue;
    if (!CreateDirectoryW(W(part).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return Status::IOError(ErrorText(GetLastError()) + ": " + path);
  }
  if (!FolderExists(path)) return Status::IOError("Not a folder: " + path);
  return Status::OK();
}

Status ReadFileUpTo(const std::string& path, size_t limit, std::string* out) {
  out->clear();
  Handle h;
  BY_HANDLE_FILE_INFORMATION info;
  if (Status s = OpenRegular(path, &h, &info); !s.ok()) return s;
  Status s = ReadToEnd(h.get(), limit, path, out);
  if (!s.ok()) out->clear();
  return s;
}

Status ReadWholeFile(const std::string& path, std::string* out, FileStamp* stamp) {
  out->clear();
  Handle h;
  BY_HANDLE_FILE_INFORMATION info;
  if (Status s = OpenRegular(path, &h, &info); !s.ok()) return s;
  const FileStamp st = StampOf(info);
  out->reserve(static_cast<size_t>(std::max<int64_t>(st.size, 0)));
  if (Status s = ReadToEnd(h.get(), SIZE_MAX, path, out); !s.ok()) {
    out->clear();
    return s;
  }
  if (stamp) *stamp = st;
  return Status::OK();
}

Status WriteFileAtomic(const std::string& path, std::string_view data) {
  if (path.empty()) return Status::NotFound("Path not found", 76);
  std::string dir, name;
  internal::SplitPath(path, &dir, &name);
  std::random_device rd;
  const std::string tmp = Join(dir.empty() ? "." : dir,
                               "." + name + ".cadenza-" + std::to_string(GetCurrentProcessId()) +
                                   "-" + std::to_string(rd() % 1000000) + ".tmp");
  Handle h(CreateFileW(W(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!h.ok()) return WriteError(GetLastError(), tmp);
  Status s = WriteAll(h.get(), data.data(), data.size(), tmp);
  if (s.ok() && !FlushFileBuffers(h.get())) s = WriteError(GetLastError(), tmp);
  if (!h.Close() && s.ok()) s = WriteError(GetLastError(), tmp);
  // The rename is written through before the call returns.
  if (s.ok() && !MoveFileExW(W(tmp).c_str(), W(path).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    s = Status::IOError(ErrorText(GetLastError()) + ": " + path);
  if (!s.ok()) ::DeleteFileW(W(tmp).c_str());
  return s;
}

Status RenameFile(const std::string& from, const std::string& to) {
  if (!MoveFileExW(W(from).c_str(), W(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    return WriteError(GetLastError(), to);
  return Status::OK();
}

Status GetSpace(const std::string& path, SpaceInfo* out) {
  if (path.empty()) return Status::IOError("Path not found: " + path);
  const std::wstring wide = W(path);
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr))
    return Status::IOError(ErrorText(GetLastError()) + ": " + path);
  out->free_bytes = available.QuadPart;
  // The allocation unit is asked of the volume's root.
  wchar_t root[MAX_PATH + 1];
  DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
  out->block_size = 4096;
  if (GetVolumePathNameW(wide.c_str(), root, MAX_PATH + 1) &&
      GetDiskFreeSpaceW(root, &sectors, &bytes, &free_clusters, &clusters) && sectors && bytes)
    out->block_size = static_cast<uint64_t>(sectors) * bytes;
  return Status::OK();
}

Status FlushFileSystem(const std::string& path) {
  // Every file this layer writes is flushed on its own (FlushFileBuffers,
  // MOVEFILE_WRITE_THROUGH); flushing the whole volume, which also writes
  // its folders and allocation tables, needs the volume opened for writing,
  // which only an administrator may do. Without that right the files'
  // own flushes stand.
  wchar_t root[MAX_PATH + 1];
  if (path.empty() || !GetVolumePathNameW(W(path).c_str(), root, MAX_PATH + 1))
    return Status::IOError(ErrorText(GetLastError()) + ": " + path);
  std::wstring volume = root;
  if (volume.size() == 3 && volume[1] == L':') {
    Handle h(CreateFileW((L"\\\\.\\" + volume.substr(0, 2)).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (h.ok()) FlushFileBuffers(h.get());
  }
  return Status::OK();
}

Status CopyFileInPieces(const std::string& from, const std::string& to,
                        const std::function<bool(uint64_t, uint64_t)>& after_piece, size_t piece) {
  Handle in;
  BY_HANDLE_FILE_INFORMATION info;
  if (Status s = OpenRegular(from, &in, &info); !s.ok()) return s;
  Handle out(CreateFileW(W(to).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.ok()) return WriteError(GetLastError(), to);
  const uint64_t total = static_cast<uint64_t>(StampOf(info).size);
  std::string buf(std::min<size_t>(std::max<size_t>(piece, 1), 1u << 30), '\0');
  uint64_t done = 0;
  Status s;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
      s = Status::IOError(ErrorText(GetLastError()) + ": " + from);
      break;
    }
    if (got == 0) break;
    s = WriteAll(out.get(), buf.data(), got, to);
    if (!s.ok()) break;
    done += got;
    if (after_piece && !after_piece(done, total)) {
      s = Status::Cancelled("The copy was cancelled");
      break;
    }
  }
  if (s.ok() && !FlushFileBuffers(out.get())) s = WriteError(GetLastError(), to);
  if (!out.Close() && s.ok()) s = WriteError(GetLastError(), to);
  if (!s.ok()) ::DeleteFileW(W(to).c_str());
  return s;
}

namespace {

// Writes `bytes` at `offset`; `durably`: creating the file when missing,
// and flushed to the disk before returning.
Status WriteAtOffset(const std::string& path, int64_t offset, std::string_view bytes, bool durably) {
  Handle h(CreateFileW(W(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       durably ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return Status::IOError(ErrorText(GetLastError()) + ": " + path);
  LARGE_INTEGER to;
  to.QuadPart = offset;
  Status s;
  if (offset < 0 || !SetFilePointerEx(h.get(), to, nullptr, FILE_BEGIN))
    s = Status::IOError("Bad position: " + path);
  if (s.ok()) s = WriteAll(h.get(), bytes.data(), bytes.size(), path);
  if (s.ok() && durably && !FlushFileBuffers(h.get()))
    s = Status::IOError(ErrorText(GetLastError()) + ": " + path);
  if (!h.Close() && s.ok()) s = Status::IOError(ErrorText(GetLastError()) + ": " + path);
  return s;
}

}  // namespace

Status WriteAt(const std::string& path, int64_t offset, std::string_view bytes) {
  return WriteAtOffset(path, offset, bytes, false);
}

Status WriteDurablyAt(const std::string& path, int64_t offset, std::string_view bytes) {
  return WriteAtOffset(path, offset, bytes, true);
}

Status DeleteFile(const std::string& path, bool force) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetAttributes(path, &d) || (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Status::NotFound("File not found: " + path);
  const std::wstring wide = W(path);
  if (d.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    if (!force) return Status::IOError("Permission denied: " + path, 70);
    SetFileAttributesW(wide.c_str(), d.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  if (!::DeleteFileW(wide.c_str()))
    return Status::IOError(ErrorText(GetLastError()) + ": " + path, 70);
  return Status::OK();
}

namespace {

// Deletes the contents of a folder, then the folder.
Status DeleteTree(const std::string& dir, bool force) {
  std::vector<std::pair<std::string, DWORD>> entries;
  DWORD error = 0;
  if (!ForEachEntry(
          dir, [&](std::string name, DWORD attrs) { entries.emplace_back(Join(dir, name), attrs); },
          &error))
    return Status::IOError(ErrorText(error) + ": " + dir, 70);
  for (const auto& [path, attrs] : entries) {
    Status s;
    // A linked folder is removed as a link, never entered.
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
      s = DeleteTree(path, force);
    } else if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
      if (!RemoveDirectoryW(W(path).c_str()))
        s = Status::IOError(ErrorText(GetLastError()) + ": " + path, 70);
    } else {
      s = DeleteFile(path, force);
    }
    if (!s.ok()) return s;
  }
  if (!RemoveDirectoryW(W(dir).c_str()))
    return Status::IOError(ErrorText(GetLastError()) + ": " + dir, 70);
  return Status::OK();
}

// Whether anything below `dir` is read-only.
bool HasReadOnly(const std::string& dir) {
  bool found = false;
  DWORD error = 0;
  ForEachEntry(
      dir,
      [&](std::string name, DWORD attrs) {
        if (found) return;
        if (attrs & FILE_ATTRIBUTE_READONLY)
          found = true;
        else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
          found = HasReadOnly(Join(dir, name));
      },
      &error);
  return found;
}

}  // namespace

Status DeleteFolder(const std::string& path, bool force) {
  if (!FolderExists(path)) return Status::NotFound("Path not found: " + path, 76);
  if (!force && HasReadOnly(path)) return Status::IOError("Permission denied: " + path, 70);
  return DeleteTree(path, force);
}

Status RemoveEmptyFolder(const std::string& path) {
  if (path.empty() || !RemoveDirectoryW(W(path).c_str()))
    return Status::IOError(ErrorText(GetLastError()) + ": " + path, 75);
  return Status::OK();
}

std::vector<DirEntry> ListDir(const std::string& path) {
  std::vector<DirEntry> out;
  if (path.empty()) return out;
  DWORD error = 0;
  ForEachEntry(
      path,
      [&](std::string name, DWORD attrs) {
        out.push_back({std::move(name), (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0});
      },
      &error);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
}

namespace {

void Walk(const std::string& dir, std::vector<std::string>* files, std::vector<WalkError>* errors) {
  std::vector<std::string> folders;
  DWORD error = 0;
  bool ok = ForEachEntry(
      dir,
      [&](std::string name, DWORD attrs) {
        if (name[0] == '.') return;
        std::string full = Join(dir, name);
        if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
          // Linked folders are not entered.
          if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) folders.push_back(std::move(full));
        } else if (!(attrs & FILE_ATTRIBUTE_DEVICE)) {
          files->push_back(std::move(full));
        }
      },
      &error);
  if (!ok) errors->push_back({dir, ErrorText(error)});
  for (const std::string& f : folders) Walk(f, files, errors);
}

}  // namespace

std::vector<std::string> WalkFiles(const std::string& dir, std::vector<WalkError>* errors) {
  std::vector<std::string> files;
  Walk(dir, &files, errors);
  std::sort(files.begin(), files.end());
  return files;
}

bool IsExecutableFile(const std::string& path) { return FileExists(path); }

std::vector<std::string> ProgramSearchFolders() {
  DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(L"PATH", value.data(), n);
  value.resize(n);
  return internal::SplitList(WideToUtf8(value), ';');
}

Status CreateTempFile(std::string_view stem, std::string* path) {
  wchar_t dir[MAX_PATH + 2];
  DWORD n = GetTempPathW(MAX_PATH + 2, dir);
  if (n == 0 || n > MAX_PATH + 1) return Status::IOError("No folder for temporary files");
  const std::string base = WideToUtf8(std::wstring_view(dir, n));
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate =
        Join(base, "cadenza-" + std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) +
                       "-" + std::to_string(rd() % 1000000) + ".tmp");
    HANDLE h = CreateFileW(W(candidate).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      *path = candidate;
      return Status::OK();
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return WriteError(GetLastError(), candidate);
  }
  return Status::IOError("Could not create a temporary file in " + base);
}

std::string ProgramFolder() {
  // The module that holds this function: Cadenza.dll when the core is
  // linked into the component, the program otherwise.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ProgramFolder), &module))
    return ".";
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return ".";
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    name.resize(name.size() * 2);
  }
  std::string full = WideToUtf8(name), dir, file;
  internal::SplitPath(full, &dir, &file);
  return dir.empty() ? "." : dir;
}

}  // namespace cadenza::fs
