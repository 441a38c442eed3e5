#include "db/record_json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <type_traits>
#include <variant>

#include "db/codec.h"
#include "db/layout.h"
#include "platform/text.h"

namespace cadenza {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at s[i] (i < s.size()), or 0
// when there is none; then *bad is the length of the invalid part, which
// becomes one U+FFFD.
size_t Utf8SequenceAt(std::string_view s, size_t i, size_t* bad) {
  const auto b = static_cast<uint8_t>(s[i]);
  if (b < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // the second byte's range
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    const auto c = i + k < s.size() ? static_cast<uint8_t>(s[i + k]) : 0;
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) {
      *bad = k;
      return 0;
    }
  }
  return n;
}

void AppendString(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b >= 0x80) {
      size_t bad = 0;
      const size_t n = Utf8SequenceAt(s, i, &bad);
      out.append(n ? s.substr(i, n) : std::string_view("\xEF\xBF\xBD"));
      i += n ? n : bad;
      continue;
    }
    if (b >= 0x20 && b != '"' && b != '\\') {
      // A run of characters that need no escape goes in at once.
      size_t end = i + 1;
      while (end < s.size()) {
        const auto c = static_cast<uint8_t>(s[end]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        ++end;
      }
      out.append(s.substr(i, end - i));
      i = end;
      continue;
    }
    ++i;
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += kDigits[b >> 4];
          out += kDigits[b & 15];
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  out += '"';
}

void AppendHex(std::string& out, std::string_view bytes) {
  static const auto kPairs = [] {
    std::array<char, 512> t{};
    for (size_t b = 0; b < 256; ++b) {
      t[2 * b] = kDigits[b >> 4];
      t[2 * b + 1] = kDigits[b & 15];
    }
    return t;
  }();
  // Images run to megabytes: the digits go out through a small buffer.
  char piece[2 * 4096];
  for (size_t i = 0; i < bytes.size(); i += 4096) {
    const size_t n = std::min<size_t>(4096, bytes.size() - i);
    for (size_t k = 0; k < n; ++k)
      std::memcpy(piece + 2 * k, &kPairs[2 * static_cast<uint8_t>(bytes[i + k])], 2);
    out.append(piece, 2 * n);
  }
}

// A field's value: numbers as numbers, 8-byte holders and byte strings as
// hexadecimal, text as text.
template <typename T>
void Value(JsonWriter& j, const T& v) {
  if constexpr (std::is_same_v<T, uint64_t>) {
    j.Hex(PackCurrency(v));
  } else if constexpr (std::is_same_v<T, bool>) {
    j.Bool(v);
  } else if constexpr (std::is_integral_v<T>) {
    j.Number(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    j.String(v);
  } else {
    j.Hex(v.view());
  }
}

template <typename Fields, typename R>
void PutFields(JsonWriter& j, const Fields& fields, const R& r) {
  for (const auto& f : fields) {
    j.Key(f.name);
    std::visit([&](auto m) { Value(j, r.*m); }, f.member);
  }
}

void PutImage(JsonWriter& j, const JsonOptions& o, const char* key, const Bytes& image) {
  if (!o.images) return;
  j.Key(key);
  j.Hex(image.view());
}

template <typename Record, typename Put>
void PutArray(JsonWriter& j, const char* key, const std::vector<Record>& records, Put put) {
  j.Key(key);
  j.BeginArray();
  for (const Record& r : records) put(r);
  j.EndArray();
}

// The four fields and two images every section record starts with, left
// open for what follows.
template <typename Section>
void OpenSection(JsonWriter& j, const Section& r, const JsonOptions& o) {
  j.BeginObject();
  PutFields(j, kSectionFields<Section>, r);
  PutImage(j, o, "sHeaderData", r.sHeaderData);
  PutImage(j, o, "sAllData", r.sAllData);
}

template <typename R>
struct InfoField {
  const char* name;
  std::variant<std::string R::*, int32_t R::*, uint8_t R::*, bool R::*> member;
};
constexpr InfoField<TrackInfo> kTrackInfoFields[] = {
    {"sTitle", &TrackInfo::sTitle},
    {"sAlbum", &TrackInfo::sAlbum},
    {"sArtist", &TrackInfo::sArtist},
    {"sComposer", &TrackInfo::sComposer},
    {"sGenre", &TrackInfo::sGenre},
    {"sYear", &TrackInfo::sYear},
    {"sComment", &TrackInfo::sComment},
    {"sFiletype", &TrackInfo::sFiletype},
    {"sLocation", &TrackInfo::sLocation},
    {"sVolume", &TrackInfo::sVolume},
    {"iFileSize", &TrackInfo::iFileSize},
    {"iTrackTimLength", &TrackInfo::iTrackTimLength},
    {"iType", &TrackInfo::iType},
    {"iBitrateInKbs", &TrackInfo::iBitrateInKbs},
    {"iSampleRateInHz", &TrackInfo::iSampleRateInHz},
    {"iStartTime", &TrackInfo::iStartTime},
    {"iStopTime", &TrackInfo::iStopTime},
    {"iSkipWhenShuffle", &TrackInfo::iSkipWhenShuffle},
    {"iRememberPlayBackPos", &TrackInfo::iRememberPlayBackPos},
    {"IsMovie", &TrackInfo::IsMovie},
    {"IsVBR", &TrackInfo::IsVBR},
    {"iPlayCount", &TrackInfo::iPlayCount},
    {"sTrackType", &TrackInfo::sTrackType},
    {"iTrackID", &TrackInfo::iTrackID},
    {"sVideoCodec", &TrackInfo::sVideoCodec},
    {"sAudioCodec", &TrackInfo::sAudioCodec},
    {"isFileSupported", &TrackInfo::isFileSupported},
};

}  // namespace

std::string Hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  AppendHex(out, bytes);
  return out;
}

void JsonWriter::NewLine() {
  if (indent_ < 0) return;
  *out_ += '\n';
  out_->append(static_cast<size_t>(indent_) * empty_.size(), ' ');
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (empty_.empty()) return;
  if (!empty_.back()) *out_ += ',';
  empty_.back() = false;
  NewLine();
}

void JsonWriter::Open(char c) {
  BeforeValue();
  *out_ += c;
  empty_.push_back(true);
}

void JsonWriter::Close(char c) {
  const bool was_empty = empty_.back();
  empty_.pop_back();
  if (!was_empty) NewLine();
  *out_ += c;
  if (sink_ && buf_.size() >= (1 << 16)) Flush();
}

void JsonWriter::Key(std::string_view name) {
  BeforeValue();
  // Keys are the records' field names: letters, digits and underscores,
  // which need no escapes.
  *out_ += '"';
  out_->append(name);
  *out_ += '"';
  *out_ += indent_ < 0 ? ":" : ": ";
  after_key_ = true;
}

void JsonWriter::Number(int64_t v) {
  BeforeValue();
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out_->append(buf, res.ptr);
}

void JsonWriter::Bool(bool v) {
  BeforeValue();
  *out_ += v ? "true" : "false";
}

void JsonWriter::String(std::string_view utf8) {
  BeforeValue();
  AppendString(*out_, utf8);
}

void JsonWriter::Hex(std::string_view bytes) {
  BeforeValue();
  *out_ += '"';
  // A section's image is as large as the section: streamed in pieces, it
  // never exists whole as text.
  constexpr size_t kPiece = 1 << 15;
  for (size_t i = 0; i < bytes.size(); i += kPiece) {
    AppendHex(*out_, bytes.substr(i, kPiece));
    if (sink_ && buf_.size() >= (1 << 16)) Flush();
  }
  *out_ += '"';
}

void JsonWriter::Flush() {
  if (!sink_ || buf_.empty()) return;
  sink_->write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
  buf_.clear();
}

void WriteJson(JsonWriter& j, const MHBD& r, const JsonOptions& o) {
  j.BeginObject();
  PutFields(j, kMHBDFields, r);
  PutImage(j, o, "sHeaderData", r.sHeaderData);
  PutImage(j, o, "sAllData", r.sAllData);
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHOD_S& r, const JsonOptions& o) {
  j.BeginObject();
  PutFields(j, kMHODSFields, r);
  j.Key("sString");
  j.String(Utf16ToUtf8(r.sString.u16()));
  PutImage(j, o, "sAllMHOD", r.sAllMHOD);
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHIT& r, const JsonOptions& o) {
  j.BeginObject();
  PutFields(j, kMHITFields, r);
  j.Key("cover");
  j.Bool(r.iHasArtwork == 1);
  j.Key("cover_image_id");
  j.Number(TrackCoverLink(r));
  PutImage(j, o, "sAllData", r.sAllData);
  PutArray(j, "m_mhod", r.m_mhod, [&](const MHOD_S& m) { WriteJson(j, m, o); });
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHYP& r, const JsonOptions& o) {
  j.BeginObject();
  PutFields(j, kMHYPFields, r);
  PutImage(j, o, "sAllData", r.sAllData);
  j.Key("m_mhod_s");
  WriteJson(j, r.m_mhod_s, o);
  PutArray(j, "m_mhod_pcd", r.m_mhod_pcd, [&](const MHOD_PCD& p) {
    j.BeginObject();
    PutFields(j, kMHODPCDFields, p);
    PutImage(j, o, "sAllMHOD", p.sAllMHOD);
    j.EndObject();
  });
  PutArray(j, "m_mhip", r.m_mhip, [&](const MHIP& i) {
    j.BeginObject();
    PutFields(j, kMHIPFields, i);
    PutImage(j, o, "sHeaderData", i.sHeaderData);
    j.EndObject();
  });
  PutArray(j, "m_mhod_poe", r.m_mhod_poe, [&](const MHOD_POE& e) {
    j.BeginObject();
    PutFields(j, kMHODPOEFields, e);
    PutImage(j, o, "sAllMHOD", e.sAllMHOD);
    j.EndObject();
  });
  j.Key("iMHYPs2Delete");
  j.Number(r.iMHYPs2Delete);
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHSD_T& r, const JsonOptions& o) {
  OpenSection(j, r, o);
  j.Key("m_mhlt");
  j.BeginObject();
  PutFields(j, kMHLTFields, r.m_mhlt);
  PutImage(j, o, "sAllHeader", r.m_mhlt.sAllHeader);
  PutArray(j, "m_mhit", r.m_mhlt.m_mhit, [&](const MHIT& t) { WriteJson(j, t, o); });
  j.Key("iTracks2Delete");
  j.Number(r.m_mhlt.iTracks2Delete);
  j.EndObject();
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHSD_P& r, const JsonOptions& o) {
  OpenSection(j, r, o);
  j.Key("m_mhlp");
  j.BeginObject();
  PutFields(j, kMHLPFields, r.m_mhlp);
  PutImage(j, o, "sHeaderData", r.m_mhlp.sHeaderData);
  PutArray(j, "m_mhyp", r.m_mhlp.m_mhyp, [&](const MHYP& y) { WriteJson(j, y, o); });
  j.EndObject();
  j.EndObject();
}

void WriteJson(JsonWriter& j, const MHSD_A& r, const JsonOptions& o) {
  OpenSection(j, r, o);
  j.EndObject();
}

void WriteJson(JsonWriter& j, const TrackInfo& r, const JsonOptions&) {
  j.BeginObject();
  PutFields(j, kTrackInfoFields, r);
  j.EndObject();
}

}  // namespace cadenza
