// Byte strings of the database records.
//
//  - Bytes: an immutable run of file bytes. A Bytes value is a view into a
//    shared, reference-counted buffer, so the images of a loaded database
//    all point into the one buffer that holds the loaded file, and copying
//    a record copies no file bytes. 16 bytes in a record.
//  - FixedBytes<N>: a short byte string (an identifier, a date, an id) of at
//    most N bytes, held inline. N + 1 bytes in a record.
//  - Utf16Text: the text of a data object as its UTF-16LE bytes, exactly as
//    stored; loaded text stays a view into the file until it is replaced.
#ifndef CADENZA_BYTES_H_
#define CADENZA_BYTES_H_

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace cadenza {

class Bytes {
 public:
  Bytes() noexcept = default;
  // Takes ownership of the bytes of `s`.
  explicit Bytes(std::string s) : buf_(new Buffer{{1}, std::move(s)}), off_(0) {
    len_ = static_cast<uint32_t>(std::min<size_t>(buf_->data.size(), UINT32_MAX));
  }
  Bytes(const Bytes& o) noexcept : buf_(o.buf_), off_(o.off_), len_(o.len_) { Ref(); }
  Bytes(Bytes&& o) noexcept : buf_(o.buf_), off_(o.off_), len_(o.len_) {
    o.buf_ = nullptr;
    o.off_ = o.len_ = 0;
  }
  Bytes& operator=(const Bytes& o) noexcept {
    if (this != &o) {
      Bytes copy(o);
      swap(copy);
    }
    return *this;
  }
  Bytes& operator=(Bytes&& o) noexcept {
    Bytes moved(std::move(o));
    swap(moved);
    return *this;
  }
  ~Bytes() { Unref(); }
  void swap(Bytes& o) noexcept {
    std::swap(buf_, o.buf_);
    std::swap(off_, o.off_);
    std::swap(len_, o.len_);
  }

  // `len` bytes at `off` of this run, sharing its buffer; cut at its end.
  Bytes Slice(size_t off, size_t len) const {
    Bytes b(*this);
    off = std::min<size_t>(off, len_);
    b.off_ = off_ + static_cast<uint32_t>(off);
    b.len_ = static_cast<uint32_t>(std::min<size_t>(len, len_ - off));
    return b;
  }
  // The first `n` bytes (or fewer, when shorter).
  Bytes prefix(size_t n) const { return n >= len_ ? *this : Slice(0, n); }

  const char* data() const { return buf_ ? buf_->data.data() + off_ : nullptr; }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  std::string_view view() const { return {data(), len_}; }
  std::string str() const { return std::string(view()); }
  uint8_t operator[](size_t i) const { return static_cast<uint8_t>(data()[i]); }

  friend bool operator==(const Bytes& a, const Bytes& b) { return a.view() == b.view(); }
  friend bool operator==(const Bytes& a, std::string_view b) { return a.view() == b; }

 private:
  struct Buffer {
    std::atomic<uint32_t> refs;
    std::string data;
  };
  void Ref() noexcept {
    if (buf_) buf_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void Unref() noexcept {
    if (buf_ && buf_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete buf_;
  }

  Buffer* buf_ = nullptr;
  uint32_t off_ = 0;
  uint32_t len_ = 0;
};

template <size_t N>
class FixedBytes {
 public:
  static_assert(N < 256);
  FixedBytes() = default;
  // Keeps the first N bytes of `s`.
  FixedBytes(std::string_view s) { assign(s); }  // NOLINT: converts like a string
  FixedBytes(const std::string& s) { assign(s); }  // NOLINT
  FixedBytes(const char* s) { assign(s); }         // NOLINT
  void assign(std::string_view s) {
    len_ = static_cast<uint8_t>(std::min(s.size(), N));
    std::copy_n(s.data(), len_, b_.data());
    std::fill(b_.begin() + len_, b_.end(), '\0');
  }

  const char* data() const { return b_.data(); }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  std::string_view view() const { return {b_.data(), len_}; }
  std::string str() const { return std::string(view()); }
  operator std::string_view() const { return view(); }  // NOLINT
  char operator[](size_t i) const { return b_[i]; }

  friend bool operator==(const FixedBytes& a, const FixedBytes& b) { return a.view() == b.view(); }
  friend bool operator==(const FixedBytes& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const FixedBytes& a, const char* b) { return a.view() == b; }
  friend bool operator==(const FixedBytes& a, const std::string& b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& os, const FixedBytes& a) {
    return os << a.view();
  }

 private:
  std::array<char, N> b_{};
  uint8_t len_ = 0;
};

class Utf16Text {
 public:
  Utf16Text() = default;
  // Text given as UTF-16 code units.
  Utf16Text(std::u16string_view s) {  // NOLINT: converts like a string
    std::string le(s.size() * 2, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
      le[2 * i] = static_cast<char>(s[i] & 0xFF);
      le[2 * i + 1] = static_cast<char>(s[i] >> 8);
    }
    bytes_ = Bytes(std::move(le));
  }
  Utf16Text(const std::u16string& s) : Utf16Text(std::u16string_view(s)) {}  // NOLINT
  Utf16Text(const char16_t* s) : Utf16Text(std::u16string_view(s)) {}        // NOLINT
  // Text as stored: UTF-16LE bytes (an odd last byte is kept too).
  static Utf16Text FromBytes(Bytes le) {
    Utf16Text t;
    t.bytes_ = std::move(le);
    return t;
  }

  // Number of UTF-16 code units.
  size_t size() const { return bytes_.size() / 2; }
  bool empty() const { return bytes_.empty(); }
  char16_t at(size_t i) const {
    return static_cast<char16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8));
  }
  std::u16string u16() const {
    std::u16string s(size(), u'\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = at(i);
    return s;
  }
  // The stored bytes.
  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const Utf16Text& a, const Utf16Text& b) { return a.bytes_ == b.bytes_; }
  friend bool operator==(const Utf16Text& a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i)
      if (a.at(i) != b[i]) return false;
    return true;
  }
  friend bool operator==(const Utf16Text& a, const char16_t* b) {
    return a == std::u16string_view(b);
  }
  friend bool operator==(const Utf16Text& a, const std::u16string& b) {
    return a == std::u16string_view(b);
  }
  // Shows the code units (for test failures and logs).
  friend std::ostream& operator<<(std::ostream& os, const Utf16Text& a) {
    os << "u\"";
    for (size_t i = 0; i < a.size(); ++i) {
      char16_t c = a.at(i);
      if (c >= 0x20 && c < 0x7F) {
        os << static_cast<char>(c);
      } else {
        static const char kHex[] = "0123456789abcdef";
        os << "\\u" << kHex[c >> 12] << kHex[(c >> 8) & 15] << kHex[(c >> 4) & 15] << kHex[c & 15];
      }
    }
    return os << '"';
  }

 private:
  Bytes bytes_;
};

}  // namespace cadenza

#endif  // CADENZA_BYTES_H_
