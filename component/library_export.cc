// Library::Export: copies tracks from the device into a folder of the
// computer under names made from their tags, writing the database's tags
// into copies whose own tags lack them. It only reads the device.
#include <cstdio>
#include <functional>
#include <set>
#include <unordered_map>

#include "cadenza/library.h"
#include "component/library_impl.h"
#include "media/id3.h"
#include "media/id3_writer.h"
#include "media/mp4.h"
#include "media/mp4_writer.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// The longest name made for one folder or file, in bytes: well below the
// 255 that common file systems allow, with room for " (2)" and the
// extension.
constexpr size_t kMaxNameBytes = 180;

bool IsReservedWindowsName(const std::string& name) {
  std::string stem = AsciiUpper(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const std::set<std::string> kReserved = {
      "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
      "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
  return kReserved.count(stem) > 0;
}

// A folder or file name that every common file system takes: no
// separators, reserved characters or control characters, no leading dot or
// blank, no trailing dot or blank (Windows drops them), not a reserved
// device name, and cut to kMaxNameBytes without splitting a character.
std::string SafeFileName(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool bad = c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|").find(ch) !=
                                                  std::string_view::npos;
    out += bad ? '_' : ch;
  }
  if (out.size() > kMaxNameBytes) {
    size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  const size_t first = out.find_first_not_of(' ');
  out.erase(0, first == std::string::npos ? out.size() : first);
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (!out.empty() && out.front() == '.') out.front() = '_';
  if (out.empty() || IsReservedWindowsName(out)) out.insert(0, "_");
  return out;
}

// The path below the export folder that the pattern gives a track, with
// "/" between its names and without the extension. kInvalid for a field
// the pattern names that does not exist.
Status ExpandPattern(const std::string& pattern, const Tags& t, int32_t id, std::string* out) {
  auto two = [](int32_t n) {
    if (n <= 0) return std::string();
    char b[16];
    std::snprintf(b, sizeof b, "%02d", n);
    return std::string(b);
  };
  const std::string artist = t.artist.empty() ? "Unknown Artist" : t.artist;
  const std::unordered_map<std::string, std::string> fields = {
      {"album_artist", t.album_artist.empty() ? artist : t.album_artist},
      {"artist", artist},
      {"album", t.album.empty() ? "Unknown Album" : t.album},
      {"title", t.title.empty() ? "Track " + std::to_string(id) : t.title},
      {"track", two(t.track_number)},
      {"disc", t.disc_number > 0 ? std::to_string(t.disc_number) : ""},
      {"year", t.year},
      {"genre", t.genre},
      {"id", std::to_string(id)}};
  out->clear();
  std::string name;
  auto finish_name = [&] {
    const std::string safe = SafeFileName(name);
    if (!out->empty()) *out += '/';
    *out += safe;
    name.clear();
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '/' || pattern[i] == '\\') {
      finish_name();
      continue;
    }
    if (pattern[i] != '{') {
      name += pattern[i];
      continue;
    }
    const size_t close = pattern.find('}', i);
    const std::string key = close == std::string::npos ? "" : pattern.substr(i + 1, close - i - 1);
    auto it = fields.find(key);
    if (it == fields.end())
      return Status::Invalid("the pattern names an unknown field: " + pattern.substr(i));
    name += it->second;
    i = close;
  }
  finish_name();
  return Status::OK();
}

// Whether the file's own tags lack or differ from any tag the database has.
bool TagsDiffer(const Tags& file, const Tags& db) {
  auto text = [](const std::string& f, const std::string& d) { return !d.empty() && f != d; };
  auto number = [](int32_t f, int32_t d) { return d != 0 && f != d; };
  return text(file.title, db.title) || text(file.artist, db.artist) ||
         text(file.album, db.album) || text(file.album_artist, db.album_artist) ||
         text(file.genre, db.genre) || text(file.composer, db.composer) ||
         text(file.year, db.year) || text(file.comment, db.comment) ||
         number(file.track_number, db.track_number) || number(file.track_count, db.track_count) ||
         number(file.disc_number, db.disc_number) || number(file.disc_count, db.disc_count) ||
         number(file.bpm, db.bpm) || (db.compilation && !file.compilation);
}

// Copies `from` to `to` with the database's tags written in when the file
// is an MP3 or MP4 audio file whose tags lack or differ from them, and the
// device's cover (from `cover`, empty when there is none) when the file
// holds no picture.
Status CopyWithTags(const std::string& from, const std::string& to, Tags db, bool write,
                    const std::function<std::string()>& cover) {
  const std::string ext = AsciiLower(fs::FileName(from).substr(fs::FileStem(from).size()));
  const bool mp3 = ext == ".mp3";
  const bool mp4 = ext == ".m4a" || ext == ".m4b" || ext == ".mp4" || ext == ".m4v";
  if (!write || (!mp3 && !mp4)) return fs::CopyFile(from, to);
  Tags own;
  MP4Info info;
  if (mp3) {
    ReadID3Tags(from, &own);
  } else if (ReadMP4(from, &info).ok()) {
    own = info.tags;
  } else {
    return fs::CopyFile(from, to);
  }
  if (!own.has_cover) db.cover = cover();
  if (!TagsDiffer(own, db) && db.cover.empty()) return fs::CopyFile(from, to);
  return mp3 ? WriteID3v2Tags(from, to, db) : WriteMP4Tags(from, to, db);
}

std::string ObjectText(const MHOD_S& o) { return Utf16ToUtf8(o.sString.u16()); }

// Writes each playlist but the master as an .m3u8 file in `folder`,
// listing the tracks placed there (track id -> name below the folder).
Status WritePlaylists(const Library& lib, const std::string& folder,
                      const std::unordered_map<int32_t, std::string>& placed,
                      ExportReport* report) {
  for (const MHYP& y : lib.playlists()) {
    if (y.iIsMasterFLag) continue;
    std::string text = "#EXTM3U\n";
    const size_t items = std::min<size_t>(y.m_mhip.size(),
                                          static_cast<size_t>(std::max(y.iPlaylistItemsCount, 0)));
    for (size_t k = 0; k < items; ++k) {
      auto it = placed.find(y.m_mhip[k].iTrackID);
      const MHIT* t = lib.track(y.m_mhip[k].iTrackID);
      if (it == placed.end() || !t) continue;
      Tags tags;
      (void)lib.DescribeTags(t->iUniqueID, &tags);
      text += "#EXTINF:" + std::to_string(t->iTrackTimeLength / 1000) + "," + tags.artist +
              (tags.artist.empty() ? "" : " - ") + tags.title + "\n" + it->second + "\n";
    }
    const std::string file = folder + "/" + SafeFileName(ObjectText(y.m_mhod_s)) + ".m3u8";
    if (Status st = fs::WriteFileAtomic(file, text); !st.ok()) return st;
    report->playlists.push_back(file);
  }
  return Status::OK();
}

}  // namespace

Status Library::Export(const std::string& folder, const std::vector<int32_t>& ids,
                       const ExportOptions& how, ExportReport* report) const {
  *report = ExportReport{};
  const Impl& d = *impl_;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  if (Status st = fs::CreateFolders(folder); !st.ok()) return st;
  std::vector<int32_t> chosen = ids;
  if (chosen.empty())
    for (const MHIT& t : tracks()) chosen.push_back(t.iUniqueID);

  std::set<std::string> taken;                      // names given, in lower case
  std::unordered_map<int32_t, std::string> placed;  // track id -> its name below `folder`
  for (size_t n = 0; n < chosen.size(); ++n) {
    const int32_t id = chosen[n];
    TrackInfo info;
    Tags tags;
    if (!Describe(id, &info).ok() || !DescribeTags(id, &tags).ok()) {
      report->failed.emplace_back(id, "no track has this id");
      continue;
    }
    if (info.sLocation.empty() || !fs::FileExists(info.sLocation)) {
      report->failed.emplace_back(id, "its file is missing from the iPod");
      continue;
    }
    std::string rel;
    if (Status st = ExpandPattern(how.pattern, tags, id, &rel); !st.ok()) return st;
    const std::string ext = AsciiLower(fs::FileName(info.sLocation).substr(
        fs::FileStem(info.sLocation).size()));
    // Two tracks that would get one name: the later one is numbered.
    std::string name = rel;
    name += ext;
    for (int k = 2; !taken.insert(AsciiLower(name)).second; ++k) {
      name = rel;
      name.append(" (").append(std::to_string(k)).append(")").append(ext);
    }
    placed[id] = name;
    std::string target = folder;
    target.append("/").append(name);
    d.Report({Progress::Stage::kExport, target, n, chosen.size()});
    if (fs::PathExists(target)) {
      report->skipped.push_back(target);
      continue;
    }
    // Made under a temporary name and renamed when whole: an interrupted
    // export leaves no half file that the next one would take as done.
    const std::string parent = fs::ParentFolder(target);
    const std::string pending = parent + "/." + fs::FileName(target) + ".cadenza-incomplete";
    Status st = fs::CreateFolders(parent);
    auto cover = [&]() {
      std::string png;
      const MHIT* t = track(id);
      return t && HasCover(*t) && ReadCover(id, &png).ok() ? png : std::string();
    };
    if (st.ok()) st = CopyWithTags(info.sLocation, pending, tags, how.write_tags, cover);
    if (st.ok()) st = fs::RenameFile(pending, target);
    if (!st.ok()) {
      (void)fs::DeleteFile(pending, true);
      report->failed.emplace_back(id, st.message());
      placed.erase(id);
      continue;
    }
    report->written.push_back(target);
  }

  if (how.playlists) {
    if (Status st = WritePlaylists(*this, folder, placed, report); !st.ok()) return st;
  }
  if (!report->failed.empty())
    return Status::IOError(std::to_string(report->failed.size()) + " tracks were not exported");
  return Status::OK();
}

}  // namespace cadenza
