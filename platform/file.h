// Read-only random access to a file with explicit positioning (pread). Each
// reader opens its own file and closes it when destroyed.
#ifndef CADENZA_PLATFORM_FILE_H_
#define CADENZA_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace cadenza {

class RandomAccessFile {
 public:
  RandomAccessFile() = default;
  explicit RandomAccessFile(const std::string& path) { Open(path); }
  ~RandomAccessFile();
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  // Opens a regular file for reading; false when it cannot be opened or is
  // not a regular file (a directory, a FIFO, a device). Never waits for a
  // FIFO's writer.
  bool Open(const std::string& path);
  bool is_open() const { return fd_ >= 0; }
  // Size in bytes at open time (0 when not open).
  int64_t size() const { return size_; }
  // Reads up to `n` bytes at `offset` into `buf`; returns the number of
  // bytes read (fewer at the end of the file), or -1 on a read error.
  int64_t ReadAt(int64_t offset, void* buf, size_t n) const;
  // Reads up to `n` bytes at `offset`; the result is shorter at the end of
  // the file and empty on error.
  std::string ReadAt(int64_t offset, size_t n) const;

 private:
  // The open file (a descriptor, or a HANDLE on Windows); -1 when none.
  intptr_t fd_ = -1;
  int64_t size_ = 0;
};

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_FILE_H_
