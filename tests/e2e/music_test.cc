// Music in and out, end to end: files made by real encoders are imported
// through Library (converted when the iPod cannot play them), libgpod reads
// back every field the import sets, duplicates are left out, and an export
// gives back the device's audio with the database's tags.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "cadenza/library.h"
#include "tests/e2e/e2e_util.h"

namespace cadenza::e2e {
namespace {

using json = nlohmann::json;

class MusicE2E : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (Shell("ffmpeg -version").status != 0) GTEST_SKIP() << "ffmpeg is not installed";
    src_ = base_ / "music";
    stdfs::create_directories(src_);
    device_ = base_ / "ipod";
    stdfs::create_directories(device_ / "iPod_Control/Music");
    Library blank(device_.string(), opts_);
    ASSERT_TRUE(blank.Reset().ok());
    ASSERT_TRUE(Library::Open(device_.string(), opts_, &lib_).ok());
  }
  // A 3 s tone encoded by ffmpeg with `codec` into `name`, tagged.
  std::string Make(const std::string& name, const std::string& codec, const std::string& tags,
                   double seconds = 3) {
    const std::string out = (src_ / name).string();
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i sine=f=440:d=" +
                            std::to_string(seconds) + " " + codec + " " + tags + " " + Quote(out);
    EXPECT_EQ(Shell(cmd).status, 0) << cmd;
    return out;
  }
  json Dump() {
    RunResult r = Shell(Quote(GPOD_ORACLE_PATH) + " dump " + Quote(device_.string()));
    EXPECT_EQ(r.status, 0) << "libgpod cannot read the database";
    return r.status == 0 ? json::parse(r.out) : json::object();
  }
  // The md5 of a file's audio packets, whatever its tags.
  static std::string AudioMd5(const std::string& file) {
    return Shell("ffmpeg -v error -i " + Quote(file) + " -map 0:a -c copy -f md5 -").out;
  }

  stdfs::path src_, device_;
  std::unique_ptr<Library> lib_;
};

const char kTags[] =
    "-metadata title='Ωμέγα 日本語' -metadata artist=Artist -metadata album=Album "
    "-metadata album_artist='Various Artists' -metadata track=3/12 -metadata disc=1/2 "
    "-metadata compilation=1 -metadata genre=Jazz -metadata date=2008";

TEST_F(MusicE2E, ImportsSetEveryFieldLibgpodReads) {
  const std::string aac = Make("a.m4a", "-c:a aac -b:a 128k", kTags);
  const std::string alac = Make("b.m4a", "-c:a alac", "-metadata title=Lossless -metadata track=4");
  const std::string book = Make("c.m4b", "-c:a aac", "-metadata title=Book");
  const std::string flac = Make("d.flac", "-c:a flac", "-metadata TITLE=Converted -metadata ALBUMARTIST=AA");
  const std::string raw = Make("e.aac", "-c:a aac", "");
  std::map<std::string, int32_t> ids;
  for (const std::string& f : {aac, alac, book, flac, raw}) {
    int32_t id = 0;
    ASSERT_TRUE(lib_->Import(f, ImportOptions{}, &id).ok()) << f;
    ids[stdfs::path(f).filename().string()] = id;
  }
  ASSERT_TRUE(lib_->Save().ok());

  std::map<std::string, json> by_title;
  std::set<std::string> dbids;
  const json dump = Dump();
  for (const json& t : dump["tracks"]) {
    by_title[t["title"].get<std::string>()] = t;
    dbids.insert(t["dbid"].get<std::string>());
    EXPECT_NE(t["dbid"], "0000000000000000");
  }
  EXPECT_EQ(dbids.size(), 5u) << "every track has a database id of its own";
  const json& a = by_title["Ωμέγα 日本語"];
  EXPECT_EQ(a["artist"], "Artist");
  EXPECT_EQ(a["albumartist"], "Various Artists");
  EXPECT_EQ(a["track_nr"], 3);
  EXPECT_EQ(a["tracks"], 12);
  EXPECT_EQ(a["cd_nr"], 1);
  EXPECT_EQ(a["cds"], 2);
  EXPECT_EQ(a["compilation"], 1);
  EXPECT_EQ(a["year"], 2008);
  EXPECT_EQ(a["mediatype"], 1);
  EXPECT_EQ(a["movie_flag"], 0);
  EXPECT_EQ(a["samplerate"], 44100);
  EXPECT_NEAR(a["tracklen"].get<int>(), 3000, 50);
  const auto now = static_cast<int64_t>(time(nullptr));
  EXPECT_LT(std::abs(a["time_added"].get<int64_t>() - now), 24 * 3600);
  EXPECT_GT(a["time_modified"].get<int64_t>(), 0);
  EXPECT_EQ(by_title["Lossless"]["track_nr"], 4);
  const json& b = by_title["Book"];
  EXPECT_EQ(b["mediatype"], 8);
  EXPECT_EQ(b["remember_playback_position"], 1);
  EXPECT_EQ(b["skip_when_shuffling"], 1);
  // The FLAC file became AAC in an MP4 file on the device, tags and all.
  const json& c = by_title["Converted"];
  EXPECT_EQ(c["albumartist"], "AA");
  EXPECT_EQ(stdfs::path(c["ipod_path"].get<std::string>()).extension(), ".M4A");
  TrackInfo info;
  ASSERT_TRUE(lib_->Describe(ids["d.flac"], &info).ok());
  EXPECT_NE(Shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " +
                  Quote(info.sLocation)).out.find("aac"),
            std::string::npos);
  // A raw AAC stream is music, not a movie.
  const json& r = by_title["e.aac"];
  EXPECT_EQ(r["mediatype"], 1);
  EXPECT_EQ(r["movie_flag"], 0);
}

TEST_F(MusicE2E, RefusesDuplicatesProtectedAndCorruptFiles) {
  const std::string song = Make("song.m4a", "-c:a aac", "-metadata title=Song -metadata artist=A");
  int32_t first = 0, again = 0;
  ASSERT_TRUE(lib_->Import(song, ImportOptions{}, &first).ok());
  // The same title, artist and album with a length within 2 s, from
  // another file.
  const std::string other = Make("other.mp3", "-c:a libmp3lame", "-metadata title=song -metadata artist=a", 4);
  Status st = lib_->Import(other, ImportOptions{}, &again);
  EXPECT_EQ(st.code(), Status::Code::kDuplicate) << st.message();
  EXPECT_NE(st.message().find("already on the iPod"), std::string::npos);
  ImportOptions allow;
  allow.allow_duplicates = true;
  EXPECT_TRUE(lib_->Import(song, allow, &again).ok());
  EXPECT_EQ(lib_->Duplicates(), (std::vector<std::vector<int32_t>>{{first, again}}));

  const size_t before = std::distance(stdfs::recursive_directory_iterator(device_),
                                      stdfs::recursive_directory_iterator());
  // A corrupt FLAC: a real one with its frames overwritten.
  const std::string flac = Make("bad.flac", "-c:a flac", "", 10);
  {
    std::string bytes = ReadBytes(flac);
    for (size_t i = 8192; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    WriteBytes(flac, bytes);
  }
  int32_t id = 0;
  EXPECT_FALSE(lib_->Import(flac, ImportOptions{}, &id).ok());
  ImportOptions refuse;
  refuse.convert = false;
  EXPECT_EQ(lib_->Import(Make("ok.flac", "-c:a flac", ""), refuse, &id).code(),
            Status::Code::kUnsupported);
  const std::string m4p = (src_ / "bought.m4p").string();
  stdfs::copy_file(song, m4p);
  st = lib_->Import(m4p, ImportOptions{}, &id);
  EXPECT_NE(st.message().find("protected"), std::string::npos) << st.message();
  EXPECT_EQ(std::distance(stdfs::recursive_directory_iterator(device_),
                          stdfs::recursive_directory_iterator()),
            static_cast<std::ptrdiff_t>(before))
      << "nothing of the refused files reached the device";
}

TEST_F(MusicE2E, ExportGivesTheAudioBackWithTheDatabaseTags) {
  const std::string mp3 = Make("x.mp3", "-c:a libmp3lame", kTags);
  const std::string m4a = Make("y.m4a", "-c:a aac", "-metadata title='AC/DC: Live?' -metadata artist=CON");
  int32_t a = 0, b = 0;
  ASSERT_TRUE(lib_->Import(mp3, ImportOptions{}, &a).ok());
  ASSERT_TRUE(lib_->Import(m4a, ImportOptions{}, &b).ok());
  TrackEdit e;
  e.title = "Renamed";
  e.track_number = 7;
  ASSERT_TRUE(lib_->Edit(a, e).ok());
  ASSERT_TRUE(lib_->Save().ok());
  const std::string db_before = ReadBytes(Db(device_));

  const stdfs::path out = base_ / "export";
  ExportReport report;
  ExportOptions how;
  how.playlists = true;
  ASSERT_TRUE(lib_->Export(out.string(), {}, how, &report).ok());
  ASSERT_EQ(report.written.size(), 2u);
  EXPECT_EQ(report.written[0], (out / "Various Artists/Album/07 Renamed.mp3").string());
  // Names are safe on any file system: no separators or reserved names.
  EXPECT_EQ(report.written[1], (out / "_CON/Unknown Album/AC_DC_ Live_.m4a").string());
  TrackInfo ia, ib;
  ASSERT_TRUE(lib_->Describe(a, &ia).ok() && lib_->Describe(b, &ib).ok());
  EXPECT_EQ(AudioMd5(report.written[0]), AudioMd5(ia.sLocation));
  EXPECT_EQ(ReadBytes(report.written[1]), ReadBytes(ib.sLocation))
      << "a file whose tags agree is copied as it is";
  const std::string probe = Shell("ffprobe -v error -show_entries format_tags=title,track -of json " +
                                  Quote(report.written[0])).out;
  EXPECT_NE(probe.find("\"Renamed\""), std::string::npos) << probe;
  EXPECT_NE(probe.find("\"7/12\""), std::string::npos) << probe;

  ASSERT_TRUE(lib_->Export(out.string(), {}, how, &report).ok());
  EXPECT_TRUE(report.written.empty()) << "a second export copies nothing";
  EXPECT_EQ(report.skipped.size(), 2u);
  EXPECT_EQ(ReadBytes(Db(device_)), db_before) << "an export never changes the device";
}

}  // namespace
}  // namespace cadenza::e2e
