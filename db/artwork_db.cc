#include "db/artwork_db.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "db/codec.h"
#include "db/layout.h"

namespace cadenza {

namespace {

// The head every chunk starts with: identifier, header size, whole size
// (lists have a count where others have the whole size).
struct ChunkHead {
  FixedBytes<4> tag;
  int32_t header_size = 0;
  int32_t total_size = 0;
  int16_t type = 0;  // data objects and sections
};

inline constexpr Field<ChunkHead> kHeadFields[] = {
    {"tag", 0, &ChunkHead::tag},
    {"header_size", 4, &ChunkHead::header_size},
    {"total_size", 8, &ChunkHead::total_size},
    {"type", 12, &ChunkHead::type},
};

inline constexpr Field<ArtworkHeader> kHeaderFields[] = {
    {"tag", 0, &ArtworkHeader::tag},
    {"header_size", 4, &ArtworkHeader::header_size},
    {"file_size", 8, &ArtworkHeader::file_size},
    {"version", 0x10, &ArtworkHeader::version},
    {"section_count", 0x14, &ArtworkHeader::section_count},
    {"next_image_id", 0x1C, &ArtworkHeader::next_image_id},
    {"unknown_30", 0x30, &ArtworkHeader::unknown_30},
};

inline constexpr Field<ArtworkSection> kSectionFields[] = {
    {"tag", 0, &ArtworkSection::tag},
    {"header_size", 4, &ArtworkSection::header_size},
    {"total_size", 8, &ArtworkSection::total_size},
    {"type", 12, &ArtworkSection::type},
};

// The list header that follows a section header.
inline constexpr Field<ArtworkSection> kListFields[] = {
    {"list_tag", 0, &ArtworkSection::list_tag},
    {"list_header_size", 4, &ArtworkSection::list_header_size},
    {"list_count", 8, &ArtworkSection::list_count},
};

inline constexpr Field<ArtworkImage> kImageFields[] = {
    {"tag", 0, &ArtworkImage::tag},
    {"header_size", 4, &ArtworkImage::header_size},
    {"total_size", 8, &ArtworkImage::total_size},
    {"child_count", 0x0C, &ArtworkImage::child_count},
    {"id", 0x10, &ArtworkImage::id},
    {"song_id", 0x14, &ArtworkImage::song_id},
    {"source_size", 0x30, &ArtworkImage::source_size},
};

inline constexpr Field<ArtworkThumb> kThumbFields[] = {
    {"tag", 0, &ArtworkThumb::tag},
    {"header_size", 4, &ArtworkThumb::header_size},
    {"total_size", 8, &ArtworkThumb::total_size},
    {"child_count", 0x0C, &ArtworkThumb::child_count},
    {"format_id", 0x10, &ArtworkThumb::format_id},
    {"offset", 0x14, &ArtworkThumb::offset},
    {"slot_size", 0x18, &ArtworkThumb::slot_size},
    {"vertical_pad", 0x1C, &ArtworkThumb::vertical_pad},
    {"horizontal_pad", 0x1E, &ArtworkThumb::horizontal_pad},
    {"height", 0x20, &ArtworkThumb::height},
    {"width", 0x22, &ArtworkThumb::width},
};

inline constexpr Field<ArtworkName> kNameFields[] = {
    {"tag", 0, &ArtworkName::tag},
    {"header_size", 4, &ArtworkName::header_size},
    {"total_size", 8, &ArtworkName::total_size},
    {"type", 0x0C, &ArtworkName::type},
    {"padding", 0x0F, &ArtworkName::padding},
    {"length", 0x18, &ArtworkName::length},
    {"encoding", 0x1C, &ArtworkName::encoding},
};

inline constexpr Field<ArtworkFormatEntry> kFormatFields[] = {
    {"tag", 0, &ArtworkFormatEntry::tag},
    {"header_size", 4, &ArtworkFormatEntry::header_size},
    {"total_size", 8, &ArtworkFormatEntry::total_size},
    {"format_id", 0x10, &ArtworkFormatEntry::format_id},
    {"image_size", 0x14, &ArtworkFormatEntry::image_size},
};

constexpr int32_t kObjectHeaderSize = 0x18;  // every data object's header
constexpr int32_t kNameTextAt = 0x24;        // the file name's text
constexpr int16_t kThumbObject = 2;
constexpr int16_t kNameObject = 3;
constexpr int16_t kImageSection = 1;
constexpr int16_t kAlbumSection = 2;
constexpr int16_t kFormatSection = 3;
constexpr int32_t kFirstImageId = 100;  // where libgpod and the desktop software start

// The smallest chunk: identifier, header size and one more number. Every
// chunk advances by at least this much, which bounds the counts.
constexpr int64_t kMinChunk = 12;

Status CorruptAt(int64_t pos, const std::string& what) {
  return Status::Corrupt(what + " at offset " + std::to_string(pos));
}

// The part of the file a chunk may use: from its start to its parent's end.
struct Span {
  int64_t at;
  int64_t end;
};

// Reads `fields` of the chunk at `s.at`, checking that the fixed part lies
// in the file and in the parent, and that the header covers it.
template <typename Fields, typename R>
Status ReadFixed(ByteReader& r, Span s, const Fields& fields, R& rec, const char* what) {
  const int64_t fixed = FixedSize(fields);
  if (s.end - s.at < fixed || !r.Has(s.at, fixed))
    return CorruptAt(s.at, std::string(what) + " beyond the end of its parent");
  ReadFields(r, s.at, fields, rec);
  return Status::OK();
}

// Checks the sizes of a chunk at `s.at`: a header that covers the fixed
// part, a whole that covers the header and stays inside the parent.
Status CheckSizes(Span s, int64_t fixed, int64_t header, int64_t total, const char* what) {
  if (header < std::max(fixed, kMinChunk))
    return CorruptAt(s.at, std::string(what) + " header too short");
  if (total < header) return CorruptAt(s.at, std::string(what) + " smaller than its header");
  if (total > s.end - s.at) return CorruptAt(s.at, std::string(what) + " reaches past its parent");
  return Status::OK();
}

// A count of chunks that follow at `at` before `end`.
Status CheckCount(int64_t at, int64_t end, int64_t count, const char* what) {
  if (count < 0 || count > std::max<int64_t>(end - at, 0) / kMinChunk)
    return CorruptAt(at, std::string("Impossible number of ") + what);
  return Status::OK();
}

// A chunk this code does not model, kept whole: its head gives its size.
Status ReadWhole(ByteReader& r, Span s, Bytes* out, int64_t* size, const char* what) {
  ChunkHead h;
  if (Status st = ReadFixed(r, s, std::span(kHeadFields).first(3), h, what); !st.ok())
    return st;
  if (Status st = CheckSizes(s, kMinChunk, h.header_size, h.total_size, what); !st.ok()) return st;
  *out = r.Image(s.at, h.total_size);
  *size = h.total_size;
  return Status::OK();
}

// The text of a name as this writer would store it, for the comparison
// that decides whether a loaded name object is modelled.
std::string NameImage(const ArtworkName& n);

// Reads the name object at `s.at`: modelled when writing it back gives the
// same bytes, otherwise left to be kept whole.
bool ReadName(ByteReader& r, Span s, ArtworkName* n) {
  if (s.end - s.at < kNameTextAt || !r.Has(s.at, kNameTextAt)) return false;
  ReadFields(r, s.at, kNameFields, *n);
  if (n->type != kNameObject || n->header_size != kObjectHeaderSize || n->length < 0 ||
      n->total_size > s.end - s.at || n->length > n->total_size - kNameTextAt)
    return false;
  n->image = r.Image(s.at, kNameTextAt);
  n->text = r.Image(s.at + kNameTextAt, n->length);
  const Bytes whole = r.Image(s.at, n->total_size);
  return whole == NameImage(*n);
}

// Reads the children of a format copy, which end at `end`.
Status ReadThumbChildren(ByteReader& r, int64_t at, int64_t end, ArtworkThumb* t) {
  if (Status st = CheckCount(at, end, t->child_count, "file name objects"); !st.ok()) return st;
  int64_t pos = at;
  for (int32_t i = 0; i < t->child_count; ++i) {
    if (i == 0 && ReadName(r, {pos, end}, &t->name)) {
      t->has_name = true;
      pos += t->name.total_size;
      continue;
    }
    int64_t size = 0;
    Bytes& child = t->other_children.emplace_back();
    if (Status st = ReadWhole(r, {pos, end}, &child, &size, "Data object"); !st.ok()) return st;
    pos += size;
  }
  if (pos != end) return CorruptAt(at, "Format copy size does not match its contents");
  return Status::OK();
}

// Reads a format copy: the container object at `s.at` (`head` read) and the
// mhni in it.
Status ReadThumb(ByteReader& r, Span s, const ChunkHead& head, ArtworkThumb* t) {
  t->object_header_size = head.header_size;
  t->object_image = r.Image(s.at, head.header_size);
  const Span ni{s.at + head.header_size, s.at + head.total_size};
  if (!r.IdAt(ni.at, "mhni")) return CorruptAt(ni.at, "No format copy in its data object");
  if (Status st = ReadFixed(r, ni, kThumbFields, *t, "Format copy"); !st.ok()) return st;
  if (Status st = CheckSizes(ni, FixedSize(kThumbFields), t->header_size, t->total_size,
                             "Format copy");
      !st.ok())
    return st;
  if (ni.at + t->total_size != ni.end)
    return CorruptAt(s.at, "Data object size does not match its format copy");
  t->image = r.Image(ni.at, t->header_size);
  return ReadThumbChildren(r, ni.at + t->header_size, ni.end, t);
}

// Reads an image at `s.at`.
Status ReadImage(ByteReader& r, Span s, ArtworkImage* img) {
  if (!r.IdAt(s.at, "mhii")) return CorruptAt(s.at, "No image");
  if (Status st = ReadFixed(r, s, kImageFields, *img, "Image"); !st.ok()) return st;
  if (Status st =
          CheckSizes(s, FixedSize(kImageFields), img->header_size, img->total_size, "Image");
      !st.ok())
    return st;
  img->image = r.Image(s.at, img->header_size);
  const int64_t end = s.at + img->total_size;
  int64_t pos = s.at + img->header_size;
  if (Status st = CheckCount(pos, end, img->child_count, "image objects"); !st.ok()) return st;
  for (int32_t i = 0; i < img->child_count; ++i) {
    ChunkHead head;
    const Span c{pos, end};
    if (Status st = ReadFixed(r, c, kHeadFields, head, "Data object"); !st.ok()) return st;
    if (Status st = CheckSizes(c, FixedSize(kHeadFields), head.header_size, head.total_size,
                               "Data object");
        !st.ok())
      return st;
    if (head.type == kThumbObject) {
      ArtworkThumb& t = std::get<ArtworkThumb>(img->children.emplace_back(ArtworkThumb{}));
      if (Status st = ReadThumb(r, c, head, &t); !st.ok()) return st;
    } else {
      img->children.emplace_back(r.Image(pos, head.total_size));
    }
    pos += head.total_size;
  }
  if (pos != end) return CorruptAt(s.at, "Image size does not match its contents");
  return Status::OK();
}

Status ReadFormat(ByteReader& r, Span s, ArtworkFormatEntry* f) {
  if (!r.IdAt(s.at, "mhif")) return CorruptAt(s.at, "No format");
  if (Status st = ReadFixed(r, s, kFormatFields, *f, "Format"); !st.ok()) return st;
  if (Status st =
          CheckSizes(s, FixedSize(kFormatFields), f->header_size, f->total_size, "Format");
      !st.ok())
    return st;
  f->image = r.Image(s.at, f->header_size);
  f->tail = r.Image(s.at + f->header_size, f->total_size - f->header_size);
  return Status::OK();
}

// Reads the entries of a section's list, from `at` to the section's end.
Status ReadEntries(ByteReader& r, int64_t at, int64_t end, ArtworkSection* sec) {
  if (Status st = CheckCount(at, end, sec->list_count, "list entries"); !st.ok()) return st;
  int64_t pos = at;
  for (int32_t i = 0; i < sec->list_count; ++i) {
    int64_t size = 0;
    Status st;
    if (sec->type == kImageSection) {
      ArtworkImage& img = sec->images.emplace_back();
      st = ReadImage(r, {pos, end}, &img);
      size = img.total_size;
    } else if (sec->type == kFormatSection) {
      ArtworkFormatEntry& f = sec->formats.emplace_back();
      st = ReadFormat(r, {pos, end}, &f);
      size = f.total_size;
    } else {
      st = ReadWhole(r, {pos, end}, &sec->entries.emplace_back(), &size, "List entry");
    }
    if (!st.ok()) return st;
    pos += size;
  }
  if (pos != end) return CorruptAt(at, "Section size does not match its contents");
  return Status::OK();
}

Status ReadSection(ByteReader& r, Span s, ArtworkSection* sec) {
  if (!r.IdAt(s.at, "mhsd")) return CorruptAt(s.at, "No section");
  if (Status st = ReadFixed(r, s, kSectionFields, *sec, "Section"); !st.ok()) return st;
  if (Status st =
          CheckSizes(s, FixedSize(kSectionFields), sec->header_size, sec->total_size, "Section");
      !st.ok())
    return st;
  const int64_t end = s.at + sec->total_size;
  if (sec->type < kImageSection || sec->type > kFormatSection) {
    sec->whole = r.Image(s.at, sec->total_size);
    return Status::OK();
  }
  sec->image = r.Image(s.at, sec->header_size);
  const Span l{s.at + sec->header_size, end};
  if (!r.IdAt(l.at, "mhl")) return CorruptAt(l.at, "No list in the section");
  if (Status st = ReadFixed(r, l, kListFields, *sec, "List"); !st.ok()) return st;
  if (sec->list_header_size < FixedSize(kListFields) || sec->list_header_size > l.end - l.at)
    return CorruptAt(l.at, "List header size out of range");
  sec->list_image = r.Image(l.at, sec->list_header_size);
  return ReadEntries(r, l.at + sec->list_header_size, end, sec);
}

// --- writing ---

// The loaded header bytes (or zeros) for a header of `size` bytes.
void PutHeader(ByteWriter& w, int64_t at, const Bytes& image, int32_t size) {
  w.Extend(at + size);
  if (!image.empty()) w.Put(at, image.prefix(static_cast<size_t>(size)).view());
}

template <typename Fields>
Status CheckHeader(int32_t header_size, const Fields& fields, const char* what) {
  if (header_size < FixedSize(fields))
    return Status::Invalid(std::string(what) + " header too short for its fields");
  return Status::OK();
}

int32_t Size32(int64_t n) { return static_cast<int32_t>(n); }

std::string NameImage(const ArtworkName& n) {
  ByteWriter w;
  const auto len = static_cast<int32_t>(n.text.size());
  const auto pad = static_cast<int32_t>((4 - len % 4) % 4);
  PutHeader(w, 0, n.image, kNameTextAt);
  WriteFields(w, 0, kNameFields, n);
  w.PutLong(OffsetOf(kNameFields, &ArtworkName::header_size), kObjectHeaderSize);
  w.PutLong(OffsetOf(kNameFields, &ArtworkName::total_size), kNameTextAt + len + pad);
  w.PutByte(OffsetOf(kNameFields, &ArtworkName::padding), static_cast<uint8_t>(pad));
  w.PutLong(OffsetOf(kNameFields, &ArtworkName::length), len);
  w.Put(kNameTextAt, n.text.view());
  w.Extend(kNameTextAt + len + pad);
  return std::move(w.str());
}

// Writes a format copy at `at`; returns where it ends.
Status WriteThumb(ByteWriter& w, int64_t at, const ArtworkThumb& t, int64_t* end) {
  if (Status st = CheckHeader(t.header_size, kThumbFields, "Format copy"); !st.ok()) return st;
  if (t.object_header_size < FixedSize(kHeadFields))
    return Status::Invalid("Data object header too short");
  const int64_t ni = at + t.object_header_size;
  int64_t pos = ni + t.header_size;
  PutHeader(w, ni, t.image, t.header_size);
  WriteFields(w, ni, kThumbFields, t);
  if (t.has_name) {
    const std::string name = NameImage(t.name);
    w.Put(pos, name);
    pos += static_cast<int64_t>(name.size());
  }
  for (const Bytes& c : t.other_children) {
    w.Put(pos, c.view());
    pos += static_cast<int64_t>(c.size());
  }
  w.PutLong(ni + OffsetOf(kThumbFields, &ArtworkThumb::total_size), Size32(pos - ni));
  w.PutLong(ni + OffsetOf(kThumbFields, &ArtworkThumb::child_count),
            Size32(static_cast<int64_t>(t.other_children.size()) + (t.has_name ? 1 : 0)));
  PutHeader(w, at, t.object_image, t.object_header_size);
  const ChunkHead head{"mhod", t.object_header_size, Size32(pos - at), kThumbObject};
  WriteFields(w, at, kHeadFields, head);
  *end = pos;
  return Status::OK();
}

Status WriteImage(ByteWriter& w, int64_t at, const ArtworkImage& img, int64_t* end) {
  if (Status st = CheckHeader(img.header_size, kImageFields, "Image"); !st.ok()) return st;
  PutHeader(w, at, img.image, img.header_size);
  WriteFields(w, at, kImageFields, img);
  int64_t pos = at + img.header_size;
  for (const auto& child : img.children) {
    if (const auto* t = std::get_if<ArtworkThumb>(&child)) {
      if (Status st = WriteThumb(w, pos, *t, &pos); !st.ok()) return st;
    } else {
      const Bytes& b = std::get<Bytes>(child);
      w.Put(pos, b.view());
      pos += static_cast<int64_t>(b.size());
    }
  }
  w.PutLong(at + OffsetOf(kImageFields, &ArtworkImage::total_size), Size32(pos - at));
  w.PutLong(at + OffsetOf(kImageFields, &ArtworkImage::child_count),
            Size32(static_cast<int64_t>(img.children.size())));
  *end = pos;
  return Status::OK();
}

Status WriteFormat(ByteWriter& w, int64_t at, const ArtworkFormatEntry& f, int64_t* end) {
  if (Status st = CheckHeader(f.header_size, kFormatFields, "Format"); !st.ok()) return st;
  PutHeader(w, at, f.image, f.header_size);
  WriteFields(w, at, kFormatFields, f);
  w.Put(at + f.header_size, f.tail.view());
  *end = at + f.header_size + static_cast<int64_t>(f.tail.size());
  w.PutLong(at + OffsetOf(kFormatFields, &ArtworkFormatEntry::total_size), Size32(*end - at));
  return Status::OK();
}

Status WriteSection(ByteWriter& w, int64_t at, const ArtworkSection& sec, int64_t* end) {
  if (!sec.whole.empty()) {
    w.Put(at, sec.whole.view());
    *end = at + static_cast<int64_t>(sec.whole.size());
    return Status::OK();
  }
  if (Status st = CheckHeader(sec.header_size, kSectionFields, "Section"); !st.ok()) return st;
  if (Status st = CheckHeader(sec.list_header_size, kListFields, "List"); !st.ok()) return st;
  PutHeader(w, at, sec.image, sec.header_size);
  WriteFields(w, at, kSectionFields, sec);
  const int64_t l = at + sec.header_size;
  PutHeader(w, l, sec.list_image, sec.list_header_size);
  WriteFields(w, l, kListFields, sec);
  int64_t pos = l + sec.list_header_size;
  for (const ArtworkImage& img : sec.images)
    if (Status st = WriteImage(w, pos, img, &pos); !st.ok()) return st;
  for (const ArtworkFormatEntry& f : sec.formats)
    if (Status st = WriteFormat(w, pos, f, &pos); !st.ok()) return st;
  for (const Bytes& e : sec.entries) {
    w.Put(pos, e.view());
    pos += static_cast<int64_t>(e.size());
  }
  const size_t count = sec.images.size() + sec.formats.size() + sec.entries.size();
  w.PutLong(at + OffsetOf(kSectionFields, &ArtworkSection::total_size), Size32(pos - at));
  w.PutLong(l + OffsetOf(kListFields, &ArtworkSection::list_count),
            Size32(static_cast<int64_t>(count)));
  *end = pos;
  return Status::OK();
}

// The ASCII name as UTF-16LE bytes; false when it is not ASCII.
bool Utf16Name(const std::string& name, std::string* out) {
  out->clear();
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return false;
    out->push_back(c);
    out->push_back('\0');
  }
  return true;
}

ArtworkSection NewSection(int16_t type, const char* list_tag) {
  ArtworkSection s;
  s.type = type;
  s.list_tag = list_tag;
  return s;
}

}  // namespace

Status LoadArtworkDB(Bytes file, ArtworkDB* out) {
  *out = ArtworkDB();
  ByteReader r(std::move(file));
  ArtworkHeader& h = out->header;
  if (!r.IdAt(0, "mhfd")) return CorruptAt(0, "No artwork database header");
  const Span whole{0, r.size()};
  if (Status st = ReadFixed(r, whole, kHeaderFields, h, "Artwork database header"); !st.ok())
    return st;
  if (h.header_size < FixedSize(kHeaderFields) || h.header_size > r.size())
    return CorruptAt(0, "Artwork database header size out of range");
  h.image = r.Image(0, h.header_size);
  int64_t pos = h.header_size;
  if (Status st = CheckCount(pos, r.size(), h.section_count, "sections"); !st.ok()) return st;
  for (int32_t i = 0; i < h.section_count; ++i) {
    ArtworkSection& sec = out->sections.emplace_back();
    if (Status st = ReadSection(r, {pos, r.size()}, &sec); !st.ok()) return st;
    pos += sec.total_size;
  }
  if (pos < r.size()) out->trailing = r.Image(pos, r.size() - pos);
  return Status::OK();
}

Status BuildArtworkDBImage(const ArtworkDB& db, std::string* image) {
  const ArtworkHeader& h = db.header;
  if (Status st = CheckHeader(h.header_size, kHeaderFields, "Artwork database"); !st.ok())
    return st;
  ByteWriter w;
  PutHeader(w, 0, h.image, h.header_size);
  WriteFields(w, 0, kHeaderFields, h);
  int64_t pos = h.header_size;
  for (const ArtworkSection& sec : db.sections) {
    if (Status st = WriteSection(w, pos, sec, &pos); !st.ok()) return st;
    if (pos > std::numeric_limits<int32_t>::max()) return Status::Invalid("Overflow", 6);
  }
  w.Put(pos, db.trailing.view());
  if (w.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    return Status::Invalid("Overflow", 6);
  w.PutLong(OffsetOf(kHeaderFields, &ArtworkHeader::file_size), Size32(static_cast<int64_t>(w.size())));
  w.PutLong(OffsetOf(kHeaderFields, &ArtworkHeader::section_count),
            Size32(static_cast<int64_t>(db.sections.size())));
  *image = std::move(w.str());
  return Status::OK();
}

ArtworkDB BlankArtworkDB() {
  ArtworkDB db;
  db.sections.push_back(NewSection(kImageSection, "mhli"));
  db.sections.push_back(NewSection(kAlbumSection, "mhla"));
  db.sections.push_back(NewSection(kFormatSection, "mhlf"));
  return db;
}

ArtworkSection* FindArtworkSection(ArtworkDB* db, int16_t type) {
  for (ArtworkSection& s : db->sections)
    if (s.type == type && s.whole.empty()) return &s;
  return nullptr;
}
const ArtworkSection* FindArtworkSection(const ArtworkDB& db, int16_t type) {
  return FindArtworkSection(const_cast<ArtworkDB*>(&db), type);  // NOLINT: same lookup
}

ArtworkImage* FindArtworkImage(ArtworkDB* db, int32_t id) {
  ArtworkSection* s = FindArtworkSection(db, kImageSection);
  if (!s) return nullptr;
  auto it = std::find_if(s->images.begin(), s->images.end(),
                         [id](const ArtworkImage& i) { return i.id == id; });
  return it == s->images.end() ? nullptr : &*it;
}
const ArtworkImage* FindArtworkImage(const ArtworkDB& db, int32_t id) {
  return FindArtworkImage(const_cast<ArtworkDB*>(&db), id);  // NOLINT: same lookup
}

int32_t NextArtworkImageId(const ArtworkDB& db) {
  int64_t next = std::max<int64_t>(kFirstImageId, int64_t{db.header.next_image_id} + 1);
  if (const ArtworkSection* s = FindArtworkSection(db, kImageSection))
    for (const ArtworkImage& i : s->images) next = std::max<int64_t>(next, int64_t{i.id} + 1);
  return static_cast<int32_t>(std::min<int64_t>(next, std::numeric_limits<int32_t>::max()));
}

Status AddArtworkImage(ArtworkDB* db, int32_t id, uint64_t song_id, int32_t source_size,
                       const std::vector<ArtworkCopy>& copies) {
  if (id <= 0 || FindArtworkImage(db, id)) return Status::Invalid("Image id taken or invalid");
  ArtworkImage img;
  img.id = id;
  img.song_id = song_id;
  img.source_size = source_size;
  for (const ArtworkCopy& c : copies) {
    ArtworkThumb t;
    std::string name;
    if (!Utf16Name(c.file_name, &name)) return Status::Invalid("File name not ASCII");
    t.format_id = c.format_id;
    t.offset = c.offset;
    t.slot_size = c.slot_size;
    t.vertical_pad = c.vertical_pad;
    t.horizontal_pad = c.horizontal_pad;
    t.height = c.height;
    t.width = c.width;
    t.has_name = true;
    t.name.text = Bytes(std::move(name));
    img.children.emplace_back(std::move(t));
  }
  if (!FindArtworkSection(db, kImageSection) || !FindArtworkSection(db, kFormatSection)) {
    // A database without the sections gets the three in their order.
    ArtworkDB blank = BlankArtworkDB();
    for (ArtworkSection& s : blank.sections)
      if (!FindArtworkSection(db, s.type)) db->sections.push_back(std::move(s));
    std::stable_sort(db->sections.begin(), db->sections.end(),
                     [](const ArtworkSection& a, const ArtworkSection& b) { return a.type < b.type; });
  }
  ArtworkSection* formats = FindArtworkSection(db, kFormatSection);
  for (const ArtworkCopy& c : copies) {
    const bool listed = std::any_of(formats->formats.begin(), formats->formats.end(),
                                    [&](const ArtworkFormatEntry& f) { return f.format_id == c.format_id; });
    if (listed) continue;
    ArtworkFormatEntry& f = formats->formats.emplace_back();
    f.format_id = c.format_id;
    f.image_size = c.image_size ? c.image_size : c.slot_size;
  }
  FindArtworkSection(db, kImageSection)->images.push_back(std::move(img));
  db->header.next_image_id = std::max(db->header.next_image_id, id);
  return Status::OK();
}

bool RemoveArtworkImage(ArtworkDB* db, int32_t id) {
  ArtworkSection* s = FindArtworkSection(db, kImageSection);
  if (!s) return false;
  auto it = std::find_if(s->images.begin(), s->images.end(),
                         [id](const ArtworkImage& i) { return i.id == id; });
  if (it == s->images.end()) return false;
  s->images.erase(it);
  return true;
}

std::string ArtworkFileName(const ArtworkThumb& thumb) {
  if (!thumb.has_name) return {};
  const Bytes& b = thumb.name.text;
  std::string out;
  if (thumb.name.encoding != 2) return b.str();
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    const int unit = b[i] | (b[i + 1] << 8);
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}

}  // namespace cadenza
