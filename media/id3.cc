#include "media/id3.h"

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "platform/text.h"

namespace cadenza {
namespace {

// A chain of tags linked by SEEK frames is followed this far at most.
constexpr int kMaxLinkedTags = 64;
// The largest tag body a sync-safe size can announce (plus a footer); a
// larger size comes only from a damaged header and is cut to this.
constexpr int64_t kMaxTagBytes = (int64_t{1} << 28) + 10;

constexpr const char* kGenreList =
    "Blues#Classic Rock#Country#Dance#Disco#Funk#Grunge#Hip-Hop#Jazz#Metal#"
    "New Age#Oldies#Other#Pop#R&B#Rap#Reggae#Rock#Techno#Industrial#"
    "Alternative#Ska#Death Metal#Pranks#Soundtrack#Euro-Techno#Ambient#"
    "Trip-Hop#Vocal#Jazz+Funk#Fusion#Trance#Classical#Instrumental#Acid#House#"
    "Game#Sound Clip#Gospel#Noise#Alt. Rock#Bass#Soul#Punk#Space#Meditative#"
    "Instrumental Pop#Instrumental Rock#Ethnic#Gothic#Darkwave#"
    "Techno-Industrial#Electronic#Pop-Folk#Eurodance#Dream#Southern Rock#"
    "Comedy#Cult#Gangsta#Top 40#Christian Rap#Pop/Funk#Jungle#"
    "Native American#Cabaret#New Wave#Psychadelic#Rave#Showtunes#Trailer#"
    "Lo-Fi#Tribal#Acid Punk#Acid Jazz#Polka#Retro#Musical#Rock & Roll#"
    "Hard Rock#Folk#Folk-Rock#National Folk#Swing#Fast Fusion#Bebob#Latin#"
    "Revival#Celtic#Bluegrass#Avantgarde#Gothic Rock#Progressive Rock#"
    "Psychedelic Rock#Symphonic Rock#Slow Rock#Big Band#Chorus#"
    "Easy Listening#Acoustic#Humour#Speech#Chanson#Opera#Chamber Music#"
    "Sonata#Symphony#Booty Bass#Primus#Porn Groove#Satire#Slow Jam#Club#"
    "Tango#Samba#Folklore#Ballad#Power Ballad#Rhythmic Soul#Freestyle#Duet#"
    "Punk Rock#Drum Solo#A capella#Euro-House#Dance Hall#Goa#Drum & Bass#"
    "Club-House#Hardcore#Terror#Indie#BritPop#Negerpunk#Polsk Punk#Beat#"
    "Christian Gangsta#Heavy Metal#Black Metal#Crossover#Contemporary C#"
    "Christian Rock#Merengue#Salsa#Thrash Metal#Anime#JPop#SynthPop";

const std::vector<std::string>& Genres() {
  static const std::vector<std::string> genres = [] {
    std::vector<std::string> v;
    std::string_view all(kGenreList);
    size_t start = 0;
    while (true) {
      size_t hash = all.find('#', start);
      v.emplace_back(all.substr(start, hash == std::string_view::npos
                                           ? std::string_view::npos
                                           : hash - start));
      if (hash == std::string_view::npos) break;
      start = hash + 1;
    }
    return v;
  }();
  return genres;
}

// Appends code point `cp` under the line-break rule of tag text.
void AppendTagChar(std::string& out, char32_t cp) {
  if (cp == U'\r') return;
  if (cp == U'\n') {
    out += "\r\n";
    return;
  }
  AppendUtf8(out, cp);
}

// Decodes one UTF-8 sequence at p[i..n); returns its length, or 0 when the
// bytes there are not a valid sequence.
size_t DecodeUtf8At(const uint8_t* p, size_t i, size_t n, char32_t& cp) {
  uint8_t b = p[i];
  size_t len;
  char32_t min;
  if (b < 0x80) {
    cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[i + k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i + k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Number of bytes the first zero-terminated string of `len` bytes at `p`
// takes in `encoding`, terminator included (all `len` when unterminated).
int64_t TerminatedSize(const uint8_t* p, int64_t len, int encoding) {
  if (encoding == 1 || encoding == 2) {
    for (int64_t i = 0; i + 1 < len; i += 2) {
      if (p[i] == 0 && p[i + 1] == 0) return i + 2;
    }
    return len;
  }
  for (int64_t i = 0; i < len; ++i) {
    if (p[i] == 0) return i + 1;
  }
  return len;
}

bool IsDecimal(std::string_view s) {
  if (s.empty() || s.size() > 18) return false;
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

int64_t DecimalValue(std::string_view s) {
  int64_t v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

void StoreFrame(std::string_view id, const std::string& text,
                ID3TagInfo& tag) {
  if (id == "TPE1" || id == "TP1") {
    tag.sArtist = text;
  } else if (id == "TALB" || id == "TAL") {
    tag.sAlbum = text;
  } else if (id == "TIT2" || id == "TT2") {
    tag.sTitle = text;
  } else if (id == "TRCK" || id == "TRK") {
    tag.sTrack = text;
  } else if (id == "TDRC") {
    tag.sYear = Utf8Prefix(text, 4);
  } else if (id == "TYER" || id == "TYE") {
    tag.sYear = text;
  } else if (id == "TCON" || id == "TCO") {
    tag.sGenre = ResolveGenreText(text);
  } else if (id == "COMM" || id == "COM" || id == "COM ") {
    tag.sComment = text;
  } else if (id == "TENC" || id == "TEN") {
    tag.sEncodedBy = text;
  } else if (id == "WXXX" || id == "WXX") {
    tag.sURL = text;
  } else if (id == "TCOP" || id == "TCR") {
    tag.sRightsNotice = text;
  } else if (id == "TCOM" || id == "TCM") {
    tag.sComposer = text;
  } else if (id == "TOPE" || id == "TOA") {
    tag.sOriginalArtist = text;
  }
}

}  // namespace

void ClearTagInfo(ID3TagInfo& tag) { tag = ID3TagInfo(); }

std::string GenreName(int32_t iGenre) {
  const auto& genres = Genres();
  if (iGenre < 0 || static_cast<size_t>(iGenre) >= genres.size()) return {};
  return genres[static_cast<size_t>(iGenre)];
}

std::string ResolveGenreText(const std::string& sGenre) {
  size_t open = sGenre.find('(');
  size_t close = sGenre.find(')');
  // Without a pair of parentheses in that order the text is a plain name.
  if (open == std::string::npos || close == std::string::npos ||
      close < open) {
    return sGenre;
  }
  std::string inner = sGenre.substr(open + 1, close - open - 1);
  if (IsDecimal(inner)) {
    int64_t n = DecimalValue(inner);
    return n > 147 ? std::string() : GenreName(static_cast<int32_t>(n));
  }
  if (inner == "RX") return "Remix";
  if (inner == "CR") return "Cover";
  return sGenre;
}

int32_t ReadTagInteger(const uint8_t* p, bool bSyncSafe, bool* pbOverflow) {
  if (pbOverflow) *pbOverflow = false;
  if (bSyncSafe && ((p[0] | p[1] | p[2] | p[3]) & 0x80) == 0) {
    return static_cast<int32_t>((uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) |
                                (uint32_t{p[2]} << 7) | uint32_t{p[3]});
  }
  if (p[0] >= 0x80) {
    if (pbOverflow) *pbOverflow = true;
    return 0;
  }
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

bool IsValidFrameID(const uint8_t* p) {
  for (int i = 0; i < 4; ++i) {
    uint8_t c = p[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == 0)) {
      return false;
    }
  }
  return true;
}

int64_t UndoUnsynchronisation(uint8_t* p, int64_t iLength) {
  if (iLength <= 0) return 0;
  int64_t r = 0, w = 0, removed = 0;
  while (true) {
    p[w++] = p[r];
    if (r > iLength - 2) break;
    if (p[r] == 0xFF && p[r + 1] == 0x00) {
      ++removed;
      r += 2;
      if (r == iLength) break;
    } else {
      ++r;
    }
  }
  return removed;
}

std::string BytesToText(const uint8_t* p, int64_t iLength, int iEncoding,
                        bool bStopAtZero) {
  std::string out;
  if (iLength <= 0) return out;
  size_t n = static_cast<size_t>(iLength);
  switch (iEncoding) {
    case 0:
      for (size_t i = 0; i < n; ++i) {
        if (p[i] == 0 && bStopAtZero) break;
        AppendTagChar(out, Cp1252ToCodePoint(p[i]));
      }
      break;
    case 3:
      for (size_t i = 0; i < n;) {
        if (p[i] == 0 && bStopAtZero) break;
        char32_t cp;
        size_t len = DecodeUtf8At(p, i, n, cp);
        if (len == 0) {
          // Not UTF-8 after all: take the byte as Windows-1252.
          cp = Cp1252ToCodePoint(p[i]);
          len = 1;
        }
        AppendTagChar(out, cp);
        i += len;
      }
      break;
    case 1:
    case 2: {
      bool big_endian = iEncoding == 2;
      size_t i = 0;
      if (iEncoding == 1 && n >= 2) {
        if (p[0] == 0xFF && p[1] == 0xFE) {
          i = 2;
        } else if (p[0] == 0xFE && p[1] == 0xFF) {
          big_endian = true;
          i = 2;
        }
      }
      std::u16string units;
      for (; i + 1 < n; i += 2) {
        char16_t u = big_endian ? static_cast<char16_t>((p[i] << 8) | p[i + 1])
                                : static_cast<char16_t>((p[i + 1] << 8) | p[i]);
        if (u == 0 && bStopAtZero) break;
        units.push_back(u);
      }
      std::string utf8 = Utf16ToUtf8(units);
      for (char c : utf8) {
        if (c == '\r') continue;
        if (c == '\n') {
          out += "\r\n";
        } else {
          out += c;
        }
      }
      break;
    }
    default:
      break;
  }
  return out;
}

std::string DecodeFrameText(const uint8_t* body, std::string_view sFrameID,
                            int64_t iLength) {
  if (iLength <= 0) return {};
  int encoding = body[0];
  if (!sFrameID.empty() && sFrameID[0] == 'T') {
    return BytesToText(body + 1, iLength - 1, encoding, true);
  }
  if (sFrameID == "COM " || sFrameID == "COMM" || sFrameID == "COM") {
    // Encoding byte, 3-byte language, terminated description, then the text.
    if (iLength <= 4) return {};
    int64_t k = 4 + TerminatedSize(body + 4, iLength - 4, encoding);
    return BytesToText(body + k, iLength - k, encoding, true);
  }
  if (sFrameID == "WXX" || sFrameID == "WXXX") {
    // Encoding byte, terminated description, then the URL, which is always
    // single-byte text whatever the description's encoding.
    int64_t k = 1 + TerminatedSize(body + 1, iLength - 1, encoding);
    return BytesToText(body + k, iLength - k, 0, true);
  }
  if (sFrameID == "SEEK") {
    if (iLength < 4) return {};
    bool overflow = false;
    int32_t v = ReadTagInteger(body, false, &overflow);
    return overflow ? std::string() : std::to_string(v);
  }
  return {};
}

namespace {

// What the 10-byte header of a version 2 tag announces.
struct TagHeader {
  int version = 0;
  bool unsync = false;    // the whole tag is unsynchronised
  bool extended = false;  // an extended header follows
  int64_t footer = 0;     // bytes of the footer behind the frames
  int64_t declared = 0;   // bytes behind the header, footer included
};

// Reads the header at `iOffset`; false when it cannot be read, names a
// version other than 2 to 4, or its size does not fit in 31 bits.
bool ReadTagHeader(const RandomAccessFile& file, int64_t iOffset, TagHeader& out) {
  uint8_t header[10];
  if (iOffset < 0 || file.ReadAt(iOffset, header, 10) != 10) return false;
  out.version = header[3];
  if (out.version < 2 || out.version > 4) return false;
  bool overflow = false;
  int64_t tag_size = ReadTagInteger(header + 6, true, &overflow);
  if (overflow) return false;
  uint8_t flags = header[5];
  out.unsync = (flags & 0x80) != 0;
  out.extended = (flags & 0x40) != 0 && out.version >= 3;
  out.footer = ((flags & 0x10) != 0 && out.version == 4) ? 10 : 0;
  out.declared = tag_size + out.footer;
  return true;
}

// Reads the tag body behind the header into `buf`, at most as much as the
// header declares, the file holds and kMaxTagBytes allows; `buf` gets 8 zero
// bytes of slack so that short headers at its end read as zeros. Returns the
// number of bytes read, or -1 on a read error.
int64_t ReadTagBody(const RandomAccessFile& file, int64_t iOffset, int64_t declared,
                    std::vector<uint8_t>& buf) {
  int64_t available = std::max<int64_t>(0, file.size() - (iOffset + 10));
  int64_t want = std::min({declared, available, kMaxTagBytes});
  buf.assign(static_cast<size_t>(want) + 8, 0);
  return want > 0 ? file.ReadAt(iOffset + 10, buf.data(), static_cast<size_t>(want)) : 0;
}

using FrameFn = std::function<void(const ID3v2Frame&)>;

// Hands the frames of a version 2.2 tag (3-character ids, 3-byte sizes)
// found in b[pos..len) to `fn` until padding or a frame that does not fit.
void WalkV22Frames(const uint8_t* b, int64_t pos, int64_t len, const FrameFn& fn) {
  while (pos >= 0 && pos <= len - 6) {
    const uint8_t* h = b + pos;
    int64_t size = (int64_t{h[3]} << 16) | (int64_t{h[4]} << 8) | h[5];
    pos += 6;
    if (h[0] == 0 && h[1] == 0 && h[2] == 0) break;
    if (pos > len - size) break;
    fn({std::string_view(reinterpret_cast<const char*>(h), 3), b + pos, size, false});
    pos += size;
  }
}

// Hands the frames of a version 2.3 or 2.4 tag found in b[pos..len - footer)
// to `fn` until padding or a frame that does not fit; SEEK frames are kept
// back. Returns the offset in the file of the next tag a SEEK frame points
// to (counted from the end of this tag at `tag_end`), or -1 when there is
// none.
int64_t WalkV23V24Frames(uint8_t* b, int64_t pos, int64_t len, const TagHeader& th, int64_t tag_end,
                         const FrameFn& fn) {
  int64_t result = -1;
  const int64_t f = th.footer;
  const int version = th.version;
  bool overflow = false;
  while (pos >= 0 && pos <= len - f - 10) {
    const uint8_t* h = b + pos;
    pos += 10;
    if (h[0] == 0 && h[1] == 0 && h[2] == 0 && h[3] == 0) break;
    std::string_view id(reinterpret_cast<const char*>(h), 4);
    int64_t size = ReadTagInteger(h + 4, version == 4, &overflow);
    if (overflow || pos > len - f - size) break;
    if (pos <= len - f - size - 4 && !IsValidFrameID(b + pos + size)) {
      // Some writers store plain sizes in version 4 tags.
      size = ReadTagInteger(h + 4, false, &overflow);
      if (overflow || pos > len - f - size) break;
    }
    uint8_t fl = h[9];
    bool skip = false;
    int64_t data_start = 0, removed = 0;
    if (version == 3) {
      skip = (fl & 0xC0) != 0;
      if (fl & 0x20) data_start = 1;
    } else {
      if (fl & 0x40) data_start = 1;
      skip = (fl & 0x0C) != 0;
      if (!skip && ((fl & 0x02) != 0 || th.unsync)) {
        removed = UndoUnsynchronisation(b + pos, size);
      }
      if (fl & 0x01) data_start += 4;
    }
    // The body may end before the bytes the flags announce; the buffer's
    // slack keeps the pointer inside it.
    ID3v2Frame frame{id, b + pos + data_start,
                     skip ? 0 : std::max<int64_t>(0, size - data_start - removed), skip};
    pos += size;
    if (id == "SEEK") {
      std::string text = DecodeFrameText(frame.data, id, frame.size);
      if (IsDecimal(text)) result = tag_end + DecimalValue(text);
    } else {
      fn(frame);
    }
  }
  return result;
}

// A tag read into memory, with what its header and extended header say.
struct LoadedTag {
  TagHeader th;
  std::vector<uint8_t> buf;
  int64_t len = 0;      // bytes of `buf` that came from the file
  int64_t pos = 0;      // where the first frame starts
  bool update = false;  // the tag only adds to the one before it
};

// Reads the tag whose header is at `iOffset`; false when its header, body or
// extended header cannot be read.
bool LoadTag(const RandomAccessFile& file, int64_t iOffset, LoadedTag& t) {
  if (!ReadTagHeader(file, iOffset, t.th)) return false;
  t.len = ReadTagBody(file, iOffset, t.th.declared, t.buf);
  if (t.len < 0) return false;
  uint8_t* b = t.buf.data();
  if (t.th.unsync && t.th.version < 4) t.len -= UndoUnsynchronisation(b, t.len);
  if (t.th.extended) {
    // Bytes past `len` are zero, so a short tag reads as a zero size.
    bool overflow = false;
    int32_t ext = ReadTagInteger(b, t.th.version == 4, &overflow);
    if (overflow) return false;
    if (t.th.version == 3) {
      t.pos = int64_t{ext} + 4;
    } else {
      t.pos = ext;
      t.update = t.len > 5 && (b[5] & 0x40) != 0;
    }
  }
  return true;
}

// Hands the frames of a loaded tag at `iOffset` to `fn`; returns the offset
// of a further tag a SEEK frame announces, or -1.
int64_t WalkFrames(LoadedTag& t, int64_t iOffset, const FrameFn& fn) {
  if (t.th.version == 2) {
    WalkV22Frames(t.buf.data(), t.pos, t.len, fn);
    return -1;
  }
  return WalkV23V24Frames(t.buf.data(), t.pos, t.len, t.th, iOffset + 10 + t.th.declared, fn);
}

// Finds the ID3v2 tags of `file`: the one at its start and those its SEEK
// frames lead to or, failing that, the one announced by a "3DI" footer at
// the end. `parse` takes each tag's header offset and returns the offset of
// a further tag or -1. True when a tag header was found.
bool VisitTags(const RandomAccessFile& file, const std::function<int64_t(int64_t)>& parse) {
  bool found = false;
  int64_t pos = 0;
  for (int hops = 0; pos >= 0 && hops < kMaxLinkedTags; ++hops) {
    if (file.ReadAt(pos, 3) != "ID3") break;
    found = true;
    int64_t next = parse(pos);
    // A SEEK frame only ever leads forward, into the file.
    pos = (next > pos && next < file.size()) ? next : -1;
  }
  if (found) return true;

  int64_t size = file.size();
  int64_t end = size;
  if (size >= 128 && file.ReadAt(size - 128, 3) == "TAG") end = size - 128;
  int64_t footer_pos = std::max<int64_t>(end - 10, 0);
  std::string footer = file.ReadAt(footer_pos, 10);
  if (footer.size() == 10 && footer.compare(0, 3, "3DI") == 0) {
    bool overflow = false;
    int32_t tag_size =
        ReadTagInteger(reinterpret_cast<const uint8_t*>(footer.data()) + 6, true, &overflow);
    int64_t header_pos = footer_pos - tag_size - 10;
    if (!overflow && header_pos >= 0) {
      parse(header_pos);
      found = true;
    }
  }
  return found;
}

}  // namespace

int64_t ParseID3v2Tag(const RandomAccessFile& file, int64_t iOffset, ID3TagInfo& tag) {
  LoadedTag t;
  if (!LoadTag(file, iOffset, t)) return -1;
  if (!t.update) ClearTagInfo(tag);
  return WalkFrames(t, iOffset, [&tag](const ID3v2Frame& f) {
    StoreFrame(f.id, DecodeFrameText(f.data, f.id, f.size), tag);
  });
}

bool ForEachID3v2Frame(const RandomAccessFile& file, int64_t iOffset,
                       const std::function<void(const ID3v2Frame&)>& fn, int* piVersion,
                       int64_t* piEnd) {
  LoadedTag t;
  if (!LoadTag(file, iOffset, t)) return false;
  if (piVersion) *piVersion = t.th.version;
  if (piEnd) *piEnd = iOffset + 10 + t.th.declared;
  WalkFrames(t, iOffset, fn);
  return true;
}

bool ReadID3v1Tag(const std::string& sFilePath, ID3TagInfo& tag) {
  RandomAccessFile file;
  if (!file.Open(sFilePath)) return false;
  int64_t size = file.size();
  if (size < 128) return false;
  uint8_t t[128];
  if (file.ReadAt(size - 128, t, 128) != 128) return false;
  if (t[0] != 'T' || t[1] != 'A' || t[2] != 'G') return false;
  ClearTagInfo(tag);
  auto field = [&](int at, int n) {
    return TrimBlanks(BytesToText(t + at, n, 0, true));
  };
  tag.sTitle = field(3, 30);
  tag.sArtist = field(33, 30);
  tag.sAlbum = field(63, 30);
  tag.sYear = field(93, 4);
  if (t[125] == 0 && t[126] != 0) {
    tag.sComment = field(97, 28);
    tag.sTrack = std::to_string(t[126]);
  } else {
    tag.sComment = field(97, 30);
  }
  tag.sGenre = GenreName(t[127]);
  return true;
}

bool ReadID3v2Tag(const std::string& sFilePath, ID3TagInfo& tag) {
  RandomAccessFile file;
  if (!file.Open(sFilePath)) return false;
  return VisitTags(file, [&](int64_t at) { return ParseID3v2Tag(file, at, tag); });
}

std::string CommentDescription(const uint8_t* body, int64_t iLength) {
  if (iLength <= 4) return {};
  return BytesToText(body + 4, iLength - 4, body[0], true);
}

namespace {

// The leading decimal digits of `s` as a number (at most nine of them), and
// where they end.
int32_t LeadingNumber(std::string_view s, size_t* end = nullptr) {
  size_t i = 0;
  int32_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (i < 9) v = v * 10 + (s[i] - '0');
  }
  if (end) *end = i;
  return v;
}

// "n/N" into its two numbers; a missing one stays 0.
void NumberPair(std::string_view s, int32_t* n, int32_t* count) {
  size_t end = 0;
  *n = LeadingNumber(s, &end);
  *count = end < s.size() && s[end] == '/' ? LeadingNumber(s.substr(end + 1)) : 0;
}

// True when a picture frame body (APIC, or PIC in version 2.2) holds image
// bytes behind its encoding, format, type and description.
bool PictureHasData(const ID3v2Frame& f) {
  int64_t k = 1;
  if (f.id == "PIC") {
    k += 3;
  } else {
    k += TerminatedSize(f.data + k, std::max<int64_t>(f.size - k, 0), 0);
  }
  k += 1;  // picture type
  if (f.size <= k) return false;
  return f.size > k + TerminatedSize(f.data + k, f.size - k, f.data[0]);
}

// Stores one frame of a tag into `t`; `have_comment` tells whether a comment
// without a description was stored already.
void StoreTagsFrame(const ID3v2Frame& f, Tags& t, bool& have_plain_comment) {
  const std::string_view id = f.id;
  auto is = [id](const char* v22, const char* v24) { return id == v22 || id == v24; };
  if (is("PIC", "APIC")) {
    t.has_cover = t.has_cover || PictureHasData(f);
    return;
  }
  // Line breaks come back as the line feeds they were written as.
  std::string text = DecodeFrameText(f.data, id, f.size);
  std::erase(text, '\r');
  if (is("COM", "COMM")) {
    bool plain = CommentDescription(f.data, f.size).empty();
    if ((plain && !have_plain_comment) || t.comment.empty()) t.comment = text;
    have_plain_comment = have_plain_comment || plain;
  } else if (is("TT2", "TIT2")) {
    t.title = text;
  } else if (is("TP1", "TPE1")) {
    t.artist = text;
  } else if (is("TAL", "TALB")) {
    t.album = text;
  } else if (is("TP2", "TPE2")) {
    t.album_artist = text;
  } else if (is("TCO", "TCON")) {
    t.genre = ResolveGenreText(text);
  } else if (is("TCM", "TCOM")) {
    t.composer = text;
  } else if (is("TYE", "TYER") || id == "TDRC") {
    t.year = Utf8Prefix(text, 4);
  } else if (is("TRK", "TRCK")) {
    NumberPair(text, &t.track_number, &t.track_count);
  } else if (is("TPA", "TPOS")) {
    NumberPair(text, &t.disc_number, &t.disc_count);
  } else if (is("TCP", "TCMP")) {
    t.compilation = LeadingNumber(text) != 0;
  } else if (is("TBP", "TBPM")) {
    t.bpm = LeadingNumber(text);
  }
}

}  // namespace

bool ReadID3Tags(const std::string& path, Tags* out) {
  *out = Tags();
  RandomAccessFile file;
  if (!file.Open(path)) return false;
  bool have_plain_comment = false;
  bool found = VisitTags(file, [&](int64_t at) {
    LoadedTag t;
    if (!LoadTag(file, at, t)) return int64_t{-1};
    return WalkFrames(t, at,
                      [&](const ID3v2Frame& f) { StoreTagsFrame(f, *out, have_plain_comment); });
  });
  ID3TagInfo v1;
  if (!ReadID3v1Tag(path, v1)) return found;
  for (auto [field, v1_field] : {std::pair{&out->title, &v1.sTitle},
                                 {&out->artist, &v1.sArtist},
                                 {&out->album, &v1.sAlbum},
                                 {&out->year, &v1.sYear},
                                 {&out->comment, &v1.sComment},
                                 {&out->genre, &v1.sGenre}}) {
    if (field->empty()) *field = *v1_field;
  }
  if (out->track_number == 0) out->track_number = LeadingNumber(v1.sTrack);
  return true;
}

}  // namespace cadenza
