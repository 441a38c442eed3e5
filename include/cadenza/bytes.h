// Byte strings: immutable runs of file bytes.
//
// Chunk images (header images, whole-chunk images) are held as Bytes. A Bytes
// value is a view into a shared, immutable buffer, so copying a record that
// holds images copies no file bytes: every image of a loaded database points
// into the one buffer that holds the loaded file.
#ifndef CADENZA_BYTES_H_
#define CADENZA_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cadenza {

class Bytes {
 public:
  Bytes() = default;
  // Takes ownership of the bytes of `s`.
  explicit Bytes(std::string s)
      : buf_(std::make_shared<const std::string>(std::move(s))),
        off_(0),
        len_(buf_->size()) {}
  // A view of `len` bytes at `off` of `buf`, cut at the end of `buf`.
  Bytes(std::shared_ptr<const std::string> buf, size_t off, size_t len)
      : buf_(std::move(buf)) {
    size_t n = buf_ ? buf_->size() : 0;
    if (off > n) off = n;
    if (len > n - off) len = n - off;
    off_ = off;
    len_ = len;
  }

  const char* data() const { return buf_ ? buf_->data() + off_ : nullptr; }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  std::string_view view() const { return {data(), len_}; }
  std::string str() const { return std::string(view()); }
  uint8_t operator[](size_t i) const {
    return static_cast<uint8_t>(buf_->data()[off_ + i]);
  }
  // The first `n` bytes (or fewer, when shorter), sharing the buffer.
  Bytes prefix(size_t n) const {
    return n >= len_ ? *this : Bytes(buf_, off_, n);
  }

  friend bool operator==(const Bytes& a, const Bytes& b) {
    return a.view() == b.view();
  }

 private:
  std::shared_ptr<const std::string> buf_;
  size_t off_ = 0;
  size_t len_ = 0;
};

}  // namespace cadenza

#endif  // CADENZA_BYTES_H_
