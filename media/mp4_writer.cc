#include "media/mp4_writer.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "media/cover.h"
#include "media/mp4.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace cadenza {
namespace {

using mp4::Atom;
using mp4::BE32;
using mp4::FourCC;
using mp4::HeaderResult;

// The moov is rewritten in memory; a larger one is not a real file's.
constexpr int64_t kMaxMoov = int64_t{256} << 20;
constexpr int kMaxDepth = 16;
constexpr size_t kPiece = size_t{1} << 20;

const uint8_t* U8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Put32(uint64_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string Put16(uint32_t v) { return {char(v >> 8), char(v)}; }
std::string FourCCText(uint32_t t) { return Put32(t); }

// An atom with a 32-bit size.
std::string MakeAtom(uint32_t type, std::string_view payload) {
  return Put32(payload.size() + 8) + FourCCText(type) + std::string(payload);
}
// An ilst item holding one data atom of the given type (1 UTF-8, 0 binary,
// 21 integer, 13 JPEG, 14 PNG), locale 0.
std::string MakeItem(uint32_t type, uint32_t kind, std::string_view value) {
  return MakeAtom(type, MakeAtom(FourCC("data"), Put32(kind) + Put32(0) + std::string(value)));
}

// An atom of the moov held in memory. The containers on the way to the
// ilst and to the chunk offset tables are split into children; every other
// atom keeps its bytes, header included.
struct Node {
  uint32_t type = 0;
  bool container = false;
  bool large = false;  // had a 64-bit size
  std::string head;    // a container's bytes before its children (meta's
                       // version and flags); a leaf's whole bytes
  std::vector<Node> kids;
  std::string tail;    // bytes after the last child, too few for an atom
};

bool IsContainer(uint32_t t) {
  for (uint32_t k : {FourCC("moov"), FourCC("trak"), FourCC("mdia"), FourCC("minf"),
                     FourCC("stbl"), FourCC("udta"), FourCC("meta"), FourCC("ilst")})
    if (t == k) return true;
  return false;
}

Status ParseChildren(std::string_view b, int64_t begin, int64_t end, int depth, Node* parent) {
  if (depth > kMaxDepth) return Status::Corrupt("MP4 atoms nested too deep");
  for (int64_t at = begin; at < end;) {
    Atom a;
    const size_t at_u = static_cast<size_t>(at);
    HeaderResult r = mp4::DecodeAtomHeader(U8(b) + at_u, b.size() - at_u, at, end, &a);
    if (r == HeaderResult::kEnd) {
      parent->tail = std::string(b.substr(at_u, static_cast<size_t>(end - at)));
      break;
    }
    if (r != HeaderResult::kOk) return Status::Corrupt("malformed atom in the MP4 moov");
    Node c;
    c.type = a.type;
    c.large = a.header == 16;
    if (IsContainer(a.type)) {
      c.container = true;
      int64_t start = a.payload();
      const size_t room = static_cast<size_t>(a.end() - start);
      if (a.type == FourCC("meta") && mp4::MetaHasVersion(U8(b) + start, room)) {
        if (room < 4) return Status::Corrupt("MP4 meta atom too short");
        c.head = std::string(b.substr(static_cast<size_t>(start), 4));
        start += 4;
      }
      Status s = ParseChildren(b, start, a.end(), depth + 1, &c);
      if (!s.ok()) return s;
    } else {
      c.head = std::string(b.substr(at_u, static_cast<size_t>(a.size)));
      // An atom sized "to the end of its parent" gets its size written out.
      if (BE32(U8(c.head)) == 0) {
        if (a.size > 0xFFFFFFFF) return Status::Unsupported("MP4 atom too large");
        c.head.replace(0, 4, Put32(static_cast<uint64_t>(a.size)));
      }
    }
    parent->kids.push_back(std::move(c));
    at = a.end();
  }
  return Status::OK();
}

uint64_t Size(const Node& n) {
  if (!n.container) return n.head.size();
  uint64_t body = n.head.size() + n.tail.size();
  for (const Node& k : n.kids) body += Size(k);
  return body + (n.large || body + 8 > 0xFFFFFFFF ? 16 : 8);
}

void Serialize(const Node& n, std::string* out) {
  if (!n.container) {
    *out += n.head;
    return;
  }
  const uint64_t size = Size(n);
  if (n.large || size > 0xFFFFFFFF) {
    *out += Put32(1) + FourCCText(n.type) + Put32(size >> 32) + Put32(size & 0xFFFFFFFF);
  } else {
    *out += Put32(size) + FourCCText(n.type);
  }
  *out += n.head;
  for (const Node& k : n.kids) Serialize(k, out);
  *out += n.tail;
}

Node* Kid(Node& parent, uint32_t type) {
  for (Node& k : parent.kids)
    if (k.type == type) return &k;
  return nullptr;
}

Node Leaf(std::string bytes) {
  Node n;
  n.type = BE32(U8(bytes) + 4);
  n.head = std::move(bytes);
  return n;
}

Node Container(uint32_t type) {
  Node n;
  n.type = type;
  n.container = true;
  return n;
}

// The value of an item's first data atom (empty when it has none).
std::string_view ItemValue(const Node& item) {
  std::string_view b = item.head;
  Atom outer;
  if (mp4::DecodeAtomHeader(U8(b), b.size(), 0, static_cast<int64_t>(b.size()), &outer) !=
      HeaderResult::kOk)
    return {};
  for (int64_t at = outer.payload(); at < outer.end();) {
    Atom a;
    const size_t at_u = static_cast<size_t>(at);
    if (mp4::DecodeAtomHeader(U8(b) + at_u, b.size() - at_u, at, outer.end(), &a) !=
        HeaderResult::kOk)
      return {};
    if (a.type == FourCC("data") && a.size >= a.header + 8)
      return b.substr(static_cast<size_t>(a.payload() + 8), static_cast<size_t>(a.size - a.header - 8));
    at = a.end();
  }
  return {};
}

// Replaces the first item of `type` (dropping any later ones) or appends it.
void SetItem(Node* ilst, uint32_t type, std::string bytes) {
  auto& kids = ilst->kids;
  auto it = std::find_if(kids.begin(), kids.end(), [&](const Node& k) { return k.type == type; });
  if (it == kids.end()) {
    kids.push_back(Leaf(std::move(bytes)));
    return;
  }
  *it = Leaf(std::move(bytes));
  kids.erase(std::remove_if(it + 1, kids.end(), [&](const Node& k) { return k.type == type; }),
             kids.end());
}

void RemoveItems(Node* ilst, uint32_t type) {
  auto& kids = ilst->kids;
  kids.erase(std::remove_if(kids.begin(), kids.end(), [&](const Node& k) { return k.type == type; }),
             kids.end());
}

// A number pair item (trkn, disk): the new values where given, else the
// file's. trkn carries two more zero bytes than disk.
void SetPair(Node* ilst, uint32_t type, int32_t number, int32_t count) {
  if (number <= 0 && count <= 0) return;
  uint32_t old_number = 0, old_count = 0;
  if (Node* old = Kid(*ilst, type)) {
    std::string_view v = ItemValue(*old);
    if (v.size() >= 4) old_number = U8(v)[2] << 8 | U8(v)[3];
    if (v.size() >= 6) old_count = U8(v)[4] << 8 | U8(v)[5];
  }
  auto clamp = [](int32_t v, uint32_t old) {
    return v > 0 ? static_cast<uint32_t>(std::min(v, 65535)) : old;
  };
  std::string value = Put16(0) + Put16(clamp(number, old_number)) + Put16(clamp(count, old_count));
  if (type == FourCC("trkn")) value += Put16(0);
  SetItem(ilst, type, MakeItem(type, 0, value));
}

void ApplyTags(Node* ilst, const Tags& t) {
  const std::pair<const std::string*, uint32_t> texts[] = {
      {&t.title, FourCC("\251nam")},   {&t.artist, FourCC("\251ART")},
      {&t.album, FourCC("\251alb")},   {&t.album_artist, FourCC("aART")},
      {&t.genre, FourCC("\251gen")},   {&t.composer, FourCC("\251wrt")},
      {&t.year, FourCC("\251day")},    {&t.comment, FourCC("\251cmt")}};
  for (const auto& [text, type] : texts)
    if (!text->empty()) SetItem(ilst, type, MakeItem(type, 1, *text));
  if (!t.genre.empty()) RemoveItems(ilst, FourCC("gnre"));
  SetPair(ilst, FourCC("trkn"), t.track_number, t.track_count);
  SetPair(ilst, FourCC("disk"), t.disc_number, t.disc_count);
  if (t.compilation) SetItem(ilst, FourCC("cpil"), MakeItem(FourCC("cpil"), 21, std::string(1, '\1')));
  if (t.bpm > 0)
    SetItem(ilst, FourCC("tmpo"),
            MakeItem(FourCC("tmpo"), 21, Put16(static_cast<uint32_t>(std::min(t.bpm, 65535)))));
  // A new cover only where the file has none; data type 13 is JPEG, 14 PNG.
  if (IsCoverImage(t.cover) && Kid(*ilst, FourCC("covr")) == nullptr)
    ilst->kids.push_back(Leaf(MakeItem(FourCC("covr"), t.cover[0] == '\x89' ? 14 : 13, t.cover)));
}

// The ilst of the moov, made (with udta, meta and its handler) when missing.
Node* FindOrMakeIlst(Node* moov) {
  Node* udta = Kid(*moov, FourCC("udta"));
  if (udta == nullptr) {
    moov->kids.push_back(Container(FourCC("udta")));
    udta = &moov->kids.back();
  }
  Node* meta = nullptr;
  for (Node& k : udta->kids)
    if (k.type == FourCC("meta") && k.container && meta == nullptr) meta = &k;
  if (meta == nullptr) {
    Node m = Container(FourCC("meta"));
    m.head = Put32(0);
    // Handler "mdir", maker "appl", empty name.
    m.kids.push_back(Leaf(MakeAtom(FourCC("hdlr"), Put32(0) + Put32(0) + "mdirappl" +
                                                       std::string(9, '\0'))));
    udta->kids.push_back(std::move(m));
    meta = &udta->kids.back();
  }
  if (Node* ilst = Kid(*meta, FourCC("ilst"))) return ilst;
  auto& kids = meta->kids;
  auto hdlr = std::find_if(kids.begin(), kids.end(),
                           [](const Node& k) { return k.type == FourCC("hdlr"); });
  auto at = kids.insert(hdlr == kids.end() ? kids.end() : hdlr + 1, Container(FourCC("ilst")));
  return &*at;
}

// Lets a free atom right after the ilst take up a change of `grown` bytes.
void AbsorbInMeta(Node* moov, int64_t grown) {
  Node* udta = Kid(*moov, FourCC("udta"));
  if (grown == 0 || udta == nullptr) return;
  for (Node& meta : udta->kids) {
    if (meta.type != FourCC("meta") || !meta.container) continue;
    for (size_t i = 0; i + 1 < meta.kids.size(); ++i) {
      Node& free = meta.kids[i + 1];
      if (meta.kids[i].type != FourCC("ilst") || free.type != FourCC("free") ||
          free.head.size() > 0xFFFFFFFF || BE32(U8(free.head)) == 1)
        continue;
      const int64_t size = static_cast<int64_t>(free.head.size()) - grown;
      if (size >= 8)
        free.head = Put32(static_cast<uint64_t>(size)) + "free" + std::string(static_cast<size_t>(size - 8), '\0');
      return;
    }
    return;
  }
}

// Moves every chunk offset at or past `from` by `delta`.
Status ShiftChunkOffsets(Node* n, int64_t from, int64_t delta) {
  if (n->container) {
    for (Node& k : n->kids) {
      Status s = ShiftChunkOffsets(&k, from, delta);
      if (!s.ok()) return s;
    }
    return Status::OK();
  }
  const bool co64 = n->type == FourCC("co64");
  if (!co64 && n->type != FourCC("stco")) return Status::OK();
  std::string& b = n->head;
  const size_t header = BE32(U8(b)) == 1 ? 16 : 8;
  if (b.size() < header + 8) return Status::Corrupt("MP4 chunk offset table too short");
  const size_t width = co64 ? 8 : 4;
  const size_t count = std::min<size_t>(BE32(U8(b) + header + 4), (b.size() - header - 8) / width);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = header + 8 + i * width;
    const int64_t v = co64 ? static_cast<int64_t>(mp4::BE64(U8(b) + at) & INT64_MAX) : BE32(U8(b) + at);
    if (v < from) continue;
    const int64_t moved = delta > 0 && v > INT64_MAX - delta ? -1 : v + delta;
    if (moved < 0 || (!co64 && moved > 0xFFFFFFFF))
      return Status::Unsupported("MP4 chunk offsets do not fit after the tags change");
    const uint64_t u = static_cast<uint64_t>(moved);
    b.replace(at, width, co64 ? Put32(u >> 32) + Put32(u & 0xFFFFFFFF) : Put32(u));
  }
  return Status::OK();
}

bool TopLevelType(uint32_t t) {
  for (uint32_t k : {FourCC("ftyp"), FourCC("moov"), FourCC("free"), FourCC("skip"),
                     FourCC("wide"), FourCC("mdat")})
    if (t == k) return true;
  return false;
}

class Copier {
 public:
  Copier(const mp4::Source& src, const std::function<Status(std::string_view)>& emit)
      : src_(src), emit_(emit) {}
  // Sends [from, to) of the source on.
  Status Copy(int64_t from, int64_t to) {
    std::string buf;
    while (from < to) {
      buf.resize(static_cast<size_t>(std::min<int64_t>(to - from, static_cast<int64_t>(kPiece))));
      if (src_.ReadAt(from, buf.data(), buf.size()) != static_cast<int64_t>(buf.size()))
        return Status::IOError("cannot read the MP4 file");
      Status s = emit_(buf);
      if (!s.ok()) return s;
      from += static_cast<int64_t>(buf.size());
    }
    return Status::OK();
  }

 private:
  const mp4::Source& src_;
  const std::function<Status(std::string_view)>& emit_;
};

Status Rewrite(const mp4::Source& src, const Tags& tags,
               const std::function<Status(std::string_view)>& emit) {
  const int64_t file_size = src.size();
  auto header_at = [&](int64_t at, Atom* a) {
    uint8_t h[16];
    const int64_t got = src.ReadAt(at, h, sizeof h);
    return got < 0 ? HeaderResult::kBad
                   : mp4::DecodeAtomHeader(h, static_cast<size_t>(got), at, file_size, a);
  };
  Atom a, moov, next;
  HeaderResult r = header_at(0, &a);
  if (r == HeaderResult::kEnd || r == HeaderResult::kBad || !TopLevelType(a.type))
    return Status::Unsupported("not an MP4 file");
  bool found = false;
  for (int64_t at = 0; at < file_size && !found; at = a.end()) {
    r = header_at(at, &a);
    if (r == HeaderResult::kEnd) break;
    if (r == HeaderResult::kBad) return Status::Corrupt("malformed MP4 atom");
    if (a.type != FourCC("moov")) continue;
    if (r == HeaderResult::kClipped) return Status::Corrupt("MP4 moov runs past the end of the file");
    moov = a;
    found = true;
  }
  if (!found) return Status::Corrupt("MP4 file without a moov atom");
  if (moov.size > kMaxMoov) return Status::Unsupported("MP4 moov too large");

  std::string old(static_cast<size_t>(moov.size), '\0');
  if (src.ReadAt(moov.offset, old.data(), old.size()) != moov.size)
    return Status::IOError("cannot read the MP4 file");
  Node root;
  Status s = ParseChildren(old, 0, moov.size, 0, &root);
  if (!s.ok()) return s;
  if (root.kids.size() != 1 || root.kids[0].type != FourCC("moov"))
    return Status::Corrupt("malformed MP4 moov");
  Node* tree = &root.kids[0];
  Node* ilst = FindOrMakeIlst(tree);
  const int64_t before = static_cast<int64_t>(Size(*ilst));
  ApplyTags(ilst, tags);
  AbsorbInMeta(tree, static_cast<int64_t>(Size(*ilst)) - before);

  // A free atom right after the moov takes up its change of size when it
  // can; else the media data after the moov moves.
  const int64_t delta = static_cast<int64_t>(Size(*tree)) - moov.size;
  int64_t resume = moov.end(), free_size = -1;
  if (delta != 0 && header_at(moov.end(), &next) == HeaderResult::kOk && next.header == 8 &&
      (next.type == FourCC("free") || next.type == FourCC("skip")) && next.size - delta >= 8) {
    free_size = next.size - delta;
    resume = next.end();
  } else if (delta != 0) {
    s = ShiftChunkOffsets(tree, moov.end(), delta);
    if (!s.ok()) return s;
  }

  std::string moov_bytes;
  Serialize(*tree, &moov_bytes);
  Copier copier(src, emit);
  if (!(s = copier.Copy(0, moov.offset)).ok() || !(s = emit(moov_bytes)).ok()) return s;
  if (free_size >= 0) {
    if (!(s = emit(Put32(static_cast<uint64_t>(free_size)) + "free")).ok()) return s;
    for (int64_t left = free_size - 8; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kPiece)));
      if (!(s = emit(std::string(n, '\0'))).ok()) return s;
      left -= static_cast<int64_t>(n);
    }
  }
  return copier.Copy(resume, file_size);
}

}  // namespace

Status WriteMP4TagsBytes(std::string_view in, const Tags& tags,
                         const std::function<Status(std::string_view)>& emit) {
  return Rewrite(mp4::Source(in), tags, emit);
}

Status WriteMP4Tags(const std::string& in, const std::string& out, const Tags& tags) {
  fs::FileStamp a, b;
  if (in == out || (fs::StatFile(in, &a).ok() && fs::StatFile(out, &b).ok() && a.inode != 0 &&
                    a.inode == b.inode && a.size == b.size))
    return Status::Invalid("the MP4 tag writer cannot write over its input");
  RandomAccessFile file;
  if (!file.Open(in)) return Status::IOError("cannot open " + in);
  Status s = fs::WriteFileAtomic(out, "");
  if (!s.ok()) return s;
  std::string pending;
  int64_t written = 0;
  auto flush = [&]() {
    Status w = fs::WriteAt(out, written, pending);
    written += static_cast<int64_t>(pending.size());
    pending.clear();
    return w;
  };
  s = Rewrite(mp4::Source(&file), tags, [&](std::string_view piece) {
    pending += piece;
    return pending.size() >= kPiece ? flush() : Status::OK();
  });
  if (s.ok() && !pending.empty()) s = flush();
  if (!s.ok()) fs::DeleteFile(out, true);
  return s;
}

}  // namespace cadenza
