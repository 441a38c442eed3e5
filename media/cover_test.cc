#include "media/cover.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>

#include <cstdio>
#include <cstdlib>

#include "media/id3_writer.h"
#include "media/media_test_util.h"
#include "media/mp4_writer.h"

namespace cadenza {
namespace {

using namespace testutil;
using namespace std::string_literals;

class CoverTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is missing";
    back_ = Ffmpeg("back.png", "-f lavfi -i testsrc=size=16x16 -frames:v 1");
    front_ = Ffmpeg("front.jpg", "-f lavfi -i testsrc=size=32x24 -frames:v 1");
  }
  // Runs ffmpeg with `args` writing `name`; the path of what it made.
  std::string Ffmpeg(const std::string& name, const std::string& args) {
    std::string out = (dir_ / name).string();
    EXPECT_EQ(std::system(("ffmpeg -v error -y " + args + " '" + out + "'").c_str()), 0) << name;
    return out;
  }
  // Half a second of tone with the back cover, then the front one, attached
  // (none with `pictures` false).
  std::string Track(const std::string& name, bool pictures = true) {
    return Ffmpeg(name, "-f lavfi -i sine=d=0.5" +
                            (pictures ? " -i '" + back_ + "' -i '" + front_ +
                                            "' -map 0 -map 1 -map 2 -c:v copy -disposition:v "
                                            "attached_pic -metadata:s:v:0 comment='Cover (back)' "
                                            "-metadata:s:v:1 comment='Cover (front)'"
                                      : ""));
  }
  std::string Cover(const std::string& path) {
    std::string bytes;
    Status s = ReadEmbeddedCover(path, &bytes);
    if (s.code() == Status::Code::kNotFound) return "none";
    return s.ok() ? bytes : "error " + s.ToString();
  }
  std::string back_, front_;
};

// The front cover of an MP3 as TagLib reads it, with its MIME type.
std::string TagLibFront(const std::string& path) {
  TagLib::MPEG::File f(path.c_str());
  if (f.ID3v2Tag() == nullptr) return {};
  for (TagLib::ID3v2::Frame* frame : f.ID3v2Tag()->frameList("APIC")) {
    auto* pic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (pic->type() != TagLib::ID3v2::AttachedPictureFrame::FrontCover) continue;
    return pic->mimeType().to8Bit() + " " +
           std::string(pic->picture().data(), pic->picture().size());
  }
  return {};
}

// The first covr picture of an MP4 as TagLib reads it, with its format.
std::string TagLibCovr(const std::string& path) {
  TagLib::MP4::File f(path.c_str());
  const auto& items = f.tag()->itemMap();
  if (!items.contains("covr") || items["covr"].toCoverArtList().isEmpty()) return {};
  const TagLib::MP4::CoverArt art = items["covr"].toCoverArtList().front();
  return std::to_string(art.format()) + " " + std::string(art.data().data(), art.data().size());
}

TEST_F(CoverTest, ReadsFrontCoverElseFirstPictureOfEachFormat) {
  const std::string png = ReadBytes(back_), jpg = ReadBytes(front_);
  // MP4 pictures carry no type: the first one is taken.
  for (const auto& [name, want] : {std::pair{"t.mp3", jpg}, {"t.flac", jpg}, {"t.m4a", png}}) {
    const std::string path = Track(name);
    EXPECT_EQ(Cover(path), want) << name;
    // Cut anywhere, a file gives a whole picture or none, never a crash.
    const std::string whole = ReadBytes(path);
    for (size_t n = 0; n < whole.size(); n += 97) {
      const std::string got = Cover(Write("cut", whole.substr(0, n)));
      EXPECT_TRUE(got == png || got == jpg || got == "none") << name << " cut at " << n;
    }
  }
  EXPECT_EQ(Cover(Track("plain.mp3", false)), "none");
  std::string junk;
  EXPECT_EQ(Cover(Write("junk.mp3", "ID3\x04\0\0\x7F\x7F\x7F\x7F"s + std::string(50, '\xFF'))),
            "none");
  EXPECT_EQ(ReadEmbeddedCover((dir_ / "missing.mp3").string(), &junk).code(),
            Status::Code::kIOError);
}

// An ID3v2 tag of `version` holding `frames`.
std::string Tag(int version, const std::string& frames) {
  return "ID3"s + char(version) + "\0\0"s + SyncSafe(static_cast<uint32_t>(frames.size())) + frames;
}
std::string Frame23(const std::string& id, const std::string& body) {
  return id + BE32(static_cast<uint32_t>(body.size())) + "\0\0"s + body;
}
std::string Frame22(const std::string& id, const std::string& body) {
  return id + BE32(static_cast<uint32_t>(body.size())).substr(1) + body;
}

TEST_F(CoverTest, ReadsCraftedPictureFrames) {
  const std::string png = ReadBytes(back_), jpg = ReadBytes(front_);
  // A front GIF is passed over; UTF-16 "A\u0100" has a zero pair on an odd
  // offset before its terminator.
  const std::string v23 = Frame23("APIC", "\0image/gif\0\x03\0GIF89a"s) +
                          Frame23("APIC", "\x01image/png\0\x04"s + "A\0\0\x01\0\0"s + png);
  EXPECT_EQ(Cover(Write("a.mp3", Tag(3, v23) + "audio")), png);
  const std::string v22 =
      Frame22("PIC", "\0PNG\x05\0"s + png) + Frame22("PIC", "\0JPG\x03x\0"s + jpg);
  EXPECT_EQ(Cover(Write("c.mp3", Tag(2, v22))), jpg);
  // A FLAC file behind an ID3v2 tag.
  const std::string flac = ReadBytes(Track("t.flac"));
  EXPECT_EQ(Cover(Write("d.flac", Tag(3, Frame23("TIT2", "\0T"s)) + flac)), jpg);
}

TEST_F(CoverTest, FindsCoverBesideByNameWithoutRegardToCase) {
  const std::string track = Write("album/track.mp3", "");
  EXPECT_EQ(FindCoverBeside(track), "");
  std::filesystem::create_directories(dir_ / "album" / "cover.jpg");  // a folder is no cover
  Write("album/cover.gif", "");
  Write("album/FRONT.jpeg", "");
  EXPECT_EQ(FindCoverBeside(track), (dir_ / "album" / "FRONT.jpeg").string());
  Write("album/Folder.PNG", "");
  EXPECT_EQ(FindCoverBeside(track), (dir_ / "album" / "Folder.PNG").string());
  Write("album/Cover.JpG", "");
  EXPECT_EQ(FindCoverBeside(track), (dir_ / "album" / "Cover.JpG").string());
}

TEST_F(CoverTest, WritersAddCoverOnlyWhereNoneIs) {
  const std::string png = ReadBytes(back_), jpg = ReadBytes(front_);
  Tags jpg_cover, png_cover;
  jpg_cover.cover = jpg;
  png_cover.cover = png;
  const std::string out_mp3 = (dir_ / "out.mp3").string();
  ASSERT_TRUE(WriteID3v2Tags(Track("plain.mp3", false), out_mp3, png_cover).ok());
  EXPECT_EQ(TagLibFront(out_mp3), "image/png " + png);
  const std::string pictures = Track("t.mp3");
  ASSERT_TRUE(WriteID3v2Tags(pictures, out_mp3, png_cover).ok());
  EXPECT_EQ(TagLibFront(out_mp3), TagLibFront(pictures));
  EXPECT_EQ(Cover(out_mp3), jpg);

  const std::string out_m4a = (dir_ / "out.m4a").string();
  ASSERT_TRUE(WriteMP4Tags(Track("plain.m4a", false), out_m4a, jpg_cover).ok());
  EXPECT_EQ(TagLibCovr(out_m4a), std::to_string(TagLib::MP4::CoverArt::JPEG) + " " + jpg);
  ASSERT_TRUE(WriteMP4Tags(Track("plain.m4a", false), out_m4a, png_cover).ok());
  EXPECT_EQ(TagLibCovr(out_m4a), std::to_string(TagLib::MP4::CoverArt::PNG) + " " + png);
  ASSERT_TRUE(WriteMP4Tags(Track("t.m4a"), out_m4a, jpg_cover).ok());
  EXPECT_EQ(TagLibCovr(out_m4a), TagLibCovr((dir_ / "t.m4a").string()));
  EXPECT_EQ(Cover(out_m4a), png);
}

}  // namespace
}  // namespace cadenza
