#include "media/id3_writer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "media/cover.h"
#include "media/id3.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace cadenza {
namespace {

// Zero bytes behind the frames, so that a later edit of the tag fits in it.
constexpr size_t kPadding = 1024;
// The largest tag body a sync-safe size can give.
constexpr size_t kMaxTagBody = (size_t{1} << 28) - 1;
// The audio is copied in pieces of this size.
constexpr size_t kCopyPiece = size_t{1} << 20;

struct OutFrame {
  std::string id;  // four characters
  std::string body;
};

// Version 2.2 frames whose version 2.4 frame has the same body layout.
constexpr std::pair<std::string_view, std::string_view> kV22Ids[] = {
    {"TT1", "TIT1"}, {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TP1", "TPE1"}, {"TP2", "TPE2"},
    {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TAL", "TALB"}, {"TCO", "TCON"}, {"TCM", "TCOM"},
    {"TYE", "TDRC"}, {"TOR", "TDOR"}, {"TRK", "TRCK"}, {"TPA", "TPOS"}, {"TCP", "TCMP"},
    {"TBP", "TBPM"}, {"TEN", "TENC"}, {"TCR", "TCOP"}, {"TOA", "TOPE"}, {"TXT", "TEXT"},
    {"TLA", "TLAN"}, {"TPB", "TPUB"}, {"TSS", "TSSE"}, {"TKE", "TKEY"}, {"TLE", "TLEN"},
    {"TMT", "TMED"}, {"TOT", "TOAL"}, {"TOL", "TOLY"}, {"TRC", "TSRC"}, {"TXX", "TXXX"},
    {"COM", "COMM"}, {"ULT", "USLT"}, {"WXX", "WXXX"}, {"WAR", "WOAR"}, {"WAS", "WOAS"},
    {"WAF", "WOAF"}, {"WCM", "WCOM"}, {"WCP", "WCOP"}, {"WPB", "WPUB"}, {"UFI", "UFID"},
    {"CNT", "PCNT"}, {"POP", "POPM"}, {"GEO", "GEOB"}, {"MCI", "MCDI"}, {"SLT", "SYLT"},
    {"PIC", "APIC"}};

// Version 2.3 frames that 2.4 renamed or dropped; an empty new id drops it.
constexpr std::pair<std::string_view, std::string_view> kV23Changed[] = {
    {"TYER", "TDRC"}, {"TORY", "TDOR"}, {"IPLS", "TIPL"}, {"TDAT", ""},
    {"TIME", ""},     {"TRDA", ""},     {"TSIZ", ""}};

// Version 2.3 frames other than text and URL frames whose layout 2.4 kept.
constexpr std::string_view kV23Same[] = {"COMM", "USLT", "APIC", "UFID", "PRIV", "PCNT", "POPM",
                                         "GEOB", "MCDI", "SYLT", "SYTC", "USER", "OWNE", "COMR",
                                         "ETCO", "MLLT", "AENC", "POSS", "RBUF", "ENCR", "GRID"};

bool IsFrameID(std::string_view id) {
  return id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         });
}

// The version 2.4 id of a frame of a tag of `version`; empty when the
// frame is not carried over.
std::string_view NewFrameID(std::string_view id, int version) {
  if (version == 2) {
    for (const auto& [old_id, new_id] : kV22Ids)
      if (id == old_id) return new_id;
    return {};
  }
  if (!IsFrameID(id)) return {};
  if (version == 4) return id;
  for (const auto& [old_id, new_id] : kV23Changed)
    if (id == old_id) return new_id;
  if (id[0] == 'T' || id[0] == 'W') return id;
  for (std::string_view same : kV23Same)
    if (id == same) return id;
  return {};
}

// A version 2.2 PIC body (encoding, 3-character image format, type,
// description, data) as an APIC body (the format becomes a MIME type).
std::string PictureBody(const uint8_t* p, int64_t size) {
  if (size < 5) return {};
  std::string format(reinterpret_cast<const char*>(p + 1), 3);
  std::transform(format.begin(), format.end(), format.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  std::string mime = format == "jpg" ? "image/jpeg" : "image/" + format;
  std::string body(1, char(p[0]));
  body += mime;
  body += '\0';
  body.append(reinterpret_cast<const char*>(p + 4), static_cast<size_t>(size - 4));
  return body;
}

// Replaces the first frame `id` for which `matches` holds by one with
// `body`, drops the other such frames, and adds one at the end when none
// was there.
template <typename Match>
void SetFrame(std::vector<OutFrame>& frames, const char* id, std::string body, Match matches) {
  bool placed = false;
  for (auto it = frames.begin(); it != frames.end();) {
    if (it->id != id || !matches(*it)) {
      ++it;
    } else if (!placed) {
      it->body = body;
      placed = true;
      ++it;
    } else {
      it = frames.erase(it);
    }
  }
  if (!placed) frames.push_back({id, std::move(body)});
}

void SetText(std::vector<OutFrame>& frames, const char* id, const std::string& text) {
  if (text.empty()) return;
  SetFrame(frames, id, "\x03" + text, [](const OutFrame&) { return true; });
}

// Sets a "n/N" frame (just "n" without a count) when `n` or `count` is
// given, a zero one taken from the file's `old_n` or `old_count`. Without
// a number nothing is written.
void SetNumberPair(std::vector<OutFrame>& frames, const char* id, int32_t n, int32_t count,
                   int32_t old_n, int32_t old_count) {
  if (n <= 0 && count <= 0) return;
  n = n > 0 ? n : old_n;
  count = count > 0 ? count : old_count;
  if (n <= 0) return;
  SetText(frames, id, std::to_string(n) + (count > 0 ? "/" + std::to_string(count) : ""));
}

// Adds `cover` as the front cover (Latin-1, empty description) when it is a
// JPEG or PNG and no picture frame came over from the old tag.
void AddCover(std::vector<OutFrame>& frames, const std::string& cover) {
  if (!IsCoverImage(cover) ||
      std::any_of(frames.begin(), frames.end(), [](const OutFrame& f) { return f.id == "APIC"; }))
    return;
  const char* mime = cover[0] == '\x89' ? "image/png" : "image/jpeg";
  frames.push_back({"APIC", std::string(1, '\0') + mime + std::string{'\0', '\x03', '\0'} + cover});
}

// The frames of the new tag: the old tag's, then the fields of `tags`.
std::vector<OutFrame> NewFrames(const RandomAccessFile& file, bool has_tag, const Tags& old,
                                const Tags& tags) {
  std::vector<OutFrame> frames;
  int version = 0;
  auto keep = [&](const ID3v2Frame& f) {
    std::string_view id = NewFrameID(f.id, version);
    if (id.empty() || f.opaque || f.size <= 0) return;
    std::string body = f.id == "PIC" ? PictureBody(f.data, f.size)
                                     : std::string(reinterpret_cast<const char*>(f.data),
                                                   static_cast<size_t>(f.size));
    if (!body.empty()) frames.push_back({std::string(id), std::move(body)});
  };
  if (has_tag) ForEachID3v2Frame(file, 0, keep, &version);

  SetText(frames, "TIT2", tags.title);
  SetText(frames, "TPE1", tags.artist);
  SetText(frames, "TALB", tags.album);
  SetText(frames, "TPE2", tags.album_artist);
  SetText(frames, "TCON", tags.genre);
  SetText(frames, "TCOM", tags.composer);
  SetText(frames, "TDRC", tags.year);
  if (!tags.comment.empty()) {
    // The comment without a description; described ones (player data) stay.
    SetFrame(frames, "COMM", std::string{'\x03', 'e', 'n', 'g', '\0'} + tags.comment,
             [](const OutFrame& f) {
               return CommentDescription(reinterpret_cast<const uint8_t*>(f.body.data()),
                                         static_cast<int64_t>(f.body.size()))
                   .empty();
             });
  }
  SetNumberPair(frames, "TRCK", tags.track_number, tags.track_count, old.track_number,
                old.track_count);
  SetNumberPair(frames, "TPOS", tags.disc_number, tags.disc_count, old.disc_number, old.disc_count);
  if (tags.compilation) SetText(frames, "TCMP", "1");
  if (tags.bpm > 0) SetText(frames, "TBPM", std::to_string(tags.bpm));
  AddCover(frames, tags.cover);
  return frames;
}

std::string SyncSafe(size_t v) {
  return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F), char(v & 0x7F)};
}

}  // namespace

Status WriteID3v2Tags(const std::string& in, const std::string& out, const Tags& tags) {
  std::error_code ec;
  if (in == out || std::filesystem::equivalent(fs::NativePath(in), fs::NativePath(out), ec)) {
    return Status::Invalid("The copy of " + in + " would replace the file itself");
  }
  RandomAccessFile file;
  if (!file.Open(in)) return Status::NotFound("Cannot open " + in);

  // Where the audio starts: behind the old tag at the front, if any.
  int64_t audio_start = 0;
  const bool has_tag = file.ReadAt(0, 3) == "ID3";
  if (has_tag) {
    std::string version = file.ReadAt(3, 1);
    if (version.size() == 1 && (version[0] < 2 || version[0] > 4)) {
      return Status::Unsupported("The ID3v2 tag of " + in + " has an unknown version");
    }
    if (!ForEachID3v2Frame(
            file, 0, [](const ID3v2Frame&) {}, nullptr, &audio_start) ||
        audio_start > file.size()) {
      return Status::Corrupt("The ID3v2 tag of " + in + " is damaged");
    }
  }
  Tags old;
  ReadID3Tags(in, &old);

  std::string tag;
  for (const OutFrame& f : NewFrames(file, has_tag, old, tags)) {
    if (f.body.size() > kMaxTagBody) return Status::Unsupported("A tag frame is too large");
    tag += f.id + SyncSafe(f.body.size()) + std::string(2, '\0') + f.body;
  }
  if (tag.size() + kPadding > kMaxTagBody) return Status::Unsupported("The tag is too large");
  tag.append(kPadding, '\0');
  tag.insert(0, std::string("ID3\x04\0\0", 6) + SyncSafe(tag.size()));

  std::ofstream stream(fs::NativePath(out), std::ios::binary | std::ios::trunc);
  bool ok = stream.is_open() && stream.write(tag.data(), static_cast<std::streamsize>(tag.size()));
  std::vector<char> piece(kCopyPiece);
  for (int64_t at = audio_start; ok && at < file.size();) {
    int64_t n = file.ReadAt(at, piece.data(), piece.size());
    ok = n > 0 && stream.write(piece.data(), static_cast<std::streamsize>(n));
    at += std::max<int64_t>(n, 0);
  }
  ok = ok && stream.flush();
  stream.close();
  if (!ok || stream.fail()) {
    (void)fs::DeleteFile(out, true);
    return Status::IOError("Cannot write " + out);
  }
  return Status::OK();
}

}  // namespace cadenza
