#include "db/itunes_sd.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <unordered_map>
#include <utility>

#include "db/codec.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// ---- The fixed records (1st and 2nd generation), big-endian ----
// Header: three 3-byte numbers, then 9 zero bytes.
constexpr size_t kFixedHeaderSize = 18;
constexpr size_t kFhTrackCount = 0;
constexpr size_t kFhVersion = 3;
constexpr size_t kFhHeaderSize = 6;
constexpr uint32_t kFixedVersion = 0x010600;
// One record per track: eleven 3-byte numbers, the path slot, three flags.
constexpr size_t kFixedRecordSize = 558;
constexpr size_t kFrSize = 0;
constexpr size_t kFrUnknown1 = 3;
constexpr size_t kFrStart = 6;
constexpr size_t kFrStop = 15;
constexpr size_t kFrVolume = 24;
constexpr size_t kFrFileType = 27;
constexpr size_t kFrUnknown6 = 30;
constexpr size_t kFrPath = 33;
constexpr size_t kFrPathUnits = 261;  // 522 bytes
constexpr size_t kFrShuffle = 555;
constexpr size_t kFrBookmark = 556;
constexpr uint32_t kFrUnknown1Value = 0x5AA501;
constexpr uint32_t kFrUnknown6Value = 0x000200;
constexpr int32_t kFixedTimeStep = 256;  // ms per unit of the time fields
constexpr uint32_t kMax24 = 0xFFFFFF;

// ---- The bdhs layout (3rd and 4th generation), little-endian ----
constexpr std::string_view kBdhsId = "bdhs";
constexpr std::string_view kHthsId = "hths";
constexpr std::string_view kRthsId = "rths";
constexpr std::string_view kHphsId = "hphs";
constexpr std::string_view kLphsId = "lphs";
// bdhs header.
constexpr size_t kBdhsHeaderSize = 64;
constexpr uint32_t kBdhsVersion = 0x02000003;
constexpr size_t kBhVersion = 4;
constexpr size_t kBhHeaderSize = 8;
constexpr size_t kBhTrackCount = 12;
constexpr size_t kBhPlaylistCount = 16;
constexpr size_t kBhVoiceOver = 29;
constexpr size_t kBhMusicTrackCount = 32;  // tracks that are no podcast or audiobook
constexpr size_t kBhTrackHeader = 36;
constexpr size_t kBhPlaylistHeader = 40;
// hths and hphs: a 20-byte head, then the chunks' 4-byte offsets.
constexpr size_t kListHeadSize = 20;
constexpr size_t kLhLength = 4;
constexpr size_t kLhCount = 8;
constexpr size_t kPhNonPodcastLists = 12;  // 2 bytes each
constexpr size_t kPhMasterLists = 14;
constexpr size_t kPhNonAudiobookLists = 16;
// rths: one track.
constexpr size_t kRthsSize = 372;
constexpr size_t kRtLength = 4;
constexpr size_t kRtStart = 8;
constexpr size_t kRtStop = 12;
constexpr size_t kRtVolume = 16;
constexpr size_t kRtFileType = 20;
constexpr size_t kRtPath = 24;
constexpr size_t kRtPathSlot = 256;
constexpr size_t kRtBookmarkMs = 280;
constexpr size_t kRtShuffle = 284;
constexpr size_t kRtRemember = 285;
constexpr size_t kRtPreGap = 288;
constexpr size_t kRtPostGap = 292;
constexpr size_t kRtSampleCount = 296;
constexpr size_t kRtGaplessData = 304;
constexpr size_t kRtAlbumId = 312;
constexpr size_t kRtTrackNumber = 316;  // 2 bytes
constexpr size_t kRtDiscNumber = 318;   // 2 bytes
constexpr size_t kRtDbId = 328;         // 8 bytes
// lphs: one playlist, a 44-byte head and 4-byte track indexes.
constexpr size_t kLphsHeadSize = 44;
constexpr size_t kLpLength = 4;
constexpr size_t kLpCount = 8;
constexpr size_t kLpMusicCount = 12;
constexpr size_t kLpDbId = 16;
constexpr size_t kLpType = 24;

// Media type bits of podcasts (video podcasts too) and audiobooks.
constexpr int32_t kPodcastOrAudiobook = 0x04 | 0x08;

// A track on its way into the image.
struct Track {
  ShuffleEntry entry;
  std::u16string path16;  // the path as UTF-16 (for the fixed records)
  bool music = true;      // neither a podcast nor an audiobook
};

struct Playlist {
  ShufflePlaylist list;
  uint32_t music_count = 0;
};

// ---- byte helpers ----
void PutBE24(std::string& out, size_t at, uint32_t v) {
  out[at] = static_cast<char>((v >> 16) & 0xFF);
  out[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  out[at + 2] = static_cast<char>(v & 0xFF);
}
uint32_t LoadBE24(std::string_view s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
  return b(0) << 16 | b(1) << 8 | b(2);
}
// Whether [at, at + n) lies inside `s` (64-bit sums cannot overflow here).
bool Fits(std::string_view s, uint64_t at, uint64_t n) {
  return at <= s.size() && n <= s.size() - at;
}
uint32_t U32(std::string_view s, size_t at) { return LoadLE32(s.data() + at); }
void PutU32(ByteWriter& w, size_t at, uint32_t v) {
  w.PutLong(static_cast<int64_t>(at), static_cast<int32_t>(v));
}
void PutU16(ByteWriter& w, size_t at, int32_t v) {
  w.PutInteger(static_cast<int64_t>(at),
               static_cast<int16_t>(static_cast<uint16_t>(std::clamp(v, 0, 0xFFFF))));
}
int32_t Signed(uint32_t v) { return static_cast<int32_t>(v); }
// A time field of the fixed records in ms (the largest ones do not fit).
int32_t FixedTime(uint32_t units) {
  return static_cast<int32_t>(
      std::min<int64_t>(int64_t{units} * kFixedTimeStep, std::numeric_limits<int32_t>::max()));
}

// ---- from the database ----
// The file type code for a location's extension; 0 when none fits.
int32_t FileTypeOf(std::u16string_view path) {
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string_view::npos) return 0;
  std::string ext;
  for (char16_t c : path.substr(dot + 1)) {
    if (c > 0x7F) return 0;
    ext += static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
  }
  if (ext == "mp3") return kShuffleMp3;
  if (ext == "m4a" || ext == "m4b" || ext == "aac" || ext == "mp4") return kShuffleAac;
  if (ext == "wav") return kShuffleWav;
  return 0;
}

// The track's location as a "/" path; empty when it has none.
std::u16string PathOf(const MHIT& t) {
  for (const MHOD_S& o : t.m_mhod) {
    if (o.iType != static_cast<int32_t>(DataObjectType::kLocation) || o.sString.empty()) continue;
    std::u16string p = o.sString.u16();
    std::replace(p.begin(), p.end(), u':', u'/');
    if (p.front() != u'/') p.insert(p.begin(), u'/');
    return p;
  }
  return {};
}

Status Unrepresentable(const MHIT& t, const std::string& path, const std::string& why) {
  std::string m = "Track ";
  m += std::to_string(t.iUniqueID);
  m += " (";
  m += path;
  m += ") cannot be written to the iPod shuffle's database: ";
  m += why;
  return Status::Invalid(std::move(m));
}

Status MakeTrack(const MHIT& t, std::u16string path16, ShuffleFormat format, Track* out) {
  ShuffleEntry& e = out->entry;
  e.path = Utf16ToUtf8(path16);
  e.file_type = FileTypeOf(path16);
  if (e.file_type == 0) return Unrepresentable(t, e.path, "it plays only MP3, AAC and WAV files");
  if (format == ShuffleFormat::kFixedRecords && path16.size() > kShuffleFixedPathUnits)
    return Unrepresentable(t, e.path, "the path is longer than 260 UTF-16 characters");
  if (format == ShuffleFormat::kBdhs && e.path.size() > kShuffleBdhsPathBytes)
    return Unrepresentable(t, e.path, "the path is longer than 255 UTF-8 bytes");
  e.start_ms = std::max(t.iStartTime, 0);
  e.stop_ms = std::max(t.iStopTime, 0);
  e.volume = std::clamp(t.iVolume, -255, 255);
  e.shuffle = t.iSkipWhenShuffle == 0;
  e.bookmark = t.iRememPlaybackPos != 0;
  e.bookmark_ms = t.iBookmarkTime;
  e.track_number = t.iTrackNumber;
  e.disc_number = t.iDiscNumber;
  e.album_id = t.iAlbumID;
  e.db_id = t.iDB_ID;
  e.pre_gap = t.iPreGap;
  e.post_gap = t.iPostGap;
  e.sample_count = static_cast<int32_t>(static_cast<uint32_t>(t.iSampleCount & 0xFFFFFFFFu));
  e.gapless_data = t.iGaplessData;
  out->path16 = std::move(path16);
  out->music = (t.iMediaType & kPodcastOrAudiobook) == 0;
  return Status::OK();
}

// The live tracks that have a location, in database order, and each one's
// index by track id.
Status CollectTracks(const Database& db, ShuffleFormat format, std::vector<Track>* tracks,
                     std::unordered_map<int32_t, uint32_t>* index,
                     std::vector<std::string>* left_out) {
  for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit) {
    if (t.iUniqueID == -1) continue;
    std::u16string path = PathOf(t);
    if (path.empty()) continue;
    Track tr;
    if (Status s = MakeTrack(t, std::move(path), format, &tr); !s.ok()) {
      if (!left_out) return s;
      left_out->push_back(s.message());
      continue;
    }
    index->emplace(t.iUniqueID, static_cast<uint32_t>(tracks->size()));
    tracks->push_back(std::move(tr));
  }
  return Status::OK();
}

bool IsSmart(const MHYP& p) {
  return std::any_of(p.m_mhod_pcd.begin(), p.m_mhod_pcd.end(), [](const MHOD_PCD& o) {
    return o.iType == static_cast<int32_t>(DataObjectType::kSmartPlaylistData) ||
           o.iType == static_cast<int32_t>(DataObjectType::kSmartPlaylistRules);
  });
}

// The master playlist (every track) and the plain playlists; empty ones
// are left out.
std::vector<Playlist> CollectPlaylists(const Database& db, const std::vector<Track>& tracks,
                                       const std::unordered_map<int32_t, uint32_t>& index) {
  std::vector<Playlist> out;
  Playlist master;
  master.list.type = kShuffleMasterPlaylist;
  for (uint32_t i = 0; i < tracks.size(); ++i) {
    master.list.tracks.push_back(i);
    master.music_count += tracks[i].music ? 1 : 0;
  }
  if (!tracks.empty()) out.push_back(std::move(master));
  const auto& lists = db.m_MHSD_PlayLists.m_mhlp.m_mhyp.empty() ? db.m_MHSD_Podcasts.m_mhlp.m_mhyp
                                                                : db.m_MHSD_PlayLists.m_mhlp.m_mhyp;
  for (const MHYP& p : lists) {
    if (p.iIsMasterFLag != 0 || p.iPodCastFlag != 0 || IsSmart(p)) continue;
    Playlist pl;
    pl.list.type = kShuffleNormalPlaylist;
    pl.list.db_id = p.sPerPlayListID.size() == 8 ? LoadLE64(p.sPerPlayListID.data()) : 0;
    for (const MHIP& item : p.m_mhip) {
      auto it = item.iTrackID == -1 ? index.end() : index.find(item.iTrackID);
      if (it == index.end()) continue;
      pl.list.tracks.push_back(it->second);
      pl.music_count += tracks[it->second].music ? 1 : 0;
    }
    if (!pl.list.tracks.empty()) out.push_back(std::move(pl));
  }
  return out;
}

// ---- writing ----
void PutFixedRecord(std::string& out, size_t at, const Track& t) {
  const ShuffleEntry& e = t.entry;
  PutBE24(out, at + kFrSize, kFixedRecordSize);
  PutBE24(out, at + kFrUnknown1, kFrUnknown1Value);
  PutBE24(out, at + kFrStart, static_cast<uint32_t>(e.start_ms / kFixedTimeStep));
  PutBE24(out, at + kFrStop, static_cast<uint32_t>(e.stop_ms / kFixedTimeStep));
  // -255..255 onto 0..200, rounded down: 0 stays 100.
  PutBE24(out, at + kFrVolume, static_cast<uint32_t>((25500 + e.volume * 100) / 255));
  PutBE24(out, at + kFrFileType, static_cast<uint32_t>(e.file_type));
  PutBE24(out, at + kFrUnknown6, kFrUnknown6Value);
  for (size_t i = 0; i < t.path16.size(); ++i) {
    out[at + kFrPath + 2 * i] = static_cast<char>(t.path16[i] & 0xFF);
    out[at + kFrPath + 2 * i + 1] = static_cast<char>(t.path16[i] >> 8);
  }
  out[at + kFrShuffle] = static_cast<char>(e.shuffle);
  out[at + kFrBookmark] = static_cast<char>(e.bookmark);
}

Status BuildFixed(const std::vector<Track>& tracks, std::string* image) {
  if (tracks.size() > kMax24)
    return Status::Invalid("Too many tracks for the iPod shuffle's database");
  std::string out(kFixedHeaderSize + kFixedRecordSize * tracks.size(), '\0');
  PutBE24(out, kFhTrackCount, static_cast<uint32_t>(tracks.size()));
  PutBE24(out, kFhVersion, kFixedVersion);
  PutBE24(out, kFhHeaderSize, kFixedHeaderSize);
  for (size_t i = 0; i < tracks.size(); ++i)
    PutFixedRecord(out, kFixedHeaderSize + kFixedRecordSize * i, tracks[i]);
  *image = std::move(out);
  return Status::OK();
}

void PutRths(ByteWriter& w, size_t at, const ShuffleEntry& e) {
  w.Put(static_cast<int64_t>(at), kRthsId);
  PutU32(w, at + kRtLength, kRthsSize);
  PutU32(w, at + kRtStart, static_cast<uint32_t>(e.start_ms));
  PutU32(w, at + kRtStop, static_cast<uint32_t>(e.stop_ms));
  PutU32(w, at + kRtVolume, static_cast<uint32_t>(e.volume));
  PutU32(w, at + kRtFileType, static_cast<uint32_t>(e.file_type));
  w.Put(static_cast<int64_t>(at + kRtPath), e.path);
  PutU32(w, at + kRtBookmarkMs, static_cast<uint32_t>(e.bookmark_ms));
  w.PutByte(static_cast<int64_t>(at + kRtShuffle), e.shuffle ? 1 : 0);
  w.PutByte(static_cast<int64_t>(at + kRtRemember), e.bookmark ? 1 : 0);
  PutU32(w, at + kRtPreGap, static_cast<uint32_t>(e.pre_gap));
  PutU32(w, at + kRtPostGap, static_cast<uint32_t>(e.post_gap));
  PutU32(w, at + kRtSampleCount, static_cast<uint32_t>(e.sample_count));
  PutU32(w, at + kRtGaplessData, static_cast<uint32_t>(e.gapless_data));
  PutU32(w, at + kRtAlbumId, static_cast<uint32_t>(e.album_id));
  PutU16(w, at + kRtTrackNumber, e.track_number);
  PutU16(w, at + kRtDiscNumber, e.disc_number);
  w.PutCurrency(static_cast<int64_t>(at + kRtDbId), e.db_id);
  w.Extend(static_cast<int64_t>(at + kRthsSize));
}

void PutLphs(ByteWriter& w, size_t at, const Playlist& p) {
  w.Put(static_cast<int64_t>(at), kLphsId);
  PutU32(w, at + kLpLength, static_cast<uint32_t>(kLphsHeadSize + 4 * p.list.tracks.size()));
  PutU32(w, at + kLpCount, static_cast<uint32_t>(p.list.tracks.size()));
  PutU32(w, at + kLpMusicCount, p.music_count);
  w.PutCurrency(static_cast<int64_t>(at + kLpDbId), p.list.db_id);
  PutU32(w, at + kLpType, static_cast<uint32_t>(p.list.type));
  w.Extend(static_cast<int64_t>(at + kLphsHeadSize));
  for (size_t i = 0; i < p.list.tracks.size(); ++i)
    PutU32(w, at + kLphsHeadSize + 4 * i, p.list.tracks[i]);
}

// The list header (hths or hphs) at `at` for chunks at `offsets`.
void PutListHead(ByteWriter& w, size_t at, std::string_view id,
                 const std::vector<size_t>& offsets) {
  w.Put(static_cast<int64_t>(at), id);
  PutU32(w, at + kLhLength, static_cast<uint32_t>(kListHeadSize + 4 * offsets.size()));
  PutU32(w, at + kLhCount, static_cast<uint32_t>(offsets.size()));
  w.Extend(static_cast<int64_t>(at + kListHeadSize));
  for (size_t i = 0; i < offsets.size(); ++i)
    PutU32(w, at + kListHeadSize + 4 * i, static_cast<uint32_t>(offsets[i]));
}

Status BuildBdhs(const std::vector<Track>& tracks, const std::vector<Playlist>& lists,
                 std::string* image) {
  ByteWriter w;
  size_t pos = kBdhsHeaderSize;
  // No tracks: no track header at all (offset 0), as the desktop software writes it.
  const size_t track_head = tracks.empty() ? 0 : pos;
  std::vector<size_t> offsets;
  if (!tracks.empty()) pos += kListHeadSize + 4 * tracks.size();
  for (const Track& t : tracks) {
    offsets.push_back(pos);
    PutRths(w, pos, t.entry);
    pos += kRthsSize;
  }
  if (!tracks.empty()) PutListHead(w, track_head, kHthsId, offsets);
  const size_t list_head = pos;
  pos += kListHeadSize + 4 * lists.size();
  offsets.clear();
  uint32_t music = 0;
  for (const Track& t : tracks) music += t.music ? 1 : 0;
  for (const Playlist& p : lists) {
    offsets.push_back(pos);
    PutLphs(w, pos, p);
    pos += kLphsHeadSize + 4 * p.list.tracks.size();
  }
  PutListHead(w, list_head, kHphsId, offsets);
  // Every list here is neither a podcast nor an audiobook list; one is the master.
  const auto n = static_cast<int32_t>(lists.size());
  PutU16(w, list_head + kPhNonPodcastLists, n);
  PutU16(w, list_head + kPhMasterLists, lists.empty() ? 0 : 1);
  PutU16(w, list_head + kPhNonAudiobookLists, n);
  if (pos > std::numeric_limits<uint32_t>::max())
    return Status::Invalid("The iPod shuffle's database would exceed 4 GB");
  w.Put(0, kBdhsId);
  PutU32(w, kBhVersion, kBdhsVersion);
  PutU32(w, kBhHeaderSize, kBdhsHeaderSize);
  PutU32(w, kBhTrackCount, static_cast<uint32_t>(tracks.size()));
  PutU32(w, kBhPlaylistCount, static_cast<uint32_t>(lists.size()));
  w.PutByte(kBhVoiceOver, 1);
  PutU32(w, kBhMusicTrackCount, music);
  PutU32(w, kBhTrackHeader, static_cast<uint32_t>(track_head));
  PutU32(w, kBhPlaylistHeader, static_cast<uint32_t>(list_head));
  *image = std::move(w.str());
  return Status::OK();
}

// ---- reading ----
Status Damaged(const std::string& what) {
  return Status::Corrupt("The iPod shuffle's database is damaged: " + what);
}

// A zero-terminated (or slot-filling) path.
std::string FixedPath(std::string_view rec) {
  std::u16string p;
  for (size_t i = 0; i < kFrPathUnits; ++i) {
    const auto c = static_cast<char16_t>(static_cast<uint8_t>(rec[kFrPath + 2 * i]) |
                                         static_cast<uint8_t>(rec[kFrPath + 2 * i + 1]) << 8);
    if (c == 0) break;
    p += c;
  }
  return Utf16ToUtf8(p);
}

Status ReadFixed(std::string_view img, ShuffleContents* out) {
  if (img.size() < kFixedHeaderSize) return Damaged("shorter than its header");
  const uint32_t count = LoadBE24(img, kFhTrackCount);
  if (LoadBE24(img, kFhHeaderSize) != kFixedHeaderSize) return Damaged("unknown header size");
  if (!Fits(img, kFixedHeaderSize, uint64_t{count} * kFixedRecordSize))
    return Damaged("the track records run past the end");
  out->version = LoadBE24(img, kFhVersion);
  out->tracks.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string_view rec =
        img.substr(kFixedHeaderSize + kFixedRecordSize * i, kFixedRecordSize);
    if (LoadBE24(rec, kFrSize) != kFixedRecordSize) return Damaged("unknown track record size");
    ShuffleEntry e;
    e.path = FixedPath(rec);
    e.file_type = Signed(LoadBE24(rec, kFrFileType));
    e.start_ms = FixedTime(LoadBE24(rec, kFrStart));
    e.stop_ms = FixedTime(LoadBE24(rec, kFrStop));
    e.volume = Signed(LoadBE24(rec, kFrVolume));
    e.shuffle = rec[kFrShuffle] != 0;
    e.bookmark = rec[kFrBookmark] != 0;
    out->tracks.push_back(std::move(e));
  }
  return Status::OK();
}

// The chunk offsets of a list header (hths or hphs) at `at`.
Status ReadListHead(std::string_view img, uint32_t at, std::string_view id,
                    std::vector<uint32_t>* offsets) {
  if (!Fits(img, at, kListHeadSize) || img.substr(at, 4) != id)
    return Damaged(std::string(id) + " missing");
  const uint32_t count = U32(img, at + kLhCount);
  if (!Fits(img, uint64_t{at} + kListHeadSize, uint64_t{count} * 4))
    return Damaged(std::string(id) + " runs past the end");
  offsets->resize(count);
  for (size_t i = 0; i < count; ++i) (*offsets)[i] = U32(img, at + kListHeadSize + 4 * i);
  return Status::OK();
}

ShuffleEntry ReadRths(std::string_view r) {
  ShuffleEntry e;
  const std::string_view slot = r.substr(kRtPath, kRtPathSlot);
  e.path = std::string(slot.substr(0, slot.find('\0')));
  e.start_ms = Signed(U32(r, kRtStart));
  e.stop_ms = Signed(U32(r, kRtStop));
  e.volume = Signed(U32(r, kRtVolume));
  e.file_type = Signed(U32(r, kRtFileType));
  e.bookmark_ms = Signed(U32(r, kRtBookmarkMs));
  e.shuffle = r[kRtShuffle] != 0;
  e.bookmark = r[kRtRemember] != 0;
  e.pre_gap = Signed(U32(r, kRtPreGap));
  e.post_gap = Signed(U32(r, kRtPostGap));
  e.sample_count = Signed(U32(r, kRtSampleCount));
  e.gapless_data = Signed(U32(r, kRtGaplessData));
  e.album_id = Signed(U32(r, kRtAlbumId));
  e.track_number = LoadLE16(r.data() + kRtTrackNumber);
  e.disc_number = LoadLE16(r.data() + kRtDiscNumber);
  e.db_id = LoadLE64(r.data() + kRtDbId);
  return e;
}

Status ReadPlaylists(std::string_view img, uint32_t at, ShuffleContents* out) {
  std::vector<uint32_t> offsets;
  if (Status s = ReadListHead(img, at, kHphsId, &offsets); !s.ok()) return s;
  for (uint32_t off : offsets) {
    if (!Fits(img, off, kLphsHeadSize) || img.substr(off, 4) != kLphsId)
      return Damaged("lphs missing");
    const uint32_t count = U32(img, off + kLpCount);
    if (!Fits(img, uint64_t{off} + kLphsHeadSize, uint64_t{count} * 4))
      return Damaged("a playlist runs past the end");
    ShufflePlaylist p;
    p.type = Signed(U32(img, off + kLpType));
    p.db_id = LoadLE64(img.data() + off + kLpDbId);
    p.tracks.resize(count);
    for (size_t i = 0; i < count; ++i) {
      p.tracks[i] = U32(img, off + kLphsHeadSize + 4 * i);
      if (p.tracks[i] >= out->tracks.size()) return Damaged("a playlist names a missing track");
    }
    out->playlists.push_back(std::move(p));
  }
  return Status::OK();
}

Status ReadBdhs(std::string_view img, ShuffleContents* out) {
  if (img.size() < kBdhsHeaderSize || U32(img, kBhHeaderSize) < kBdhsHeaderSize)
    return Damaged("shorter than its header");
  out->version = U32(img, kBhVersion);
  const uint32_t track_count = U32(img, kBhTrackCount);
  const uint32_t track_head = U32(img, kBhTrackHeader);
  std::vector<uint32_t> offsets;
  if (track_head != 0) {
    if (Status s = ReadListHead(img, track_head, kHthsId, &offsets); !s.ok()) return s;
  }
  if (offsets.size() != track_count) return Damaged("the track counts disagree");
  out->tracks.reserve(offsets.size());
  for (uint32_t off : offsets) {
    if (!Fits(img, off, kRthsSize) || img.substr(off, 4) != kRthsId ||
        U32(img, off + kRtLength) < kRthsSize)
      return Damaged("rths missing");
    out->tracks.push_back(ReadRths(img.substr(off, kRthsSize)));
  }
  if (Status s = ReadPlaylists(img, U32(img, kBhPlaylistHeader), out); !s.ok()) return s;
  if (out->playlists.size() != U32(img, kBhPlaylistCount))
    return Damaged("the playlist counts disagree");
  return Status::OK();
}

}  // namespace

ShuffleFormat DetectShuffleFormat(std::string_view image) {
  return image.substr(0, kBdhsId.size()) == kBdhsId ? ShuffleFormat::kBdhs
                                                    : ShuffleFormat::kFixedRecords;
}

Status BuildShuffleDatabase(const Database& db, ShuffleFormat format, std::string* image,
                            std::vector<std::string>* left_out) {
  std::vector<Track> tracks;
  std::unordered_map<int32_t, uint32_t> index;
  if (Status s = CollectTracks(db, format, &tracks, &index, left_out); !s.ok()) return s;
  if (format == ShuffleFormat::kFixedRecords) return BuildFixed(tracks, image);
  return BuildBdhs(tracks, CollectPlaylists(db, tracks, index), image);
}

Status ReadShuffleDatabase(std::string_view image, ShuffleContents* out) {
  *out = ShuffleContents();
  out->format = DetectShuffleFormat(image);
  return out->format == ShuffleFormat::kBdhs ? ReadBdhs(image, out) : ReadFixed(image, out);
}

}  // namespace cadenza
