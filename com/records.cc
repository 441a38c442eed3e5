// Deep copies between the core's records and the records of the type
// library.
#include "com/records.h"

#include <array>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <new>
#include <vector>

#include "com/module.h"
#include "platform/text.h"

namespace cadenza::com {

namespace {

// The uuids of the records, as the type library declares them.
constexpr GUID kMhbdGuid = {0xBF30184E, 0x1F2A, 0x4F82, {0x82, 0xE4, 0x54, 0x97, 0xA3, 0xE9, 0x66, 0x42}};
constexpr GUID kMhodSGuid = {0xF832EAB5, 0x9206, 0x428A, {0x99, 0x5C, 0x17, 0xD7, 0xEA, 0x59, 0x59, 0x81}};
constexpr GUID kMhitGuid = {0xE4C047E2, 0xF922, 0x4078, {0xBC, 0x77, 0xC1, 0xF2, 0x84, 0x0D, 0x7D, 0x6A}};
constexpr GUID kMhltGuid = {0x5E4DEB03, 0x4ECE, 0x43B0, {0x99, 0x6E, 0x5A, 0x46, 0xBC, 0xB2, 0x7D, 0x32}};
constexpr GUID kMhsdTGuid = {0x2DE5422F, 0x627F, 0x49A4, {0x89, 0x6D, 0x83, 0xA5, 0x5F, 0x8D, 0x56, 0xCF}};
constexpr GUID kMhodPcdGuid = {0xBF4F8F72, 0x0316, 0x42C3, {0xB8, 0x87, 0xB5, 0x04, 0x5A, 0x53, 0xC4, 0x26}};
constexpr GUID kMhipGuid = {0xA86C5BDF, 0x93F3, 0x4FCE, {0xA3, 0xDA, 0xD5, 0x40, 0x94, 0x4E, 0x93, 0x31}};
constexpr GUID kMhodPoeGuid = {0x9DEBA2B7, 0x57F8, 0x4A5D, {0x98, 0xED, 0x2C, 0x33, 0x8A, 0x98, 0x50, 0x70}};
constexpr GUID kMhypGuid = {0x10A32A65, 0x57DF, 0x4468, {0xBB, 0xC8, 0x20, 0x87, 0x14, 0xBA, 0x76, 0x3B}};
constexpr GUID kMhlpGuid = {0x280B24CE, 0xB88F, 0x4EA5, {0x9F, 0x40, 0xC2, 0x5F, 0x3A, 0xCF, 0x41, 0x76}};
constexpr GUID kMhsdPGuid = {0x72088A9D, 0xD84D, 0x41F6, {0x94, 0x32, 0x79, 0x84, 0xB0, 0xA9, 0x7E, 0x1B}};
constexpr GUID kMhsdAGuid = {0xEC7BC275, 0x4831, 0x49EB, {0x82, 0x6A, 0xEE, 0xCA, 0xA5, 0xCC, 0x20, 0xE7}};
constexpr GUID kMhsdNpGuid = {0x448EB45B, 0x7ADE, 0x4DF9, {0xBB, 0xF9, 0xC3, 0xE1, 0x16, 0xB8, 0x15, 0x77}};

// The record description of `guid`, checked against the size of the
// struct the server writes.
HRESULT LoadRecord(ITypeLib* lib, const GUID& guid, size_t size, IRecordInfo** out) {
  ITypeInfo* info = nullptr;
  HRESULT hr = lib->GetTypeInfoOfGuid(guid, &info);
  if (FAILED(hr)) return hr;
  hr = GetRecordInfoFromTypeInfo(info, out);
  info->Release();
  if (FAILED(hr)) return hr;
  ULONG got = 0;
  if (FAILED((*out)->GetSize(&got)) || got != size) return TYPE_E_TYPEMISMATCH;
  return S_OK;
}

HRESULT LoadTypes(TypeLibrary* t) {
  const std::wstring path = ModulePath();
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &t->lib);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = t->lib->GetTypeInfoOfGuid(IID__clsCadenza, &t->dispatch))) return hr;
  if (FAILED(hr = t->lib->GetTypeInfoOfGuid(CLSID_clsCadenza, &t->coclass))) return hr;
  struct Want {
    const GUID& guid;
    size_t size;
    IRecordInfo** out;
  };
  const Want wanted[] = {
      {kMhbdGuid, sizeof(::MHBD), &t->mhbd},
      {kMhodSGuid, sizeof(::MHOD_S), &t->mhod_s},
      {kMhitGuid, sizeof(::MHIT), &t->mhit},
      {kMhltGuid, sizeof(::MHLT), &t->mhlt},
      {kMhsdTGuid, sizeof(::MHSD_T), &t->mhsd_t},
      {kMhodPcdGuid, sizeof(::MHOD_PCD), &t->mhod_pcd},
      {kMhipGuid, sizeof(::MHIP), &t->mhip},
      {kMhodPoeGuid, sizeof(::MHOD_POE), &t->mhod_poe},
      {kMhypGuid, sizeof(::MHYP), &t->mhyp},
      {kMhlpGuid, sizeof(::MHLP), &t->mhlp},
      {kMhsdPGuid, sizeof(::MHSD_P), &t->mhsd_p},
      {kMhsdAGuid, sizeof(::MHSD_A), &t->mhsd_a},
      {kMhsdNpGuid, sizeof(::MHSD_NP), &t->mhsd_np},
      {kTrackInfoGuid, sizeof(::TrackInfo), &t->track_info},
  };
  for (const Want& w : wanted) {
    if (FAILED(hr = LoadRecord(t->lib, w.guid, w.size, w.out))) return hr;
  }
  return S_OK;
}

// The character every byte stands for in the ANSI code page.
const std::array<wchar_t, 256>& ByteTable() {
  static const std::array<wchar_t, 256> table = [] {
    std::string all(256, '\0');
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i);
    const std::wstring wide = AnsiBytesToWide(all);
    std::array<wchar_t, 256> t{};
    for (size_t i = 0; i < t.size() && i < wide.size(); ++i) t[i] = wide[i];
    return t;
  }();
  return table;
}

BSTR AllocBstr(size_t len) {
  if (len > 0x3FFFFFFF) throw std::bad_alloc();
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(len));
  if (!s) throw std::bad_alloc();
  return s;
}

CY Currency(uint64_t raw) {
  CY c;
  c.int64 = static_cast<LONGLONG>(raw);
  return c;
}

// A SAFEARRAY of `n` zeroed records, lower bound 0.
SAFEARRAY* NewArray(IRecordInfo* type, size_t n) {
  if (n > 0x7FFFFFFF) throw std::bad_alloc();
  SAFEARRAYBOUND bound{static_cast<ULONG>(n), 0};
  SAFEARRAY* sa = SafeArrayCreateEx(VT_RECORD, 1, &bound, type);
  if (!sa) throw std::bad_alloc();
  return sa;
}

// Fills the elements of a new array from `in`; the array is stored in
// *field first, so that whatever was built belongs to the record.
template <class ComT, class CppT, class FillT>
void FillArray(IRecordInfo* type, const std::vector<CppT>& in, SAFEARRAY** field, FillT fill) {
  *field = NewArray(type, in.size());
  if (in.empty()) return;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(*field, &data))) throw std::bad_alloc();
  ComT* elements = static_cast<ComT*>(data);
  try {
    for (size_t i = 0; i < in.size(); ++i) fill(in[i], &elements[i]);
  } catch (...) {
    SafeArrayUnaccessData(*field);
    throw;
  }
  SafeArrayUnaccessData(*field);
}

// Runs `fill` on a zeroed record; on failure frees what it built.
template <class ComT, class FillT>
void Build(IRecordInfo* type, ComT* out, FillT fill) {
  std::memset(static_cast<void*>(out), 0, sizeof(ComT));
  try {
    fill();
  } catch (...) {
    if (type) type->RecordClear(out);
    std::memset(static_cast<void*>(out), 0, sizeof(ComT));
    throw;
  }
}

void Fill(const MHOD_S& in, ::MHOD_S* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iType = in.iType;
  o->iUnk1 = in.iUnk1;
  o->iUnk2 = in.iUnk2;
  o->iPosition = in.iPosition;
  o->iLength = in.iLength;
  o->iUnk3 = in.iUnk3;
  o->iUnk4 = in.iUnk4;
  o->sString = TextToBstr(in.sString);
  o->sAllMHOD = BytesToBstr(in.sAllMHOD.view());
}

void Fill(const MHIT& in, ::MHIT* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iNumberOfMHODS = in.iNumberOfMHODS;
  o->iUniqueID = in.iUniqueID;
  o->iVisible = in.iVisible;
  o->sFiletype = BytesToBstr(in.sFiletype.view());
  o->iType1 = in.iType1;
  o->iType2 = in.iType2;
  o->iFlag1 = in.iFlag1;
  o->iStartRating = in.iStartRating;
  o->sLastModifiedTime = BytesToBstr(in.sLastModifiedTime.view());
  o->iTrackSize = in.iTrackSize;
  o->iTrackTimeLength = in.iTrackTimeLength;
  o->iTrackNumber = in.iTrackNumber;
  o->iTotalTracksNumber = in.iTotalTracksNumber;
  o->sTrackYear = BytesToBstr(in.sTrackYear.view());
  o->iBitrate = in.iBitrate;
  o->iSampleRate = in.iSampleRate;
  o->iVolume = in.iVolume;
  o->iStartTime = in.iStartTime;
  o->iStopTime = in.iStopTime;
  o->iSoundCheck = in.iSoundCheck;
  o->iPlayCount = in.iPlayCount;
  o->iPlayCount2 = in.iPlayCount2;
  o->sLastPlayedTime = BytesToBstr(in.sLastPlayedTime.view());
  o->iDiscNumber = in.iDiscNumber;
  o->iTotalDisks = in.iTotalDisks;
  o->iUserID = in.iUserID;
  o->sDateAdded = BytesToBstr(in.sDateAdded.view());
  o->iBookmarkTime = in.iBookmarkTime;
  o->iDB_ID = Currency(in.iDB_ID);
  o->iCheck = in.iCheck;
  o->iApplicationRating = in.iApplicationRating;
  o->iBPM = in.iBPM;
  o->iArtworkCount = in.iArtworkCount;
  o->iUnk1 = in.iUnk1;
  o->iArtworkSize = in.iArtworkSize;
  o->iUnk2 = in.iUnk2;
  o->iSampleRate2 = in.iSampleRate2;
  o->sDateReleased = BytesToBstr(in.sDateReleased.view());
  o->iUnk3 = in.iUnk3;
  o->iExplicitFlasg = in.iExplicitFlasg;
  o->iUnk4 = in.iUnk4;
  o->iUnk5 = in.iUnk5;
  o->iSkipCount = in.iSkipCount;
  o->sLastSkipped = BytesToBstr(in.sLastSkipped.view());
  o->iHasArtwork = in.iHasArtwork;
  o->iSkipWhenShuffle = in.iSkipWhenShuffle;
  o->iRememPlaybackPos = in.iRememPlaybackPos;
  o->iFlag2 = in.iFlag2;
  o->iDB_ID2 = Currency(in.iDB_ID2);
  o->iLyricsFlag = in.iLyricsFlag;
  o->iMovieFileFlag = in.iMovieFileFlag;
  o->iPlayedMark = in.iPlayedMark;
  o->iUnk6 = in.iUnk6;
  o->iUnk7 = in.iUnk7;
  o->iPreGap = in.iPreGap;
  o->iSampleCount = Currency(in.iSampleCount);
  o->iUnk8 = in.iUnk8;
  o->iPostGap = in.iPostGap;
  o->iUnk9 = in.iUnk9;
  o->iMediaType = in.iMediaType;
  o->iSeasonNumber = in.iSeasonNumber;
  o->iEpisodeNumber = in.iEpisodeNumber;
  o->iUnk10 = in.iUnk10;
  o->iUnk11 = in.iUnk11;
  o->iUnk12 = in.iUnk12;
  o->iUnk13 = in.iUnk13;
  o->iUnk14 = in.iUnk14;
  o->iUnk15 = in.iUnk15;
  o->iUnk16 = in.iUnk16;
  o->iGaplessData = in.iGaplessData;
  o->iUnk17 = in.iUnk17;
  o->iGaplessTrackFlag = in.iGaplessTrackFlag;
  o->iGaplessAlbumFlag = in.iGaplessAlbumFlag;
  o->sUnk18 = BytesToBstr(in.sUnk18.view());
  o->iUnk19 = in.iUnk19;
  o->iUnk20 = in.iUnk20;
  o->iUnk21 = in.iUnk21;
  o->iUnk22 = in.iUnk22;
  o->iUnk23 = in.iUnk23;
  o->iAlbumID = in.iAlbumID;
  o->iMHIILink = in.iMHIILink;
  o->sAllData = BytesToBstr(in.sAllData.view());
  FillArray<::MHOD_S>(Types().mhod_s, in.m_mhod, &o->m_mhod,
                      [](const MHOD_S& e, ::MHOD_S* c) { Fill(e, c); });
}

void Fill(const MHLT& in, ::MHLT* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iNumberOfllTracks = in.iNumberOfllTracks;
  o->sAllHeader = BytesToBstr(in.sAllHeader.view());
  FillArray<::MHIT>(Types().mhit, in.m_mhit, &o->m_mhit,
                    [](const MHIT& e, ::MHIT* c) { Fill(e, c); });
  o->iTracks2Delete = in.iTracks2Delete;
}

void Fill(const MHOD_PCD& in, ::MHOD_PCD* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iType = in.iType;
  o->sAllMHOD = BytesToBstr(in.sAllMHOD.view());
}

void Fill(const MHIP& in, ::MHIP* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iChildCount = in.iChildCount;
  o->iPodCastGroupFlag = in.iPodCastGroupFlag;
  o->iUnk1 = in.iUnk1;
  o->iUnk2 = in.iUnk2;
  o->iGroupID = in.iGroupID;
  o->iTrackID = in.iTrackID;
  o->sTimeStamp = BytesToBstr(in.sTimeStamp.view());
  o->sPodCastGroupRefrence = BytesToBstr(in.sPodCastGroupRefrence.view());
}

void Fill(const MHOD_POE& in, ::MHOD_POE* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iType = in.iType;
  o->iUnk1 = in.iUnk1;
  o->iUnk2 = in.iUnk2;
  o->iPosition = in.iPosition;
  o->sUnk3 = BytesToBstr(in.sUnk3.view());
  o->sAllMHOD = BytesToBstr(in.sAllMHOD.view());
}

void Fill(const MHYP& in, ::MHYP* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotlaSize = in.iTotlaSize;
  o->iChildsCount = in.iChildsCount;
  o->iPlaylistItemsCount = in.iPlaylistItemsCount;
  o->iIsMasterFLag = in.iIsMasterFLag;
  o->sUnk1 = BytesToBstr(in.sUnk1.view());
  o->sTimeStamp = BytesToBstr(in.sTimeStamp.view());
  o->sPerPlayListID = BytesToBstr(in.sPerPlayListID.view());
  o->iUnk2 = in.iUnk2;
  o->iMHODCount = in.iMHODCount;
  o->iPodCastFlag = in.iPodCastFlag;
  o->iListSortOrder = in.iListSortOrder;
  o->sAllData = BytesToBstr(in.sAllData.view());
  Fill(in.m_mhod_s, &o->m_mhod_s);
  const TypeLibrary& t = Types();
  FillArray<::MHOD_PCD>(t.mhod_pcd, in.m_mhod_pcd, &o->m_mhod_pcd,
                        [](const MHOD_PCD& e, ::MHOD_PCD* c) { Fill(e, c); });
  FillArray<::MHIP>(t.mhip, in.m_mhip, &o->m_mhip, [](const MHIP& e, ::MHIP* c) { Fill(e, c); });
  FillArray<::MHOD_POE>(t.mhod_poe, in.m_mhod_poe, &o->m_mhod_poe,
                        [](const MHOD_POE& e, ::MHOD_POE* c) { Fill(e, c); });
  o->iMHYPs2Delete = in.iMHYPs2Delete;
}

void Fill(const MHLP& in, ::MHLP* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iNumberOfPlaylists = in.iNumberOfPlaylists;
  o->sHeaderData = BytesToBstr(in.sHeaderData.view());
  FillArray<::MHYP>(Types().mhyp, in.m_mhyp, &o->m_mhyp,
                    [](const MHYP& e, ::MHYP* c) { Fill(e, c); });
}

// The four fields and two images every section starts with.
template <class ComT>
void FillSection(const auto& in, ComT* o) {
  o->sID = BytesToBstr(in.sID.view());
  o->iHeaderSize = in.iHeaderSize;
  o->iTotalSize = in.iTotalSize;
  o->iType = in.iType;
  o->sHeaderData = BytesToBstr(in.sHeaderData.view());
  o->sAllData = BytesToBstr(in.sAllData.view());
}

}  // namespace

const GUID kTrackInfoGuid = {0x0BBFAF1F, 0xBFD9, 0x49C5, {0x80, 0xB6, 0xC9, 0x25, 0x68, 0x93, 0x0E, 0x15}};

const TypeLibrary& Types() {
  // Kept for the life of the process: the descriptions are handed out with
  // every record, and the process may still hold records after the DLL's
  // last object is gone.
  static TypeLibrary* types = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    types = new TypeLibrary;
    types->status = LoadTypes(types);
  });
  return *types;
}

BSTR BytesToBstr(std::string_view bytes) {
  if (bytes.empty()) return nullptr;
  const std::array<wchar_t, 256>& table = ByteTable();
  BSTR s = AllocBstr(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) s[i] = table[static_cast<unsigned char>(bytes[i])];
  return s;
}

BSTR TextToBstr(const Utf16Text& text) {
  const size_t n = text.size();
  if (n == 0) return nullptr;
  const Bytes& b = text.bytes();
  BSTR s = AllocBstr(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<wchar_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return s;
}

BSTR Utf8ToBstr(std::string_view utf8) {
  if (utf8.empty()) return nullptr;
  const std::wstring wide = Utf8ToWide(utf8);
  BSTR s = AllocBstr(wide.size());
  std::memcpy(s, wide.data(), wide.size() * sizeof(wchar_t));
  return s;
}

std::string BstrToUtf8(BSTR s) {
  if (!s) return {};
  return WideToUtf8(std::wstring_view(s, SysStringLen(s)));
}

void ToCom(const MHBD& in, ::MHBD* o) {
  Build(Types().mhbd, o, [&] {
    o->sID = BytesToBstr(in.sID.view());
    o->iHeaderSize = in.iHeaderSize;
    o->iTotalSize = in.iTotalSize;
    o->iUnk1 = in.iUnk1;
    o->iVersion = in.iVersion;
    o->iNumberOfMHSD = in.iNumberOfMHSD;
    o->sID2 = BytesToBstr(in.sID2.view());
    o->iUnk2 = in.iUnk2;
    o->sUnk3 = BytesToBstr(in.sUnk3.view());
    o->iUnk4 = in.iUnk4;
    o->iUnk5 = BytesToBstr(in.iUnk5.view());
    o->iLanguageID = in.iLanguageID;
    o->sLibraryID = BytesToBstr(in.sLibraryID.view());
    o->sHash = BytesToBstr(in.sHash.view());
    o->sHeaderData = BytesToBstr(in.sHeaderData.view());
    o->sAllData = BytesToBstr(in.sAllData.view());
  });
}

void ToCom(const MHSD_T& in, ::MHSD_T* o) {
  Build(Types().mhsd_t, o, [&] {
    // The section's image is as large as all the tracks' images together:
    // it is converted on a second thread while this one does the tracks.
    // Both only allocate strings and fill memory of their own.
    std::exception_ptr failed;
    std::thread images([&] {
      try {
        FillSection(in, o);
      } catch (...) {
        failed = std::current_exception();
      }
    });
    try {
      Fill(in.m_mhlt, &o->m_mhlt);
    } catch (...) {
      images.join();
      throw;
    }
    images.join();
    if (failed) std::rethrow_exception(failed);
  });
}

void ToCom(const MHSD_P& in, ::MHSD_P* o) {
  Build(Types().mhsd_p, o, [&] {
    FillSection(in, o);
    Fill(in.m_mhlp, &o->m_mhlp);
  });
}

void ToCom(const MHSD_A& in, ::MHSD_A* o) {
  Build(Types().mhsd_a, o, [&] { FillSection(in, o); });
}

void ToComNP(const MHSD_NP& in, ::MHSD_NP* o) {
  Build(Types().mhsd_np, o, [&] { FillSection(in, o); });
}

void ToCom(const TrackInfo& in, ::TrackInfo* o) {
  std::memset(static_cast<void*>(o), 0, sizeof(*o));
  try {
    o->sTitle = Utf8ToBstr(in.sTitle);
    o->sAlbum = Utf8ToBstr(in.sAlbum);
    o->sArtist = Utf8ToBstr(in.sArtist);
    o->sComposer = Utf8ToBstr(in.sComposer);
    o->sGenre = Utf8ToBstr(in.sGenre);
    o->sYear = Utf8ToBstr(in.sYear);
    o->sComment = Utf8ToBstr(in.sComment);
    o->sFiletype = Utf8ToBstr(in.sFiletype);
    o->sLocation = Utf8ToBstr(in.sLocation);
    o->sVolume = Utf8ToBstr(in.sVolume);
    o->iFileSize = in.iFileSize;
    o->iTrackTimLength = in.iTrackTimLength;
    o->iType = in.iType;
    o->iBitrateInKbs = in.iBitrateInKbs;
    o->iSampleRateInHz = in.iSampleRateInHz;
    o->iStartTime = in.iStartTime;
    o->iStopTime = in.iStopTime;
    o->iSkipWhenShuffle = in.iSkipWhenShuffle;
    o->iRememberPlayBackPos = in.iRememberPlayBackPos;
    o->IsMovie = in.IsMovie;
    o->IsVBR = in.IsVBR;
    o->iPlayCount = in.iPlayCount;
    o->sTrackType = Utf8ToBstr(in.sTrackType);
    o->iTrackID = in.iTrackID;
    o->sVideoCodec = Utf8ToBstr(in.sVideoCodec);
    o->sAudioCodec = Utf8ToBstr(in.sAudioCodec);
    o->isFileSupported = in.isFileSupported ? VARIANT_TRUE : VARIANT_FALSE;
  } catch (...) {
    Clear(o);
    throw;
  }
}

TrackInfo FromCom(const ::TrackInfo& in) {
  TrackInfo o;
  o.sTitle = BstrToUtf8(in.sTitle);
  o.sAlbum = BstrToUtf8(in.sAlbum);
  o.sArtist = BstrToUtf8(in.sArtist);
  o.sComposer = BstrToUtf8(in.sComposer);
  o.sGenre = BstrToUtf8(in.sGenre);
  o.sYear = BstrToUtf8(in.sYear);
  o.sComment = BstrToUtf8(in.sComment);
  o.sFiletype = BstrToUtf8(in.sFiletype);
  o.sLocation = BstrToUtf8(in.sLocation);
  o.sVolume = BstrToUtf8(in.sVolume);
  o.iFileSize = in.iFileSize;
  o.iTrackTimLength = in.iTrackTimLength;
  o.iType = in.iType;
  o.iBitrateInKbs = in.iBitrateInKbs;
  o.iSampleRateInHz = in.iSampleRateInHz;
  o.iStartTime = in.iStartTime;
  o.iStopTime = in.iStopTime;
  o.iSkipWhenShuffle = in.iSkipWhenShuffle;
  o.iRememberPlayBackPos = in.iRememberPlayBackPos;
  o.IsMovie = in.IsMovie;
  o.IsVBR = in.IsVBR;
  o.iPlayCount = in.iPlayCount;
  o.sTrackType = BstrToUtf8(in.sTrackType);
  o.iTrackID = in.iTrackID;
  o.sVideoCodec = BstrToUtf8(in.sVideoCodec);
  o.sAudioCodec = BstrToUtf8(in.sAudioCodec);
  o.isFileSupported = in.isFileSupported != VARIANT_FALSE;
  return o;
}

void Clear(::TrackInfo* info) {
  BSTR* strings[] = {&info->sTitle,   &info->sAlbum,     &info->sArtist,   &info->sComposer,
                     &info->sGenre,   &info->sYear,      &info->sComment,  &info->sFiletype,
                     &info->sLocation, &info->sVolume,   &info->sTrackType, &info->sVideoCodec,
                     &info->sAudioCodec};
  for (BSTR* s : strings) SysFreeString(*s);
  std::memset(static_cast<void*>(info), 0, sizeof(*info));
}

}  // namespace cadenza::com
