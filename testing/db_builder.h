// Builds database files byte by byte for tests, independently of the
// project's writer: each function returns the bytes of one chunk.
//
// With `distinct` set, a chunk's header is exactly as long as its fields,
// and every header byte that holds no identifier, size, count, object type
// or track id is Distinct fill, so that each field holds a value no other
// field holds.
#ifndef CADENZA_TESTING_DB_BUILDER_H_
#define CADENZA_TESTING_DB_BUILDER_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cadenza::testdb {

// `v` as 4 (or 2) little-endian bytes; a negative number as its two's
// complement.
inline std::string LE32(uint64_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
inline std::string LE16(uint16_t v) { return LE32(v).substr(0, 2); }
// `head` padded with `fill` bytes to `size`.
inline std::string Pad(std::string head, size_t size, char fill = '\0') {
  if (head.size() < size) head.append(size - head.size(), fill);
  return head;
}
// `base` with each (offset, bytes) laid over it.
inline std::string Lay(std::string base, const std::vector<std::pair<size_t, std::string>>& fields) {
  for (const auto& [at, bytes] : fields) base.replace(at, bytes.size(), bytes);
  return base;
}
// Bytes `from` to `from + n` of a header in distinct fill: byte p is p, and
// from 256 on the values count down, so no run of bytes repeats elsewhere.
inline std::string Distinct(size_t from, size_t n) {
  std::string s;
  for (size_t p = from; p < from + n; ++p) s += static_cast<char>(p < 256 ? p : ~p);
  return s;
}
inline std::string Join(const std::vector<std::string>& chunks) {
  std::string all;
  for (const auto& c : chunks) all += c;
  return all;
}
inline std::string Utf16(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += LE16(c);
  return out;
}

// A text data object of `type`.
inline std::string TextObject(int32_t type, const std::u16string& text, bool distinct = false) {
  const std::string t = Utf16(text);
  std::string h = distinct ? Distinct(0, 40)
                           : Lay(std::string(40, '\0'), {{4, LE32(24)}, {24, LE32(1)}, {32, LE32(1)}});
  return Lay(h, {{0, "mhod"}, {8, LE32(40 + t.size()) + LE32(type)}, {28, LE32(t.size())}}) + t;
}

// A podcast URL object: UTF-8 text right after a 24-byte header.
inline std::string UrlObject(int32_t type, const std::string& url) {
  return "mhod" + LE32(24) + LE32(24 + url.size()) + LE32(type) + LE32(0) + LE32(0) + url;
}

// A track with `objects`; the header is `header_size` bytes, the bytes
// beyond the fixed fields set to `filler`.
inline std::string Track(int32_t id, const std::vector<std::string>& objects,
                         uint32_t header_size = 0x184, char filler = '\0', bool distinct = false) {
  const std::string body = Join(objects);
  std::string h = Distinct(0, header_size);
  if (!distinct) {
    h = Lay(Pad(std::string(304, '\0'), header_size, filler),
            {{20, LE32(1) + " 3PM" + std::string("\x01\x01\x00\x00", 4) + LE32(0xC0FFEE) /* modified */ +
                      LE32(4000000) + LE32(250000) + LE32(3) + LE32(12) + LE32(1999) + LE32(128) +
                      LE32(0xAC440000)},
             {112, "\x01\x02\x03\x04\x05\x06\x07\x08" /* database id */}});
    h.resize(header_size);
  }
  return Lay(h, {{0, "mhit" + LE32(header_size) + LE32(header_size + body.size()) +
                         LE32(objects.size()) + LE32(id)}}) +
         body;
}

inline std::string TrackSection(const std::vector<std::string>& tracks, char filler = '\0') {
  std::string all = Lay(Pad("", 92, filler), {{0, "mhlt" + LE32(92) + LE32(tracks.size())}}) + Join(tracks);
  return Lay(Pad("", 96, filler), {{0, "mhsd" + LE32(96) + LE32(96 + all.size()) + LE32(1)}}) + all;
}

// A playlist item for `track`; with `order` an order entry follows.
inline std::string Item(int32_t track, bool order = true, const std::string& child = "",
                        bool distinct = false) {
  std::string kid = child;
  if (kid.empty() && order) {
    kid = distinct ? Lay(Distinct(0, 44), {{0, "mhod"}, {8, LE32(44)}})
                   : "mhod" + LE32(24) + LE32(44) + LE32(100) + LE32(0) + LE32(0) + LE32(7) +
                         std::string(16, '\0');
  }
  const size_t size = distinct ? 36 : 76;
  std::string h = distinct ? Distinct(0, size)
                           : Pad(std::string(20, '\0') + LE32(track) + LE32(0) + LE32(0x11223344),
                                 size, '\x5A');
  return Lay(h, {{0, "mhip" + LE32(size) + LE32(size + kid.size()) + LE32(kid.empty() ? 0 : 1)},
                 {24, LE32(track)}}) +
         kid;
}

// A playlist with a title (unless empty) and extra data objects.
inline std::string Playlist(const std::u16string& title, const std::vector<std::string>& items,
                            bool master, const std::vector<std::string>& extra = {},
                            bool distinct = false) {
  const std::string objs = (title.empty() ? "" : TextObject(1, title, distinct)) + Join(extra);
  const size_t children = (title.empty() ? 0 : 1) + extra.size(), size = distinct ? 48 : 108;
  std::string h = distinct ? Distinct(0, size)
                           : Pad(std::string(20, '\0') + (master ? '\1' : '\0') + std::string(3, '\0') +
                                     LE32(0x5EED) + "PLAYLIST" + LE32(0) +
                                     LE16(static_cast<uint16_t>(children)) + LE16(0) + LE32(1),
                                 size, '\x77');
  const std::string its = Join(items);
  return Lay(h, {{0, "mhyp" + LE32(size) + LE32(size + objs.size() + its.size()) + LE32(children) +
                         LE32(items.size())}}) +
         objs + its;
}

// A section of any type holding `payload`.
inline std::string RawSection(int32_t type, const std::string& payload) {
  return Pad("mhsd" + LE32(96) + LE32(96 + payload.size()) + LE32(type), 96) + payload;
}
inline std::string PlaylistSection(int32_t type, const std::vector<std::string>& lists) {
  return RawSection(type, Pad("mhlp" + LE32(92) + LE32(lists.size()), 92) + Join(lists));
}

// A whole file: header of `header_size` bytes, then the sections.
inline std::string File(const std::vector<std::string>& sections, uint32_t header_size = 0xF4,
                        int32_t count = -1, bool distinct = false) {
  std::string h = Distinct(0, header_size);
  if (!distinct) {
    h = Pad(std::string(12, '\0') + LE32(1) + LE32(0x19) + LE32(0) + "DATABASE",
            std::min<size_t>(header_size, 0xA0));
    // Bytes no field covers, beyond the checksum area, that a writer must keep.
    h = Pad(h, header_size, '\x42');
  }
  const std::string body = Join(sections);
  return Lay(h, {{0, "mhbd" + LE32(header_size) + LE32(header_size + body.size())},
                 {20, LE32(count >= 0 ? count : sections.size())}}) +
         body;
}

}  // namespace cadenza::testdb

#endif  // CADENZA_TESTING_DB_BUILDER_H_
