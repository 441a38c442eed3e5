#include "media/id3.h"

#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include <random>

#include "media/media_test_util.h"

namespace cadenza {
namespace {

using namespace testutil;
using namespace std::string_literals;

std::string Frame22(const std::string& id, const std::string& body) {
  auto n = static_cast<uint32_t>(body.size());
  return id + std::string{char(n >> 16), char(n >> 8), char(n)} + body;
}
std::string Frame23(const std::string& id, const std::string& body, char fl = 0) {
  return id + BE32(static_cast<uint32_t>(body.size())) + '\0' + fl + body;
}
std::string Frame24(const std::string& id, const std::string& body, char fl = 0) {
  return id + SyncSafe(static_cast<uint32_t>(body.size())) + '\0' + fl + body;
}
std::string Tag(int version, char flags, const std::string& body, size_t pad = 16) {
  return std::string("ID3") + char(version) + '\0' + flags +
         SyncSafe(static_cast<uint32_t>(body.size() + pad)) + body + std::string(pad, '\0');
}
std::string T(const std::string& s) { return '\0' + s; }  // encoding 0 text
// The twelve fields, '|' between them, without trailing empty ones.
std::string Fields(const ID3TagInfo& t) {
  std::string s = t.sTitle + "|" + t.sArtist + "|" + t.sAlbum + "|" + t.sYear + "|" + t.sGenre +
                  "|" + t.sComment + "|" + t.sTrack + "|" + t.sEncodedBy + "|" + t.sURL + "|" +
                  t.sRightsNotice + "|" + t.sComposer + "|" + t.sOriginalArtist;
  return s.substr(0, s.find_last_not_of('|') + 1);
}

TEST(TagTextTest, GenresEncodingsAndFrameBodies) {
  EXPECT_EQ(GenreName(0) + GenreName(147) + GenreName(148) + GenreName(-1), "BluesSynthPop");
  const std::pair<const char*, const char*> genres[] = {
      {"(17)Rock", "Rock"},
      {"(RX)", "Remix"},
      {"17", "17"},
      {"(200)", ""},
      {"a)b(c", "a)b(c"},
      {"(99999999999999999999)", "(99999999999999999999)"}};
  for (const auto& [text, want] : genres) EXPECT_EQ(ResolveGenreText(text), want) << text;

  const std::tuple<int, std::string, const char*> texts[] = {
      {0, "Caf\xE9 \x80", "Café €"},
      {0, "a\nb\rc", "a\r\nbc"},
      {0, "ab\0cd"s, "ab"},
      // UTF-16 little-endian with BOM: "Ωa\n" and a surrogate pair (U+1F600).
      {1, "\xFF\xFE\xA9\x03\x61\0\n\0\x3D\xD8\x00\xDE\0\0z\0"s, "Ωa\r\n😀"},
      {1, "\xFE\xFF\x03\xA9\0b"s, "Ωb"},
      {2, "\x03\xA9\0b\0"s, "Ωb"},  // odd byte dropped
      {3, "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x9C\x93", "Grüße ✓"},
      {3, "\xE9t\xE9", "été"},  // not UTF-8: taken as Windows-1252
      {4, "abc", ""}};
  for (const auto& [encoding, bytes, want] : texts)
    EXPECT_EQ(BytesToText(U8(bytes), static_cast<int64_t>(bytes.size()), encoding, true), want);

  // Descriptions end at a zero of their encoding's width.
  const std::tuple<const char*, std::string, const char*> frames[] = {
      {"COMM", "\x01\x65ng\xFF\xFE\x64\0\0\0\xFF\xFE\xA9\x03!\0"s, "Ω!"},
      {"COMM", "\x02\x65ng\0d\0\0\0x"s, "x"},
      {"WXXX", "\x01\xFF\xFE\x64\0\0\0http://a.b/"s, "http://a.b/"},
      {"SEEK", BE32(1234), "1234"},
      {"SEEK", BE32(0x90000000), ""},
      {"SEEK", "ab", ""},
      {"APIC", T("image"), ""},
      {"TIT2", "", ""}};
  for (const auto& [id, body, want] : frames)
    EXPECT_EQ(DecodeFrameText(U8(body), id, static_cast<int64_t>(body.size())), want) << id;
}

class ID3FileTest : public MediaTest {
 protected:
  ID3TagInfo ReadV2(const std::string& bytes, bool expect_found = true) {
    ID3TagInfo tag;
    tag.sTitle = "untouched";
    EXPECT_EQ(ReadID3v2Tag(Write("t.mp3", bytes), tag), expect_found);
    return tag;
  }
};

std::string V1Tag(const std::string& comment30, uint8_t genre) {
  return "TAG" + std::string("  Title  ").append(21, '\0') +
         std::string("Artist").append(24, '\0') + std::string("Album").append(25, '\0') + "1999" +
         comment30 + char(genre);
}

TEST_F(ID3FileTest, ID3v1AndV11) {
  ID3TagInfo t;
  std::string c11 = std::string("comment").append(21, ' ') + '\0' + '\x05';
  ASSERT_TRUE(ReadID3v1Tag(Write("a", std::string(500, 'x') + V1Tag(c11, 17)), t));
  EXPECT_EQ(Fields(t), "Title|Artist|Album|1999|Rock|comment|5");
  ASSERT_TRUE(ReadID3v1Tag(Write("b", V1Tag(std::string(28, 'c') + '\0' + '\0', 255)), t));
  EXPECT_EQ(t.sComment + "|" + t.sTrack + "|" + t.sGenre, std::string(28, 'c') + "||");
  t.sTitle = "kept";
  for (const std::string& bad :
       {Write("c", std::string(127, 'T')), Write("d", std::string(300, 'x')),
        (dir_ / "missing").string(), dir_.string()})
    EXPECT_FALSE(ReadID3v1Tag(bad, t)) << bad;
  EXPECT_EQ(t.sTitle, "kept");
}

TEST_F(ID3FileTest, EveryFieldInVersions2And3) {
  // Version 2 id, version 3 id, body, expected text, in the order of Fields.
  const std::tuple<const char*, const char*, std::string, const char*> fields[] = {
      {"TT2", "TIT2", T("Line\nTwo\r"), "Line\r\nTwo"},
      {"TP1", "TPE1", T("Art"), "Art"},
      {"TAL", "TALB", T("Alb"), "Alb"},
      {"TYE", "TYER", T("2001"), "2001"},
      {"TCO", "TCON", T("(17)"), "Rock"},
      {"COM", "COMM", T("eng\0c"s), "c"},
      {"TRK", "TRCK", T("3/9"), "3/9"},
      {"TEN", "TENC", T("Enc"), "Enc"},
      {"WXX", "WXXX", T("\0http://x"s), "http://x"},
      {"TCR", "TCOP", T("Cop"), "Cop"},
      {"TCM", "TCOM", T("Comp"), "Comp"},
      {"TOA", "TOPE", T("Orig"), "Orig"}};
  std::string v2, v3, want;
  for (const auto& [id2, id3, body, text] : fields) {
    v2 += Frame22(id2, body);
    v3 += Frame23(id3, body);
    want += (want.empty() ? "" : "|") + std::string(text);
  }
  v3 += Frame23("APIC", std::string(40, '\x01'));
  // The audio behind the tag (a frame header with a zero byte) is not read.
  EXPECT_EQ(Fields(ReadV2(Tag(2, 0, v2))), want);
  EXPECT_EQ(Fields(ReadV2(Tag(3, 0, v3) + BE32(0xFFFB9000))), want);
}

TEST_F(ID3FileTest, CraftedAndDamagedTags) {
  // Version 3, the whole tag unsynchronised: 0xFF 0x00 becomes 0xFF, and
  // frame sizes count the bytes after the scheme is undone.
  std::string unsync = Frame23("TIT2", "\x01\xFF\xFE\x41\0"s) + Frame23("TPE1", T("B"));
  unsync.insert(12, 1, '\0');
  std::string big = Tag(3, 0, Frame23("TIT2", T("Big")), 0);
  big.replace(6, 4, SyncSafe(0x0FFFFFFF));
  const std::string footed = Tag(4, 0x10, Frame24("TIT2", T("Foot")), 0);
  const std::string tail = footed + "3DI" + footed.substr(3, 7), audio(1000, '\x55');
  const std::string seek =
      Tag(4, 0,
          Frame24("TIT2", T("One")) + Frame24("TPE1", T("Art")) + Frame24("SEEK", BE32(100))) +
      std::string(100, '\0');
  std::string chain;
  for (int i = 0; i < 200; ++i)
    chain += Tag(4, 0, Frame24("TIT2", T(std::to_string(i))) + Frame24("SEEK", BE32(0)), 0);
  const std::pair<std::string, std::string> cases[] = {
      {Tag(3, '\x80', unsync), "A|B"},
      // Extended headers: version 3's size leaves itself out, version 4's
      // (sync-safe) counts itself.
      {Tag(3, 0x40, BE32(6) + std::string(6, '\0') + Frame23("TIT2", T("E3"))), "E3"},
      {Tag(4, 0x40, SyncSafe(6) + "\x01\0"s + Frame24("TIT2", T("E4"))), "E4"},
      // Version 4 frame flags: unsynchronisation, data length, grouping; a
      // trailing 0xFF 0x00 is undone too.
      {Tag(4, '\x80',
           Frame24("TIT2", "\0\0\0\x04\0\x61\xFF\0\xE0"s, 0x03) + Frame24("TPE1", "G\x03x"s, 0x40) +
               Frame24("TALB", T("\xFF\x00y\xFF\x00"s))),
       "aÿà|x|ÿyÿ"},
      // A 256-byte body stored with a plain size (sync-safe it would be 128);
      // compressed or encrypted frames are skipped.
      {Tag(4, 0,
           "TIT2" + BE32(256) + "\0\0"s + T(std::string(255, 'p')) +
               Frame24("TDRC", T("2004-05-06")) + Frame24("TCON", T("Pop")) +
               Frame24("TPE1", T("Zed"), 0x08) + Frame24("TALB", T("Enc"), 0x04)),
       std::string(255, 'p') + "|||2004|Pop"},
      {Tag(3, 0,
           Frame23("TIT2", T("zzz"), '\x80') + Frame23("TPE1", T("A"), 0x40) +
               Frame23("TALB", "\x05" + T("G"), 0x20)),
       "||G"},
      // A version 4 tag found through its footer, also before an ID3v1 tag.
      {audio + tail, "Foot"},
      {audio + tail + V1Tag(std::string(30, '\0'), 1), "Foot"},
      // SEEK to an update tag 100 bytes on: it keeps the fields it does not
      // carry; a tag that is no update clears them. Chains end after 64 tags.
      {seek + Tag(4, 0x40, SyncSafe(6) + "\x01\x40" + Frame24("TIT2", T("Two"))), "Two|Art"},
      {seek + Tag(4, 0, Frame24("TIT2", T("Two"))), "Two"},
      {chain, "63"},
      // Unsupported version, header cut short: found, record untouched.
      {Tag(5, 0, Frame24("TIT2", T("x"))), "untouched"},
      {"ID3\x03", "untouched"},
      // A tag size far beyond the file: what the file holds is read. A frame
      // size of 2^31 or more, or reaching past the tag, ends the frame loop.
      {big, "Big"},
      {Tag(3, 0, Frame23("TIT2", T("Kept")) + "TPE1" + BE32(0x80000001) + "\0\0x"), "Kept"},
      {Tag(3, 0, Frame23("TIT2", T("A")) + "TPE1" + BE32(500) + "\0\0x", 0), "A"},
  };
  for (const auto& [bytes, want] : cases) EXPECT_EQ(Fields(ReadV2(bytes)), want);
  ID3TagInfo t;
  EXPECT_EQ(Fields(ReadV2(audio, false)), "untouched");
  for (const auto& bad : {dir_ / "missing", dir_}) EXPECT_FALSE(ReadID3v2Tag(bad.string(), t));

  std::string good = Tag(
      4, 0x10,
      Frame24("TIT2", T("a\nb"), 0x03) + Frame24("COMM", T("eng\0c"s)) + Frame24("SEEK", BE32(3)),
      0);
  good += "3DI" + good.substr(3, 7);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    std::string bytes = good;
    for (int k = 0; k < 3; ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    ReadID3v2Tag(Write("f.mp3", bytes), t);
  }
}

TEST(ID3FixtureTest, AgreesWithTagLib) {
  auto text = [](const TagLib::String& s) { return s.to8Bit(true); };
  for (const char* name : {"tagged_v24.mp3", "tagged_v23_v1.mp3"}) {
    SCOPED_TRACE(name);
    TagLib::FileRef ref(Fixture(name).c_str());
    ASSERT_FALSE(ref.isNull());
    const TagLib::Tag& w = *ref.tag();
    ID3TagInfo t;
    ASSERT_TRUE(ReadID3v2Tag(Fixture(name), t));
    EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum + "|" + t.sYear + "|" + t.sGenre + "|" +
                  t.sComment + "|" + t.sTrack,
              text(w.title()) + "|" + text(w.artist()) + "|" + text(w.album()) + "|" +
                  std::to_string(w.year()) + "|" + text(w.genre()) + "|" + text(w.comment()) + "|" +
                  std::to_string(w.track()));
  }
  ID3TagInfo v1;
  ASSERT_TRUE(ReadID3v1Tag(Fixture("tagged_v23_v1.mp3"), v1));
  TagLib::MPEG::File mpeg(Fixture("tagged_v23_v1.mp3").c_str());
  ASSERT_NE(mpeg.ID3v1Tag(), nullptr);
  EXPECT_EQ(v1.sTitle + "|" + v1.sGenre + "|" + v1.sTrack,
            text(mpeg.ID3v1Tag()->title()) + "|Jazz|3");
}

}  // namespace
}  // namespace cadenza
