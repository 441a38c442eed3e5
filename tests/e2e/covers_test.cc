// Covers imported and changed with the command-line tool, read back by
// libgpod: every format of each model family decoded, the pixels compared
// in flat regions of a cover made of four solid quadrants.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>

#include "media/cover.h"
#include "tests/e2e/gpod_util.h"

namespace cadenza::e2e {
namespace {

using Rgb = std::array<int, 3>;
constexpr Rgb kQuadrants[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

class CoversTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    // 600×600 and 600×300 covers of four quadrants (red, green / blue, white).
    for (const char* size : {"600x600", "600x300"}) {
      const std::string q = std::string(":s=") + size;
      ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i color=red" + q + " -f lavfi -i color=lime" + q +
                      " -f lavfi -i color=blue" + q + " -f lavfi -i color=white" + q +
                      " -filter_complex '[0][1]hstack[t];[2][3]hstack[u];[t][u]vstack,scale=" +
                      std::string(size).replace(3, 1, ":") + "' -frames:v 1 " +
                      Quote((base_ / (std::string(size) + ".jpg")).string()))
                    .status,
                0);
    }
    ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i color=yellow:s=64x64 -frames:v 1 " +
                    Quote((base_ / "yellow.png").string()))
                  .status,
              0);
  }
  // An MP3 of `album` with `cover` embedded as its front cover.
  std::string Song(const std::string& name, const std::string& album, const std::string& cover,
                   int hz) {
    const std::string out = (base_ / "in" / (name + ".mp3")).string();
    stdfs::create_directories(base_ / "in");
    EXPECT_EQ(Shell("ffmpeg -v error -f lavfi -i sine=d=1:f=" + std::to_string(hz) + " -i " +
                    Quote((base_ / cover).string()) +
                    " -map 0 -map 1 -c:a libmp3lame -c:v copy -id3v2_version 3 -metadata title=" +
                    name + " -metadata album=" + album +
                    " -metadata:s:v comment='Cover (front)' " + Quote(out))
                  .status,
              0);
    return out;
  }
  RunResult Cli(const std::string& args) {
    return Shell("{ " + Quote(CADENZA_CLI_PATH) + " --device " + Quote(dev_.string()) + " " + args +
                 " 2>&1; }");
  }
  json Thumbs() {
    auto out = Oracle({"thumbs", dev_.string(), (base_ / "thumbs").string()});
    EXPECT_TRUE(out) << "libgpod cannot read the device";
    json by_title = json::object();
    if (!out) return by_title;
    json dump = Dump(dev_);
    std::map<int, std::string> titles;
    for (const json& t : dump["tracks"]) titles[t["id"].get<int>()] = Str(t["title"]);
    for (const json& t : json::parse(*out)) by_title[titles[t["id"].get<int>()]] = t;
    return by_title;
  }
  json Artwork() { return json::parse(Cli("--json info").out)["artwork"]; }
  std::map<std::string, std::string> ArtworkFiles() {
    std::map<std::string, std::string> files;
    for (const auto& e : stdfs::directory_iterator(dev_ / "iPod_Control/Artwork"))
      files[e.path().filename().string()] = ReadBytes(e.path());
    return files;
  }
  stdfs::path dev_;
};

// The pixel at (x, y) of a binary PPM.
Rgb PixelAt(const std::string& ppm, int x, int y) {
  int w = 0, h = 0, max = 0, used = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &w, &h, &max, &used) != 3) return {-1, -1, -1};
  const size_t at = static_cast<size_t>(used + 1 + (y * w + x) * 3);
  if (at + 3 > ppm.size()) return {-1, -1, -1};
  return {static_cast<uint8_t>(ppm[at]), static_cast<uint8_t>(ppm[at + 1]),
          static_cast<uint8_t>(ppm[at + 2])};
}

void ExpectColour(const Rgb& got, const Rgb& want, const std::string& where) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 24) << where;
}

// Every thumbnail of a track shows the quadrants; a wide cover is fitted
// (half as high as wide) unless the format crops.
void ExpectQuadrants(const json& track, size_t formats, bool wide) {
  ASSERT_TRUE(track["has_thumbnails"].get<bool>());
  ASSERT_EQ(track["thumbs"].size(), formats);
  for (const json& t : track["thumbs"]) {
    const int w = t["width"], h = t["height"];
    const std::string ppm = ReadBytes(t["file"].get<std::string>());
    const std::string where = t["file"].get<std::string>();
    if (wide) {
      EXPECT_NEAR(w, 2 * h, 2) << where;
    }
    for (int q = 0; q < 4; ++q)
      ExpectColour(PixelAt(ppm, w / 4 + (q % 2) * w / 2, h / 4 + (q / 2) * h / 2), kQuadrants[q],
                   where + " quadrant " + std::to_string(q));
  }
}

TEST_F(CoversTest, EveryModelFamilyShowsEveryFormat) {
  const std::string square = Song("Square", "One", "600x600.jpg", 440);
  const std::string wide = Song("Wide", "Two", "600x300.jpg", 550);
  constexpr char kOwnList[] =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>AlbumArt</key><array>"
      "<key>x</key><dict><key>FormatId</key><integer>1061</integer><key>RenderWidth</key>"
      "<integer>55</integer><key>RenderHeight</key><integer>55</integer><key>PixelFormat</key>"
      "<string>4C353635</string><key>AlignRowBytes</key><true/></dict>"
      "<dict><key>FormatId</key><integer>1060</integer><key>RenderWidth</key><integer>320"
      "</integer><key>RenderHeight</key><integer>320</integer><key>PixelFormat</key>"
      "<string>4C353635</string></dict></array></dict></plist>";
  const std::pair<const char*, size_t> models[] = {
      {"xA079", 2}, {"xA147", 2}, {"xA350", 2}, {"xB029", 4}, {"xB598", 6}, {"xB565", 2}};
  for (const auto& [model, formats] : models) {
    SCOPED_TRACE(model);
    dev_ = base_ / model;
    ASSERT_TRUE(Oracle({"make", dev_.string(), "--model", model, "--tracks", "0"}));
    const bool own_list = std::string(model) == "xB565";
    if (own_list)
      WriteBytes(dev_ / "iPod_Control/Device/SysInfoExtended", kOwnList);
    ASSERT_EQ(Cli("add " + Quote(square) + " " + Quote(wide)).status, 0);
    EXPECT_EQ(Artwork()["formats"].size(), formats);
    json thumbs = Thumbs();
    ExpectQuadrants(thumbs["Square"], formats, false);
    ExpectQuadrants(thumbs["Wide"], formats, true);
    if (own_list) {
      // 55 pixels in rows aligned to 4 bytes: 56 × 55 × 2 bytes a slot.
      EXPECT_EQ(stdfs::file_size(dev_ / "iPod_Control/Artwork/F1061_1.ithmb"), 2u * 6160);
    }
  }
  // An iPod without a colour screen gets no artwork files.
  dev_ = base_ / "mini";
  ASSERT_TRUE(Oracle({"make", dev_.string(), "--model", "x9160", "--tracks", "0"}));
  ASSERT_EQ(Cli("add " + Quote(square)).status, 0);
  EXPECT_FALSE(stdfs::exists(dev_ / "iPod_Control/Artwork/ArtworkDB"));
  EXPECT_EQ(Dump(dev_)["tracks"][0]["has_artwork"], 2);
}

TEST_F(CoversTest, SharingChangesDeletionAndCompaction) {
  dev_ = base_ / "classic";
  ASSERT_TRUE(Oracle({"make", dev_.string(), "--model", "xB029", "--tracks", "0"}));
  std::string songs;
  for (int i = 0; i < 4; ++i)
    songs += " " + Quote(Song("A" + std::to_string(i), "Shared", "600x600.jpg", 300 + 50 * i));
  songs += " " + Quote(Song("B", "Other", "600x600.jpg", 900));
  ASSERT_EQ(Cli("add" + songs).status, 0);
  // One image for the album, one for the other album.
  EXPECT_EQ(Artwork()["images"], 2);
  json t = Thumbs();
  EXPECT_EQ(t["A0"]["mhii_link"], t["A3"]["mhii_link"]);
  EXPECT_NE(t["A0"]["mhii_link"], t["B"]["mhii_link"]);

  // A write without changes leaves every artwork byte as it was.
  const auto before = ArtworkFiles();
  ASSERT_EQ(Cli("write").status, 0);
  EXPECT_TRUE(ArtworkFiles() == before);

  // Changing one track's cover keeps the others'; removing one clears it.
  ASSERT_EQ(Cli("art set 2 " + Quote((base_ / "yellow.png").string())).status, 0);
  ASSERT_EQ(Cli("art rm 3").status, 0);
  t = Thumbs();
  ExpectColour(PixelAt(ReadBytes(t["A1"]["thumbs"][3]["file"].get<std::string>()), 160, 160),
               {255, 255, 0}, "changed cover");
  EXPECT_FALSE(t["A2"]["has_thumbnails"].get<bool>());
  ExpectQuadrants(t["A0"], 4, false);
  ExpectQuadrants(t["B"], 4, false);
  ASSERT_EQ(Cli("art set --album Other " + Quote((base_ / "yellow.png").string())).status, 0);

  // Deleting the album's owner and the changed track: the shared image
  // stays for the tracks left, and the space of the yellow one is reclaimed.
  const json old = Thumbs();
  ASSERT_EQ(Cli("rm 1 2 5").status, 0);
  t = Thumbs();
  ExpectQuadrants(t["A3"], 4, false);
  EXPECT_EQ(t["A3"]["mhii_link"], old["A3"]["mhii_link"]);
  EXPECT_EQ(Artwork()["images"], 1);
  EXPECT_EQ(Artwork()["unused_bytes"], 0);
  ASSERT_EQ(Cli("art 4 --out " + Quote((base_ / "out.png").string())).status, 0);
  EXPECT_EQ(ReadBytes(base_ / "out.png").substr(1, 3), "PNG");
}

TEST_F(CoversTest, OldModelsGiveEveryTrackItsOwnImage) {
  dev_ = base_ / "video";
  ASSERT_TRUE(Oracle({"make", dev_.string(), "--model", "xA147", "--tracks", "0"}));
  stdfs::remove_all(dev_ / "iPod_Control/Artwork");  // as a fresh device has none
  ASSERT_EQ(Cli("add " + Quote(Song("A", "Same", "600x600.jpg", 300)) + " " +
                Quote(Song("B", "Same", "600x600.jpg", 400)))
                .status,
            0);
  EXPECT_EQ(Artwork()["images"], 2);
  // --no-art leaves covers out.
  const std::string plain = (base_ / "in" / "D.mp3").string();
  ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i sine=d=1 -metadata title=D " + Quote(plain)).status, 0);
  ASSERT_EQ(Cli("add --no-art " + Quote(Song("C", "Same", "600x600.jpg", 500)) + " " + Quote(plain))
                .status,
            0);
  EXPECT_FALSE(Thumbs()["C"]["has_thumbnails"].get<bool>());
  // A track of a short header, as loaded, takes a cover too.
  ASSERT_EQ(Cli("art set 3 " + Quote((base_ / "yellow.png").string())).status, 0);
  EXPECT_TRUE(Thumbs()["C"]["has_thumbnails"].get<bool>());
  // The export of a track whose file has no picture carries the device's.
  ASSERT_EQ(Cli("art set 4 " + Quote((base_ / "yellow.png").string())).status, 0);
  ASSERT_EQ(Cli("export " + Quote((base_ / "out").string()) + " 4").status, 0);
  int exported = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(base_ / "out")) {
    if (!e.is_regular_file()) continue;
    std::string picture;
    ++exported;
    EXPECT_TRUE(ReadEmbeddedCover(e.path().string(), &picture).ok() &&
                picture.starts_with("\x89PNG"));
  }
  EXPECT_EQ(exported, 1);
  // A rebuild takes the covers from the files again, and no image is kept
  // for the tracks it replaced.
  ASSERT_EQ(Cli("--yes rebuild").status, 0);
  EXPECT_EQ(Artwork()["images"], 3);
}

TEST_F(CoversTest, CoversWrittenByLibgpodSurviveChanges) {
  dev_ = base_ / "gpod";
  ASSERT_TRUE(Oracle({"art", dev_.string(), (base_ / "600x600.jpg").string(), "--tracks", "3",
                      "--model", "xB029"}));
  const json before = Thumbs();
  ASSERT_EQ(Cli("add " + Quote(Song("New", "Fresh", "yellow.png", 700))).status, 0);
  json t = Thumbs();
  for (const auto& [title, track] : before.items()) {
    if (!track["has_thumbnails"].get<bool>()) continue;
    SCOPED_TRACE(title);
    ExpectQuadrants(t[title], 4, false);
  }
  ExpectColour(PixelAt(ReadBytes(t["New"]["thumbs"][3]["file"].get<std::string>()), 160, 160),
               {255, 255, 0}, "new cover");
}

}  // namespace
}  // namespace cadenza::e2e
