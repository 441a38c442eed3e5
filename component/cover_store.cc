#include "component/cover_store.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>

#include "media/artwork_render.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

namespace {

constexpr char kIndexName[] = "ArtworkDB";
// Slots are written in pieces of about this size, so that a large import
// does not hold every rendered cover in memory until the commit.
constexpr size_t kWritePiece = size_t{8} << 20;

// The format and number of a stored name ":F1060_2.ithmb" (any case); false
// for other names.
bool ParseSlotFileName(std::string_view name, int32_t* format, int32_t* n) {
  if (name.starts_with(":")) name.remove_prefix(1);
  const std::string lower = AsciiLower(std::string(name));
  int f = 0, k = 0, used = 0;
  if (std::sscanf(lower.c_str(), "f%d_%d.ithmb%n", &f, &k, &used) != 2 ||
      static_cast<size_t>(used) != lower.size() || f <= 0 || k <= 0)
    return false;
  *format = f;
  *n = k;
  return true;
}

int64_t RoundUp(int64_t v, int64_t step) { return step <= 0 ? v : (v + step - 1) / step * step; }

template <typename Fn>
void ForEachThumb(ArtworkDB& db, Fn&& fn) {
  if (ArtworkSection* s = FindArtworkSection(&db, 1))
    for (ArtworkImage& image : s->images)
      for (auto& child : image.children)
        if (auto* t = std::get_if<ArtworkThumb>(&child)) fn(image, *t);
}

template <typename Fn>
void ForEachThumb(const ArtworkDB& db, Fn&& fn) {
  if (const ArtworkSection* s = FindArtworkSection(db, 1))
    for (const ArtworkImage& image : s->images)
      for (const auto& child : image.children)
        if (const auto* t = std::get_if<ArtworkThumb>(&child)) fn(image, *t);
}

// Sets a copy's file name object to `name` (ASCII, UTF-16LE as stored).
void SetThumbName(ArtworkThumb& t, const std::string& name) {
  std::string text;
  for (char c : name) text += {c, '\0'};
  t.has_name = true;
  t.name.text = Bytes(std::move(text));
}

// RGB from an RGB565 little-endian slot: the rectangle from (left, top) to
// (right, bottom) of rows `stride` bytes apart.
Status Unpack565(const std::string& slot, int64_t stride, int left, int top, int right, int bottom,
                 Image* out) {
  if (left < 0 || top < 0 || right <= left || bottom <= top ||
      int64_t{bottom} * stride > static_cast<int64_t>(slot.size()) || int64_t{right} * 2 > stride)
    return Status::Corrupt("a cover's size does not fit its slot");
  Image img;
  img.width = right - left;
  img.height = bottom - top;
  img.rgb.reserve(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3);
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      const size_t at = static_cast<size_t>(y * stride + x * 2);
      const unsigned v = static_cast<uint8_t>(slot[at]) | unsigned{static_cast<uint8_t>(slot[at + 1])} << 8;
      const unsigned r = v >> 11 & 31, g = v >> 5 & 63, b = v & 31;
      img.rgb.push_back(static_cast<uint8_t>(r << 3 | r >> 2));
      img.rgb.push_back(static_cast<uint8_t>(g << 2 | g >> 4));
      img.rgb.push_back(static_cast<uint8_t>(b << 3 | b >> 2));
    }
  }
  *out = std::move(img);
  return Status::OK();
}

}  // namespace

std::string ArtworkSlotFileName(int32_t format_id, int32_t n) {
  return ":F" + std::to_string(format_id) + "_" + std::to_string(n) + ".ithmb";
}

CoverStore::CoverStore(std::string folder, std::vector<ArtworkFormat> formats)
    : folder_(std::move(folder)), formats_(std::move(formats)) {}

std::string CoverStore::PathOf(const std::string& stored_name) const {
  std::string rel = stored_name;
  if (rel.starts_with(":")) rel.erase(0, 1);
  std::replace(rel.begin(), rel.end(), ':', '/');
  return fs::ResolveNoCase(folder_ + "/" + rel);
}

Status CoverStore::Load() {
  const std::string path = fs::ResolveNoCase(folder_ + "/" + kIndexName);
  if (!fs::FileExists(path)) {
    db_ = BlankArtworkDB();
    return Status::OK();
  }
  std::string bytes;
  if (Status st = fs::ReadWholeFile(path, &bytes); !st.ok()) return st;
  Status st = LoadArtworkDB(Bytes(std::move(bytes)), &db_);
  if (!st.ok()) return Status::Corrupt("The iPod's ArtworkDB is damaged (" + st.message() + ")");
  return st;
}

std::vector<std::string> CoverStore::FilesOnDisk() const {
  std::vector<std::string> names;
  int32_t f = 0, n = 0;
  for (const fs::DirEntry& e : fs::ListDir(folder_))
    if (!e.is_dir && ParseSlotFileName(e.name, &f, &n)) names.push_back(e.name);
  return names;
}

Status CoverStore::FindTail(const ArtworkFormat& format, int64_t slot, Tail* tail) const {
  // The highest file number of the format, in the ArtworkDB or on the disk.
  int32_t last = 1, f = 0, n = 0;
  ForEachThumb(db_, [&](const ArtworkImage&, const ArtworkThumb& t) {
    if (ParseSlotFileName(ArtworkFileName(t), &f, &n) && f == format.id) last = std::max(last, n);
  });
  for (const std::string& name : FilesOnDisk())
    if (ParseSlotFileName(name, &f, &n) && f == format.id) last = std::max(last, n);
  for (;; ++last) {
    if (last > 9999) return Status::NoSpace("no artwork file name is left");
    tail->name = ArtworkSlotFileName(format.id, last);
    const int64_t size = std::max<int64_t>(fs::FileSize(PathOf(tail->name)), 0);
    tail->end = RoundUp(size, slot);
    if (tail->end + slot <= kArtworkFileLimit) return Status::OK();
  }
}

Status CoverStore::Stage(const std::string& name, int64_t offset,
                         const std::vector<uint8_t>& pixels) {
  auto it = staged_.find(name);
  if (it != staged_.end() && it->second.offset + static_cast<int64_t>(it->second.bytes.size()) != offset) {
    if (Status st = WriteStaged(true); !st.ok()) return st;
    it = staged_.end();
  }
  if (it == staged_.end()) it = staged_.emplace(name, Pending{offset, {}}).first;
  it->second.bytes.append(reinterpret_cast<const char*>(pixels.data()), pixels.size());
  if (std::find(touched_.begin(), touched_.end(), name) == touched_.end()) touched_.push_back(name);
  size_t held = 0;
  for (const auto& [file, p] : staged_) held += p.bytes.size();
  return held >= kWritePiece ? WriteStaged(true) : Status::OK();
}

Status CoverStore::WriteStaged(bool all) {
  if (!staged_.empty() && !fs::FolderExists(folder_)) {
    if (Status st = fs::CreateFolders(folder_); !st.ok()) return st;
  }
  for (auto it = staged_.begin(); it != staged_.end();) {
    if (!all && it->second.bytes.empty()) {
      ++it;
      continue;
    }
    const std::string path = PathOf(it->first);
    if (Status st = fs::WriteDurablyAt(path, it->second.offset, it->second.bytes); !st.ok())
      return st;
    it = staged_.erase(it);
  }
  return Status::OK();
}

Status CoverStore::Add(const Image& image, uint64_t song_id, int32_t source_size, int32_t* id) {
  std::vector<ArtworkCopy> copies;
  for (const ArtworkFormat& format : formats_) {
    RenderedArtwork r;
    if (Status st = RenderArtwork(image, format, &r); !st.ok()) return st;
    const int64_t slot = static_cast<int64_t>(r.pixels.size());
    auto tail = tails_.find(format.id);
    if (tail == tails_.end() || tail->second.end + slot > kArtworkFileLimit) {
      Tail next;
      if (tail != tails_.end()) {
        int32_t f = 0, n = 0;
        ParseSlotFileName(tail->second.name, &f, &n);
        next.name = ArtworkSlotFileName(format.id, n + 1);
        next.end = 0;
      } else if (Status st = FindTail(format, slot, &next); !st.ok()) {
        return st;
      }
      tail = tails_.insert_or_assign(format.id, next).first;
    }
    ArtworkCopy& c = copies.emplace_back();
    c.format_id = format.id;
    c.file_name = tail->second.name;
    c.offset = static_cast<int32_t>(tail->second.end);
    c.slot_size = static_cast<int32_t>(slot);
    c.vertical_pad = r.vertical_pad;
    c.horizontal_pad = r.horizontal_pad;
    c.height = r.height;
    c.width = r.width;
    c.image_size = format.width * format.height * 2;
    if (Status st = Stage(c.file_name, c.offset, r.pixels); !st.ok()) return st;
    tail->second.end += slot;
  }
  *id = NextArtworkImageId(db_);
  return AddArtworkImage(&db_, *id, song_id, source_size, copies);
}

bool CoverStore::Remove(int32_t id) { return RemoveArtworkImage(&db_, id); }

Status CoverStore::CommitRemovals() {
  if (doomed_.empty()) return Status::OK();
  for (int32_t id : doomed_) Remove(id);
  doomed_.clear();
  return Commit();
}

Status CoverStore::Commit() {
  if (Status st = WriteStaged(true); !st.ok()) return st;
  touched_.clear();
  std::string image;
  if (Status st = BuildArtworkDBImage(db_, &image); !st.ok()) return st;
  if (!fs::FolderExists(folder_)) {
    if (Status st = fs::CreateFolders(folder_); !st.ok()) return st;
  }
  const std::string path = fs::ResolveNoCase(folder_ + "/" + kIndexName);
  (void)fs::RemoveLeftoverTemps(path);
  return fs::WriteFileAtomic(path, image);
}

ArtworkUsage CoverStore::Usage() const {
  ArtworkUsage u;
  for (const std::string& name : FilesOnDisk()) {
    ++u.files;
    u.file_bytes += std::max<int64_t>(fs::FileSize(folder_ + "/" + name), 0);
  }
  ForEachThumb(db_, [&](const ArtworkImage&, const ArtworkThumb& t) { u.used_bytes += t.slot_size; });
  return u;
}

Status CoverStore::Read(int32_t id, Image* out) const {
  const ArtworkImage* image = FindArtworkImage(db_, id);
  if (!image) return Status::NotFound("The iPod holds no cover image " + std::to_string(id));
  const ArtworkThumb* best = nullptr;
  for (const auto& child : image->children)
    if (const auto* t = std::get_if<ArtworkThumb>(&child))
      if (!best || int{t->width} * t->height > int{best->width} * best->height) best = t;
  if (!best) return Status::NotFound("Cover image " + std::to_string(id) + " has no pixels");
  // The slot's rows: the device's format when known, else a square slot.
  int64_t rows = std::max(best->width, best->height);
  for (const ArtworkFormat& f : formats_)
    if (f.id == best->format_id) rows = f.height;
  if (rows <= 0 || best->slot_size <= 0 || best->slot_size % rows != 0)
    return Status::Corrupt("Cover image " + std::to_string(id) + " has an impossible size");
  RandomAccessFile file;
  const std::string path = PathOf(ArtworkFileName(*best));
  if (!file.Open(path)) return Status::NotFound("Missing artwork file: " + path);
  if (best->offset < 0 || int64_t{best->offset} + best->slot_size > file.size())
    return Status::Corrupt("Cover image " + std::to_string(id) + " lies outside " + path);
  const std::string slot = file.ReadAt(best->offset, static_cast<size_t>(best->slot_size));
  return Unpack565(slot, best->slot_size / rows, best->horizontal_pad, best->vertical_pad,
                   best->width, best->height, out);
}

Status CoverStore::Compact() {
  if (Status st = WriteStaged(true); !st.ok()) return st;
  const ArtworkDB before = db_;
  const std::vector<std::string> old_files = FilesOnDisk();
  std::set<std::string> taken;
  for (const std::string& n : old_files) taken.insert(AsciiLower(n));
  // Copies of each format, in file order, go to files with names no file
  // has yet.
  std::map<int32_t, std::vector<ArtworkThumb*>> by_format;
  ForEachThumb(db_, [&](ArtworkImage&, ArtworkThumb& t) { by_format[t.format_id].push_back(&t); });
  std::vector<std::string> written;
  auto fail = [&](Status st) {
    for (const std::string& name : written) (void)fs::DeleteFile(PathOf(name), true);
    db_ = before;
    return st;
  };
  std::map<std::string, std::unique_ptr<RandomAccessFile>> sources;
  for (auto& [format, thumbs] : by_format) {
    std::stable_sort(thumbs.begin(), thumbs.end(), [](const ArtworkThumb* a, const ArtworkThumb* b) {
      const std::string fa = ArtworkFileName(*a), fb = ArtworkFileName(*b);
      return fa != fb ? fa < fb : a->offset < b->offset;
    });
    int32_t n = 0;
    std::string name;
    int64_t end = kArtworkFileLimit;
    for (ArtworkThumb* t : thumbs) {
      if (end + t->slot_size > kArtworkFileLimit) {
        do name = ArtworkSlotFileName(format, ++n);
        while (taken.contains(AsciiLower(name.substr(1))));
        taken.insert(AsciiLower(name.substr(1)));
        written.push_back(name);
        end = 0;
      }
      const std::string from = PathOf(ArtworkFileName(*t));
      auto& src = sources[from];
      if (!src) src = std::make_unique<RandomAccessFile>(from);
      if (!src->is_open() || t->offset < 0 || int64_t{t->offset} + t->slot_size > src->size())
        return fail(Status::Corrupt("A cover lies outside its artwork file " + from +
                                    "; nothing was compacted"));
      const std::string bytes = src->ReadAt(t->offset, static_cast<size_t>(t->slot_size));
      if (Status st = Stage(name, end, std::vector<uint8_t>(bytes.begin(), bytes.end())); !st.ok())
        return fail(st);
      SetThumbName(*t, name);
      t->offset = static_cast<int32_t>(end);
      end += t->slot_size;
    }
  }
  sources.clear();
  if (Status st = Commit(); !st.ok()) return fail(st);
  // The new ArtworkDB is in place: the old files are no longer used.
  for (const std::string& name : old_files) (void)fs::DeleteFile(folder_ + "/" + name, true);
  tails_.clear();
  return Status::OK();
}

}  // namespace cadenza
