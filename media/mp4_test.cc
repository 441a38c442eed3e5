#include "media/mp4.h"

#include <taglib/mp4file.h>

#include <cstdio>
#include <cstdlib>

#include "media/media_test_util.h"
#include "media/mp4_writer.h"

namespace cadenza {
namespace {

using namespace testutil;
using namespace std::string_literals;

// What a shell command prints (standard output and error).
std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p != nullptr) ::pclose(p);
  return out;
}

std::string Atom(const std::string& type, const std::string& body) {
  return BE32(static_cast<uint32_t>(body.size() + 8)) + type + body;
}
std::string Item(const std::string& type, uint32_t kind, const std::string& value) {
  return Atom(type, Atom("data", BE32(kind) + BE32(0) + value));
}
// The body of the first top-level atom of `type` (32-bit sizes only).
std::string TopLevel(const std::string& file, const std::string& type) {
  for (size_t at = 0, size; at + 8 <= file.size(); at += size) {
    size = 0;
    for (size_t i = 0; i < 4; ++i) size = size << 8 | uint8_t(file[at + i]);
    if (size < 8) break;
    if (file.compare(at + 4, 4, type) == 0) return file.substr(at + 8, size - 8);
  }
  return {};
}

std::string Line(const Tags& t) {
  return t.title + "|" + t.artist + "|" + t.album + "|" + t.album_artist + "|" + t.genre + "|" +
         t.composer + "|" + t.year + "|" + t.comment + "|" + std::to_string(t.track_number) + "/" +
         std::to_string(t.track_count) + "|" + std::to_string(t.disc_number) + "/" +
         std::to_string(t.disc_count) + "|" + std::to_string(t.compilation) + "|" +
         std::to_string(t.bpm) + "|" + std::to_string(t.has_cover);
}

// The tags as TagLib reads them, and the cover's bytes.
Tags TagLibTags(const std::string& path, std::string* cover = nullptr) {
  TagLib::MP4::File f(path.c_str());
  Tags t;
  if (!f.isValid()) return t;
  const auto& m = f.tag()->itemMap();
  auto text = [&](const char* key) {
    return m.contains(key) ? m[key].toStringList().toString().to8Bit(true) : std::string();
  };
  t = {text("\251nam"), text("\251ART"), text("\251alb"), text("aART"), text("\251gen"),
       text("\251wrt"), text("\251day").substr(0, 4), text("\251cmt")};
  if (m.contains("trkn")) t.track_number = m["trkn"].toIntPair().first, t.track_count = m["trkn"].toIntPair().second;
  if (m.contains("disk")) t.disc_number = m["disk"].toIntPair().first, t.disc_count = m["disk"].toIntPair().second;
  t.compilation = m.contains("cpil") && m["cpil"].toBool();
  t.bpm = m.contains("tmpo") ? m["tmpo"].toInt() : 0;
  if (m.contains("covr") && !m["covr"].toCoverArtList().isEmpty()) {
    TagLib::ByteVector data = m["covr"].toCoverArtList().front().data();
    t.has_cover = !data.isEmpty();
    if (cover != nullptr) cover->assign(data.data(), data.size());
  }
  return t;
}

class Mp4Files : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    if (std::system("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "ffmpeg is missing";
  }
  // A tagged 3.3-second tone with a cover picture, made by ffmpeg.
  std::string Encode(const std::string& name, const std::string& codec, int rate,
                     const std::string& cover, const std::string& flags = "") {
    std::string out = (dir_ / name).string();
    std::string err = Shell(
        "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=3.3:sample_rate=" +
        std::to_string(rate) + " -i '" + cover + "' -map 0:a -map 1:v -c:a " + codec +
        " -c:v copy -disposition:v:0 attached_pic -metadata title='Ωμέγα 日本語' -metadata artist=Ärtist"
        " -metadata album=Album -metadata album_artist='Various' -metadata genre=Jazz"
        " -metadata composer=Comp -metadata date=2008-05-01 -metadata comment='A comment'"
        " -metadata track=3/12 -metadata disc=1/2 -metadata compilation=1 " + flags + " '" + out + "'");
    EXPECT_EQ(err, "") << name;
    return out;
  }
  std::string Cover(const std::string& name, const std::string& source) {
    std::string out = (dir_ / name).string();
    EXPECT_EQ(Shell("ffmpeg -v error -y -f lavfi -i '" + source + "' -frames:v 1 '" + out + "'"), "");
    return out;
  }
  std::string SmallCover() { return Cover("small.png", "testsrc=size=64x48"); }
};

TEST_F(Mp4Files, ReadsTagsAndStreamsAsTagLibAndFfprobeDo) {
  const std::string big = Cover("big.png", "color=c=gray:s=1200x1200,noise=alls=100:allf=t");
  ASSERT_GT(std::filesystem::file_size(big), 2'000'000u);
  for (auto [codec, rate, cover] : {std::tuple{"aac", 44100, SmallCover()}, {"alac", 96000, big}}) {
    SCOPED_TRACE(codec);
    std::string path = Encode(std::string(codec) + ".m4a", codec, rate, cover);
    MP4Info info;
    ASSERT_TRUE(ReadMP4(path, &info).ok());
    EXPECT_EQ(Line(info.tags), Line(TagLibTags(path)));
    EXPECT_EQ(Line(info.tags), "Ωμέγα 日本語|Ärtist|Album|Various|Jazz|Comp|2008|A comment|3/12|1/2|1|0|1");
    EXPECT_TRUE(info.has_cover);
    EXPECT_EQ(info.media_kind, -1);
    EXPECT_EQ(info.video_codec, "");
    EXPECT_FALSE(info.encrypted);
    std::string probe = Shell("ffprobe -v error -select_streams a:0 -show_entries "
                            "stream=codec_name,sample_rate,channels,bit_rate -of csv=p=0 '" + path + "'");
    EXPECT_EQ(probe.substr(0, probe.rfind(',')), info.audio_codec + "," + std::to_string(info.sample_rate) +
                                                     "," + std::to_string(info.channels));
    EXPECT_NEAR(info.bitrate_kbps, std::atof(probe.substr(probe.rfind(',') + 1).c_str()) / 1000, 1.0);
    double seconds = std::atof(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'").c_str());
    EXPECT_NEAR(static_cast<double>(info.duration_ms), seconds * 1000, 50);
  }
}

TEST_F(Mp4Files, WriterChangesTagsAndKeepsMediaAndCover) {
  const std::string cover = SmallCover();
  for (std::string flags : {"-movflags +faststart", ""}) {
    SCOPED_TRACE(flags);
    std::string in = Encode("in.m4a", "aac", 44100, cover, flags);
    std::string out = (dir_ / "out.m4a").string();
    Tags t;
    t.title = "Nuevo título — 新しい";
    t.artist = "Someone Else";
    t.track_number = 7;
    t.bpm = 128;
    ASSERT_TRUE(WriteMP4Tags(in, out, t).ok());
    std::string cover_in, cover_out;
    Tags before = TagLibTags(in, &cover_in), after = TagLibTags(out, &cover_out);
    EXPECT_EQ(Line(after), "Nuevo título — 新しい|Someone Else|Album|Various|Jazz|Comp|2008|A comment|"
                           "7/12|1/2|1|128|1");
    EXPECT_EQ(cover_out, cover_in);
    EXPECT_EQ(Shell("ffmpeg -v error -i '" + out + "' -f null -"), "");
    const std::string in_bytes = ReadBytes(in), out_bytes = ReadBytes(out);
    EXPECT_EQ(TopLevel(out_bytes, "mdat"), TopLevel(in_bytes, "mdat"));
    EXPECT_GT(TopLevel(in_bytes, "mdat").size(), 10'000u);
    MP4Info a, b;
    ASSERT_TRUE(ReadMP4(in, &a).ok() && ReadMP4(out, &b).ok());
    EXPECT_EQ(Line(b.tags), Line(after));
    EXPECT_EQ(b.duration_ms, a.duration_ms);
    EXPECT_EQ(in_bytes, ReadBytes(in));
  }
  EXPECT_EQ(WriteMP4Tags((dir_ / "in.m4a").string(), (dir_ / "in.m4a").string(), Tags()).code(),
            Status::Code::kInvalid);
}

TEST_F(Mp4Files, ReadsVideoTrackAsFfprobeDoes) {
  const std::string path = (dir_ / "v.mp4").string();
  ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i testsrc=size=320x240:duration=1 -c:v libx264 "
                  "-pix_fmt yuv420p -profile:v main -level 3.1 '" + path + "'"), "");
  MP4Info info;
  ASSERT_TRUE(ReadMP4(path, &info).ok());
  EXPECT_EQ(Shell("ffprobe -v error -show_entries stream=codec_name,width,height,level -of csv=p=0 '" + path + "'"),
            info.video_codec + "," + std::to_string(info.width) + "," + std::to_string(info.height) + "," +
                std::to_string(info.avc_level) + "\n");
  EXPECT_EQ(info.avc_profile, 77);  // Main
  EXPECT_EQ(info.audio_codec, "");
  EXPECT_NEAR(static_cast<double>(info.duration_ms), 1000, 50);
}

using Mp4Bytes = MediaTest;

const std::string kFtyp = Atom("ftyp", "M4A " + BE32(0) + "M4A isom");
// A sound track whose only sample entry has type `entry` (28 bytes of audio
// fields: 2 channels, 44100 Hz), and chunk offsets `stco`.
std::string SoundTrak(const std::string& entry, const std::string& stco = BE32(0)) {
  std::string fields = std::string(6, '\0') + "\0\1"s + std::string(8, '\0') + "\0\2\0\x10"s +
                       std::string(4, '\0') + BE32(44100u << 16);
  std::string stbl = Atom("stsd", BE32(0) + BE32(1) + Atom(entry, fields)) +
                     Atom("stco", BE32(0) + BE32(static_cast<uint32_t>(stco.size() / 4)) + stco);
  std::string mdhd = BE32(0) + BE32(0) + BE32(0) + BE32(1000) + BE32(2500);
  return Atom("trak", Atom("mdia", Atom("mdhd", mdhd) + Atom("hdlr", BE32(0) + BE32(0) + "soun") +
                                       Atom("minf", Atom("stbl", stbl))));
}
std::string Udta(const std::string& items, const std::string& meta_head = BE32(0),
                 const std::string& after_ilst = "") {
  return Atom("udta", Atom("meta", meta_head + Atom("ilst", items) + after_ilst));
}

TEST_F(Mp4Bytes, OddAtomsReadWithinBoundsOrFailCleanly) {
  const std::string title = Item("\xA9nam", 1, "T");
  const std::string body = SoundTrak("drms") + Udta(title);
  std::string nest = Item("\xA9nam", 1, "deep");
  for (int i = 0; i < 100; ++i) nest = Atom("udta", nest);
  struct Case {
    std::string name, bytes;
    Status::Code code;
    std::string title;
  } cases[] = {
      {"size 0", kFtyp + BE32(0) + "moov" + body, Status::Code::kOk, "T"},
      {"64-bit size", kFtyp + BE32(1) + "moov" + BE32(0) + BE32(uint32_t(body.size() + 16)) + body,
       Status::Code::kOk, "T"},
      {"past the end", kFtyp + BE32(uint32_t(body.size() + 5000)) + "moov" + body, Status::Code::kOk, "T"},
      {"QuickTime meta", kFtyp + Atom("moov", Udta(title, "")), Status::Code::kOk, "T"},
      {"nested 100 deep", kFtyp + Atom("moov", nest), Status::Code::kOk, ""},
      {"child smaller than its header", kFtyp + Atom("moov", BE32(4) + "udta"), Status::Code::kCorrupt, ""},
      {"no moov", kFtyp + Atom("free", ""), Status::Code::kCorrupt, ""},
      {"not MP4", "ID3\x03" + std::string(40, '\0'), Status::Code::kUnsupported, ""},
  };
  for (const Case& c : cases) {
    MP4Info info;
    EXPECT_EQ(ReadMP4Bytes(c.bytes, &info).code(), c.code) << c.name;
    EXPECT_EQ(info.tags.title, c.title) << c.name;
    std::string_view cut(c.bytes);
    for (size_t n = 0; n < c.bytes.size(); n += 7) ReadMP4Bytes(cut.substr(0, n), &info);  // no overrun
  }
  MP4Info info;
  ASSERT_TRUE(ReadMP4Bytes(kFtyp + Atom("moov", body), &info).ok());
  EXPECT_TRUE(info.encrypted);
  EXPECT_EQ(info.audio_codec + " " + std::to_string(info.sample_rate) + " " + std::to_string(info.duration_ms), "drms 44100 2500");
  const std::pair<std::string, std::string> trkn[] = {{"", "0/0"}, {"\0\0\0\3"s, "3/0"}, {"\0\0\0\3\0\x0c"s, "3/12"}};
  for (const auto& [value, want] : trkn) {
    ASSERT_TRUE(ReadMP4Bytes(kFtyp + Atom("moov", Udta(Item("trkn", 0, value))), &info).ok());
    EXPECT_EQ(std::to_string(info.tags.track_number) + "/" + std::to_string(info.tags.track_count), want);
  }
}

TEST_F(Mp4Bytes, WriterMovesChunkOffsetsOrFillsFreeSpace) {
  Tags t;
  t.title = "New";
  t.track_number = 2;
  const std::string media = "AUDIO-DATA";
  for (int layout : {0, 1, 2}) {  // no free atom, one after the moov, one after the ilst
    SCOPED_TRACE(layout);
    const std::string free = Atom("free", std::string(200, 'x'));
    const std::string udta = layout == 2 ? Udta(Item("\xA9nam", 1, "Old"), BE32(0), free) : "";
    const std::string pad = layout == 1 ? free : "";
    // The moov's one chunk offset points at the media.
    const uint32_t chunk = uint32_t(kFtyp.size() + SoundTrak("mp4a").size() + udta.size() + 16 + pad.size());
    const std::string in = kFtyp + Atom("moov", SoundTrak("mp4a", BE32(chunk)) + udta) + pad + Atom("mdat", media);
    std::string out;
    ASSERT_TRUE(WriteMP4TagsBytes(in, t, [&](std::string_view s) { out += s; return Status::OK(); }).ok());
    const size_t at = out.find(media);
    EXPECT_EQ(at, layout ? size_t{chunk} : out.size() - media.size());
    const size_t stco = out.find("stco");
    EXPECT_EQ(out.substr(stco + 12, 4), BE32(uint32_t(at)));
    if (layout) {
      EXPECT_EQ(out.size(), in.size());
    }
    MP4Info info;
    ASSERT_TRUE(ReadMP4Bytes(out, &info).ok());
    EXPECT_EQ(info.tags.title + " " + std::to_string(info.tags.track_number), "New 2");
  }
}

}  // namespace
}  // namespace cadenza
