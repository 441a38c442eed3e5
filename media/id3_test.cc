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
         SyncSafe(static_cast<uint32_t>(body.size() + pad)) + body +
         std::string(pad, '\0');
}
std::string T(const std::string& s) { return '\0' + s; }  // encoding 0 text

TEST(GenreTest, NamesAndReferences) {
  for (auto [n, name] : std::vector<std::pair<int, std::string>>{
           {0, "Blues"}, {147, "SynthPop"}, {148, ""}, {-1, ""}})
    EXPECT_EQ(GenreName(n), name) << n;
  for (auto [text, want] : std::vector<std::pair<std::string, std::string>>{
           {"(17)", "Rock"}, {"(17)Rock", "Rock"}, {"(RX)", "Remix"}, {"(CR)", "Cover"},
           {"Pop", "Pop"}, {"17", "17"}, {"(200)", ""}, {"a)b(c", "a)b(c"},
           {"(99999999999999999999)", "(99999999999999999999)"}})
    EXPECT_EQ(ResolveGenreText(text), want) << text;
}

TEST(TagBytesTest, IntegersAndUnsynchronisation) {
  bool overflow = false;
  EXPECT_EQ(ReadTagInteger(U8(BE32(0x000001FF)), true), 0x1FF);  // bit 7: plain
  EXPECT_EQ(ReadTagInteger(U8(BE32(0x7FFFFFFF)), false), 0x7FFFFFFF);
  EXPECT_EQ(ReadTagInteger(U8(BE32(0x80000000)), false, &overflow), 0);
  EXPECT_TRUE(overflow);

  // A trailing 0xFF 0x00 is undone too.
  std::string s("\xFF\x00\xE0\x41\xFF\x00", 6);
  EXPECT_EQ(UndoUnsynchronisation(reinterpret_cast<uint8_t*>(s.data()), 6), 2);
  EXPECT_EQ(s.substr(0, 4), "\xFF\xE0\x41\xFF");
  EXPECT_EQ(UndoUnsynchronisation(nullptr, 0), 0);

  EXPECT_TRUE(IsValidFrameID(U8(std::string(4, '\0'))));
  EXPECT_FALSE(IsValidFrameID(U8(std::string("Tit2"))));
}

TEST(TagBytesTest, TextInEveryEncoding) {
  auto text = [](const std::string& b, int enc, bool stop = true) {
    return BytesToText(U8(b), static_cast<int64_t>(b.size()), enc, stop);
  };
  EXPECT_EQ(text("Caf\xE9 \x80", 0), "Café €");
  EXPECT_EQ(text("a\nb\rc", 0), "a\r\nbc");
  EXPECT_EQ(text(std::string("ab\0cd", 5), 0), "ab");
  // UTF-16 little-endian with BOM: "Ωa\n" and a surrogate pair (U+1F600).
  std::string le("\xFF\xFE\xA9\x03" "a\0\n\0\x3D\xD8\x00\xDE\0\0z\0", 16);
  EXPECT_EQ(text(le, 1), "Ωa\r\n😀");
  EXPECT_EQ(text(std::string("\xFE\xFF\x03\xA9\0b", 6), 1), "Ωb");
  EXPECT_EQ(text(std::string("\x03\xA9\0b\0", 5), 2), "Ωb");  // odd byte dropped
  EXPECT_EQ(text("Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93", 3), "Grüße ✓");
  EXPECT_EQ(text("\xE9t\xE9", 3), "été");  // not UTF-8: taken as Windows-1252
  EXPECT_EQ(text("abc", 4), "");
}

TEST(TagBytesTest, FrameBodies) {
  auto frame = [](const std::string& id, const std::string& b) {
    return DecodeFrameText(U8(b), id, static_cast<int64_t>(b.size()));
  };
  EXPECT_EQ(frame("TIT2", T("Title")), "Title");
  EXPECT_EQ(frame("COMM", T("engdesc") + '\0' + "the text"), "the text");
  std::string utf16_comm("\x01" "eng" "\xFF\xFE" "d\0\0\0" "\xFF\xFE" "\xA9\x03" "!\0", 16);
  EXPECT_EQ(frame("COMM", utf16_comm), "Ω!");
  EXPECT_EQ(frame("COMM", std::string("\x02" "eng" "\0d\0\0" "\0x", 10)), "x");
  EXPECT_EQ(frame("WXXX", std::string("\x01\xFF\xFE" "d\0\0\0http://a.b/", 18)),
            "http://a.b/");
  EXPECT_EQ(frame("SEEK", BE32(1234)), "1234");
  EXPECT_EQ(frame("SEEK", BE32(0x90000000)), "");
  EXPECT_EQ(frame("SEEK", "ab") + frame("APIC", T("image")) + frame("TIT2", ""), "");
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
  std::string t = "TAG" + std::string("  Title  ").append(21, '\0') +
                  std::string("Artist").append(24, '\0') +
                  std::string("Album").append(25, '\0') + "1999" + comment30;
  return t + char(genre);
}

TEST_F(ID3FileTest, ID3v1AndV11) {
  ID3TagInfo t;
  std::string c11 = std::string("comment").append(21, ' ') + '\0' + '\x05';
  ASSERT_TRUE(ReadID3v1Tag(Write("a", std::string(500, 'x') + V1Tag(c11, 17)), t));
  EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum + "|" + t.sYear + "|" + t.sComment +
                "|" + t.sTrack + "|" + t.sGenre,
            "Title|Artist|Album|1999|comment|5|Rock");
  ASSERT_TRUE(ReadID3v1Tag(Write("b", V1Tag(std::string(28, 'c') + '\0' + '\0', 255)), t));
  EXPECT_EQ(t.sComment + "|" + t.sTrack + "|" + t.sGenre, std::string(28, 'c') + "||");
  t.sTitle = "kept";
  for (const std::string& bad : {Write("c", std::string(127, 'T')),
                                 Write("d", std::string(300, 'x')), (dir_ / "missing").string(),
                                 dir_.string()})
    EXPECT_FALSE(ReadID3v1Tag(bad, t)) << bad;
  EXPECT_EQ(t.sTitle, "kept");
}

TEST_F(ID3FileTest, EveryFieldInVersions2And3) {
  // Version 2 id, version 3 id, body, expected text.
  const std::tuple<const char*, const char*, std::string, const char*> fields[] = {
      {"TT2", "TIT2", T("Line\nTwo\r"), "Line\r\nTwo"}, {"TP1", "TPE1", T("Art"), "Art"},
      {"TAL", "TALB", T("Alb"), "Alb"},     {"TYE", "TYER", T("2001"), "2001"},
      {"TCO", "TCON", T("(17)"), "Rock"},  {"COM", "COMM", T(std::string("eng\0c", 5)), "c"},
      {"TRK", "TRCK", T("3/9"), "3/9"},     {"TEN", "TENC", T("Enc"), "Enc"},
      {"WXX", "WXXX", T(std::string("\0http://x", 9)), "http://x"},
      {"TCR", "TCOP", T("Cop"), "Cop"},     {"TCM", "TCOM", T("Comp"), "Comp"},
      {"TOA", "TOPE", T("Orig"), "Orig"}};
  std::string v2, v3, want;
  for (const auto& [id2, id3, body, text] : fields) {
    v2 += Frame22(id2, body);
    v3 += Frame23(id3, body);
    want += std::string(text) + "|";
  }
  v3 += Frame23("APIC", std::string(40, '\x01'));
  // The audio behind the tag (a frame header with a zero byte) is not read.
  for (const std::string& tag : {Tag(2, 0, v2), Tag(3, 0, v3) + BE32(0xFFFB9000)}) {
    ID3TagInfo t = ReadV2(tag);
    EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum + "|" + t.sYear + "|" + t.sGenre +
                  "|" + t.sComment + "|" + t.sTrack + "|" + t.sEncodedBy + "|" + t.sURL +
                  "|" + t.sRightsNotice + "|" + t.sComposer + "|" + t.sOriginalArtist + "|",
              want);
  }
}

TEST_F(ID3FileTest, UnsynchronisationAndExtendedHeaders) {
  // Version 3: the whole tag is unsynchronised; 0xFF 0x00 becomes 0xFF.
  // Frame sizes count the bytes after the scheme is undone.
  std::string v3 = Frame23("TIT2", std::string("\x01\xFF\xFE" "A\0", 5)) +
                   Frame23("TPE1", T("B"));
  v3.insert(12, 1, '\0');
  ID3TagInfo t = ReadV2(Tag(3, '\x80', v3));
  EXPECT_EQ(t.sTitle + t.sArtist, "AB");
  // Version 3 extended header: size 6 (not counting itself) + 4.
  std::string ext3 = BE32(6) + std::string(6, '\0');
  EXPECT_EQ(ReadV2(Tag(3, '\x40', ext3 + Frame23("TIT2", T("E3")))).sTitle, "E3");
  // Version 4 extended header: sync-safe size counting itself.
  std::string ext4 = SyncSafe(6) + "\x01" + '\0';
  EXPECT_EQ(ReadV2(Tag(4, '\x40', ext4 + Frame24("TIT2", T("E4")))).sTitle, "E4");
  // Version 4 frame flags: unsynchronisation, data length, grouping.
  std::string f = Frame24("TIT2", std::string("\0\0\0\x04" "\0" "a\xFF\x00\xE0", 9), 0x03) +
                  Frame24("TPE1", std::string("G\x03" "x", 3), 0x40) +
                  Frame24("TALB", T(std::string("\xFF\x00y", 3)));
  t = ReadV2(Tag(4, '\x80', f));
  EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum, "aÿà|x|ÿy");
}

TEST_F(ID3FileTest, Version4SizesDatesAndSkippedFrames) {
  // A 256-byte body stored with a plain size: read sync-safe it would be 128.
  std::string plain = "TIT2" + BE32(256) + std::string(2, '\0') + T(std::string(255, 'p'));
  std::string body = plain + Frame24("TDRC", T("2004-05-06")) +
                     Frame24("TCON", T("Pop")) + Frame24("TPE1", T("Zed"), 0x08) +
                     Frame24("TALB", T("Enc"), 0x04);
  ID3TagInfo t = ReadV2(Tag(4, 0, body));
  EXPECT_EQ(t.sTitle, std::string(255, 'p'));
  EXPECT_EQ(t.sYear + "|" + t.sGenre + "|" + t.sArtist + "|" + t.sAlbum, "2004|Pop||");
  // Version 3 compressed and encrypted frames leave their fields empty.
  t = ReadV2(Tag(3, 0, Frame23("TIT2", T("zzz"), '\x80') + Frame23("TPE1", T("A"), 0x40) +
                           Frame23("TALB", "\x05" + T("G"), 0x20)));
  EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum, "||G");
}

TEST_F(ID3FileTest, FooterSeekAndUpdateTags) {
  // A version 4 tag with footer at the end, found through "3DI", also with
  // an ID3v1 tag behind it.
  std::string body = Frame24("TIT2", T("Foot"));
  std::string tag = Tag(4, 0x10, body, 0);
  std::string footer = "3DI" + tag.substr(3, 7);
  std::string audio(1000, '\x55');
  EXPECT_EQ(ReadV2(audio + tag + footer).sTitle, "Foot");
  EXPECT_EQ(ReadV2(audio + tag + footer + V1Tag(std::string(30, '\0'), 1)).sTitle, "Foot");
  EXPECT_EQ(ReadV2(audio, false).sTitle, "untouched");

  // SEEK from the first tag to an update tag 100 bytes behind it: the
  // update keeps the fields it does not carry.
  std::string first = Tag(4, 0, Frame24("TIT2", T("One")) + Frame24("TPE1", T("Art")) +
                                    Frame24("SEEK", BE32(100)));
  std::string update = Tag(4, 0x40, SyncSafe(6) + "\x01\x40" + Frame24("TIT2", T("Two")));
  ID3TagInfo t = ReadV2(first + std::string(100, '\0') + update);
  EXPECT_EQ(t.sTitle + "|" + t.sArtist, "Two|Art");
  // A tag that is not an update clears what came before.
  std::string plain = Tag(4, 0, Frame24("TIT2", T("Two")));
  EXPECT_EQ(ReadV2(first + std::string(100, '\0') + plain).sArtist, "");
  // A long chain of tags each seeking to the next ends after 64 tags.
  std::string chain;
  for (int i = 0; i < 200; ++i) {
    chain += Tag(4, 0, Frame24("TIT2", T(std::to_string(i))) + Frame24("SEEK", BE32(0)), 0);
  }
  EXPECT_EQ(ReadV2(chain).sTitle, "63");
}

TEST_F(ID3FileTest, DamagedTagsAndBadFiles) {
  // Unsupported version: found, record untouched.
  EXPECT_EQ(ReadV2(Tag(5, 0, Frame24("TIT2", T("x")))).sTitle, "untouched");
  // A size field far beyond the file: what the file holds is read.
  std::string big = Tag(3, 0, Frame23("TIT2", T("Big")), 0);
  big.replace(6, 4, SyncSafe(0x0FFFFFFF));
  EXPECT_EQ(ReadV2(big).sTitle, "Big");
  // A frame size of 2^31 or more ends the frame loop; earlier fields stay.
  std::string huge = Frame23("TIT2", T("Kept")) + "TPE1" + BE32(0x80000001) + "\0\0x";
  EXPECT_EQ(ReadV2(Tag(3, 0, huge)).sTitle, "Kept");
  // A frame reaching past the tag ends the loop.
  std::string cut = Frame23("TIT2", T("A")) + "TPE1" + BE32(500) + "\0\0x";
  EXPECT_EQ(ReadV2(Tag(3, 0, cut, 0)).sArtist, "");
  EXPECT_EQ(ReadV2("ID3\x03", true).sTitle, "untouched");  // header cut short: found
  ID3TagInfo tag;
  for (const auto& bad : {dir_ / "missing", dir_}) EXPECT_FALSE(ReadID3v2Tag(bad.string(), tag));
}

TEST_F(ID3FileTest, RandomlyDamagedTagsAreReadSafely) {
  std::string good = Tag(4, 0x10, Frame24("TIT2", T("a\nb"), 0x03) +
                                      Frame24("COMM", T(std::string("eng\0c", 5))) +
                                      Frame24("SEEK", BE32(3)), 0);
  good += "3DI" + good.substr(3, 7);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    std::string bytes = good;
    for (int k = 0; k < 3; ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    ID3TagInfo tag;
    ReadID3v2Tag(Write("f.mp3", bytes), tag);
  }
}

TEST(ID3FixtureTest, AgreesWithTagLib) {
  for (const char* name : {"tagged_v24.mp3", "tagged_v23_v1.mp3"}) {
    SCOPED_TRACE(name);
    std::string path = Fixture(name);
    TagLib::FileRef ref(path.c_str());
    ASSERT_FALSE(ref.isNull());
    const TagLib::Tag* want = ref.tag();
    ID3TagInfo t;
    ASSERT_TRUE(ReadID3v2Tag(path, t));
    EXPECT_EQ(t.sTitle + "|" + t.sArtist + "|" + t.sAlbum + "|" + t.sYear + "|" + t.sGenre +
                  "|" + t.sTrack + "|" + t.sComment,
              want->title().to8Bit(true) + "|" + want->artist().to8Bit(true) + "|" +
                  want->album().to8Bit(true) + "|" + std::to_string(want->year()) + "|" +
                  want->genre().to8Bit(true) + "|" + std::to_string(want->track()) + "|" +
                  want->comment().to8Bit(true));
  }
  ID3TagInfo v1;
  ASSERT_TRUE(ReadID3v1Tag(Fixture("tagged_v23_v1.mp3"), v1));
  TagLib::MPEG::File mpeg(Fixture("tagged_v23_v1.mp3").c_str());
  ASSERT_NE(mpeg.ID3v1Tag(), nullptr);
  EXPECT_EQ(v1.sTitle + "|" + v1.sGenre + "|" + v1.sTrack,
            mpeg.ID3v1Tag()->title().to8Bit(true) + "|Jazz|3");
}

}  // namespace
}  // namespace cadenza
