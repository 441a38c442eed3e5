// The file-system layer: everything the core does with files and folders goes
// through here. Paths are UTF-8 strings with "/" separators; on Windows "\"
// separators and drive roots ("I:\") are accepted as well, and each call
// converts the path to UTF-16, so names outside the ANSI code page work.
//
// Device paths are built from a drive root (the mount point of the device)
// and a relative path written with "\" separators. The device's own file
// systems ignore case, so each component of a device path is resolved
// without regard to case against what exists; components that do not exist
// keep the spelling given.
#ifndef CADENZA_PLATFORM_FS_H_
#define CADENZA_PLATFORM_FS_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/status.h"

// windows.h makes macros of DeleteFile and CopyFile (to their wide forms);
// the names here are this layer's own. Include windows.h before this file.
#ifdef DeleteFile
#undef DeleteFile
#endif
#ifdef CopyFile
#undef CopyFile
#endif

namespace cadenza::fs {

// The separator of the paths this layer makes.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// root + rel ("\" or "/" separated), resolved without regard to case.
// An empty root gives an empty path (never the current directory).
std::string DevicePath(std::string_view root, std::string_view rel);

// Resolves every existing component of `path` without regard to case.
std::string ResolveNoCase(std::string_view path);

bool FolderExists(const std::string& path);
// Whether anything (a file, a folder, a pipe...) is at `path`.
bool PathExists(const std::string& path);
bool FileExists(const std::string& path);

// Size of a regular file, or -1.
int64_t FileSize(const std::string& path);

// Creates one folder (its parent must exist).
Status CreateFolder(const std::string& path);
// Creates a folder and its missing parents.
Status CreateFolders(const std::string& path);

// What tells one version of a file from another without reading it.
struct FileStamp {
  int64_t size = -1;
  int64_t mtime_ns = 0;
  uint64_t inode = 0;
};
// The stamp of a regular file; kNotFound when there is none.
Status StatFile(const std::string& path, FileStamp* stamp);

// Reads a file up to its end, whatever size the file system reports for it
// (kernel files report 0), but never more than `limit` bytes. Opening never
// waits (a FIFO is refused). kNotFound when it is missing, kInvalid when it
// holds more than `limit` bytes, kIOError otherwise.
Status ReadFileUpTo(const std::string& path, size_t limit, std::string* out);

// Reads a regular file whole; `stamp` (optional) receives the stamp of the
// very file read. A missing file is kNotFound; anything else that cannot be
// read (permission, an I/O error, not a regular file) is kIOError.
Status ReadWholeFile(const std::string& path, std::string* out, FileStamp* stamp = nullptr);

// Writes `data` to a new file beside `path`, flushes it to the disk and
// renames it over `path` in one step. On failure `path` is left as it was
// and the temporary file is removed. The temporary file is named
// ".NAME.cadenza-PID-NUMBER.tmp"; a process killed during the write leaves
// it behind.
Status WriteFileAtomic(const std::string& path, std::string_view data);

// The temporary files that interrupted WriteFileAtomic calls left beside
// `path` (its name compared without regard to case).
std::vector<std::string> LeftoverTemps(const std::string& path);
// Removes them. Only safe while no other writer of `path` runs.
Status RemoveLeftoverTemps(const std::string& path);

// Free space for an unprivileged writer, and the allocation unit, of the
// file system that holds `path`.
struct SpaceInfo {
  uint64_t free_bytes = 0;
  uint64_t block_size = 0;
};
Status GetSpace(const std::string& path, SpaceInfo* out);

// Writes everything that is cached for the file system that holds `path`
// to its disk: file data, folders and allocation tables.
Status FlushFileSystem(const std::string& path);
// Copies a file, replacing the target.
Status CopyFile(const std::string& from, const std::string& to);
// Renames a file, replacing the target (both in one file system).
Status RenameFile(const std::string& from, const std::string& to);

// Copies in pieces of `piece` bytes; after each piece calls `after_piece`,
// which returns false to cancel. A failed or cancelled copy removes the
// partial target and returns an error (kCancelled on cancel, kNoSpace when
// the disk is full). Only a regular file is copied.
Status CopyFileInPieces(const std::string& from, const std::string& to,
                        const std::function<bool(uint64_t done, uint64_t total)>& after_piece,
                        size_t piece = 1 << 20);

// Writes `bytes` into an existing file at `offset`, in place.
Status WriteAt(const std::string& path, int64_t offset, std::string_view bytes);
// The same, creating the file when it is missing, and the bytes reach the
// disk before it returns (for data a file written next will point to).
Status WriteDurablyAt(const std::string& path, int64_t offset, std::string_view bytes);

// Deletes a file; with force, a read-only file too.
Status DeleteFile(const std::string& path, bool force);
// Deletes a folder with its contents; without force, fails on read-only
// content.
Status DeleteFolder(const std::string& path, bool force);
// Deletes a folder only when it is empty.
Status RemoveEmptyFolder(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_dir = false;
};
// The entries of a folder, sorted by name ("." and ".." left out); empty
// when the folder cannot be read.
std::vector<DirEntry> ListDir(const std::string& path);

// Every regular file below `dir` (symbolic links to files included, linked
// folders not entered; names that start with "." passed over), sorted by
// path. A folder that cannot be read goes to `errors` with the reason, and
// the walk goes on with the rest.
struct WalkError {
  std::string path;
  std::string reason;
};
std::vector<std::string> WalkFiles(const std::string& dir, std::vector<WalkError>* errors);

// The last component of a path ("/" and, on Windows, "\" separate), its
// name without the extension (".profile" has none), and the folder before
// it. Pure text work on UTF-8: std::filesystem reads narrow strings in the
// ANSI code page on Windows, which garbles other names.
std::string FileName(std::string_view path);
std::string FileStem(std::string_view path);
std::string ParentFolder(std::string_view path);

// A std::filesystem path from a UTF-8 path and back, for the lexical and
// canonical path work that std::filesystem does well (a plain string
// would be read in the ANSI code page on Windows).
std::filesystem::path NativePath(std::string_view utf8);
std::string Utf8Path(const std::filesystem::path& path);

// Whether `path` is absolute ("/x"; on Windows also "C:\x", "C:/x" and
// "\\server\share").
bool IsAbsolutePath(std::string_view path);

// Whether `path` is a regular file this process may run.
bool IsExecutableFile(const std::string& path);

// The folders of the PATH environment variable, in order.
std::vector<std::string> ProgramSearchFolders();

// Creates a new empty file named "cadenza-STEM-..." in the system's folder
// for temporary files; `path` receives its name.
Status CreateTempFile(std::string_view stem, std::string* path);

// The folder that holds the code that is running (the component folder): the
// program's folder, or on Windows the folder of the module (DLL or EXE) this
// code is linked into.
std::string ProgramFolder();

// Test hook: makes every following write through this layer fail after
// `bytes` more bytes have been written, as a full disk would (kNoSpace;
// -1: off).
void SetWriteLimitForTesting(int64_t bytes);

}  // namespace cadenza::fs

#endif  // CADENZA_PLATFORM_FS_H_
