#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/lock.h"

namespace cadenza {

namespace {

// Opens the lock file and tries once to lock it. Returns the locked
// descriptor, -1 when another holder has it, or -2 with `error` set.
int TryLock(const std::string& path, int* error) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      *error = errno;
      return -2;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno;
      ::close(fd);
      if (e == EWOULDBLOCK || e == EINTR) return -1;
      *error = e;
      return -2;
    }
    // The holder before may have removed the file between our open and our
    // lock; a lock on a removed file guards nothing, so start again.
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return fd;
    ::close(fd);
  }
}

}  // namespace

Status FileLock::Acquire(const std::string& path, int wait_ms, std::unique_ptr<FileLock>* out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    int error = 0;
    int fd = TryLock(path, &error);
    if (fd >= 0) {
      out->reset(new FileLock(path, fd));
      return Status::OK();
    }
    if (fd == -2) return Status::IOError(std::string(std::strerror(error)) + ": " + path);
    if (std::chrono::steady_clock::now() >= deadline)
      return Status::Busy("another program is changing this iPod");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool FileLock::IsStale(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool stale = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);
  return stale;
}

FileLock::~FileLock() {
  // Removed while still held, so that nobody takes a lock on a file that is
  // about to go.
  ::unlink(path_.c_str());
  ::close(static_cast<int>(fd_));
}

}  // namespace cadenza
