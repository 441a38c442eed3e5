#include "db/library_index.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/codec.h"
#include "db/layout.h"

namespace cadenza {

namespace {

constexpr int32_t kIndexObject = static_cast<int32_t>(DataObjectType::kLibraryIndex);
constexpr int32_t kJumpObject = static_cast<int32_t>(DataObjectType::kLibraryJumpTable);
constexpr int32_t kAlbumListType = 4;
constexpr int32_t kArtistListType = 8;

// Layouts of the objects written here (doc/format.md, "Library menus").
constexpr int32_t kObjectHeader = 24;     // data object header: id, sizes, type, two zeros
constexpr int32_t kSortTypeAt = 24;       // in objects 52 and 53
constexpr int32_t kEntryCountAt = 28;     // in objects 52 and 53
constexpr int32_t kIndexEntriesAt = 72;   // object 52: 4-byte track positions
constexpr int32_t kJumpEntriesAt = 40;    // object 53: 12-byte entries
constexpr int32_t kJumpEntrySize = 12;
constexpr int32_t kTextAt = 40;           // text objects 200, 201, 202, 300
constexpr int32_t kSectionHeader = 96;
constexpr int32_t kListHeader = 92;
constexpr int32_t kAlbumItemHeader = 88;
constexpr int32_t kArtistItemHeader = 80;
constexpr int32_t kItemIdAt = 16;         // mhia / mhii: the album / artist id
constexpr int32_t kItemPersistentIdAt = 20;
constexpr int32_t kItemKindAt = 28;       // always 2 in libgpod's and the desktop's lists
constexpr int32_t kAlbumTitle = 200, kAlbumArtist = 201, kAlbumSortArtist = 202;
constexpr int32_t kArtistName = 300;
constexpr int32_t kNumberOfSectionsAt = OffsetOf(kMHBDFields, &MHBD::iNumberOfMHSD);
// Track header fields: the album id lies in the fixed part, the artist and
// composer ids only in headers of 0x1F8 bytes or more.
constexpr int32_t kTrackAlbumIdAt = OffsetOf(kMHITFields, &MHIT::iUnk21);
static_assert(kTrackAlbumIdAt == 0x120);
constexpr int32_t kTrackArtistIdAt = 0x1E0;
constexpr int32_t kTrackComposerIdAt = 0x1F4;

int32_t Size32(size_t n) { return static_cast<int32_t>(std::min<size_t>(n, INT32_MAX)); }

// --- text ------------------------------------------------------------------

// Code points of UTF-16 text (an unpaired surrogate stays as it is).
std::u32string CodePoints(const std::u16string& s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      out.push_back(0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Lower case of the letters of the Latin, Greek and Cyrillic blocks (other
// letters are kept: the comparison below then falls back to code points).
char32_t Lower(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1U;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

char32_t Upper(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c & ~char32_t{1};
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

// Letters and digits; the jump tables skip everything else (spaces,
// punctuation, symbols) at the start of a name.
bool IsLetterOrDigit(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;
  if (c == 0xD7 || c == 0xF7) return false;
  if ((c >= 0x2000 && c <= 0x2BFF) || (c >= 0x3000 && c <= 0x303F)) return false;
  if ((c >= 0xFE30 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFF0F)) return false;
  return !(c >= 0x1F000 && c <= 0x1FAFF);  // pictographs and emoji
}

// The jump-table letter of a sort key: its first letter or digit, in upper
// case; every digit and a name without one go under '0'.
char16_t JumpLetter(const std::u32string& key) {
  for (char32_t c : key) {
    if (!IsLetterOrDigit(c)) continue;
    if (c >= '0' && c <= '9') return u'0';
    const char32_t u = Upper(c);
    return u > 0xFFFF ? u'0' : static_cast<char16_t>(u);
  }
  return u'0';
}

// --- the live tracks ---------------------------------------------------------

enum Text : size_t {
  kTitle, kAlbum, kArtist, kGenre, kComposer, kAlbumArtistText,
  kSortArtist, kSortTitle, kSortAlbum, kSortAlbumArtist, kSortComposer, kTextCount
};
constexpr std::array<int32_t, kTextCount> kTextTypes = {1, 3, 4, 5, 12, 22, 23, 27, 28, 29, 30};

struct LiveTrack {
  MHIT* track = nullptr;
  std::array<std::u16string, kTextCount> text;
  // Sort keys: title, album, artist, genre, composer; and the same in
  // lower case, folded once here rather than in every comparison.
  std::u32string title, album, artist, genre, composer;
  std::array<std::u32string, 5> folded;
  int32_t disc = 0, number = 0;
  uint32_t position = 0;  // among the tracks written
};

// The sort-name field when it is set, else the plain field.
const std::u16string& Preferred(const LiveTrack& t, Text sort, Text plain) {
  return t.text[sort].empty() ? t.text[plain] : t.text[sort];
}

// An artist sorts without a leading "The " (any case), unless it comes
// from the sort-artist field.
std::u32string ArtistKey(const LiveTrack& t) {
  if (!t.text[kSortArtist].empty()) return CodePoints(t.text[kSortArtist]);
  std::u32string k = CodePoints(t.text[kArtist]);
  if (k.size() > 4 && Lower(k[0]) == 't' && Lower(k[1]) == 'h' && Lower(k[2]) == 'e' && k[3] == ' ')
    k.erase(0, 4);
  return k;
}

std::vector<LiveTrack> CollectTracks(Database& db) {
  std::vector<LiveTrack> out;
  MHLT& list = db.m_MHSD_T.m_mhlt;
  for (MHIT& k : list.m_mhit) {
    if (k.iUniqueID == -1) continue;
    LiveTrack& t = out.emplace_back();
    t.track = &k;
    t.position = static_cast<uint32_t>(out.size() - 1);
    for (const MHOD_S& o : k.m_mhod) {
      if (!o.sAllMHOD.empty()) continue;
      const auto* it = std::find(kTextTypes.begin(), kTextTypes.end(), o.iType);
      if (it == kTextTypes.end()) continue;
      std::u16string& slot = t.text[static_cast<size_t>(it - kTextTypes.begin())];
      if (slot.empty()) slot = o.sString.u16();
    }
    t.title = CodePoints(Preferred(t, kSortTitle, kTitle));
    t.album = CodePoints(Preferred(t, kSortAlbum, kAlbum));
    t.artist = ArtistKey(t);
    t.genre = CodePoints(t.text[kGenre]);
    t.composer = CodePoints(Preferred(t, kSortComposer, kComposer));
    size_t f = 0;
    for (const std::u32string* key : {&t.title, &t.album, &t.artist, &t.genre, &t.composer}) {
      std::u32string& low = t.folded[f++];
      low.reserve(key->size());
      for (char32_t c : *key) low.push_back(Lower(c));
    }
    t.disc = k.iDiscNumber;
    t.number = k.iTrackNumber;
  }
  return out;
}

// --- sort indexes and jump tables --------------------------------------------

// The keys compared, in turn, for each index; equal tracks keep the
// reverse of their database order.
enum Key { kKeyTitle, kKeyAlbum, kKeyArtist, kKeyGenre, kKeyComposer, kKeyDisc, kKeyNumber };

std::vector<Key> KeysOf(int32_t sort_type) {
  switch (sort_type) {
    case 0x03: return {kKeyTitle, kKeyAlbum, kKeyDisc, kKeyNumber};
    case 0x04: return {kKeyAlbum, kKeyDisc, kKeyNumber, kKeyTitle, kKeyArtist};
    case 0x05: return {kKeyArtist, kKeyAlbum, kKeyDisc, kKeyNumber, kKeyTitle};
    case 0x07: return {kKeyGenre, kKeyArtist, kKeyAlbum, kKeyDisc, kKeyNumber, kKeyTitle};
    default: return {kKeyComposer, kKeyAlbum, kKeyDisc, kKeyNumber, kKeyTitle};
  }
}

const std::u32string& KeyText(const LiveTrack& t, Key k) {
  switch (k) {
    case kKeyAlbum: return t.album;
    case kKeyArtist: return t.artist;
    case kKeyGenre: return t.genre;
    case kKeyComposer: return t.composer;
    default: return t.title;
  }
}

int CompareBy(const LiveTrack& a, const LiveTrack& b, Key k) {
  if (k == kKeyDisc) return a.disc == b.disc ? 0 : (a.disc < b.disc ? -1 : 1);
  if (k == kKeyNumber) return a.number == b.number ? 0 : (a.number < b.number ? -1 : 1);
  // Letters without regard to case (the shorter name first when one
  // begins the other), then, for names that differ only in case, by code
  // point.
  const size_t f = static_cast<size_t>(k);  // the keys come first, in the order of `folded`
  if (int c = a.folded[f].compare(b.folded[f]); c != 0) return c < 0 ? -1 : 1;
  return KeyText(a, k).compare(KeyText(b, k));
}

struct Index {
  int32_t sort_type = 0;
  std::vector<uint32_t> order;                              // track positions
  std::vector<std::pair<char16_t, uint32_t>> jumps;         // letter, count
};

Index BuildIndex(const std::vector<LiveTrack>& tracks, int32_t sort_type) {
  Index ix;
  ix.sort_type = sort_type;
  const std::vector<Key> keys = KeysOf(sort_type);
  std::vector<const LiveTrack*> sorted;
  sorted.reserve(tracks.size());
  for (const LiveTrack& t : tracks) sorted.push_back(&t);
  std::sort(sorted.begin(), sorted.end(), [&](const LiveTrack* a, const LiveTrack* b) {
    for (Key k : keys)
      if (int c = CompareBy(*a, *b, k); c != 0) return c < 0;
    return a->position > b->position;
  });
  for (const LiveTrack* t : sorted) {
    ix.order.push_back(t->position);
    const char16_t letter = JumpLetter(KeyText(*t, keys.front()));
    if (ix.jumps.empty() || ix.jumps.back().first != letter) ix.jumps.emplace_back(letter, 0);
    ++ix.jumps.back().second;
  }
  return ix;
}

void PutObjectHeader(ByteWriter& w, int32_t type, size_t total) {
  w.Put(0, "mhod");
  w.PutLong(4, kObjectHeader);
  w.PutLong(8, Size32(total));
  w.PutLong(12, type);
}

MHOD_PCD WholeObject(std::string image) {
  MHOD_PCD o;
  ByteReader r{Bytes(std::move(image))};
  ReadFields(r, 0, kMHODPCDFields, o);
  o.sAllMHOD = r.Image(0, r.size());
  return o;
}

MHOD_PCD IndexObject(const Index& ix) {
  ByteWriter w;
  const size_t total = kIndexEntriesAt + 4 * ix.order.size();
  PutObjectHeader(w, kIndexObject, total);
  w.PutLong(kSortTypeAt, ix.sort_type);
  w.PutLong(kEntryCountAt, Size32(ix.order.size()));
  w.Extend(kIndexEntriesAt);
  for (size_t i = 0; i < ix.order.size(); ++i)
    w.PutLong(kIndexEntriesAt + static_cast<int64_t>(4 * i), static_cast<int32_t>(ix.order[i]));
  return WholeObject(std::move(w.str()));
}

MHOD_PCD JumpObject(const Index& ix) {
  ByteWriter w;
  const size_t total = kJumpEntriesAt + kJumpEntrySize * ix.jumps.size();
  PutObjectHeader(w, kJumpObject, total);
  w.PutLong(kSortTypeAt, ix.sort_type);
  w.PutLong(kEntryCountAt, Size32(ix.jumps.size()));
  w.Extend(static_cast<int64_t>(total));
  uint32_t start = 0;
  for (size_t i = 0; i < ix.jumps.size(); ++i) {
    const int64_t at = kJumpEntriesAt + static_cast<int64_t>(kJumpEntrySize * i);
    w.PutInteger(at, static_cast<int16_t>(ix.jumps[i].first));
    w.PutLong(at + 4, static_cast<int32_t>(start));
    w.PutLong(at + 8, static_cast<int32_t>(ix.jumps[i].second));
    start += ix.jumps[i].second;
  }
  return WholeObject(std::move(w.str()));
}

// The sort type of an object 52 or 53, or -1 when it has none.
int32_t SortTypeOf(const MHOD_PCD& o) {
  if ((o.iType != kIndexObject && o.iType != kJumpObject) || o.sAllMHOD.size() < 32) return -1;
  return static_cast<int32_t>(LoadLE32(o.sAllMHOD.data() + kSortTypeAt));
}

template <typename Section>
auto* MasterOf(Section& sec) {
  decltype(&sec.m_mhlp.m_mhyp.front()) master = nullptr;
  if (sec.sID.empty()) return master;
  for (auto& p : sec.m_mhlp.m_mhyp)
    if (p.iIsMasterFLag == 1) return &p;
  return master;
}

// Replaces the master playlist's index objects in place; with `create`,
// adds those missing after its other objects. Sizes follow.
void UpdateMaster(MHSD_P& sec, const std::vector<Index>& indexes, bool create) {
  MHYP* p = MasterOf(sec);
  if (p == nullptr || p->iChildsCount != 1 + Size32(p->m_mhod_pcd.size())) return;
  int64_t delta = 0;
  for (const Index& ix : indexes) {
    bool found_index = false, found_jump = false;
    for (MHOD_PCD& o : p->m_mhod_pcd) {
      if (SortTypeOf(o) != ix.sort_type) continue;
      const bool is_index = o.iType == kIndexObject;
      (is_index ? found_index : found_jump) = true;
      MHOD_PCD fresh = is_index ? IndexObject(ix) : JumpObject(ix);
      delta += int64_t{fresh.iTotalSize} - o.iTotalSize;
      o = std::move(fresh);
    }
    if (!create) continue;
    for (bool is_index : {true, false}) {
      if (is_index ? found_index : found_jump) continue;
      MHOD_PCD& o = p->m_mhod_pcd.emplace_back(is_index ? IndexObject(ix) : JumpObject(ix));
      delta += o.iTotalSize;
      ++p->iChildsCount;
    }
  }
  p->iTotlaSize = static_cast<int32_t>(p->iTotlaSize + delta);
  sec.iTotalSize = static_cast<int32_t>(sec.iTotalSize + delta);
}

bool HasIndexObjects(const MHSD_P& sec) {
  const MHYP* p = MasterOf(sec);
  if (p == nullptr) return false;
  return std::any_of(p->m_mhod_pcd.begin(), p->m_mhod_pcd.end(), [](const MHOD_PCD& o) {
    return o.iType == kIndexObject || o.iType == kJumpObject;
  });
}

// --- album and artist lists --------------------------------------------------

// An item of the album or artist list: its names, and for an album the
// artist and album artist of its first track.
struct Entry {
  std::u16string name, artist, sort_artist;
  std::u16string first_artist, first_album_artist;
};

// Albums by title and artist: a track joins the first album of the same
// title whose first track has the same album artist, when both have one,
// or else the same artist. The first track of an album names its artist
// (its album artist, or else its artist) and sort artist.
std::vector<Entry> AssignAlbums(const std::vector<LiveTrack>& tracks, std::vector<int32_t>& ids) {
  std::vector<Entry> albums;
  // The albums of each title, so that a large library is not searched
  // through for every track.
  std::unordered_map<std::u16string, std::vector<size_t>> by_title;
  for (const LiveTrack& t : tracks) {
    int32_t id = 0;
    if (!t.text[kAlbum].empty()) {
      const std::u16string& aa = t.text[kAlbumArtistText];
      std::vector<size_t>& same_title = by_title[t.text[kAlbum]];
      for (size_t n = 0; n < same_title.size() && id == 0; ++n) {
        const size_t i = same_title[n];
        const Entry& a = albums[i];
        const bool same = !aa.empty() && !a.first_album_artist.empty()
                              ? a.first_album_artist == aa
                              : a.first_artist == t.text[kArtist];
        if (same && a.name == t.text[kAlbum]) id = static_cast<int32_t>(i + 1);
      }
      if (id == 0) {
        const bool by_aa = !aa.empty();
        albums.push_back({t.text[kAlbum], by_aa ? aa : t.text[kArtist],
                          t.text[by_aa ? kSortAlbumArtist : kSortArtist], t.text[kArtist], aa});
        same_title.push_back(albums.size() - 1);
        id = Size32(albums.size());
      }
    }
    ids.push_back(id);
  }
  return albums;
}

// Ids by first use of a name, 0 for none.
std::vector<std::u16string> AssignNames(const std::vector<LiveTrack>& tracks, Text which,
                                        std::vector<int32_t>& ids) {
  std::vector<std::u16string> names;
  std::unordered_map<std::u16string, int32_t> known;
  for (const LiveTrack& t : tracks) {
    const std::u16string& n = t.text[which];
    int32_t id = 0;
    if (!n.empty()) {
      auto [it, added] = known.try_emplace(n, Size32(names.size() + 1));
      if (added) names.push_back(n);
      id = it->second;
    }
    ids.push_back(id);
  }
  return names;
}

// A text object of the lists (UTF-16, position 1, as in track text objects).
void PutText(ByteWriter& w, int32_t type, const std::u16string& s) {
  const int64_t at = static_cast<int64_t>(w.size());
  std::string bytes;
  bytes.reserve(2 * s.size());
  for (char16_t c : s) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  w.Put(at, "mhod");
  w.PutLong(at + 4, kObjectHeader);
  w.PutLong(at + 8, Size32(kTextAt + bytes.size()));
  w.PutLong(at + 12, type);
  w.PutLong(at + 24, 1);
  w.PutLong(at + 28, Size32(bytes.size()));
  w.PutLong(at + 32, 1);
  w.PutLong(at + 36, 0);
  w.Put(at + kTextAt, bytes);
}

// A persistent 64-bit id for a list entry, derived from its names so that
// it stays the same from one write to the next.
uint64_t PersistentId(int32_t kind, const Entry& e) {
  uint64_t h = 0xCBF29CE484222325ULL ^ static_cast<uint64_t>(kind);
  for (const std::u16string* s : {&e.name, &e.artist}) {
    for (char16_t c : *s) h = (h ^ c) * 0x100000001B3ULL;
    h = (h ^ 0xFFFF) * 0x100000001B3ULL;
  }
  return h;
}

// Appends one "mhia" (album) or "mhii" (artist) item with its text objects.
void PutItem(ByteWriter& w, bool album, int32_t id, const Entry& e) {
  const int64_t at = static_cast<int64_t>(w.size());
  const int32_t header = album ? kAlbumItemHeader : kArtistItemHeader;
  w.Put(at, album ? "mhia" : "mhii");
  w.PutLong(at + 4, header);
  w.PutLong(at + kItemIdAt, id);
  w.PutCurrency(at + kItemPersistentIdAt, PersistentId(album ? 1 : 2, e));
  w.PutLong(at + kItemKindAt, 2);
  w.Extend(at + header);
  int32_t children = 1;
  PutText(w, album ? kAlbumTitle : kArtistName, e.name);
  if (album && !e.artist.empty()) PutText(w, kAlbumArtist, e.artist), ++children;
  if (album && !e.sort_artist.empty()) PutText(w, kAlbumSortArtist, e.sort_artist), ++children;
  w.PutLong(at + 8, Size32(w.size() - static_cast<size_t>(at)));
  w.PutLong(at + 12, children);
}

// Lays a list section over `sec`: its loaded section and list headers are
// kept (a new one gets libgpod's), the counts and sizes are set, the items
// are new.
void PutListSection(MHSD_A& sec, int32_t type, const std::vector<Entry>& entries) {
  const bool album = type == kAlbumListType;
  ByteWriter w;
  if (!sec.sAllData.empty() && sec.iHeaderSize >= 16 &&
      sec.sAllData.size() >= static_cast<size_t>(sec.iHeaderSize) + 12) {
    const size_t list_header = LoadLE32(sec.sAllData.data() + sec.iHeaderSize + 4);
    w.Put(0, sec.sAllData.prefix(static_cast<size_t>(sec.iHeaderSize) + list_header).view());
  } else {
    w.Put(0, "mhsd");
    w.PutLong(4, kSectionHeader);
    w.PutLong(12, type);
    w.Extend(kSectionHeader);
    w.Put(kSectionHeader, album ? "mhla" : "mhli");
    w.PutLong(kSectionHeader + 4, kListHeader);
    w.Extend(kSectionHeader + kListHeader);
  }
  const int64_t list_at = LoadLE32(w.str().data() + 4);
  w.PutLong(list_at + 8, Size32(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) PutItem(w, album, static_cast<int32_t>(i + 1), entries[i]);
  w.PutLong(8, Size32(w.size()));
  ByteReader r{Bytes(std::move(w.str()))};
  ReadFields(r, 0, kSectionFields<MHSD_A>, sec);
  sec.sHeaderData = r.Image(0, sec.iHeaderSize);
  sec.sAllData = r.Image(0, r.size());
}

// Whether a kept section image holds the list named `id` behind its header.
bool HoldsList(const MHSD_A& sec, std::string_view id) {
  return sec.iHeaderSize >= 16 && sec.sAllData.size() >= static_cast<size_t>(sec.iHeaderSize) + 12 &&
         sec.sAllData.view().substr(static_cast<size_t>(sec.iHeaderSize), 4) == id;
}

template <typename Db>
auto* ArtistSection(Db& db) {
  for (auto& s : db.m_aOtherSections)
    if (s.iType == kArtistListType) return &s;
  return decltype(&db.m_aOtherSections.front()){nullptr};
}

// Sets a 4-byte field beyond the fixed part of a track header, in its image.
void PatchTrackHeader(MHIT& k, int32_t at, int32_t value) {
  if (k.iHeaderSize < at + 4) return;
  // Most tracks keep their ids: their image is not copied.
  if (k.sAllData.size() >= static_cast<size_t>(at) + 4 &&
      LoadLE32(k.sAllData.data() + at) == static_cast<uint32_t>(value))
    return;
  std::string image = k.sAllData.str();
  if (image.size() < static_cast<size_t>(k.iHeaderSize)) image.resize(static_cast<size_t>(k.iHeaderSize));
  image.replace(static_cast<size_t>(at), 4, PackLong(value));
  k.sAllData = Bytes(std::move(image));
}

// Counts a new section in the database header.
void CountNewSection(Database& db) {
  ++db.m_MHBD.iNumberOfMHSD;
  std::string header = db.m_MHBD.sHeaderData.str();
  if (header.size() < kNumberOfSectionsAt + 4) return;
  header.replace(kNumberOfSectionsAt, 4, PackLong(db.m_MHBD.iNumberOfMHSD));
  db.m_MHBD.sHeaderData = Bytes(std::move(header));
}

void UpdateLists(Database& db, std::vector<LiveTrack>& tracks, bool create) {
  const bool has_albums = !db.m_MHSD_A.sAllData.empty();
  MHSD_A* artists = ArtistSection(db);
  const bool albums_ok = has_albums ? HoldsList(db.m_MHSD_A, "mhla") : create;
  const bool artists_ok = artists != nullptr ? HoldsList(*artists, "mhli") : create;
  if (!albums_ok && !artists_ok) return;

  std::vector<int32_t> album_ids, artist_ids, composer_ids;
  const std::vector<Entry> albums = AssignAlbums(tracks, album_ids);
  std::vector<Entry> artist_entries;
  for (std::u16string& n : AssignNames(tracks, kArtist, artist_ids))
    artist_entries.push_back({std::move(n), {}, {}, {}, {}});
  AssignNames(tracks, kComposer, composer_ids);

  if (albums_ok) {
    if (!has_albums) CountNewSection(db);
    PutListSection(db.m_MHSD_A, kAlbumListType, albums);
  }
  if (artists_ok) {
    if (artists == nullptr) {
      CountNewSection(db);
      artists = &*db.m_aOtherSections.insert(db.m_aOtherSections.begin(), MHSD_A{});
    }
    PutListSection(*artists, kArtistListType, artist_entries);
  }
  for (size_t i = 0; i < tracks.size(); ++i) {
    MHIT& k = *tracks[i].track;
    if (albums_ok && k.iHeaderSize >= kTrackAlbumIdAt + 4) k.iUnk21 = album_ids[i];
    if (!artists_ok) continue;
    PatchTrackHeader(k, kTrackArtistIdAt, artist_ids[i]);
    PatchTrackHeader(k, kTrackComposerIdAt, composer_ids[i]);
  }
}

}  // namespace

bool HasLibraryIndexes(const Database& db) {
  if (HasIndexObjects(db.m_MHSD_PlayLists) || HasIndexObjects(db.m_MHSD_Podcasts)) return true;
  if (HoldsList(db.m_MHSD_A, "mhla")) return true;
  return ArtistSection(db) != nullptr;
}

namespace {

std::vector<uint32_t> Words(const Bytes& b, size_t at, size_t count, size_t stride) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < count && at + stride * i + 4 <= b.size(); ++i)
    out.push_back(LoadLE32(b.data() + at + stride * i));
  return out;
}

std::vector<LibraryMenus::Item> ReadItems(const MHSD_A& sec, std::string_view list_id) {
  std::vector<LibraryMenus::Item> items;
  if (!HoldsList(sec, list_id)) return items;
  const Bytes& b = sec.sAllData;
  size_t at = static_cast<size_t>(sec.iHeaderSize);
  at += LoadLE32(b.data() + at + 4);
  while (at + kItemPersistentIdAt <= b.size()) {
    LibraryMenus::Item& item = items.emplace_back();
    item.id = static_cast<int32_t>(LoadLE32(b.data() + at + kItemIdAt));
    const size_t end = at + LoadLE32(b.data() + at + 8);
    size_t o = at + LoadLE32(b.data() + at + 4);
    while (o + kTextAt <= std::min<size_t>(end, b.size())) {
      const size_t total = LoadLE32(b.data() + o + 8), len = LoadLE32(b.data() + o + 28);
      if (total < kTextAt || o + kTextAt + len > b.size()) break;
      item.texts.push_back(Utf16Text::FromBytes(b.Slice(o + kTextAt, len)).u16());
      o += total;
    }
    if (end <= at) break;
    at = end;
  }
  return items;
}

}  // namespace

LibraryMenus ReadLibraryMenus(const Database& db) {
  LibraryMenus m;
  if (const MHYP* p = MasterOf(db.m_MHSD_PlayLists)) {
    for (const MHOD_PCD& o : p->m_mhod_pcd) {
      const int32_t type = SortTypeOf(o);
      if (type < 0) continue;
      auto it = std::find_if(m.indexes.begin(), m.indexes.end(),
                             [&](const LibraryMenus::SortIndex& s) { return s.sort_type == type; });
      if (it == m.indexes.end()) it = m.indexes.insert(m.indexes.end(), {type, {}, {}});
      const size_t n = LoadLE32(o.sAllMHOD.data() + kEntryCountAt);
      if (o.iType == kIndexObject) {
        it->order = Words(o.sAllMHOD, kIndexEntriesAt, n, 4);
        continue;
      }
      const std::vector<uint32_t> w = Words(o.sAllMHOD, kJumpEntriesAt, 3 * n, 4);
      for (size_t i = 0; i + 2 < w.size(); i += 3) it->jumps.push_back({w[i] & 0xFFFF, w[i + 1], w[i + 2]});
    }
  }
  m.albums = ReadItems(db.m_MHSD_A, "mhla");
  if (const MHSD_A* s = ArtistSection(db)) m.artists = ReadItems(*s, "mhli");
  return m;
}

Status RegenerateLibraryIndexes(Database& db, bool create) {
  const int32_t tracks_in_list = db.m_MHSD_T.m_mhlt.iNumberOfllTracks;
  if (tracks_in_list < 0 || static_cast<size_t>(tracks_in_list) != db.m_MHSD_T.m_mhlt.m_mhit.size())
    return Status::Invalid("The track list does not match its count");
  std::vector<LiveTrack> tracks = CollectTracks(db);
  std::vector<Index> indexes;
  for (int32_t type : kLibrarySortTypes) indexes.push_back(BuildIndex(tracks, type));
  for (MHSD_P* sec : {&db.m_MHSD_PlayLists, &db.m_MHSD_Podcasts}) {
    if (create || HasIndexObjects(*sec)) UpdateMaster(*sec, indexes, create);
  }
  UpdateLists(db, tracks, create);
  return Status::OK();
}

}  // namespace cadenza
