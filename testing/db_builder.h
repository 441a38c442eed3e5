// Builds database files byte by byte for tests, independently of the
// project's writer: each function returns the bytes of one chunk.
#ifndef CADENZA_TESTING_DB_BUILDER_H_
#define CADENZA_TESTING_DB_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace cadenza::testdb {

inline std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
inline std::string LE16(uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
// `head` padded with `fill` bytes to `size`.
inline std::string Pad(std::string head, size_t size, char fill = '\0') {
  if (head.size() < size) head.append(size - head.size(), fill);
  return head;
}
inline std::string Utf16(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += LE16(c);
  return out;
}

// A text data object of `type`.
inline std::string TextObject(int32_t type, const std::u16string& text) {
  std::string t = Utf16(text);
  return "mhod" + LE32(24) + LE32(40 + static_cast<uint32_t>(t.size())) + LE32(type) + LE32(0) +
         LE32(0) + LE32(1) + LE32(static_cast<uint32_t>(t.size())) + LE32(1) + LE32(0) + t;
}

// A podcast URL object: UTF-8 text right after a 24-byte header.
inline std::string UrlObject(int32_t type, const std::string& url) {
  return "mhod" + LE32(24) + LE32(24 + static_cast<uint32_t>(url.size())) + LE32(type) +
         LE32(0) + LE32(0) + url;
}

// A track with `objects`; the header is `header_size` bytes, the bytes
// beyond the fixed fields set to `filler`.
inline std::string Track(int32_t id, const std::vector<std::string>& objects,
                         uint32_t header_size = 0x184, char filler = '\0') {
  std::string body;
  for (const auto& o : objects) body += o;
  std::string h = "mhit" + LE32(header_size) + LE32(header_size + static_cast<uint32_t>(body.size())) +
                  LE32(static_cast<uint32_t>(objects.size())) + LE32(static_cast<uint32_t>(id)) +
                  LE32(1) + " 3PM" + std::string("\x01\x01\x00\x00", 4) + LE32(0xC0FFEE) /* modified */ +
                  LE32(4000000) + LE32(250000) + LE32(3) + LE32(12) + LE32(1999) + LE32(128) +
                  LE32(0xAC440000);
  h = Pad(h, 112);
  h += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);  // database id
  h = Pad(h, 304);
  std::string full = Pad(h, header_size, filler);
  full.resize(header_size);
  // Put the fixed fields back over the filler.
  full.replace(0, std::min<size_t>(304, header_size), h.substr(0, std::min<size_t>(304, header_size)));
  return full + body;
}

inline std::string TrackSection(const std::vector<std::string>& tracks, char filler = '\0') {
  std::string body;
  for (const auto& t : tracks) body += t;
  std::string list = Pad("mhlt" + LE32(92) + LE32(static_cast<uint32_t>(tracks.size())), 92, filler);
  list.replace(0, 12, "mhlt" + LE32(92) + LE32(static_cast<uint32_t>(tracks.size())));
  std::string all = list + body;
  std::string sec = Pad("mhsd" + LE32(96) + LE32(96 + static_cast<uint32_t>(all.size())) + LE32(1), 96, filler);
  sec.replace(0, 16, "mhsd" + LE32(96) + LE32(96 + static_cast<uint32_t>(all.size())) + LE32(1));
  return sec + all;
}

// A playlist item for `track`; with `order` an order entry follows.
inline std::string Item(int32_t track, bool order = true, const std::string& child = "") {
  std::string kid = !child.empty() ? child
                    : order ? "mhod" + LE32(24) + LE32(44) + LE32(100) + LE32(0) + LE32(0) +
                                  LE32(7) + std::string(16, '\0')
                            : std::string();
  uint32_t count = kid.empty() ? 0 : 1;
  return Pad("mhip" + LE32(76) + LE32(76 + static_cast<uint32_t>(kid.size())) + LE32(count) +
                 LE16(0) + std::string(2, '\0') + LE32(static_cast<uint32_t>(track)) + LE32(static_cast<uint32_t>(track)) +
                 LE32(0x11223344),
             76, '\x5A') + kid;
}

// A playlist with a title (unless empty) and extra data objects.
inline std::string Playlist(const std::u16string& title, const std::vector<std::string>& items,
                            bool master, const std::vector<std::string>& extra = {}) {
  std::string objs = title.empty() ? std::string() : TextObject(1, title);
  for (const auto& e : extra) objs += e;
  std::string its;
  for (const auto& i : items) its += i;
  uint32_t children = (title.empty() ? 0 : 1) + static_cast<uint32_t>(extra.size());
  std::string h = "mhyp" + LE32(108) + LE32(108 + static_cast<uint32_t>(objs.size() + its.size())) +
                  LE32(children) + LE32(static_cast<uint32_t>(items.size())) +
                  std::string(1, master ? '\1' : '\0') + std::string(3, '\0') + LE32(0x5EED) +
                  "PLAYLIST" + LE32(0) + LE16(static_cast<uint16_t>(children)) + LE16(0) + LE32(1);
  return Pad(h, 108, '\x77') + objs + its;
}

inline std::string PlaylistSection(int32_t type, const std::vector<std::string>& lists) {
  std::string body;
  for (const auto& l : lists) body += l;
  std::string all = Pad("mhlp" + LE32(92) + LE32(static_cast<uint32_t>(lists.size())), 92) + body;
  return Pad("mhsd" + LE32(96) + LE32(96 + static_cast<uint32_t>(all.size())) + LE32(static_cast<uint32_t>(type)), 96) + all;
}

// An opaque section of any type.
inline std::string RawSection(int32_t type, const std::string& payload) {
  return Pad("mhsd" + LE32(96) + LE32(96 + static_cast<uint32_t>(payload.size())) + LE32(static_cast<uint32_t>(type)), 96) +
         payload;
}

// A whole file: header of `header_size` bytes, then the sections.
inline std::string File(const std::vector<std::string>& sections, uint32_t header_size = 0xF4,
                            int32_t count = -1) {
  std::string body;
  for (const auto& s : sections) body += s;
  uint32_t n = count >= 0 ? static_cast<uint32_t>(count) : static_cast<uint32_t>(sections.size());
  std::string h = Pad("mhbd" + LE32(header_size) + LE32(header_size + static_cast<uint32_t>(body.size())) +
                          LE32(1) + LE32(0x19) + LE32(n) + "DATABASE",
                      header_size);
  // Bytes no field covers, beyond the checksum area, that a writer must keep.
  for (size_t i = 0xA0; i < h.size(); ++i) h[i] = '\x42';
  return h + body;
}

}  // namespace cadenza::testdb

#endif  // CADENZA_TESTING_DB_BUILDER_H_
