// Library: importing files as the user has them - converting what the iPod
// cannot play, carrying every tag, and leaving out files the device holds
// already.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <numeric>
#include <unordered_map>

#include "cadenza/library.h"
#include "component/library_impl.h"
#include "component/track_text.h"
#include "media/convert.h"
#include "media/describe.h"
#include "platform/file.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// Two lengths within this many milliseconds are the same recording.
constexpr int32_t kSameLengthMs = 2000;

// Title, artist and album, compared without regard to ASCII case.
std::string DuplicateKey(const std::string& title, const std::string& artist,
                         const std::string& album) {
  return AsciiLower(title) + '\x1F' + AsciiLower(artist) + '\x1F' + AsciiLower(album);
}

// Whether two files hold the same bytes (both must be readable). Files of
// one size that differ mostly differ in their tags, at the start or the end:
// those are compared first.
bool SameBytes(const std::string& a, const std::string& b) {
  RandomAccessFile fa(a), fb(b);
  if (!fa.is_open() || !fb.is_open() || fa.size() != fb.size()) return false;
  constexpr int64_t kEdge = 64 * 1024;
  const int64_t tail = std::max<int64_t>(fa.size() - kEdge, 0);
  for (int64_t at : {int64_t{0}, tail})
    if (fa.ReadAt(at, kEdge) != fb.ReadAt(at, kEdge)) return false;
  constexpr size_t kBlock = 1 << 20;
  for (int64_t at = 0; at < fa.size(); at += kBlock) {
    const std::string x = fa.ReadAt(at, kBlock), y = fb.ReadAt(at, kBlock);
    if (x.empty() || x != y) return false;
  }
  return true;
}

// The name of a converted file: in `folder` when one is given, else among
// the system's temporary files.
Status ConversionTarget(const std::string& folder, const std::string& extension,
                        std::string* scratch, std::string* target) {
  if (folder.empty()) {
    if (Status st = fs::CreateTempFile("convert", scratch); !st.ok()) return st;
    *target = *scratch + extension;
    return Status::OK();
  }
  static std::atomic<unsigned> counter{0};
  *target = folder + "/cadenza-convert-" + std::to_string(std::random_device{}()) + "-" +
            std::to_string(counter++) + extension;
  return Status::OK();
}

}  // namespace

PreparedFile::~PreparedFile() {
  if (converted && !path.empty()) (void)fs::DeleteFile(path, true);
}

PreparedFile::PreparedFile(PreparedFile&& o) noexcept { *this = std::move(o); }

PreparedFile& PreparedFile::operator=(PreparedFile&& o) noexcept {
  if (this == &o) return *this;
  if (converted && !path.empty()) (void)fs::DeleteFile(path, true);
  source = std::move(o.source);
  path = std::move(o.path);
  converted = o.converted;
  info = std::move(o.info);
  tags = std::move(o.tags);
  o.converted = false;
  o.path.clear();
  return *this;
}

Status Library::Probe(const std::string& file, TrackInfo* info, Tags* tags) const {
  const Impl& d = *impl_;
  MediaOptions options;
  options.component_folder = d.ComponentFolder();
  // The analyser runs for a while; the caller hears of it now and then.
  options.tick = [&] {
    d.Report({Progress::Stage::kAnalyse, file});
    return true;
  };
  std::vector<Status> errors;
  // Described as the files on the device are: whether the iPod plays a
  // video well is for an import to decide.
  MediaFacts facts;
  facts.check_video = false;
  Status st = DescribeMediaFile(file, options, info, &errors, &facts);
  for (const Status& e : errors) d.Report({Progress::Stage::kAnalyserError, file, 0, 0, &e});
  if (tags) *tags = facts.tags;
  return st;
}

Status Library::Prepare(const std::string& file, const Options& options, const ImportOptions& how,
                        PreparedFile* out) {
  *out = PreparedFile{};
  out->source = out->path = file;
  const Library probe("", options);
  MediaOptions media;
  media.component_folder = probe.impl_->ComponentFolder();
  MediaFacts facts;
  Status st = DescribeMediaFile(file, media, &out->info, nullptr, &facts);
  out->tags = facts.tags;
  if (st.ok() && !out->info.isFileSupported)
    return Status::Unsupported("The file is not supported: " + file);
  if (st.ok() || (!facts.convert_audio && !facts.convert_video)) return st;
  if (facts.convert_audio && !how.convert)
    return Status::Unsupported("the iPod does not play ." + AsciiLower(fs::FileName(file).substr(
                                   fs::FileStem(file).size() + 1)) +
                               " files, and conversion is off");
  if (facts.convert_video && !how.convert_video)
    return Status::Unsupported(st.message() + (facts.video_refusal.empty() ? "" : "; --convert-video converts it"));

  std::string scratch, target;
  if (Status s = ConversionTarget(how.work_folder, facts.convert_audio ? ".m4a" : ".m4v", &scratch,
                                  &target);
      !s.ok())
    return s;
  ConvertOptions convert;
  convert.lossless = how.lossless;
  convert.bitrate_kbps = how.bitrate_kbps;
  convert.component_folder = media.component_folder;
  st = facts.convert_audio ? ConvertAudio(file, target, convert) : ConvertVideo(file, target, convert);
  if (!scratch.empty()) (void)fs::DeleteFile(scratch, true);
  if (!st.ok()) return st;
  out->path = target;
  out->converted = true;
  out->info = TrackInfo{};
  MediaFacts converted;
  st = DescribeMediaFile(target, media, &out->info, nullptr, &converted);
  if (st.ok() && !out->info.isFileSupported)
    st = Status::Unsupported("the converted file is not one the iPod plays");
  if (!st.ok()) return st;
  out->tags = converted.tags;
  // Without a title tag the track is named after the file the user has,
  // not after the conversion.
  if (converted.tags.title.empty()) out->info.sTitle = fs::FileName(file);
  return Status::OK();
}

void Library::Impl::IndexDuplicates() {
  if (dupes_known) return;
  by_text.clear();
  by_size.clear();
  for (const MHIT& t : db.m_MHSD_T.m_mhlt.m_mhit) {
    if (t.iUniqueID == -1) continue;
    by_text.emplace(DuplicateKey(TrackText(t, DataObjectType::kTitle), TrackText(t, DataObjectType::kArtist),
                                 TrackText(t, DataObjectType::kAlbum)),
                    t.iUniqueID);
    if (t.iTrackSize > 0) by_size.emplace(t.iTrackSize, t.iUniqueID);
  }
  dupes_known = true;
}

int32_t Library::FindDuplicate(const std::string& file, const TrackInfo& info) const {
  Impl& d = *impl_;
  d.IndexDuplicates();
  auto [first, last] = d.by_text.equal_range(DuplicateKey(info.sTitle, info.sArtist, info.sAlbum));
  for (auto it = first; it != last; ++it) {
    const MHIT* t = track(it->second);
    if (t && std::abs(int64_t{t->iTrackTimeLength} - info.iTrackTimLength) <= kSameLengthMs)
      return t->iUniqueID;
  }
  const int64_t size = fs::FileSize(file);
  auto [from, to] = d.by_size.equal_range(static_cast<int32_t>(std::clamp<int64_t>(size, -1, INT32_MAX)));
  for (auto it = from; it != to; ++it) {
    TrackInfo there;
    if (track(it->second) && Describe(it->second, &there).ok() && SameBytes(file, there.sLocation))
      return it->second;
  }
  return 0;
}

std::vector<std::vector<int32_t>> Library::Duplicates() const {
  // Tracks are joined when their text matches and their lengths are within
  // 2 s of each other, or when their files hold the same bytes.
  std::vector<const MHIT*> live;
  for (const MHIT& t : tracks()) live.push_back(&t);
  std::vector<size_t> parent(live.size());
  std::iota(parent.begin(), parent.end(), size_t{0});
  auto root = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  auto join = [&](size_t a, size_t b) {
    a = root(a);
    b = root(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  };
  std::unordered_map<std::string, std::vector<size_t>> by_text;
  std::unordered_map<int32_t, std::vector<size_t>> by_size;
  for (size_t i = 0; i < live.size(); ++i) {
    const MHIT& t = *live[i];
    by_text[DuplicateKey(TrackText(t, DataObjectType::kTitle), TrackText(t, DataObjectType::kArtist),
                         TrackText(t, DataObjectType::kAlbum))]
        .push_back(i);
    if (t.iTrackSize > 0) by_size[t.iTrackSize].push_back(i);
  }
  for (auto& [key, group] : by_text) {
    std::sort(group.begin(), group.end(), [&](size_t a, size_t b) {
      return live[a]->iTrackTimeLength < live[b]->iTrackTimeLength;
    });
    for (size_t k = 1; k < group.size(); ++k)
      if (int64_t{live[group[k]]->iTrackTimeLength} - live[group[k - 1]]->iTrackTimeLength <=
          kSameLengthMs)
        join(group[k - 1], group[k]);
  }
  for (auto& [size, group] : by_size) {
    for (size_t k = 1; k < group.size(); ++k) {
      if (root(group[k]) == root(group[0])) continue;
      TrackInfo a, b;
      if (Describe(live[group[0]]->iUniqueID, &a).ok() &&
          Describe(live[group[k]]->iUniqueID, &b).ok() && SameBytes(a.sLocation, b.sLocation))
        join(group[0], group[k]);
    }
  }
  std::map<size_t, std::vector<int32_t>> groups;
  for (size_t i = 0; i < live.size(); ++i) groups[root(i)].push_back(live[i]->iUniqueID);
  std::vector<std::vector<int32_t>> out;
  for (auto& [first, ids] : groups)
    if (ids.size() > 1) out.push_back(std::move(ids));
  return out;
}

Status Library::AddPrepared(const PreparedFile& file, const ImportOptions& how, int32_t* id) {
  *id = 0;
  if (!how.allow_duplicates) {
    if (int32_t same = FindDuplicate(file.path, file.info); same != 0) {
      *id = same;
      return Status::Duplicate("already on the iPod (track " + std::to_string(same) + ")");
    }
  }
  AddOptions add;
  add.tags = file.tags;
  add.covers = how.covers;
  add.original = file.source;
  Status st = Add(file.path, file.info, add, id);
  if (st.ok() && impl_->dupes_known) {
    const MHIT& t = *track(*id);
    impl_->by_text.emplace(
        DuplicateKey(file.info.sTitle.empty() ? fs::FileStem(file.path) : file.info.sTitle,
                     file.info.sArtist, file.info.sAlbum),
        *id);
    if (t.iTrackSize > 0) impl_->by_size.emplace(t.iTrackSize, *id);
  }
  return st;
}

Status Library::Import(const std::string& file, const ImportOptions& how, int32_t* id) {
  *id = 0;
  PreparedFile prepared;
  impl_->Report({Progress::Stage::kConvert, file});
  if (Status st = Prepare(file, impl_->options, how, &prepared); !st.ok()) return st;
  return AddPrepared(prepared, how, id);
}

Status Library::DescribeTags(int32_t id, Tags* tags) const {
  *tags = Tags{};
  const MHIT* t = track(id);
  if (!t) return Status::Invalid("Subscript out of range", 9);
  tags->title = TrackText(*t, DataObjectType::kTitle);
  tags->artist = TrackText(*t, DataObjectType::kArtist);
  tags->album = TrackText(*t, DataObjectType::kAlbum);
  tags->album_artist = TrackText(*t, DataObjectType::kAlbumArtist);
  tags->genre = TrackText(*t, DataObjectType::kGenre);
  tags->composer = TrackText(*t, DataObjectType::kComposer);
  tags->comment = TrackText(*t, DataObjectType::kComment);
  tags->year = YearText(t->sTrackYear);
  tags->track_number = t->iTrackNumber;
  tags->track_count = t->iTotalTracksNumber;
  tags->disc_number = t->iDiscNumber;
  tags->disc_count = t->iTotalDisks;
  tags->compilation = t->iFlag1 != 0;
  tags->bpm = static_cast<uint16_t>(t->iBPM);
  tags->has_cover = t->iHasArtwork == 1;
  return Status::OK();
}

}  // namespace cadenza
