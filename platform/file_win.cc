// Positioned reads on Windows: ReadFile with an OVERLAPPED offset on a
// handle opened for synchronous reading.
#include <windows.h>

#include "platform/file.h"
#include "platform/text.h"

namespace cadenza {

namespace {
HANDLE H(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }
}  // namespace

RandomAccessFile::~RandomAccessFile() {
  if (fd_ >= 0) CloseHandle(H(fd_));
}

bool RandomAccessFile::Open(const std::string& path) {
  if (fd_ >= 0) {
    CloseHandle(H(fd_));
    fd_ = -1;
    size_ = 0;
  }
  HANDLE h = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // Only regular disk files: no folders, pipes or devices.
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER size;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(h, &size)) {
    CloseHandle(h);
    return false;
  }
  fd_ = reinterpret_cast<intptr_t>(h);
  size_ = size.QuadPart;
  return true;
}

int64_t RandomAccessFile::ReadAt(int64_t offset, void* buf, size_t n) const {
  if (fd_ < 0 || offset < 0) return -1;
  size_t done = 0;
  auto* p = static_cast<char*>(buf);
  while (done < n) {
    const uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD want = n - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n - done);
    DWORD got = 0;
    if (!ReadFile(H(fd_), p + done, want, &got, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

}  // namespace cadenza
