// Library: what the iPod recorded itself. At a load the plays, ratings and
// skips of "Play Counts" (and of "iTunesStats" on shuffles) are merged
// into the tracks and the On-The-Go lists become playlists; after the next
// write the plays go to the play log and the record files are retired,
// because their entries name tracks by positions the new database no
// longer keeps.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "cadenza/library.h"
#include "cadenza/version.h"
#include "component/library_impl.h"
#include "component/track_text.h"
#include "db/device_records.h"
#include "db/itunes_sd.h"
#include "db/library_index.h"
#include "platform/text.h"

namespace cadenza {

namespace {

constexpr char kPlayCounts[] = "iPod_Control\\iTunes\\Play Counts";
constexpr char kShuffleStats[] = "iPod_Control\\iTunes\\iTunesStats";
constexpr char kShuffleDatabase[] = "iPod_Control\\iTunes\\iTunesSD";
constexpr char kITunes[] = "iPod_Control\\iTunes\\";
constexpr char kOnTheGo[] = "OTGPlaylistInfo";
constexpr char kPlayLog[] = "iPod_Control\\.cadenza-plays";
constexpr char kPlayLogHeader[] = "# cadenza play log 1";
// A record file that could not be merged is kept under this suffix.
constexpr char kUnmerged[] = ".unmerged";

std::string MacField(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// Merges what the device recorded into the track, as the desktop software
// does: counts added, times and bookmark taken when set, the device's
// rating taken (the one it replaces kept as the computer's rating).
void Merge(const PlayRecord& r, MHIT& t) {
  t.iPlayCount += static_cast<int32_t>(r.plays);
  if (r.last_played != 0) t.sLastPlayedTime = MacField(r.last_played);
  if (r.bookmark_ms != 0) t.iBookmarkTime = static_cast<int32_t>(r.bookmark_ms);
  if (r.rating >= 0 && r.rating <= 100 && r.rating != t.iStartRating) {
    t.iApplicationRating = t.iStartRating;
    t.iStartRating = static_cast<uint8_t>(r.rating);
  }
  t.iSkipCount += static_cast<int32_t>(r.skips);
  if (r.last_skipped != 0) t.sLastSkipped = MacField(r.last_skipped);
}

PlayEvent EventOf(const PlayRecord& r, const MHIT& t) {
  PlayEvent e;
  e.db_id = t.iDB_ID;
  e.track_id = t.iUniqueID;
  e.title = TrackText(t, DataObjectType::kTitle);
  e.artist = TrackText(t, DataObjectType::kArtist);
  e.album = TrackText(t, DataObjectType::kAlbum);
  e.length_ms = t.iTrackTimeLength;
  e.track_number = t.iTrackNumber;
  e.plays = r.plays;
  e.skips = r.skips;
  e.last_played = UnixTime(MacField(r.last_played));
  e.last_skipped = UnixTime(MacField(r.last_skipped));
  return e;
}

// Device path of a stored location, for matching the shuffle's paths.
std::string FoldedPath(std::string s) {
  std::replace(s.begin(), s.end(), ':', '/');
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

namespace {

// Merges the entries into the tracks at their positions; `where[i]` is the
// track of entry i (nullptr: none).
void MergeInto(const std::vector<PlayRecord>& records, const std::vector<MHIT*>& where,
                      std::vector<PlayEvent>* events) {
  for (size_t i = 0; i < records.size() && i < where.size(); ++i) {
    if (!where[i]) continue;
    Merge(records[i], *where[i]);
    if (records[i].plays > 0 || records[i].skips > 0) events->push_back(EventOf(records[i], *where[i]));
  }
}

}  // namespace

void Library::Impl::CollectPlayCounts(const std::vector<MHIT*>& tracks) {
  Library::Impl& d = *this;
  std::string file;
  if (!fs::ReadWholeFile(d.DevicePath(kPlayCounts), &file).ok()) return;
  std::vector<PlayRecord> records;
  Status st = ParsePlayCounts(file, &records);
  if (st.ok() && records.size() != tracks.size())
    st = Status::Corrupt("it has " + std::to_string(records.size()) + " entries for " +
                         std::to_string(tracks.size()) + " tracks");
  if (!st.ok()) {
    d.notices.push_back("The iPod's Play Counts file was not merged (" + st.message() +
                        "); the next write keeps it as \"Play Counts" + kUnmerged + "\"");
    return;
  }
  MergeInto(records, tracks, &d.pending_plays);
  d.merged_records.emplace_back(kPlayCounts);
}

// A shuffle's iTunesStats follows the order of the iTunesSD the shuffle
// played from, which need not be the database's: entries are matched to
// tracks through that file's paths.
void Library::Impl::CollectShuffleStats(const std::vector<MHIT*>& tracks) {
  Library::Impl& d = *this;
  std::string file, sd;
  if (!fs::ReadWholeFile(d.DevicePath(kShuffleStats), &file).ok()) return;
  std::vector<PlayRecord> records;
  ShuffleContents contents;
  Status st = ParseShuffleStats(file, &records);
  if (st.ok() && !records.empty()) {
    st = fs::ReadWholeFile(d.DevicePath(kShuffleDatabase), &sd);
    if (st.ok()) st = ReadShuffleDatabase(sd, &contents);
    if (st.ok() && contents.tracks.size() != records.size())
      st = Status::Corrupt("it has " + std::to_string(records.size()) +
                           " entries for the iTunesSD's " + std::to_string(contents.tracks.size()));
  }
  if (!st.ok()) {
    d.notices.push_back("The shuffle's iTunesStats file was not merged (" + st.message() +
                        "); the next write keeps it as \"iTunesStats" + kUnmerged + "\"");
    return;
  }
  std::unordered_map<std::string, MHIT*> by_path;
  for (MHIT* t : tracks) {
    const std::string where = TrackText(*t, DataObjectType::kLocation);
    if (!where.empty()) by_path.emplace(FoldedPath(where), t);
  }
  std::vector<MHIT*> where;
  for (const ShuffleEntry& e : contents.tracks) {
    auto it = by_path.find(FoldedPath(e.path));
    where.push_back(it == by_path.end() ? nullptr : it->second);
  }
  MergeInto(records, where, &d.pending_plays);
  d.merged_records.emplace_back(kShuffleStats);
}

void Library::Impl::CollectOnTheGo(Library& lib, const std::vector<MHIT*>& tracks) {
  Library::Impl& d = *this;
  std::vector<std::string> names;
  for (const fs::DirEntry& e : fs::ListDir(d.DevicePath(kITunes)))
    if (!e.is_dir && e.name.rfind(kOnTheGo, 0) == 0 && e.name.find('.') == std::string::npos)
      names.push_back(e.name);
  // "OTGPlaylistInfo" first, then "_1", "_2", ... in number order.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  int number = 0;
  for (const std::string& name : names) {
    const std::string rel = std::string(kITunes) + name;
    std::string file;
    std::vector<uint32_t> entries;
    Status st = fs::ReadWholeFile(d.DevicePath(rel), &file);
    if (st.ok()) st = ParseOnTheGoList(file, &entries);
    if (!st.ok()) {
      d.notices.push_back("The On-The-Go list " + name + " was not read (" + st.message() + ")");
      continue;
    }
    std::vector<int32_t> ids;
    for (uint32_t at : entries) {
      if (at < tracks.size()) {
        ids.push_back(tracks[at]->iUniqueID);
      } else {
        d.notices.push_back("The On-The-Go list " + name + " names track position " +
                            std::to_string(at) + ", which the database does not have");
      }
    }
    d.merged_records.push_back(rel);
    if (ids.empty()) continue;
    std::string title;
    do {
      title = "On-The-Go " + std::to_string(++number);
    } while (lib.FindPlaylist(title));
    if (Status made = lib.CreatePlaylist(title); made.ok()) (void)lib.AddToPlaylist(title, ids);
  }
}

void Library::Impl::CollectDeviceRecords(Library& lib) {
  notices.clear();
  pending_plays.clear();
  merged_records.clear();
  MHLT& list = db.m_MHSD_T.m_mhlt;
  std::vector<MHIT*> tracks;
  const size_t n = std::min(list.m_mhit.size(), static_cast<size_t>(std::max(list.iNumberOfllTracks, 0)));
  for (size_t i = 0; i < n; ++i) tracks.push_back(&list.m_mhit[i]);
  CollectPlayCounts(tracks);
  CollectShuffleStats(tracks);
  CollectOnTheGo(lib, tracks);
}

namespace {

std::string Clean(std::string s) {
  std::replace_if(s.begin(), s.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return s;
}

std::string LogLine(const PlayEvent& e) {
  char head[160];
  std::snprintf(head, sizeof head, "%016llx\t%d\t%u\t%u\t%lld\t%lld\t%d\t%d\t",
                static_cast<unsigned long long>(e.db_id), e.track_id, e.plays, e.skips,
                static_cast<long long>(e.last_played), static_cast<long long>(e.last_skipped),
                e.length_ms, e.track_number);
  std::string line = head;
  line += Clean(e.artist);
  line += '\t';
  line += Clean(e.album);
  line += '\t';
  line += Clean(e.title);
  line += '\n';
  return line;
}

bool ParseLogLine(const std::string& line, PlayEvent* e) {
  std::vector<std::string> f;
  std::istringstream in(line);
  for (std::string part; std::getline(in, part, '\t');) f.push_back(part);
  if (f.size() != 11) return false;
  char* end = nullptr;
  e->db_id = std::strtoull(f[0].c_str(), &end, 16);
  e->track_id = static_cast<int32_t>(std::strtol(f[1].c_str(), nullptr, 10));
  e->plays = static_cast<uint32_t>(std::strtoul(f[2].c_str(), nullptr, 10));
  e->skips = static_cast<uint32_t>(std::strtoul(f[3].c_str(), nullptr, 10));
  e->last_played = std::strtoll(f[4].c_str(), nullptr, 10);
  e->last_skipped = std::strtoll(f[5].c_str(), nullptr, 10);
  e->length_ms = static_cast<int32_t>(std::strtol(f[6].c_str(), nullptr, 10));
  e->track_number = static_cast<int32_t>(std::strtol(f[7].c_str(), nullptr, 10));
  e->artist = f[8];
  e->album = f[9];
  e->title = f[10];
  return true;
}

}  // namespace

Status Library::Impl::KeepPendingPlays() {
  if (pending_plays.empty()) return Status::OK();
  std::string log;
  Status st = fs::ReadWholeFile(DevicePath(kPlayLog), &log);
  if (!st.ok() && st.code() != Status::Code::kNotFound) return st;
  if (log.empty()) log = std::string(kPlayLogHeader) + "\n";
  const std::string before = log;
  for (const PlayEvent& e : pending_plays) {
    // A write that failed after the log was kept leaves the records on the
    // device; the next one must not count their plays again.
    const std::string line = LogLine(e);
    if (before.find(line) == std::string::npos) log += line;
  }
  return log == before ? Status::OK() : fs::WriteFileAtomic(DevicePath(kPlayLog), log);
}

void Library::Impl::RetireDeviceRecords() {
  auto merged = [&](const std::string& rel) {
    return std::find(merged_records.begin(), merged_records.end(), rel) != merged_records.end();
  };
  std::vector<std::string> present = {kPlayCounts, kShuffleStats};
  for (const fs::DirEntry& e : fs::ListDir(DevicePath(kITunes)))
    if (!e.is_dir && e.name.rfind(kOnTheGo, 0) == 0 && e.name.find('.') == std::string::npos)
      present.push_back(std::string(kITunes) + e.name);
  for (const std::string& rel : present) {
    const std::string path = DevicePath(rel);
    if (!fs::FileExists(path)) continue;
    // A file that was not merged is kept aside rather than lost: the iPod
    // would read it against a database it does not belong to.
    if (merged(rel)) {
      (void)fs::DeleteFile(path, true);
    } else {
      (void)fs::RenameFile(path, path + kUnmerged);
    }
  }
  pending_plays.clear();
  merged_records.clear();
}

Status Library::Impl::BuildShuffleImage(std::string* image, const DeviceModel& dev) {
  image->clear();
  if (dev.shuffle_format == 0) return Status::OK();
  // A track the shuffle cannot play is left out of its list (with a
  // notice) rather than stopping every write to the device.
  std::vector<std::string> left_out;
  Status st = BuildShuffleDatabase(
      db, dev.shuffle_format == 1 ? ShuffleFormat::kFixedRecords : ShuffleFormat::kBdhs, image,
      &left_out);
  for (std::string& why : left_out) notices.push_back(std::move(why));
  return st;
}

Status Library::Impl::RefreshLibraryIndexes(const DeviceModel& dev) {
  if (!tracks_changed) return Status::OK();
  // The iPods that sign their database (classic, nano 3G and later) browse
  // their menus through these lists; the older ones build their own.
  const bool needed = dev.checksum == "hash58" || dev.checksum == "hash72" ||
                      dev.checksum == "hashAB";
  if (!needed && !HasLibraryIndexes(db)) return Status::OK();
  return RegenerateLibraryIndexes(db, needed);
}

const std::vector<std::string>& Library::notices() const { return impl_->notices; }
const std::vector<PlayEvent>& Library::pending_plays() const { return impl_->pending_plays; }

Status Library::ReadPlays(std::vector<PlayEvent>* out) const {
  out->clear();
  std::string log;
  Status st = fs::ReadWholeFile(impl_->DevicePath(kPlayLog), &log);
  if (!st.ok() && st.code() != Status::Code::kNotFound) return st;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    PlayEvent e;
    if (!line.empty() && line[0] != '#' && ParseLogLine(line, &e)) out->push_back(std::move(e));
  }
  for (const PlayEvent& e : impl_->pending_plays)
    if (std::find_if(out->begin(), out->end(), [&](const PlayEvent& o) {
          return LogLine(o) == LogLine(e);
        }) == out->end())
      out->push_back(e);
  return Status::OK();
}

Status Library::ClearPlays() {
  const std::string path = impl_->DevicePath(kPlayLog);
  if (!fs::FileExists(path)) return Status::OK();
  LockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) return st;
  return fs::DeleteFile(path, true);
}

Status Library::WriteScrobblerLog(const std::vector<PlayEvent>& plays, const std::string& file) {
  // The device's clock is its local time: the timestamps are that clock's
  // reading, which the format's "UNKNOWN" zone says.
  std::string out = "#AUDIOSCROBBLER/1.1\n#TZ/UNKNOWN\n#CLIENT/Cadenza " CADENZA_VERSION_STRING "\n";
  std::vector<std::pair<int64_t, std::string>> lines;
  for (const PlayEvent& e : plays) {
    if (e.plays == 0 || e.last_played == 0) continue;
    const int64_t step = std::max<int64_t>(e.length_ms / 1000, 1);
    for (uint32_t k = 0; k < e.plays; ++k) {
      std::string line = Clean(e.artist) + '\t' + Clean(e.album) + '\t' + Clean(e.title) + '\t';
      line += e.track_number > 0 ? std::to_string(e.track_number) : std::string();
      line += '\t' + std::to_string(e.length_ms / 1000) + "\tL\t";
      const int64_t when = e.last_played - step * (e.plays - 1 - k);
      line += std::to_string(when) + "\t\n";
      lines.emplace_back(when, std::move(line));
    }
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& l : lines) out += l.second;
  return fs::WriteFileAtomic(file, out);
}

}  // namespace cadenza
