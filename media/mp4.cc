#include "media/mp4.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "media/id3.h"
#include "platform/text.h"

namespace cadenza {
namespace mp4 {

int64_t Source::ReadAt(int64_t offset, void* buf, size_t n) const {
  if (offset < 0) return -1;
  if (file_ != nullptr) return file_->ReadAt(offset, buf, n);
  if (offset >= size_) return 0;
  const size_t k = std::min(n, static_cast<size_t>(size_ - offset));
  if (k > 0) std::memcpy(buf, bytes_.data() + offset, k);
  return static_cast<int64_t>(k);
}

HeaderResult DecodeAtomHeader(const uint8_t* p, size_t n, int64_t offset, int64_t end,
                              Atom* atom) {
  if (offset < 0 || end - offset < 8 || n < 8) return HeaderResult::kEnd;
  atom->offset = offset;
  atom->type = BE32(p + 4);
  atom->header = 8;
  uint64_t size = BE32(p);
  if (size == 1) {
    if (end - offset < 16 || n < 16) return HeaderResult::kBad;
    size = BE64(p + 8);
    atom->header = 16;
  } else if (size == 0) {
    size = static_cast<uint64_t>(end - offset);
  }
  if (size < static_cast<uint64_t>(atom->header)) return HeaderResult::kBad;
  if (size > static_cast<uint64_t>(end - offset)) {
    atom->size = end - offset;
    return HeaderResult::kClipped;
  }
  atom->size = static_cast<int64_t>(size);
  return HeaderResult::kOk;
}

namespace {
bool PlausibleType(const uint8_t* p) {
  return std::all_of(p, p + 4, [](uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == 0xA9; });
}
}  // namespace

bool MetaHasVersion(const uint8_t* payload, size_t n) {
  return !(n >= 8 && BE32(payload) >= 8 && PlausibleType(payload + 4));
}

}  // namespace mp4

namespace {

using mp4::Atom;
using mp4::BE32;
using mp4::FourCC;
using mp4::HeaderResult;

constexpr size_t kWindow = 16 * 1024;
constexpr size_t kMaxText = 64 * 1024;
// Bytes of a sample entry read for its fixed fields.
constexpr size_t kEntryFields = 96;
// A moov with more atoms than this is not a real one; the walk stops.
constexpr int64_t kMaxAtoms = int64_t{1} << 20;

uint32_t BE16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
const uint8_t* U8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Reads through a window of the source, so that the many small header reads
// of a moov cost few system calls.
class Reader {
 public:
  explicit Reader(const mp4::Source& src) : src_(src) {}
  int64_t size() const { return src_.size(); }
  bool io_error() const { return io_error_; }
  bool malformed() const { return malformed_; }
  void set_malformed() { malformed_ = true; }

  // Up to `n` bytes at `offset` (fewer at the end of the file). The view
  // lives until the next call.
  std::string_view Get(int64_t offset, size_t n) {
    if (offset < 0 || offset >= src_.size()) return {};
    n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), src_.size() - offset));
    if (offset < start_ || offset + static_cast<int64_t>(n) > start_ + static_cast<int64_t>(len_)) {
      buf_.resize(std::max(n, kWindow));
      const int64_t got = src_.ReadAt(offset, buf_.data(), buf_.size());
      if (got < 0) io_error_ = true;
      start_ = offset;
      len_ = got < 0 ? 0 : static_cast<size_t>(got);
    }
    const size_t at = static_cast<size_t>(offset - start_);
    return {reinterpret_cast<const char*>(buf_.data()) + at, std::min(n, len_ - at)};
  }

  // Calls fn(atom) for each child atom in [begin, end) until fn returns
  // false or a header does not decode (which marks the tree malformed).
  // Every step moves on by at least a header.
  template <class Fn>
  void ForEach(int64_t begin, int64_t end, Fn fn) {
    for (int64_t at = begin; at < end;) {
      if (++atoms_ > kMaxAtoms) {
        malformed_ = true;
        return;
      }
      std::string_view h = Get(at, 16);
      Atom a;
      HeaderResult r = mp4::DecodeAtomHeader(U8(h), h.size(), at, end, &a);
      if (r == HeaderResult::kEnd) return;
      if (r == HeaderResult::kBad) {
        malformed_ = true;
        return;
      }
      if (!fn(a)) return;
      at = a.end();
    }
  }

  // The bytes of [offset, offset + n) as a string, n capped at `cap`.
  std::string Copy(int64_t offset, int64_t n, size_t cap) {
    if (n <= 0) return {};
    return std::string(Get(offset, static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(cap)))));
  }

 private:
  const mp4::Source& src_;
  std::vector<uint8_t> buf_;
  int64_t start_ = 0;
  size_t len_ = 0;
  int64_t atoms_ = 0;
  bool io_error_ = false;
  bool malformed_ = false;
};

struct Track {
  uint32_t handler = 0;
  uint32_t timescale = 0;
  uint64_t media_duration = 0;
  uint64_t edit_duration = 0;  // movie time scale
  int32_t tkhd_width = 0, tkhd_height = 0;
  Atom stsd, stsz;
  bool has_stsd = false, has_stsz = false;
};

// What the first sample entry of a track says.
struct Entry {
  uint32_t format = 0;  // the entry's type, or the original format of a protected one
  bool protected_entry = false;
  int object_type = -1;  // esds objectTypeIndication
  uint32_t avg_bitrate = 0;
  int32_t rate = 0, channels = 0, width = 0, height = 0, profile = 0, level = 0;
  bool alac_rate = false;
};

int64_t Millis(uint64_t units, uint32_t scale) {
  if (scale == 0) return 0;
  const double ms = std::round(static_cast<double>(units) * 1000.0 / scale);
  return ms < 9e15 ? static_cast<int64_t>(ms) : 0;
}

std::string LowerFourCC(uint32_t t) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = static_cast<char>((t >> shift) & 0xFF);
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    s += c;
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Cuts text to at most kMaxText bytes without splitting a character, and
// drops trailing zero bytes some writers add.
std::string CleanText(std::string s, int64_t full_size) {
  if (full_size > static_cast<int64_t>(s.size())) {
    size_t end = s.size();
    size_t lead = end;
    while (lead > 0 && end - lead < 4 && (static_cast<uint8_t>(s[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
      const uint8_t c = static_cast<uint8_t>(s[lead - 1]);
      const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (end - (lead - 1) < need) s.resize(lead - 1);
    }
  }
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

uint64_t BEInt(std::string_view v, size_t max_bytes = 8) {
  uint64_t x = 0;
  for (size_t i = 0; i < std::min(v.size(), max_bytes); ++i) x = x << 8 | static_cast<uint8_t>(v[i]);
  return x;
}

class Walker {
 public:
  Walker(Reader& r, MP4Info* out) : r_(r), out_(out) {}

  void Moov(const Atom& moov) {
    r_.ForEach(moov.payload(), moov.end(), [&](const Atom& a) {
      if (a.type == FourCC("mvhd")) {
        Times(a, &movie_scale_, &movie_duration_);
      } else if (a.type == FourCC("trak")) {
        Track t;
        Trak(a, &t);
        if (t.handler == FourCC("soun") && !have_audio_) audio_ = t, have_audio_ = true;
        if (t.handler == FourCC("vide") && !have_video_) video_ = t, have_video_ = true;
      } else if (a.type == FourCC("udta")) {
        r_.ForEach(a.payload(), a.end(), [&](const Atom& m) {
          if (m.type == FourCC("meta")) Meta(m);
          return true;
        });
      } else if (a.type == FourCC("meta")) {
        Meta(a);
      }
      return true;
    });
    Finish();
  }

 private:
  // Time scale and duration of an mvhd or mdhd payload.
  void Times(const Atom& a, uint32_t* scale, uint64_t* duration) {
    std::string_view p = r_.Get(a.payload(), 32);
    if (p.size() < 4) return;
    const bool v1 = p[0] == 1;
    const size_t at = v1 ? 20 : 12;
    if (p.size() < at + (v1 ? 12 : 8)) return;
    *scale = BE32(U8(p) + at);
    *duration = v1 ? mp4::BE64(U8(p) + at + 4) : BE32(U8(p) + at + 4);
  }

  void Trak(const Atom& trak, Track* t) {
    r_.ForEach(trak.payload(), trak.end(), [&](const Atom& a) {
      if (a.type == FourCC("tkhd")) {
        // Width and height (16.16) end the payload, after the times, ids,
        // layer, volume and the 36-byte matrix.
        std::string_view p = r_.Get(a.payload(), 96);
        const size_t at = !p.empty() && p[0] == 1 ? 88 : 76;
        if (p.size() >= at + 8) {
          t->tkhd_width = static_cast<int32_t>(BE32(U8(p) + at) >> 16);
          t->tkhd_height = static_cast<int32_t>(BE32(U8(p) + at + 4) >> 16);
        }
      } else if (a.type == FourCC("edts")) {
        r_.ForEach(a.payload(), a.end(), [&](const Atom& e) {
          if (e.type == FourCC("elst")) Edits(e, t);
          return true;
        });
      } else if (a.type == FourCC("mdia")) {
        Mdia(a, t);
      }
      return true;
    });
  }

  void Edits(const Atom& elst, Track* t) {
    std::string_view p = r_.Get(elst.payload(), 8);
    if (p.size() < 8) return;
    const bool v1 = p[0] == 1;
    const int64_t entry = v1 ? 20 : 12;
    const int64_t room = (elst.end() - elst.payload() - 8) / entry;
    const int64_t count = std::min<int64_t>(BE32(U8(p) + 4), std::min<int64_t>(room, 4096));
    uint64_t total = 0;
    for (int64_t i = 0; i < count; ++i) {
      std::string_view e = r_.Get(elst.payload() + 8 + i * entry, static_cast<size_t>(entry));
      if (e.size() < static_cast<size_t>(entry)) break;
      total += v1 ? mp4::BE64(U8(e)) : BE32(U8(e));
    }
    t->edit_duration = total;
  }

  void Mdia(const Atom& mdia, Track* t) {
    r_.ForEach(mdia.payload(), mdia.end(), [&](const Atom& a) {
      if (a.type == FourCC("mdhd")) {
        Times(a, &t->timescale, &t->media_duration);
      } else if (a.type == FourCC("hdlr")) {
        std::string_view p = r_.Get(a.payload(), 12);
        if (p.size() == 12) t->handler = BE32(U8(p) + 8);
      } else if (a.type == FourCC("minf")) {
        r_.ForEach(a.payload(), a.end(), [&](const Atom& s) {
          if (s.type != FourCC("stbl")) return true;
          r_.ForEach(s.payload(), s.end(), [&](const Atom& b) {
            if (b.type == FourCC("stsd")) t->stsd = b, t->has_stsd = true;
            if (b.type == FourCC("stsz")) t->stsz = b, t->has_stsz = true;
            return true;
          });
          return true;
        });
      }
      return true;
    });
  }

  // The first sample entry of the track's stsd.
  Entry SampleEntry(const Track& t) {
    Entry e;
    if (!t.has_stsd) return e;
    Atom entry;
    bool found = false;
    r_.ForEach(t.stsd.payload() + 8, t.stsd.end(), [&](const Atom& a) {
      entry = a;
      found = true;
      return false;
    });
    if (!found) return e;
    e.format = entry.type;
    for (uint32_t k : {FourCC("drms"), FourCC("drmi"), FourCC("enca"), FourCC("encv")})
      if (entry.type == k) e.protected_entry = true;
    std::string f = r_.Copy(entry.payload(), entry.end() - entry.payload(), kEntryFields);
    const uint8_t* p = U8(f);
    int64_t children = 0;
    if (t.handler == FourCC("soun")) {
      if (f.size() < 28) return e;
      const uint32_t version = BE16(p + 8);
      e.channels = static_cast<int32_t>(BE16(p + 16));
      e.rate = static_cast<int32_t>(BE32(p + 24) >> 16);
      children = version == 1 ? 44 : version == 2 ? 64 : 28;
      if (version == 2 && f.size() >= 44) {
        const double rate = std::bit_cast<double>(mp4::BE64(p + 32));
        e.rate = rate > 0 && rate < 1e7 ? static_cast<int32_t>(std::lround(rate)) : 0;
        e.channels = static_cast<int32_t>(std::min<uint32_t>(BE32(p + 40), 1024));
      }
    } else if (t.handler == FourCC("vide")) {
      if (f.size() < 78) return e;
      e.width = static_cast<int32_t>(BE16(p + 24));
      e.height = static_cast<int32_t>(BE16(p + 26));
      children = 78;
    } else {
      return e;
    }
    EntryChildren(entry.payload() + children, entry.end(), &e, 0);
    return e;
  }

  void EntryChildren(int64_t begin, int64_t end, Entry* e, int depth) {
    r_.ForEach(begin, end, [&](const Atom& a) {
      if (a.type == FourCC("esds")) {
        Esds(r_.Copy(a.payload(), a.end() - a.payload(), 256), e);
      } else if (a.type == FourCC("alac")) {
        std::string_view p = r_.Get(a.payload(), 28);
        if (p.size() == 28) {
          e->channels = U8(p)[13];
          e->rate = static_cast<int32_t>(std::min<uint32_t>(BE32(U8(p) + 24), 10'000'000));
          e->alac_rate = true;
        }
      } else if (a.type == FourCC("avcC")) {
        std::string_view p = r_.Get(a.payload(), 4);
        if (p.size() == 4) e->profile = U8(p)[1], e->level = U8(p)[3];
      } else if (a.type == FourCC("sinf")) {
        e->protected_entry = true;
        r_.ForEach(a.payload(), a.end(), [&](const Atom& s) {
          std::string_view p = r_.Get(s.payload(), 4);
          if (s.type == FourCC("frma") && p.size() == 4) e->format = BE32(U8(p));
          return true;
        });
      } else if (a.type == FourCC("wave") && depth == 0) {
        EntryChildren(a.payload(), a.end(), e, depth + 1);  // QuickTime wraps esds here
      }
      return true;
    });
  }

  // `n` bits (n <= 8) at bit `bit` of `p` (`size` bytes); 0 past the end.
  static uint32_t BitsAt(const uint8_t* p, size_t size, size_t bit, size_t n) {
    if ((bit + n + 7) / 8 > size) return 0;
    const uint32_t two = uint32_t{p[bit / 8]} << 8 | (bit / 8 + 1 < size ? p[bit / 8 + 1] : 0);
    return (two >> (16 - bit % 8 - n)) & ((1u << n) - 1);
  }

  // An esds payload: version and flags, then descriptors, each a tag and a
  // length of 7 bits a byte.
  static void Esds(std::string_view s, Entry* e) {
    const uint8_t* p = U8(s);
    size_t i = 4;
    while (i < s.size()) {
      const uint8_t tag = p[i++];
      size_t len = 0;
      for (int k = 0; k < 4 && i < s.size(); ++k) {
        const uint8_t b = p[i++];
        len = len << 7 | (b & 0x7F);
        if (!(b & 0x80)) break;
      }
      if (tag == 0x03) {  // ES descriptor: id, flags, optional fields, then its children
        if (i + 3 > s.size()) return;
        const uint8_t flags = p[i + 2];
        i += 3;
        if (flags & 0x80) i += 2;
        if ((flags & 0x40) && i < s.size()) i += 1 + size_t{p[i]};
        if (flags & 0x20) i += 2;
      } else if (tag == 0x04) {  // decoder config; its children follow
        if (i + 13 > s.size()) return;
        e->object_type = p[i];
        e->avg_bitrate = BE32(p + i + 9);
        i += 13;
      } else if (tag == 0x05 && e->object_type == 0x40 && i + 2 <= s.size()) {
        // AAC decoder config: 5 bits object type, 4 bits rate index, then
        // 4 bits channel layout (1-6 that many channels, 7 eight). The
        // sample entry's count is often a fixed 2.
        size_t bit = 5;
        if ((p[i] >> 3) == 31) bit += 6;
        bit += ((BitsAt(p + i, s.size() - i, bit, 4) == 15) ? 24 : 0) + 4;
        const uint32_t layout = BitsAt(p + i, s.size() - i, bit, 4);
        if (layout >= 1 && layout <= 7) e->channels = layout == 7 ? 8 : static_cast<int32_t>(layout);
        return;
      } else {
        i += len;
      }
    }
  }

  void Meta(const Atom& meta) {
    std::string_view h = r_.Get(meta.payload(), 8);
    const int64_t begin = meta.payload() + (mp4::MetaHasVersion(U8(h), h.size()) ? 4 : 0);
    r_.ForEach(begin, meta.end(), [&](const Atom& a) {
      if (a.type == FourCC("ilst")) {
        r_.ForEach(a.payload(), a.end(), [&](const Atom& item) {
          Item(item);
          return true;
        });
      }
      return true;
    });
  }

  void Item(const Atom& item) {
    Atom data;
    bool found = false;
    r_.ForEach(item.payload(), item.end(), [&](const Atom& a) {
      if (a.type != FourCC("data")) return true;
      data = a;
      found = true;
      return false;
    });
    if (!found || data.end() - data.payload() < 8) return;
    std::string_view h = r_.Get(data.payload(), 4);
    if (h.size() < 4) return;
    const uint32_t kind = BE32(U8(h)) & 0xFFFFFF;
    const int64_t at = data.payload() + 8, n = data.end() - at;
    Tags& tags = out_->tags;
    auto text = [&](std::string* field) {
      if (!field->empty()) return;
      std::string raw = r_.Copy(at, n, kMaxText);
      if (kind == 2) {  // UTF-16 big-endian
        std::u16string u;
        for (size_t i = 0; i + 1 < raw.size(); i += 2)
          u += static_cast<char16_t>(BE16(U8(raw) + i));
        raw = Utf16ToUtf8(u);
      }
      *field = CleanText(std::move(raw), n);
    };
    auto number = [&](size_t max_bytes) { return BEInt(r_.Copy(at, n, 8), max_bytes); };
    switch (item.type) {
      case FourCC("\251nam"): text(&tags.title); break;
      case FourCC("\251ART"): text(&tags.artist); break;
      case FourCC("\251alb"): text(&tags.album); break;
      case FourCC("aART"): text(&tags.album_artist); break;
      case FourCC("\251gen"): text(&tags.genre); break;
      case FourCC("\251wrt"): text(&tags.composer); break;
      case FourCC("\251cmt"): text(&tags.comment); break;
      case FourCC("\251day"): {
        text(&tags.year);
        std::string& y = tags.year;
        auto digit = [&](size_t i) { return y[i] >= '0' && y[i] <= '9'; };
        if (y.size() > 4 && digit(0) && digit(1) && digit(2) && digit(3) && !digit(4)) y.resize(4);
        break;
      }
      case FourCC("gnre"):
        if (!gnre_) gnre_ = static_cast<int32_t>(std::min<uint64_t>(number(2), 255));
        break;
      case FourCC("trkn"):
      case FourCC("disk"): {
        std::string v = r_.Copy(at, n, 6);
        int32_t* num = item.type == FourCC("trkn") ? &tags.track_number : &tags.disc_number;
        int32_t* count = item.type == FourCC("trkn") ? &tags.track_count : &tags.disc_count;
        if (v.size() >= 4) *num = static_cast<int32_t>(BE16(U8(v) + 2));
        if (v.size() >= 6) *count = static_cast<int32_t>(BE16(U8(v) + 4));
        break;
      }
      case FourCC("cpil"): tags.compilation = number(8) != 0; break;
      case FourCC("tmpo"): tags.bpm = static_cast<int32_t>(std::min<uint64_t>(number(4), 1u << 30)); break;
      case FourCC("stik"):
        if (n > 0) out_->media_kind = static_cast<int32_t>(std::min<uint64_t>(number(4), 1u << 30));
        break;
      case FourCC("covr"):
        if (n > 0) tags.has_cover = out_->has_cover = true;
        break;
      default: break;
    }
  }

  int64_t TrackMillis(const Track& t) const {
    if (t.edit_duration > 0 && movie_scale_ > 0) return Millis(t.edit_duration, movie_scale_);
    if (t.media_duration > 0 && t.timescale > 0) return Millis(t.media_duration, t.timescale);
    return Millis(movie_duration_, movie_scale_);
  }

  // Total bytes of the track's samples, streamed from stsz in blocks and
  // capped at the file's size.
  uint64_t SampleBytes(const Track& t) {
    if (!t.has_stsz) return 0;
    std::string_view h = r_.Get(t.stsz.payload(), 12);
    if (h.size() < 12) return 0;
    const uint64_t cap = static_cast<uint64_t>(r_.size());
    const uint64_t fixed = BE32(U8(h) + 4), count = BE32(U8(h) + 8);
    if (fixed != 0) return std::min(fixed * count, cap);
    const int64_t begin = t.stsz.payload() + 12;
    const int64_t end = begin + std::min<int64_t>(static_cast<int64_t>(count) * 4, t.stsz.end() - begin);
    uint64_t total = 0;
    for (int64_t at = begin; at + 4 <= end && total < cap;) {
      std::string_view b = r_.Get(at, static_cast<size_t>(std::min<int64_t>(end - at, 64 * 1024)) & ~size_t{3});
      if (b.size() < 4) break;
      for (size_t i = 0; i + 4 <= b.size(); i += 4) total += BE32(U8(b) + i);
      at += static_cast<int64_t>(b.size() & ~size_t{3});
    }
    return std::min(total, cap);
  }

  void Finish() {
    if (out_->tags.genre.empty() && gnre_ >= 1) out_->tags.genre = GenreName(gnre_ - 1);
    if (have_audio_) {
      Entry e = SampleEntry(audio_);
      const uint32_t f = e.format;
      const bool mpeg4 = f == FourCC("mp4a") || f == FourCC("drms") || f == FourCC("enca");
      const int ot = e.object_type;
      if (mpeg4 && (ot == 0x40 || (ot >= 0x66 && ot <= 0x68))) out_->audio_codec = "aac";
      else if (mpeg4 && (ot == 0x69 || ot == 0x6B)) out_->audio_codec = "mp3";
      else if (f == FourCC("ac-3")) out_->audio_codec = "ac3";
      else if (f == FourCC("ec-3")) out_->audio_codec = "eac3";
      else out_->audio_codec = LowerFourCC(f);
      out_->encrypted = e.protected_entry;
      out_->channels = e.channels;
      const uint32_t scale = audio_.timescale;
      int32_t rate = e.rate;
      // The 16.16 rate of a sample entry cannot hold rates above 65535.
      if (!e.alac_rate && scale > 65535 && (rate == 0 || rate == static_cast<int32_t>(scale & 0xFFFF)))
        rate = static_cast<int32_t>(std::min<uint32_t>(scale, 10'000'000));
      if (rate == 0) rate = static_cast<int32_t>(std::min<uint32_t>(scale, 10'000'000));
      out_->sample_rate = rate;
      out_->duration_ms = TrackMillis(audio_);
      if (e.avg_bitrate > 0) {
        out_->bitrate_kbps = static_cast<int32_t>((uint64_t{e.avg_bitrate} + 500) / 1000);
      } else {
        const int64_t ms = audio_.media_duration > 0 ? Millis(audio_.media_duration, audio_.timescale)
                                                     : out_->duration_ms;
        if (ms > 0)
          out_->bitrate_kbps = static_cast<int32_t>(
              std::min<uint64_t>((SampleBytes(audio_) * 8 + static_cast<uint64_t>(ms) / 2) / static_cast<uint64_t>(ms), 1u << 30));
      }
    }
    if (have_video_) {
      Entry e = SampleEntry(video_);
      const uint32_t f = e.format;
      if (f == FourCC("avc1") || f == FourCC("avc3")) out_->video_codec = "h264";
      else if (f == FourCC("hvc1") || f == FourCC("hev1")) out_->video_codec = "hevc";
      else if (f == FourCC("mp4v")) out_->video_codec = "mpeg4";
      else out_->video_codec = LowerFourCC(f);
      out_->encrypted = out_->encrypted || e.protected_entry;
      out_->width = video_.tkhd_width > 0 ? video_.tkhd_width : e.width;
      out_->height = video_.tkhd_height > 0 ? video_.tkhd_height : e.height;
      if (out_->video_codec == "h264") out_->avc_profile = e.profile, out_->avc_level = e.level;
      if (!have_audio_) out_->duration_ms = TrackMillis(video_);
    }
    if (!have_audio_ && !have_video_) out_->duration_ms = Millis(movie_duration_, movie_scale_);
  }

  Reader& r_;
  MP4Info* out_;
  uint32_t movie_scale_ = 0;
  uint64_t movie_duration_ = 0;
  Track audio_, video_;
  bool have_audio_ = false, have_video_ = false;
  int32_t gnre_ = 0;
};

bool TopLevelType(uint32_t t) {
  for (uint32_t k : {FourCC("ftyp"), FourCC("moov"), FourCC("free"), FourCC("skip"),
                     FourCC("wide"), FourCC("mdat")})
    if (t == k) return true;
  return false;
}

Status Read(const mp4::Source& src, MP4Info* out) {
  *out = MP4Info();
  Reader r(src);
  std::string_view h = r.Get(0, 16);
  if (r.io_error()) return Status::IOError("cannot read the MP4 file");
  Atom first;
  HeaderResult res = mp4::DecodeAtomHeader(U8(h), h.size(), 0, src.size(), &first);
  if (res == HeaderResult::kEnd || res == HeaderResult::kBad || !TopLevelType(first.type))
    return Status::Unsupported("not an MP4 file");
  Atom moov;
  bool found = false;
  r.ForEach(0, src.size(), [&](const Atom& a) {
    found = a.type == FourCC("moov");
    if (found) moov = a;
    return !found;
  });
  if (r.io_error()) return Status::IOError("cannot read the MP4 file");
  if (!found) return Status::Corrupt("MP4 file without a moov atom");
  Walker(r, out).Moov(moov);
  if (r.io_error()) return Status::IOError("cannot read the MP4 file");
  if (r.malformed()) return Status::Corrupt("malformed atom in the MP4 moov");
  return Status::OK();
}

}  // namespace

Status ReadMP4(const std::string& path, MP4Info* out) {
  RandomAccessFile file;
  if (!file.Open(path)) return Status::IOError("cannot open " + path);
  return Read(mp4::Source(&file), out);
}

Status ReadMP4Bytes(std::string_view bytes, MP4Info* out) {
  return Read(mp4::Source(bytes), out);
}

}  // namespace cadenza
