#include "media/id3.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include <random>

#include "media/id3_writer.h"
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

// Every field of Tags on one line, and the same as TagLib reads the file.
std::string Line(const Tags& t) {
  auto pair = [](int n, int c) {
    return n ? std::to_string(n) + (c ? "/" + std::to_string(c) : "") : "";
  };
  return t.title + "|" + t.artist + "|" + t.album + "|" + t.album_artist + "|" + t.genre + "|" +
         t.composer + "|" + t.year + "|" + t.comment + "|" + pair(t.track_number, t.track_count) +
         "|" + pair(t.disc_number, t.disc_count) + "|" + (t.compilation ? "1" : "") + "|" +
         (t.bpm ? std::to_string(t.bpm) : "") + "|" + (t.has_cover ? "cover" : "");
}
std::string TagLibPicture(const std::string& path) {
  TagLib::MPEG::File f(path.c_str());
  const auto* t = f.ID3v2Tag();
  if (!t || t->frameList("APIC").isEmpty()) return "";
  auto* pic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(t->frameList("APIC").front());
  return pic ? std::string(pic->picture().data(), pic->picture().size()) : "";
}
std::string TagLibLine(const std::string& path) {
  TagLib::MPEG::File f(path.c_str());
  const auto* t = f.ID3v2Tag();
  if (!t) return "no tag";
  auto frame = [t](const char* id) {
    return t->frameList(id).isEmpty() ? "" : t->frameList(id).front()->toString().to8Bit(true);
  };
  return t->title().to8Bit(true) + "|" + t->artist().to8Bit(true) + "|" + t->album().to8Bit(true) +
         "|" + frame("TPE2") + "|" + t->genre().to8Bit(true) + "|" + frame("TCOM") + "|" +
         (t->year() ? std::to_string(t->year()) : "") + "|" + t->comment().to8Bit(true) + "|" +
         frame("TRCK") + "|" + frame("TPOS") + "|" + frame("TCMP") + "|" + frame("TBPM") + "|" +
         (TagLibPicture(path).empty() ? "" : "cover");
}
// The bytes behind the ID3v2 tag at the front (all when there is none).
std::string AfterTag(const std::string& b) {
  if (b.compare(0, 3, "ID3") != 0) return b;
  size_t size = (size_t(b[6]) << 21) | (size_t(b[7]) << 14) | (size_t(b[8]) << 7) | size_t(b[9]);
  return b.substr(std::min(b.size(), 10 + size + (b[5] & 0x10 ? 10 : 0)));
}
bool Sh(const std::string& cmd) {
  return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0;
}

class ID3TagsTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    if (!Sh("ffmpeg -version")) GTEST_SKIP() << "ffmpeg is not installed";
  }
  // An MP3 file of ffmpeg's with `args` (inputs, metadata, tag options).
  std::string Mp3(const std::string& name, const std::string& args) {
    std::string path = (dir_ / name).string();
    EXPECT_TRUE(Sh("cd '" + dir_.string() + "' && ffmpeg -v error -y -f lavfi -i sine=d=3 " + args +
                   " -c:a libmp3lame '" + path + "'"));
    return path;
  }
  // A v2.3 or v2.4 file with every field and a PNG cover.
  std::string Tagged(int version) {
    EXPECT_TRUE(Sh("cd '" + dir_.string() +
                   "' && ffmpeg -v error -y -f lavfi -i color=red:s=16x16 -frames:v 1 c.png"));
    return Mp3("v" + std::to_string(version) + ".mp3",
               "-i c.png -map 0 -map 1 -c:v copy -metadata title='Ωμέγα 日本語' -metadata "
               "artist=Art -metadata album=Alb -metadata album_artist=Various -metadata "
               "genre=Jazz -metadata composer=Comp -metadata date=2001 -metadata track=3/12 "
               "-metadata disc=1/2 -metadata TBPM=128 -id3v2_version " +
                   std::to_string(version));
  }
  static constexpr const char* kFull =
      "Ωμέγα 日本語|Art|Alb|Various|Jazz|Comp|2001||3/12|1/2||128|cover";
};

TEST_F(ID3TagsTest, ReadsWhatTagLibReads) {
  Tags t;
  for (int version : {3, 4}) {
    std::string path = Tagged(version);
    ASSERT_TRUE(ReadID3Tags(path, &t)) << version;
    EXPECT_EQ(Line(t), kFull);
    EXPECT_EQ(TagLibLine(path), kFull);
  }
  // Version 2.2 with a picture, the described comment losing to the plain
  // one; the ID3v1.1 tag fills in what the ID3v2 tag lacks.
  std::string v22 = Frame22("TT2", T("Two")) + Frame22("TP2", T("AA")) + Frame22("TPA", T("2/3")) +
                    Frame22("TCP", T("1")) + Frame22("TBP", T("120.5")) +
                    Frame22("TCO", T("(17)")) + Frame22("COM", T("engd\0first"s)) +
                    Frame22("COM", T("eng\0plain"s)) + Frame22("PIC", T("PNG\x03\0img"s));
  std::string v1 = V1Tag(std::string("c").append(28, '\0') + '\x05', 8);
  ASSERT_TRUE(ReadID3Tags(Write("a.mp3", Tag(2, 0, v22) + std::string(300, 'x') + v1), &t));
  EXPECT_EQ(Line(t), "Two|Artist|Album|AA|Rock||1999|plain|5|2/3|1|120|cover");
  ASSERT_TRUE(ReadID3Tags(Write("b.mp3", v1), &t));
  EXPECT_EQ(Line(t), "Title|Artist|Album||Jazz||1999|c|5||||");
  EXPECT_FALSE(ReadID3Tags(Write("c.mp3", std::string(300, 'x')), &t));
  EXPECT_EQ(Line(t), "||||||||||||");
}

TEST_F(ID3TagsTest, WritesNewTagInFrontOfTheSameAudio) {
  Tags w;
  w.title = "Новое", w.year = "1999", w.comment = "Ωμέγα 日本語\nline";
  w.track_number = 5, w.disc_count = 4, w.compilation = true, w.bpm = 90;
  const std::string edited =
      "Новое|Art|Alb|Various|Jazz|Comp|1999|Ωμέγα 日本語\nline|5/12|1/4|1|90|cover";
  const std::pair<std::string, std::string> cases[] = {
      {Tagged(3), edited},
      {Tagged(4), edited},
      // No ID3v2 tag; an empty ID3v1 tag at the end.
      {Write("none.mp3", ReadBytes(Mp3("v0.mp3", "-id3v2_version 0")) + "TAG" +
                             std::string(124, '\0') + '\xFF'),
       "Новое||||||1999|Ωμέγα 日本語\nline|5||1|90|"}};
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in);
    const std::string before = ReadBytes(in), out = in + ".out.mp3";
    ASSERT_TRUE(WriteID3v2Tags(in, out, w).ok());
    const std::string after = ReadBytes(out);
    EXPECT_EQ(after.substr(0, 4), "ID3\x04");
    EXPECT_EQ(TagLibLine(out), want);
    Tags t;
    ASSERT_TRUE(ReadID3Tags(out, &t));
    EXPECT_EQ(Line(t), want);
    EXPECT_EQ(TagLibPicture(out), TagLibPicture(in));
    EXPECT_EQ(AfterTag(after), AfterTag(before));
    EXPECT_EQ(ReadBytes(in), before);
    Sh("ffmpeg -v error -i '" + out + "' -f null - 2>'" + out + ".log'");
    EXPECT_EQ(ReadBytes(out + ".log"), "");
  }
}

TEST_F(ID3TagsTest, WriterTakesCraftedTags) {
  Tags w;
  w.album = "New";
  const std::string audio = "\xFF\xFB\x90\x00" + std::string(400, 'a');
  // Version 2.4 with an extended header and a footer; version 2.2 with a
  // picture that becomes an APIC frame.
  const std::string v24 = Tag(4, 0x50, SyncSafe(6) + "\x01\0"s + Frame24("TPE1", T("Keep")), 0);
  const std::string v22 = Tag(2, 0, Frame22("TP1", T("Keep")) + Frame22("PIC", T("JPG\x03\0pic"s)));
  const std::pair<std::string, std::string> cases[] = {
      {v24 + "3DI" + v24.substr(3, 7), "|Keep|New||||||||||"}, {v22, "|Keep|New||||||||||cover"}};
  for (const auto& [tag, want] : cases) {
    const std::string in = Write("in.mp3", tag + audio), out = (dir_ / "out.mp3").string();
    ASSERT_TRUE(WriteID3v2Tags(in, out, w).ok());
    EXPECT_EQ(TagLibLine(out), want);
    EXPECT_EQ(AfterTag(ReadBytes(out)), audio);
  }
  EXPECT_EQ(TagLibPicture((dir_ / "out.mp3").string()), "pic");
  // A tag running past the end of the file, the file itself as the copy, a
  // missing file.
  std::string big = Tag(3, 0, Frame23("TIT2", T("Big")));
  big.replace(6, 4, SyncSafe(0x0FFFFFFF));
  EXPECT_EQ(WriteID3v2Tags(Write("big.mp3", big), Write("x.mp3", ""), w).code(),
            Status::Code::kCorrupt);
  const std::string in = Write("in.mp3", audio);
  EXPECT_EQ(WriteID3v2Tags(in, in, w).code(), Status::Code::kInvalid);
  EXPECT_EQ(ReadBytes(in), audio);
  EXPECT_FALSE(WriteID3v2Tags(in + "x", in + "y", w).ok());
}

}  // namespace
}  // namespace cadenza
