// Little-endian field codecs: the one place where numbers become bytes and
// bytes become numbers.
//
// The Pack routines turn a field into exactly its on-disk width. The
// ByteReader reads fields out of a loaded file with every read checked
// against the end of the buffer.
#ifndef CADENZA_DB_CODEC_H_
#define CADENZA_DB_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cadenza/bytes.h"

namespace cadenza {

std::string PackLong(int32_t v);       // 4 bytes
std::string PackInteger(int16_t v);    // 2 bytes
std::string PackByte(uint8_t v);       // 1 byte
std::string PackCurrency(uint64_t v);  // 8 bytes, the holder's bytes in order

// Reads little-endian numbers from raw bytes (the caller checks bounds).
inline uint32_t LoadLE32(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline uint16_t LoadLE16(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint64_t LoadLE64(const char* p) {
  return static_cast<uint64_t>(LoadLE32(p)) |
         (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

// A cursor over a loaded file. Every read checks that the whole field lies
// inside the buffer; a failed read sets the reader's error and returns 0 or
// an empty value, so a sequence of reads can be checked once at its end.
class ByteReader {
 public:
  explicit ByteReader(Bytes file)
      : file_(std::move(file)), size_(static_cast<int64_t>(file_.size())) {}

  int64_t size() const { return size_; }
  bool failed() const { return failed_; }
  int64_t pos() const { return pos_; }
  void Seek(int64_t pos) { pos_ = pos; }

  int32_t Long() { return static_cast<int32_t>(Take(4) ? LoadLE32(at_) : 0); }
  int16_t Integer() { return static_cast<int16_t>(Take(2) ? LoadLE16(at_) : 0); }
  uint8_t Byte() { return Take(1) ? static_cast<uint8_t>(*at_) : 0; }
  uint64_t Currency() { return Take(8) ? LoadLE64(at_) : 0; }
  // A byte string of `n` bytes (a view into the file).
  std::string_view Str(size_t n) { return Take(n) ? std::string_view(at_, n) : std::string_view(); }
  // A byte string of `n` bytes in reverse order.
  std::string ReversedStr(size_t n) {
    std::string_view s = Str(n);
    return std::string(s.rbegin(), s.rend());
  }
  // An image of `len` bytes at `at`, cut at the end of the file. An image
  // that starts beyond the end fails.
  Bytes Image(int64_t at, int64_t len) {
    if (at < 0 || at > size_) {
      failed_ = true;
      return {};
    }
    if (len < 0) len = 0;
    return file_.Slice(static_cast<size_t>(at), static_cast<size_t>(len));
  }
  // The four bytes at `at` equal `id`.
  bool IdAt(int64_t at, std::string_view id) const {
    return at >= 0 && at + static_cast<int64_t>(id.size()) <= size_ &&
           std::string_view(file_.data() + at, id.size()) == id;
  }
  // Whether [at, at + n) lies inside the file.
  bool Has(int64_t at, int64_t n) const { return at >= 0 && n >= 0 && at <= size_ - n; }
  const char* data() const { return file_.data(); }
  void Fail() { failed_ = true; }

 private:
  bool Take(size_t n) {
    if (failed_ || !Has(pos_, static_cast<int64_t>(n))) {
      failed_ = true;
      return false;
    }
    at_ = file_.data() + pos_;
    pos_ += static_cast<int64_t>(n);
    return true;
  }

  Bytes file_;
  int64_t size_;
  int64_t pos_ = 0;
  const char* at_ = nullptr;
  bool failed_ = false;
};

// A growing output image written field by field at absolute positions: a
// write past the end extends it with zero bytes, a write over earlier bytes
// replaces them (as writes into a file at a seek position would).
class ByteWriter {
 public:
  void Put(int64_t pos, std::string_view bytes) {
    size_t end = static_cast<size_t>(pos) + bytes.size();
    if (end > out_.size()) out_.resize(end, '\0');
    if (!bytes.empty()) out_.replace(static_cast<size_t>(pos), bytes.size(), bytes);
  }
  void PutLong(int64_t pos, int32_t v) { Put(pos, PackLong(v)); }
  void PutInteger(int64_t pos, int16_t v) { Put(pos, PackInteger(v)); }
  void PutByte(int64_t pos, uint8_t v) { Put(pos, PackByte(v)); }
  void PutCurrency(int64_t pos, uint64_t v) { Put(pos, PackCurrency(v)); }
  // A byte string held in a slot of `slot` bytes: written as held (a longer
  // string spills over into what follows, a shorter one leaves zeros).
  void PutStr(int64_t pos, std::string_view s) { Put(pos, s); }
  // Makes sure the image reaches at least `end` bytes (zero filled).
  void Extend(int64_t end) {
    if (end > static_cast<int64_t>(out_.size())) out_.resize(static_cast<size_t>(end), '\0');
  }
  size_t size() const { return out_.size(); }
  std::string& str() { return out_; }
  void reserve(size_t n) { out_.reserve(n); }

 private:
  std::string out_;
};

}  // namespace cadenza

#endif  // CADENZA_DB_CODEC_H_
