// Library: playlists: making, renaming, deleting and filling them, and
// .m3u8 files in and out.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "cadenza/library.h"
#include "component/library_impl.h"
#include "component/track_text.h"
#include "platform/text.h"

namespace cadenza {

namespace {

constexpr int32_t kNewPlaylistHeader = 108;
constexpr int32_t kNewItemHeader = 76;
constexpr int32_t kOrderEntrySize = 44;
constexpr int32_t kManualOrder = 1;

size_t ItemCount(const MHYP& y) {
  return std::min({y.m_mhip.size(), y.m_mhod_poe.size(),
                   static_cast<size_t>(std::max(y.iPlaylistItemsCount, 0))});
}

// The bytes the writer puts out for a playlist, from its records.
int64_t WrittenSize(const MHYP& y) {
  int64_t n = y.iHeaderSize;
  for (int32_t j = 0; j < y.iChildsCount; ++j) {
    if (j == 0) {
      n += y.m_mhod_s.iTotalSize;
    } else if (static_cast<size_t>(j - 1) < y.m_mhod_pcd.size()) {
      n += y.m_mhod_pcd[static_cast<size_t>(j - 1)].iTotalSize;
    }
  }
  for (size_t k = 0; k < ItemCount(y); ++k) {
    const MHIP& it = y.m_mhip[k];
    const MHOD_POE& e = y.m_mhod_poe[k];
    if (it.iTrackID == -1) continue;
    n += it.iHeaderSize;
    n += !e.sAllMHOD.empty() ? static_cast<int64_t>(e.sAllMHOD.size())
                             : (e.sID.empty() ? 0 : e.iTotalSize);
  }
  return n;
}

// Runs `edit` on a playlist of `section`, keeping the playlist's and the
// section's sizes in step with what the writer will put out.
template <typename Edit>
void Resized(MHSD_P& section, MHYP& y, Edit edit) {
  const int64_t before = WrittenSize(y);
  edit(y);
  const auto delta = static_cast<int32_t>(WrittenSize(y) - before);
  y.iTotlaSize += delta;
  section.iTotalSize += delta;
}

// Drops the items marked deleted from the arrays (they are not written).
void Compact(MHYP& y) {
  const size_t n = ItemCount(y);
  y.m_mhip.resize(n);
  y.m_mhod_poe.resize(n);
  size_t out = 0;
  for (size_t k = 0; k < n; ++k) {
    if (y.m_mhip[k].iTrackID == -1) continue;
    if (out != k) {
      y.m_mhip[out] = std::move(y.m_mhip[k]);
      y.m_mhod_poe[out] = std::move(y.m_mhod_poe[k]);
    }
    ++out;
  }
  y.m_mhip.resize(out);
  y.m_mhod_poe.resize(out);
  y.iPlaylistItemsCount = static_cast<int32_t>(out);
  y.iMHYPs2Delete = 0;
}

// Numbers the order entries as the items stand: readers such as libgpod
// order a playlist by them.
void Renumber(MHYP& y) {
  for (size_t k = 0; k < ItemCount(y); ++k)
    if (y.m_mhod_poe[k].iType == static_cast<int32_t>(DataObjectType::kPlaylistEntry))
      y.m_mhod_poe[k].iPosition = static_cast<int32_t>(k + 1);
}

void AppendItem(MHYP& y, int32_t id) {
  Compact(y);
  MHIP& item = y.m_mhip.emplace_back();
  item.sID = "mhip";
  item.iHeaderSize = kNewItemHeader;
  item.iTotalSize = kNewItemHeader + kOrderEntrySize;
  item.iChildCount = 1;
  item.iGroupID = id;
  item.iTrackID = id;
  item.sTimeStamp = MacTimeField(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  item.sPodCastGroupRefrence = std::string(4, '\0');
  MHOD_POE& e = y.m_mhod_poe.emplace_back();
  e.sID = "mhod";
  e.iHeaderSize = 24;
  e.iTotalSize = kOrderEntrySize;
  e.iType = static_cast<int32_t>(DataObjectType::kPlaylistEntry);
  e.iPosition = static_cast<int32_t>(y.m_mhip.size());
  e.sUnk3 = std::string(16, '\0');
  y.iPlaylistItemsCount = static_cast<int32_t>(y.m_mhip.size());
}

void SetTitle(MHYP& y, const std::string& name) {
  if (y.iChildsCount == 0) {
    y.iChildsCount = 1;
    y.iMHODCount = static_cast<int16_t>(std::max<int>(y.iMHODCount, 1));
  }
  y.m_mhod_s = MHOD_S{};
  y.m_mhod_s.iType = static_cast<int32_t>(DataObjectType::kTitle);
  y.m_mhod_s.sString = ToObjectText(name, kMaxNewText);
  CompleteTextObject(y.m_mhod_s);
}

MHYP NewPlaylist(const std::string& name, uint64_t id) {
  MHYP y;
  y.sID = "mhyp";
  y.iHeaderSize = kNewPlaylistHeader;
  y.sUnk1 = std::string(3, '\0');
  y.sTimeStamp = MacTimeField(std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
  std::string raw(8, '\0');
  for (int i = 0; i < 8; ++i) raw[static_cast<size_t>(i)] = static_cast<char>(id >> (8 * i));
  y.sPerPlayListID = raw;
  y.iListSortOrder = kManualOrder;
  SetTitle(y, name);
  y.iTotlaSize = static_cast<int32_t>(WrittenSize(y));
  return y;
}

// The playlist of `section` that stands for `y` of the playlist section:
// the one with its id, else the one with its name.
MHYP* Twin(MHSD_P& section, const MHYP& y) {
  for (MHYP& p : section.m_mhlp.m_mhyp)
    if (p.iIsMasterFLag == 0 && p.sPerPlayListID == y.sPerPlayListID) return &p;
  const std::string name = Library::PlaylistName(y);
  for (MHYP& p : section.m_mhlp.m_mhyp)
    if (p.iIsMasterFLag == 0 && Library::PlaylistName(p) == name) return &p;
  return nullptr;
}

}  // namespace

std::string Library::PlaylistName(const MHYP& y) {
  if (y.iChildsCount < 1 || !IsText(y.m_mhod_s)) return {};
  return Utf16ToUtf8(y.m_mhod_s.sString.u16());
}

bool Library::IsSmart(const MHYP& y) {
  return std::any_of(y.m_mhod_pcd.begin(), y.m_mhod_pcd.end(), [](const MHOD_PCD& o) {
    return o.iType == static_cast<int32_t>(DataObjectType::kSmartPlaylistData) ||
           o.iType == static_cast<int32_t>(DataObjectType::kSmartPlaylistRules);
  });
}

std::vector<int32_t> Library::PlaylistTracks(const MHYP& y) {
  std::vector<int32_t> ids;
  for (size_t k = 0; k < ItemCount(y); ++k)
    if (y.m_mhip[k].iTrackID != -1) ids.push_back(y.m_mhip[k].iTrackID);
  return ids;
}

const MHYP* Library::FindPlaylist(std::string_view name) const {
  for (const MHYP& y : playlists())
    if (PlaylistName(y) == name) return &y;
  return nullptr;
}

namespace {

// The playlist named `name` that may be changed, or why not.
Status Changeable(const Library& lib, const std::string& name, const MHYP** out) {
  const MHYP* y = lib.FindPlaylist(name);
  if (!y) return Status::NotFound("No playlist is named \"" + name + "\"");
  if (y->iIsMasterFLag != 0)
    return Status::Invalid("\"" + name + "\" is the iPod's own list of every track; it cannot be changed");
  if (Library::IsSmart(*y))
    return Status::Invalid("\"" + name + "\" is a smart playlist: the iPod fills it from its rules");
  *out = y;
  return Status::OK();
}

Status CheckName(const Library& lib, const std::string& name) {
  if (name.empty()) return Status::Invalid("A playlist needs a name");
  if (lib.FindPlaylist(name)) return Status::Invalid("A playlist named \"" + name + "\" exists already");
  return Status::OK();
}

}  // namespace

Status Library::CreatePlaylist(const std::string& name) {
  Impl& d = *impl_;
  if (!d.loaded) return Status::Invalid("No iPod database is loaded");
  if (Status st = CheckName(*this, name); !st.ok()) return st;
  uint64_t id = 0;
  while (id == 0) id = d.id_random();
  for (MHSD_P* section : {&d.db.m_MHSD_PlayLists, &d.db.m_MHSD_Podcasts}) {
    if (section->sID.empty() || section->m_mhlp.m_mhyp.empty()) continue;
    MHYP y = NewPlaylist(name, id);
    MHLP& list = section->m_mhlp;
    list.m_mhyp.resize(static_cast<size_t>(std::max(list.iNumberOfPlaylists, 0)));
    section->iTotalSize += y.iTotlaSize;
    list.m_mhyp.push_back(std::move(y));
    list.iNumberOfPlaylists = static_cast<int32_t>(list.m_mhyp.size());
  }
  return FindPlaylist(name) ? Status::OK()
                            : Status::Invalid("The database has no playlist section to hold it");
}

// Runs `edit` on the playlist and its twin in the podcast section.
template <typename Edit>
Status EditPlaylist(Database& db, const MHYP* target, Edit edit) {
  MHYP* twin = Twin(db.m_MHSD_Podcasts, *target);
  MHYP& y = const_cast<MHYP&>(*target);
  if (twin) Resized(db.m_MHSD_Podcasts, *twin, edit);
  Resized(db.m_MHSD_PlayLists, y, edit);
  return Status::OK();
}

Status Library::RenamePlaylist(const std::string& from, const std::string& to) {
  const MHYP* y = nullptr;
  if (Status st = Changeable(*this, from, &y); !st.ok()) return st;
  if (from == to) return Status::OK();
  if (Status st = CheckName(*this, to); !st.ok()) return st;
  return EditPlaylist(impl_->db, y, [&](MHYP& p) { SetTitle(p, to); });
}

Status Library::DeletePlaylist(const std::string& name) {
  const MHYP* y = nullptr;
  if (Status st = Changeable(*this, name, &y); !st.ok()) return st;
  Database& db = impl_->db;
  auto drop = [](MHSD_P& section, const MHYP* p) {
    auto& all = section.m_mhlp.m_mhyp;
    for (auto it = all.begin(); it != all.end(); ++it) {
      if (&*it != p) continue;
      section.iTotalSize -= static_cast<int32_t>(WrittenSize(*it));
      all.erase(it);
      section.m_mhlp.iNumberOfPlaylists = static_cast<int32_t>(all.size());
      return;
    }
  };
  if (MHYP* twin = Twin(db.m_MHSD_Podcasts, *y)) drop(db.m_MHSD_Podcasts, twin);
  drop(db.m_MHSD_PlayLists, y);
  return Status::OK();
}

Status Library::AddToPlaylist(const std::string& name, const std::vector<int32_t>& ids) {
  const MHYP* y = nullptr;
  if (Status st = Changeable(*this, name, &y); !st.ok()) return st;
  for (int32_t id : ids)
    if (!track(id)) return Status::Invalid("No track has the id " + std::to_string(id), 9);
  return EditPlaylist(impl_->db, y, [&](MHYP& p) {
    for (int32_t id : ids) AppendItem(p, id);
    Renumber(p);
  });
}

Status Library::RemoveFromPlaylist(const std::string& name, const std::vector<int32_t>& ids) {
  const MHYP* y = nullptr;
  if (Status st = Changeable(*this, name, &y); !st.ok()) return st;
  const std::vector<int32_t> have = PlaylistTracks(*y);
  for (int32_t id : ids)
    if (std::find(have.begin(), have.end(), id) == have.end())
      return Status::NotFound("Track " + std::to_string(id) + " is not in \"" + name + "\"");
  return EditPlaylist(impl_->db, y, [&](MHYP& p) {
    for (size_t k = 0; k < ItemCount(p); ++k)
      if (std::find(ids.begin(), ids.end(), p.m_mhip[k].iTrackID) != ids.end())
        p.m_mhip[k].iTrackID = -1;
    Compact(p);
    Renumber(p);
  });
}

Status Library::MovePlaylistItem(const std::string& name, int32_t id, size_t position) {
  const MHYP* y = nullptr;
  if (Status st = Changeable(*this, name, &y); !st.ok()) return st;
  const std::vector<int32_t> have = PlaylistTracks(*y);
  if (std::find(have.begin(), have.end(), id) == have.end())
    return Status::NotFound("Track " + std::to_string(id) + " is not in \"" + name + "\"");
  return EditPlaylist(impl_->db, y, [&](MHYP& p) {
    Compact(p);
    size_t from = 0;
    while (p.m_mhip[from].iTrackID != id) ++from;
    const size_t to = std::min(position, p.m_mhip.size() - 1);
    auto move = [&](auto& v) {
      auto item = std::move(v[from]);
      v.erase(v.begin() + static_cast<std::ptrdiff_t>(from));
      v.insert(v.begin() + static_cast<std::ptrdiff_t>(to), std::move(item));
    };
    move(p.m_mhip);
    move(p.m_mhod_poe);
    Renumber(p);
  });
}

namespace {

// The entries of an .m3u/.m3u8 file: its non-comment lines, without a
// byte-order mark, line ends and surrounding blanks.
std::vector<std::string> ListEntries(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    out.push_back(line.substr(start));
  }
  return out;
}

// An entry as a path on this computer: "file://" taken off, resolved
// against the list's folder; Windows separators become "/" when the entry
// does not name a file as written.
std::string EntryPath(std::string entry, const std::string& folder) {
  if (entry.rfind("file://", 0) == 0) entry.erase(0, 7);
  if (!fs::FileExists(entry) && entry.find('\\') != std::string::npos)
    std::replace(entry.begin(), entry.end(), '\\', '/');
  const auto p = fs::NativePath(entry);
  if (p.is_absolute()) return entry;
  return fs::Utf8Path((fs::NativePath(folder) / p).lexically_normal());
}

std::string Folded(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

Status Library::ImportPlaylist(const std::string& file, const std::string& name,
                               const ImportOptions& how, PlaylistImportReport* report) {
  *report = PlaylistImportReport{};
  std::string text;
  if (Status st = fs::ReadWholeFile(file, &text); !st.ok()) return st;
  const std::string list_name = name.empty() ? fs::FileStem(file) : name;
  if (const MHYP* y = FindPlaylist(list_name); y && (y->iIsMasterFLag != 0 || IsSmart(*y)))
    return Status::Invalid("\"" + list_name + "\" cannot be filled from a list");
  // The device's tracks by their path on this computer.
  std::unordered_map<std::string, int32_t> on_device;
  for (const MHIT& t : tracks()) {
    TrackInfo info;
    if (Describe(t.iUniqueID, &info).ok() && !info.sLocation.empty())
      on_device.emplace(Folded(info.sLocation), t.iUniqueID);
  }
  for (const std::string& entry : ListEntries(text)) {
    const std::string path = EntryPath(entry, fs::ParentFolder(file));
    if (auto it = on_device.find(Folded(path)); it != on_device.end()) {
      report->tracks.push_back(it->second);
      continue;
    }
    int32_t id = 0;
    Status st = Import(path, how, &id);
    if (st.ok()) report->added.push_back(path);
    if (id != 0) {
      report->tracks.push_back(id);
    } else {
      report->failed.emplace_back(entry, st.message());
    }
  }
  if (!FindPlaylist(list_name)) {
    if (Status st = CreatePlaylist(list_name); !st.ok()) return st;
  } else if (Status st = RemoveFromPlaylist(list_name, PlaylistTracks(*FindPlaylist(list_name)));
             !st.ok()) {
    return st;
  }
  if (Status st = AddToPlaylist(list_name, report->tracks); !st.ok()) return st;
  if (!report->failed.empty())
    return Status::Invalid(std::to_string(report->failed.size()) + " of the list's entries could not be added");
  return Status::OK();
}

Status Library::ExportPlaylist(const std::string& name, const std::string& file) const {
  const MHYP* y = FindPlaylist(name);
  if (!y) return Status::NotFound("No playlist is named \"" + name + "\"");
  std::string out = "#EXTM3U\n";
  for (int32_t id : PlaylistTracks(*y)) {
    TrackInfo info;
    if (!Describe(id, &info).ok() || info.sLocation.empty()) continue;
    out += "#EXTINF:" + std::to_string(info.iTrackTimLength / 1000) + ",";
    if (!info.sArtist.empty()) out += info.sArtist + " - ";
    out += info.sTitle + "\n";
    out += info.sLocation + "\n";
  }
  return fs::WriteFileAtomic(file, out);
}

}  // namespace cadenza
