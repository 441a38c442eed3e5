#include "cli/json.h"

#include "platform/text.h"

namespace cadenza::cli {

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto b = static_cast<uint8_t>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

namespace {

// Field helpers: numbers as numbers, byte strings and 8-byte holders as
// hex, text as UTF-8.
#define NUM(f) j[#f] = r.f
#define BYTES(f) j[#f] = Hex(r.f)
#define IMAGE(f) \
  if (o.images) j[#f] = Hex(r.f.view())
#define HOLDER(f) j[#f] = Hex(std::string_view(reinterpret_cast<const char*>(&r.f), 8))

Json ToJson(const MHOD_S& r, const JsonOptions& o) {
  Json j;
  BYTES(sID);
  NUM(iHeaderSize); NUM(iTotalSize); NUM(iType); NUM(iUnk1); NUM(iUnk2);
  NUM(iPosition); NUM(iLength); NUM(iUnk3); NUM(iUnk4);
  j["sString"] = Utf16ToUtf8(r.sString.u16());
  IMAGE(sAllMHOD);
  return j;
}

Json ToJson(const MHYP& r, const JsonOptions& o) {
  Json j;
  BYTES(sID);
  NUM(iHeaderSize); NUM(iTotlaSize); NUM(iChildsCount); NUM(iPlaylistItemsCount);
  NUM(iIsMasterFLag);
  BYTES(sUnk1); BYTES(sTimeStamp); BYTES(sPerPlayListID);
  NUM(iUnk2); NUM(iMHODCount); NUM(iPodCastFlag); NUM(iListSortOrder);
  IMAGE(sAllData);
  j["m_mhod_s"] = ToJson(r.m_mhod_s, o);
  Json pcd = Json::array();
  for (const MHOD_PCD& p : r.m_mhod_pcd) {
    Json x;
    x["sID"] = Hex(p.sID);
    x["iHeaderSize"] = p.iHeaderSize;
    x["iTotalSize"] = p.iTotalSize;
    x["iType"] = p.iType;
    if (o.images) x["sAllMHOD"] = Hex(p.sAllMHOD.view());
    pcd.push_back(std::move(x));
  }
  j["m_mhod_pcd"] = std::move(pcd);
  Json items = Json::array();
  for (const MHIP& i : r.m_mhip) {
    Json x;
    x["sID"] = Hex(i.sID);
    x["iHeaderSize"] = i.iHeaderSize;
    x["iTotalSize"] = i.iTotalSize;
    x["iChildCount"] = i.iChildCount;
    x["iPodCastGroupFlag"] = i.iPodCastGroupFlag;
    x["iUnk1"] = i.iUnk1;
    x["iUnk2"] = i.iUnk2;
    x["iGroupID"] = i.iGroupID;
    x["iTrackID"] = i.iTrackID;
    x["sTimeStamp"] = Hex(i.sTimeStamp);
    x["sPodCastGroupRefrence"] = Hex(i.sPodCastGroupRefrence);
    if (o.images) x["sHeaderData"] = Hex(i.sHeaderData.view());
    items.push_back(std::move(x));
  }
  j["m_mhip"] = std::move(items);
  Json poe = Json::array();
  for (const MHOD_POE& e : r.m_mhod_poe) {
    Json x;
    x["sID"] = Hex(e.sID);
    x["iHeaderSize"] = e.iHeaderSize;
    x["iTotalSize"] = e.iTotalSize;
    x["iType"] = e.iType;
    x["iUnk1"] = e.iUnk1;
    x["iUnk2"] = e.iUnk2;
    x["iPosition"] = e.iPosition;
    x["sUnk3"] = Hex(e.sUnk3);
    if (o.images) x["sAllMHOD"] = Hex(e.sAllMHOD.view());
    poe.push_back(std::move(x));
  }
  j["m_mhod_poe"] = std::move(poe);
  NUM(iMHYPs2Delete);
  return j;
}

// The six fields every section record starts with.
template <typename Section>
Json SectionJson(const Section& r, const JsonOptions& o) {
  Json j;
  BYTES(sID);
  NUM(iHeaderSize); NUM(iTotalSize); NUM(iType);
  IMAGE(sHeaderData);
  IMAGE(sAllData);
  return j;
}

}  // namespace

Json ToJson(const MHBD& r, const JsonOptions& o) {
  Json j;
  BYTES(sID);
  NUM(iHeaderSize); NUM(iTotalSize); NUM(iUnk1); NUM(iVersion); NUM(iNumberOfMHSD);
  BYTES(sID2); NUM(iUnk2); BYTES(sUnk3); NUM(iUnk4); BYTES(iUnk5); NUM(iLanguageID);
  BYTES(sLibraryID); BYTES(sHash);
  IMAGE(sHeaderData);
  IMAGE(sAllData);
  return j;
}

Json ToJson(const MHIT& r, const JsonOptions& o) {
  Json j;
  BYTES(sID);
  NUM(iHeaderSize); NUM(iTotalSize); NUM(iNumberOfMHODS); NUM(iUniqueID); NUM(iVisible);
  BYTES(sFiletype);
  NUM(iType1); NUM(iType2); NUM(iFlag1); NUM(iStartRating);
  BYTES(sLastModifiedTime);
  NUM(iTrackSize); NUM(iTrackTimeLength); NUM(iTrackNumber); NUM(iTotalTracksNumber);
  BYTES(sTrackYear);
  NUM(iBitrate); NUM(iSampleRate); NUM(iVolume); NUM(iStartTime); NUM(iStopTime);
  NUM(iSoundCheck); NUM(iPlayCount); NUM(iPlayCount2);
  BYTES(sLastPlayedTime);
  NUM(iDiscNumber); NUM(iTotalDisks); NUM(iUserID);
  BYTES(sDateAdded);
  NUM(iBookmarkTime);
  HOLDER(iDB_ID);
  NUM(iCheck); NUM(iApplicationRating); NUM(iBPM); NUM(iArtworkCount); NUM(iUnk1);
  NUM(iArtworkSize); NUM(iUnk2); NUM(iSampleRate2);
  BYTES(sDateReleased);
  NUM(iUnk3); NUM(iExplicitFlasg); NUM(iUnk4); NUM(iUnk5); NUM(iSkipCount);
  BYTES(sLastSkipped);
  NUM(iHasArtwork); NUM(iSkipWhenShuffle); NUM(iRememPlaybackPos); NUM(iFlag2);
  HOLDER(iDB_ID2);
  NUM(iLyricsFlag); NUM(iMovieFileFlag); NUM(iPlayedMark); NUM(iUnk6); NUM(iUnk7);
  NUM(iPreGap);
  HOLDER(iSampleCount);
  NUM(iUnk8); NUM(iPostGap); NUM(iUnk9); NUM(iMediaType); NUM(iSeasonNumber);
  NUM(iEpisodeNumber); NUM(iUnk10); NUM(iUnk11); NUM(iUnk12); NUM(iUnk13); NUM(iUnk14);
  NUM(iUnk15); NUM(iUnk16); NUM(iGaplessData); NUM(iUnk17); NUM(iGaplessTrackFlag);
  NUM(iGaplessAlbumFlag);
  BYTES(sUnk18);
  NUM(iUnk19); NUM(iUnk20); NUM(iUnk21); NUM(iUnk22); NUM(iUnk23); NUM(iAlbumID);
  NUM(iMHIILink);
  IMAGE(sAllData);
  Json mhods = Json::array();
  for (const MHOD_S& m : r.m_mhod) mhods.push_back(ToJson(m, o));
  j["m_mhod"] = std::move(mhods);
  return j;
}

Json ToJson(const MHSD_T& r, const JsonOptions& o) {
  Json j = SectionJson(r, o);
  Json l;
  l["sID"] = Hex(r.m_mhlt.sID);
  l["iHeaderSize"] = r.m_mhlt.iHeaderSize;
  l["iNumberOfllTracks"] = r.m_mhlt.iNumberOfllTracks;
  if (o.images) l["sAllHeader"] = Hex(r.m_mhlt.sAllHeader.view());
  Json tracks = Json::array();
  for (const MHIT& t : r.m_mhlt.m_mhit) tracks.push_back(ToJson(t, o));
  l["m_mhit"] = std::move(tracks);
  l["iTracks2Delete"] = r.m_mhlt.iTracks2Delete;
  j["m_mhlt"] = std::move(l);
  return j;
}

Json ToJson(const MHSD_P& r, const JsonOptions& o) {
  Json j = SectionJson(r, o);
  Json l;
  l["sID"] = Hex(r.m_mhlp.sID);
  l["iHeaderSize"] = r.m_mhlp.iHeaderSize;
  l["iNumberOfPlaylists"] = r.m_mhlp.iNumberOfPlaylists;
  if (o.images) l["sHeaderData"] = Hex(r.m_mhlp.sHeaderData.view());
  Json lists = Json::array();
  for (const MHYP& y : r.m_mhlp.m_mhyp) lists.push_back(ToJson(y, o));
  l["m_mhyp"] = std::move(lists);
  j["m_mhlp"] = std::move(l);
  return j;
}

Json ToJson(const MHSD_A& r, const JsonOptions& o) { return SectionJson(r, o); }

Json ToJson(const TrackInfo& r) {
  Json j;
  j["sTitle"] = r.sTitle; j["sAlbum"] = r.sAlbum; j["sArtist"] = r.sArtist;
  j["sComposer"] = r.sComposer; j["sGenre"] = r.sGenre; j["sYear"] = r.sYear;
  j["sComment"] = r.sComment; j["sFiletype"] = r.sFiletype; j["sLocation"] = r.sLocation;
  j["sVolume"] = r.sVolume;
  NUM(iFileSize); NUM(iTrackTimLength); NUM(iType); NUM(iBitrateInKbs); NUM(iSampleRateInHz);
  NUM(iStartTime); NUM(iStopTime); NUM(iSkipWhenShuffle); NUM(iRememberPlayBackPos);
  NUM(IsMovie); NUM(IsVBR); NUM(iPlayCount);
  j["sTrackType"] = r.sTrackType;
  NUM(iTrackID);
  j["sVideoCodec"] = r.sVideoCodec; j["sAudioCodec"] = r.sAudioCodec;
  NUM(isFileSupported);
  return j;
}

}  // namespace cadenza::cli
