#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace cadenza {

RandomAccessFile::~RandomAccessFile() {
  if (fd_ >= 0) ::close(static_cast<int>(fd_));
}

bool RandomAccessFile::Open(const std::string& path) {
  if (fd_ >= 0) {
    ::close(static_cast<int>(fd_));
    fd_ = -1;
    size_ = 0;
  }
  // O_NONBLOCK keeps open() from waiting for a writer when the path is a
  // FIFO; anything but a regular file is then refused. Reads from a regular
  // file never block, so the flag is dropped again only for tidiness.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  size_ = st.st_size;
  return true;
}

int64_t RandomAccessFile::ReadAt(int64_t offset, void* buf, size_t n) const {
  if (fd_ < 0 || offset < 0) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buf);
  while (done < n) {
    ssize_t r =
        ::pread(static_cast<int>(fd_), p + done, n - done, offset + static_cast<int64_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

}  // namespace cadenza
