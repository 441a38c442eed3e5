#include "media/cover.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "media/id3.h"
#include "media/mp4.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {
namespace {

using mp4::Atom;
using mp4::FourCC;
using mp4::HeaderResult;

constexpr int kFrontCover = 3;
// Metadata blocks of a FLAC file read at most; real files have a handful.
constexpr int kMaxFlacBlocks = 4096;

// The picture chosen so far: the first one, replaced once by the first
// front cover.
class Choice {
 public:
  void Offer(int type, std::string_view bytes) {
    if (front_ || !IsCoverImage(bytes) || bytes.size() > kMaxCoverBytes) return;
    if (!picture_ || type == kFrontCover) picture_ = std::string(bytes);
    front_ = type == kFrontCover;
  }
  bool front() const { return front_; }
  std::optional<std::string>& picture() { return picture_; }

 private:
  std::optional<std::string> picture_;
  bool front_ = false;
};

// The size of the zero-terminated text at the start of p[0..n) in `encoding`
// (two zero bytes on an even offset for UTF-16), terminator included; none
// when it has no terminator.
std::optional<size_t> TerminatedText(const uint8_t* p, size_t n, int encoding) {
  const size_t step = encoding == 1 || encoding == 2 ? 2 : 1;
  for (size_t i = 0; i + step <= n; i += step) {
    if (p[i] == 0 && p[i + step - 1] == 0) return i + step;
  }
  return std::nullopt;
}

// An APIC (version 2.2: PIC) frame body: encoding, MIME type (PIC: a
// three-character format), picture type, description, data. Linked
// pictures ("-->") carry no data and are passed over.
void OfferID3Picture(const ID3v2Frame& f, Choice* choice) {
  const bool v22 = f.id == "PIC";
  if (f.opaque || f.size < 1 || (!v22 && f.id != "APIC")) return;
  const uint8_t* p = f.data;
  const size_t n = static_cast<size_t>(f.size);
  const int encoding = p[0];
  size_t at = 1;
  std::string_view format;
  if (v22) {
    if (n < 4) return;
    format = std::string_view(reinterpret_cast<const char*>(p + 1), 3);
    at = 4;
  } else {
    std::optional<size_t> mime = TerminatedText(p + 1, n - 1, 0);
    if (!mime) return;
    format = std::string_view(reinterpret_cast<const char*>(p + 1), *mime - 1);
    at += *mime;
  }
  if (format == "-->" || at >= n) return;
  const int type = p[at++];
  std::optional<size_t> description = TerminatedText(p + at, n - at, encoding);
  if (!description) return;
  at += *description;
  choice->Offer(type, std::string_view(reinterpret_cast<const char*>(p + at), n - at));
}

uint32_t BE24(const uint8_t* p) { return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]; }

// A FLAC PICTURE block: type, MIME type and description each with a 32-bit
// length, width, height, depth, colours, then the data with its length.
void OfferFlacPicture(std::string_view block, Choice* choice) {
  const auto* p = reinterpret_cast<const uint8_t*>(block.data());
  const size_t n = block.size();
  if (n < 8) return;
  const uint32_t type = mp4::BE32(p);
  const size_t mime_size = mp4::BE32(p + 4);
  if (mime_size > n - 8) return;
  const std::string_view mime = block.substr(8, mime_size);
  size_t at = 8 + mime_size;
  if (n - at < 4) return;
  const size_t description_size = mp4::BE32(p + at);
  if (description_size > n - at - 4 || n - at - 4 - description_size < 20) return;
  at += 4 + description_size + 16;
  const size_t data_size = mp4::BE32(p + at);
  at += 4;
  if (mime == "-->" || data_size > n - at) return;
  choice->Offer(type > 255 ? -1 : static_cast<int>(type), block.substr(at, data_size));
}

// Reads the metadata blocks of native FLAC behind the "fLaC" at `offset`.
Status ReadFlacPictures(const RandomAccessFile& file, int64_t offset, Choice* choice) {
  int64_t at = offset + 4;
  for (int blocks = 0; blocks < kMaxFlacBlocks && !choice->front(); ++blocks) {
    uint8_t header[4];
    const int64_t got = file.ReadAt(at, header, sizeof header);
    if (got < 0) return Status::IOError("cannot read the FLAC metadata");
    if (got < 4) break;
    const uint32_t size = BE24(header + 1);
    at += 4;
    if ((header[0] & 0x7F) == 6 && size <= file.size() - at) {
      std::string block(size, '\0');
      if (file.ReadAt(at, block.data(), size) != size)
        return Status::IOError("cannot read a FLAC picture");
      OfferFlacPicture(block, choice);
    }
    if ((header[0] & 0x80) != 0) break;
    at += size;
  }
  return Status::OK();
}

// Finds atoms in an MP4 file, each size cut to its parent's end.
class AtomFinder {
 public:
  explicit AtomFinder(const RandomAccessFile& file) : src_(&file) {}
  bool io_error() const { return io_error_; }

  // The first child of [begin, end) of `type`; none when there is none, a
  // header does not decode, or (with `whole`) the child runs past `end`.
  std::optional<Atom> Find(int64_t begin, int64_t end, uint32_t type, bool whole = false) {
    for (int64_t at = begin; at < end;) {
      uint8_t h[16];
      const int64_t got = src_.ReadAt(at, h, sizeof h);
      if (got < 0) io_error_ = true;
      Atom a;
      const HeaderResult r =
          mp4::DecodeAtomHeader(h, static_cast<size_t>(std::max<int64_t>(got, 0)), at, end, &a);
      if (r == HeaderResult::kEnd || r == HeaderResult::kBad) return std::nullopt;
      if (a.type == type) {
        if (whole && r == HeaderResult::kClipped) return std::nullopt;
        return a;
      }
      at = a.end();
    }
    return std::nullopt;
  }
  // The same within `parent`'s payload past its first `skip` bytes.
  std::optional<Atom> Find(const std::optional<Atom>& parent, const char (&type)[5],
                           int64_t skip = 0) {
    return parent ? Find(parent->payload() + skip, parent->end(), FourCC(type)) : std::nullopt;
  }
  // Up to `n` bytes at `offset`.
  std::string Read(int64_t offset, size_t n) {
    std::string bytes(n, '\0');
    const int64_t got = src_.ReadAt(offset, bytes.data(), n);
    if (got < 0) io_error_ = true;
    bytes.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
    return bytes;
  }

 private:
  mp4::Source src_;
  bool io_error_ = false;
};

// The data atoms of moov/udta/meta/ilst/covr, the first JPEG or PNG taken.
// A data atom cut short by the end of the file is passed over.
Status ReadMP4Cover(const RandomAccessFile& file, Choice* choice) {
  AtomFinder finder(file);
  const std::optional<Atom> moov = finder.Find(0, file.size(), FourCC("moov"));
  const std::optional<Atom> meta = finder.Find(finder.Find(moov, "udta"), "meta");
  int64_t skip = 0;
  if (meta) {
    const std::string head = finder.Read(meta->payload(), 8);
    skip = mp4::MetaHasVersion(reinterpret_cast<const uint8_t*>(head.data()), head.size()) ? 4 : 0;
  }
  const std::optional<Atom> covr = finder.Find(finder.Find(meta, "ilst", skip), "covr");
  if (!covr) return finder.io_error() ? Status::IOError("cannot read the MP4 file") : Status::OK();
  for (std::optional<Atom> data = finder.Find(covr->payload(), covr->end(), FourCC("data"), true);
       data && !choice->picture();
       data = finder.Find(data->end(), covr->end(), FourCC("data"), true)) {
    const int64_t size = data->end() - data->payload() - 8;  // behind type and locale
    if (size > 0 && size <= static_cast<int64_t>(kMaxCoverBytes))
      choice->Offer(kFrontCover, finder.Read(data->payload() + 8, static_cast<size_t>(size)));
  }
  return finder.io_error() ? Status::IOError("cannot read the MP4 file") : Status::OK();
}

bool IsMP4Start(std::string_view head) {
  if (head.size() < 8) return false;
  const std::string_view type = head.substr(4, 4);
  return type == "ftyp" || type == "moov" || type == "free" || type == "skip" || type == "wide" ||
         type == "mdat";
}

Status ReadPictures(const RandomAccessFile& file, Choice* choice) {
  const std::string head = file.ReadAt(0, 12);
  if (head.starts_with("ID3")) {
    int64_t end = 0;
    ForEachID3v2Frame(
        file, 0, [&](const ID3v2Frame& f) { OfferID3Picture(f, choice); }, nullptr, &end);
    // Some FLAC files carry an ID3v2 tag in front of their own metadata.
    if (!choice->picture() && end > 0 && file.ReadAt(end, 4) == "fLaC")
      return ReadFlacPictures(file, end, choice);
    return Status::OK();
  }
  if (head.starts_with("fLaC")) return ReadFlacPictures(file, 0, choice);
  if (IsMP4Start(head)) return ReadMP4Cover(file, choice);
  return Status::OK();
}

// The rank of a name among the covers beside a track (0 best); none when
// the name is not one.
std::optional<size_t> CoverNameRank(std::string_view name) {
  static constexpr std::array<std::string_view, 3> kStems = {"cover", "folder", "front"};
  static constexpr std::array<std::string_view, 3> kExtensions = {".jpg", ".jpeg", ".png"};
  const std::string lower = AsciiLower(name);
  const size_t dot = lower.rfind('.');
  if (dot == std::string::npos) return std::nullopt;
  const std::string_view ext = std::string_view(lower).substr(dot);
  if (std::find(kExtensions.begin(), kExtensions.end(), ext) == kExtensions.end())
    return std::nullopt;
  const auto stem = std::find(kStems.begin(), kStems.end(), std::string_view(lower).substr(0, dot));
  if (stem == kStems.end()) return std::nullopt;
  return static_cast<size_t>(stem - kStems.begin());
}

}  // namespace

bool IsCoverImage(std::string_view bytes) {
  return bytes.starts_with("\xFF\xD8\xFF") || bytes.starts_with("\x89PNG\r\n\x1A\n");
}

Status ReadEmbeddedCover(const std::string& path, std::string* bytes) {
  RandomAccessFile file;
  if (!file.Open(path)) return Status::IOError("cannot open " + path);
  Choice choice;
  Status s = ReadPictures(file, &choice);
  if (!s.ok()) return s;
  if (!choice.picture()) return Status::NotFound("no cover picture in " + path);
  *bytes = std::move(*choice.picture());
  return Status::OK();
}

std::string FindCoverBeside(const std::string& media_path) {
  const size_t cut = media_path.find_last_of(fs::kSeparator == '\\' ? "/\\" : "/");
  const std::string prefix = cut == std::string::npos ? "" : media_path.substr(0, cut + 1);
  std::string best;
  size_t best_rank = SIZE_MAX;
  for (const fs::DirEntry& e : fs::ListDir(prefix.empty() ? "." : prefix)) {
    const std::optional<size_t> rank = CoverNameRank(e.name);
    if (e.is_dir || !rank || *rank >= best_rank || fs::FileSize(prefix + e.name) < 0) continue;
    best = prefix + e.name;
    best_rank = *rank;
  }
  return best;
}

}  // namespace cadenza
