// The ArtworkDB against libgpod: what libgpod writes loads and comes back
// byte for byte, its records say what the models' formats say, and a
// database rebuilt from scratch with the same images is the same file
// (but for libgpod's time stamps) and reads back in libgpod.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/artwork_db.h"
#include "tests/e2e/gpod_util.h"

namespace cadenza::e2e {
namespace {

// A 64x32 BMP, left half blue, right half red: a 2:1 cover.
std::string Cover() {
  const int w = 64, h = 32, size = 54 + w * h * 3;
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  };
  std::string b = "BM" + le(size, 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(w, 4) + le(h, 4) +
                  le(1, 2) + le(24, 2) + le(0, 4) + le(w * h * 3, 4) + le(2835, 4) +
                  le(2835, 4) + le(0, 4) + le(0, 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.append(x < w / 2 ? "\xFF\0\0" : "\0\0\xFF", 3);
  return b;
}

struct Model {
  const char* number;
  std::map<int32_t, int32_t> slot;  // format id -> bytes per slot (fact sheet, section 4)
  int32_t big;                      // the largest format's edge
};

class ArtworkTest : public E2ETest {};

TEST_F(ArtworkTest, LibgpodFilesLoadRoundTripAndRebuild) {
  const std::vector<Model> models = {
      {"xA147", {{1028, 20000}, {1029, 80000}}, 200},
      {"xB029", {{1061, 6272}, {1055, 32768}, {1068, 32768}, {1060, 204800}}, 320}};
  WriteBytes(base_ / "cover.bmp", Cover());
  for (const Model& m : models) {
    SCOPED_TRACE(m.number);
    const stdfs::path dev = base_ / m.number, art = dev / "iPod_Control/Artwork";
    ASSERT_TRUE(Oracle({"art", dev.string(), (base_ / "cover.bmp").string(), "--tracks", "4",
                        "--model", m.number}));
    const std::string bytes = ReadBytes(art / "ArtworkDB");
    ArtworkDB db;
    ASSERT_TRUE(LoadArtworkDB(Bytes(bytes), &db).ok());
    std::string again;
    ASSERT_TRUE(BuildArtworkDBImage(db, &again).ok());
    EXPECT_TRUE(again == bytes) << "round trip changed the file";

    // Every format listed once, with the size per slot of the model.
    std::map<int32_t, int32_t> listed;
    for (const ArtworkFormatEntry& f : FindArtworkSection(db, 3)->formats)
      listed[f.format_id] = f.image_size;
    EXPECT_EQ(listed, m.slot);
    // Every image has a copy per format in the file its name gives, at a
    // slot inside that file; the 2:1 cover is padded above and below.
    const json dump = Dump(dev);
    std::map<int32_t, std::set<std::string>> owners;  // image id -> dbids of its tracks
    for (const json& t : dump["tracks"]) {
      EXPECT_TRUE(t["has_thumbnails"].get<bool>());
      owners[t["mhii_link"].get<int32_t>()].insert(t["dbid"].get<std::string>());
    }
    ArtworkDB rebuilt = BlankArtworkDB();
    for (const ArtworkImage& img : FindArtworkSection(db, 1)->images) {
      char dbid[24];
      std::snprintf(dbid, sizeof dbid, "%016llx", static_cast<unsigned long long>(img.song_id));
      EXPECT_EQ(owners[img.id].count(dbid), 1u) << img.id;
      EXPECT_EQ(img.source_size, static_cast<int32_t>(Cover().size()) + 1);
      std::vector<ArtworkCopy> copies;
      EXPECT_EQ(img.children.size(), m.slot.size());
      for (const auto& child : img.children) {
        const auto& t = std::get<ArtworkThumb>(child);
        const std::string name = ArtworkFileName(t);
        EXPECT_EQ(name, ":F" + std::to_string(t.format_id) + "_1.ithmb");
        EXPECT_EQ(t.slot_size, m.slot.at(t.format_id));
        EXPECT_EQ(t.offset % t.slot_size, 0);
        EXPECT_LE(t.offset + t.slot_size,
                  static_cast<int32_t>(stdfs::file_size(art / name.substr(1))));
        EXPECT_EQ(t.width, t.vertical_pad * 4) << t.format_id;
        EXPECT_EQ(t.height, t.vertical_pad * 3) << t.format_id;
        if (t.slot_size == m.big * m.big * 2) {
          EXPECT_EQ(t.vertical_pad, m.big / 4);
          EXPECT_EQ(t.width, m.big);
        }
        copies.push_back({t.format_id, name, t.offset, t.slot_size, t.vertical_pad,
                          t.horizontal_pad, t.height, t.width, listed[t.format_id]});
      }
      ASSERT_TRUE(AddArtworkImage(&rebuilt, img.id, img.song_id, img.source_size, copies).ok());
    }

    // Rebuilt from the records: libgpod's bytes but for the time it stamps
    // at mhii+0x28.
    rebuilt.header.next_image_id = db.header.next_image_id;
    FindArtworkSection(&rebuilt, 3)->formats = FindArtworkSection(db, 3)->formats;
    std::string ours;
    ASSERT_TRUE(BuildArtworkDBImage(rebuilt, &ours).ok());
    ASSERT_EQ(ours.size(), bytes.size());
    std::string theirs = bytes;
    for (size_t at = 0; (at = theirs.find("mhii", at)) != std::string::npos; at += 4)
      theirs.replace(at + 0x28, 4, ours.substr(at + 0x28, 4));
    EXPECT_TRUE(ours == theirs) << "the rebuilt file differs";
  }
}

}  // namespace
}  // namespace cadenza::e2e
