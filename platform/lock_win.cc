// The lock file on Windows: LockFileEx on an open handle. As on POSIX the
// lock belongs to the open file, so a second FileLock conflicts with the
// first in this process too, and the system releases it when the holder
// dies.
#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/lock.h"
#include "platform/text.h"

namespace cadenza {

namespace {

HANDLE H(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

// Takes the lock of the whole file (the first byte stands for it).
bool LockHandle(HANDLE h, bool exclusive) {
  OVERLAPPED ov{};
  return LockFileEx(h, (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                    0, &ov) != 0;
}

HANDLE OpenLockFile(const std::string& path, DWORD disposition) {
  // Others may open, and even delete, the file while it is held: only the
  // byte lock excludes them.
  return CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Status FileLock::Acquire(const std::string& path, int wait_ms, std::unique_ptr<FileLock>* out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    HANDLE h = OpenLockFile(path, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      // A file being deleted by the holder before cannot be opened for a
      // moment; that is a busy lock, not an error.
      if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION)
        return Status::IOError("Cannot open the lock file (error " + std::to_string(e) +
                               "): " + path);
    } else if (LockHandle(h, true)) {
      out->reset(new FileLock(path, reinterpret_cast<intptr_t>(h)));
      return Status::OK();
    } else {
      CloseHandle(h);
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return Status::Busy("another program is changing this iPod");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool FileLock::IsStale(const std::string& path) {
  HANDLE h = OpenLockFile(path, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool stale = LockHandle(h, false);
  CloseHandle(h);
  return stale;
}

FileLock::~FileLock() {
  // Removed while still held, so that nobody takes a lock on a file that is
  // about to go (the deletion happens when the handle closes).
  DeleteFileW(Utf8ToWide(path_).c_str());
  CloseHandle(H(fd_));
}

}  // namespace cadenza
