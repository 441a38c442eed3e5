// An exclusive advisory lock held through a lock file.
//
// The lock belongs to an open file, so a second FileLock on the same path
// conflicts with the first whether it is in another process or in this one,
// and the kernel releases it when the holder dies. A holder that ends
// normally removes the lock file; a file left by a holder that was killed
// is taken over by the next one.
#ifndef CADENZA_PLATFORM_LOCK_H_
#define CADENZA_PLATFORM_LOCK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "cadenza/status.h"

namespace cadenza {

class FileLock {
 public:
  // Takes the lock on `path`, creating the file (its folder must exist);
  // tries again until `wait_ms` milliseconds have passed. kBusy when
  // another holder kept it.
  static Status Acquire(const std::string& path, int wait_ms, std::unique_ptr<FileLock>* out);

  // Whether `path` is a lock file that nobody holds: left by a holder that
  // was killed.
  static bool IsStale(const std::string& path);

  // Removes the lock file and releases the lock.
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  // `fd`: the open lock file (a descriptor, or a HANDLE on Windows).
  FileLock(std::string path, intptr_t fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  intptr_t fd_;
};

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_LOCK_H_
