// The track operations that work on the loaded records alone: the id and
// random routines, GetTrackInfo, DeleteTrack and ModifyTrack.
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "cadenza/cadenza.h"
#include "component/device_lock.h"
#include "component/paths.h"
#include "component/track_text.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

namespace {

MHIT* FindTrack(MHLT& list, int32_t id) {
  size_t n = std::min<size_t>(list.m_mhit.size(),
                              static_cast<size_t>(std::max(list.iNumberOfllTracks, 0)));
  for (size_t i = 0; i < n; ++i)
    if (list.m_mhit[i].iUniqueID == id) return &list.m_mhit[i];
  return nullptr;
}

// Marks every item of `section` that refers to `id`, lowering the sizes.
void MarkItems(MHSD_P& section, int32_t id, int32_t& counter) {
  for (MHYP& p : section.m_mhlp.m_mhyp) {
    int64_t size = 0;
    size_t n = std::min<size_t>(p.m_mhip.size(),
                                static_cast<size_t>(std::max(p.iPlaylistItemsCount, 0)));
    for (size_t k = 0; k < n; ++k) {
      if (p.m_mhip[k].iTrackID != id) continue;
      p.m_mhip[k].iTrackID = -1;
      ++counter;
      size += p.m_mhip[k].iTotalSize;
    }
    p.iMHYPs2Delete += counter;
    if (size > 0) {
      p.iTotlaSize -= static_cast<int32_t>(size);
      section.iTotalSize -= static_cast<int32_t>(size);
    }
    counter = 0;
  }
}

}  // namespace

int32_t clsCadenza::GetNextTrackID() {
  // The largest id is remembered between imports, so that adding many
  // tracks does not scan the whole list each time.
  if (m_iMaxIDCache < 0) {
    m_iMaxIDCache = 0;
    for (const MHIT& t : m_MHSD_T.m_mhlt.m_mhit) m_iMaxIDCache = std::max(m_iMaxIDCache, t.iUniqueID);
  }
  const int32_t max = m_iMaxIDCache;
  if (max == 0x7FFFFFFF) return -1;  // no id left: the caller fails
  return max + 1;
}

std::string clsCadenza::GetTrackDBID() {
  for (const MHIT& t : m_MHSD_T.m_mhlt.m_mhit)
    if (t.iDB_ID != 0) return std::to_string(t.iDB_ID);
  m_random.SeedFromClock();
  Date d = Today();
  double v = m_random.Next() * 1e9 + d.day + d.month + d.year;
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", v);
  // The text of a fresh id is a decimal amount; as a 64-bit holder it is
  // that amount times 10000.
  return std::to_string(static_cast<uint64_t>(std::llround(std::strtod(text, nullptr) * 10000)));
}

std::string clsCadenza::GetRandomLetter() {
  return std::string(1, static_cast<char>(std::floor(m_random.Next() * 26 + 65)));
}

int32_t clsCadenza::GetRandomNumber() {
  return static_cast<int32_t>(std::floor(m_random.Next() * 4999 + 1));
}

TrackInfo clsCadenza::GetTrackInfo(int32_t iTrackID) {
  TrackInfo info;
  const MHIT* t = FindTrack(m_MHSD_T.m_mhlt, iTrackID);
  if (!t) {
    m_status = Status::Invalid("Subscript out of range", 9);
    return info;
  }
  info.iTrackID = t->iUniqueID;
  info.iRememberPlayBackPos = t->iRememPlaybackPos;
  info.iSkipWhenShuffle = t->iSkipWhenShuffle;
  info.iStartTime = t->iStartTime;
  info.iStopTime = t->iStopTime;
  info.IsVBR = t->iType1;
  info.iPlayCount = t->iPlayCount;
  info.iTrackTimLength = t->iTrackTimeLength;
  info.sTrackType = TrimBlanks(Cp1252ToUtf8(t->sFiletype));
  info.iBitrateInKbs = t->iBitrate;
  info.sYear = YearText(t->sTrackYear);
  info.iFileSize = t->iTrackSize;
  size_t n = std::min<size_t>(t->m_mhod.size(), static_cast<size_t>(std::max(t->iNumberOfMHODS, 0)));
  for (size_t j = 0; j < n; ++j) {
    const MHOD_S& o = t->m_mhod[j];
    if (!IsText(o)) continue;
    std::string text = Utf16ToUtf8(o.sString.u16());
    switch (o.iType) {
      case 1: info.sTitle = text; break;
      case 2: {
        std::string rel = text;
        std::replace(rel.begin(), rel.end(), ':', '/');
        info.sLocation = fs::DevicePath(m_siPodDrive, rel);
        break;
      }
      case 3: info.sAlbum = text; break;
      case 4: info.sArtist = text; break;
      case 5: info.sGenre = text; break;
      case 8: info.sComment = text; break;
      case 12: info.sComposer = text; break;
      default: break;
    }
  }
  m_status = Status::OK();
  return info;
}

Variant clsCadenza::DeleteTrack(int32_t iTrackID) {
  if (iTrackID == -1) {
    // -1 is the deletion mark itself; it names no track.
    m_status = Status::Invalid("The track id -1 marks deleted tracks and names no track");
    return {};
  }
  // The file goes at once; a device whose database cannot be written keeps
  // both, and so does a device that another program is changing.
  if (Status st = CheckWritable(); !st.ok()) return {};
  DeviceLockScope lock(*this);
  if (Status st = lock.Enter(); !st.ok()) {
    m_status = st;
    return {};
  }
  std::string file;
  if (!MarkTrackDeleted(iTrackID, &file).ok()) return {};
  if (file.empty()) {
    m_status = Status::NotFound("The track has no location; no file was deleted");
    return {};
  }
  m_status = RemoveMusicFile(file);
  return {};
}

Status clsCadenza::MarkTrackDeleted(int32_t iTrackID, std::string* file) {
  file->clear();
  if (iTrackID == -1)
    return m_status = Status::Invalid("The track id -1 marks deleted tracks and names no track");
  MHIT* t = FindTrack(m_MHSD_T.m_mhlt, iTrackID);
  if (t) {
    m_iMaxIDCache = -1;
    t->iUniqueID = -1;
    m_MHSD_T.iTotalSize -= t->iTotalSize;
    ++m_iDeletedTracks;
  }
  MarkItems(m_MHSD_PlayLists, iTrackID, m_iPlaylistItemsDeleted);
  MarkItems(m_MHSD_Podcasts, iTrackID, m_iPodcastItemsDeleted);
  if (!t) return m_status = Status::Invalid("No track has the id " + std::to_string(iTrackID), 9);
  size_t n = std::min<size_t>(t->m_mhod.size(), static_cast<size_t>(std::max(t->iNumberOfMHODS, 0)));
  for (size_t j = 0; j < n; ++j) {
    if (t->m_mhod[j].iType != 2 || !IsText(t->m_mhod[j])) continue;
    std::string rel = Utf16ToUtf8(t->m_mhod[j].sString.u16());
    std::replace(rel.begin(), rel.end(), ':', '/');
    *file = fs::DevicePath(m_siPodDrive, rel);
    break;
  }
  return m_status = Status::OK();
}

Status clsCadenza::RemoveMusicFile(const std::string& path) {
  namespace stdfs = std::filesystem;
  // The path comes from the database file, which anyone can write: resolve
  // case, "..", and symbolic links (the last one too) before deciding, and
  // delete nothing that does not lie below the music folder.
  std::error_code ec;
  const stdfs::path music = stdfs::weakly_canonical(DevicePath(kMusicFolder), ec);
  const std::string named = fs::ResolveNoCase(path);
  const stdfs::path target = ec ? stdfs::path() : stdfs::weakly_canonical(named, ec);
  // The entry itself, with its folders resolved: a link is removed, not
  // what it points to.
  const stdfs::path entry = ec ? stdfs::path()
                               : stdfs::weakly_canonical(stdfs::path(named).parent_path(), ec) /
                                     stdfs::path(named).filename();
  auto below_music = [&](const stdfs::path& p) {
    if (p.empty()) return false;
    const stdfs::path r = p.lexically_relative(music);
    return !r.empty() && *r.begin() != ".." && r != ".";
  };
  if (m_siPodDrive.empty() || ec || !below_music(target) || !below_music(entry))
    return m_status = Status::Invalid(path +
                                      " does not lie in the iPod's music folders, so it was not "
                                      "deleted");
  if (Status st = fs::DeleteFile(entry.string(), true); !st.ok()) return m_status = st;
  // The folder goes when nothing is left in it; the music folder stays.
  const stdfs::path parent = entry.parent_path();
  if (below_music(parent)) fs::RemoveEmptyFolder(parent.string());
  return m_status = Status::OK();
}

bool clsCadenza::ModifyTrack(int32_t iTrackID, const TrackInfo& Info) {
  MHIT* t = FindTrack(m_MHSD_T.m_mhlt, iTrackID);
  if (!t) {
    m_status = Status::Invalid("Subscript out of range", 9);
    return false;
  }
  const int32_t old_size = t->iTotalSize;
  t->iRememPlaybackPos = Info.iRememberPlayBackPos;
  t->iSkipWhenShuffle = Info.iSkipWhenShuffle;
  t->iStartTime = Info.iStartTime;
  t->iStopTime = Info.iStopTime;
  t->iType1 = Info.IsVBR;
  t->sTrackYear = YearField(Info.sYear);

  struct Kind {
    int32_t type;
    const std::string* text;
  };
  const Kind kinds[] = {{1, &Info.sTitle},   {3, &Info.sAlbum},     {4, &Info.sArtist},
                        {8, &Info.sComment}, {12, &Info.sComposer}, {5, &Info.sGenre}};
  bool present[6] = {};
  t->m_mhod.resize(static_cast<size_t>(std::max(t->iNumberOfMHODS, 0)));
  for (MHOD_S& o : t->m_mhod) {
    if (!IsText(o)) continue;
    for (int k = 0; k < 6; ++k) {
      if (o.iType == kinds[k].type) {
        o.sString = ToObjectText(*kinds[k].text);
        present[k] = true;
      }
    }
  }
  for (int k = 0; k < 6; ++k) {
    if (present[k]) continue;
    MHOD_S& o = t->m_mhod.emplace_back();
    o.iType = kinds[k].type;
    o.sString = ToObjectText(*kinds[k].text, kMaxNewText);
  }
  int64_t total = t->iHeaderSize;
  for (MHOD_S& o : t->m_mhod) {
    if (IsText(o)) CompleteTextObject(o);
    total += o.iTotalSize;
  }
  t->iTotalSize = static_cast<int32_t>(total);
  t->iNumberOfMHODS = static_cast<int32_t>(t->m_mhod.size());
  m_MHSD_T.iTotalSize += t->iTotalSize - old_size;
  m_status = Status::OK();
  return false;
}

}  // namespace cadenza
