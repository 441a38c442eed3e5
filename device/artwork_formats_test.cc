#include "device/artwork_formats.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "testing/temp_dir.h"

namespace cadenza {
namespace {

using Row = std::tuple<int32_t, int32_t, int32_t, int32_t, uint32_t, bool>;

std::vector<Row> Rows(const std::vector<ArtworkFormat>& formats) {
  std::vector<Row> rows;
  rows.reserve(formats.size());
  for (const ArtworkFormat& f : formats)
    rows.emplace_back(f.id, f.width, f.height, f.align_row_bytes, f.back_color, f.crop);
  return rows;
}

// One AlbumArt entry, preceded by the <key> that real files put there.
std::string Entry(int id, int w, int h, const std::string& extra) {
  return "<key>" + std::to_string(id) + "</key>\n<dict>\n<key>FormatId</key><integer>" +
         std::to_string(id) + "</integer>\n<key>RenderWidth</key><integer>" + std::to_string(w) +
         "</integer>\n<key>RenderHeight</key><integer>" + std::to_string(h) + "</integer>\n" +
         extra + "</dict>\n";
}

class ArtworkFormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshTestDir("cadenza_artfmt");
    std::filesystem::create_directories(root_ / "sys");
    WriteBytes(root_ / "mountinfo", "");
    options_.sysfs_root = (root_ / "sys").string();
    options_.mountinfo_path = (root_ / "mountinfo").string();
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // The formats of a device whose SysInfo names `model`.
  std::vector<Row> FormatsOf(const std::string& model) {
    WriteBytes(root_ / "iPod_Control/Device/SysInfo", "ModelNumStr: x" + model + "\n");
    const DeviceInfo info = ReadDeviceInfo(root_.string(), options_);
    return Rows(ArtworkFormatsFor(root_.string(), info));
  }

  std::filesystem::path root_;
  DeviceProbeOptions options_;
};

TEST_F(ArtworkFormatsTest, ModelsWithoutTheirOwnListUseTheTable) {
  // Every built-in format is square, unaligned, on black, not cropped.
  auto squares = [](std::initializer_list<std::pair<int32_t, int32_t>> formats) {
    std::vector<Row> rows;
    for (const auto& [id, side] : formats) rows.emplace_back(id, side, side, 0, 0u, false);
    return rows;
  };
  EXPECT_EQ(FormatsOf("A079"), squares({{1017, 56}, {1016, 140}}));  // photo
  EXPECT_EQ(FormatsOf("A446"), squares({{1028, 100}, {1029, 200}}));  // video 5.5G
  EXPECT_EQ(FormatsOf("A477"), squares({{1031, 42}, {1027, 100}}));  // nano 2G
  const auto classic = squares({{1061, 56}, {1055, 128}, {1068, 128}, {1060, 320}});
  EXPECT_EQ(FormatsOf("B029"), classic);
  EXPECT_EQ(FormatsOf("B261"), classic);  // nano 3G
  EXPECT_EQ(FormatsOf("B598"), squares({{1055, 128}, {1068, 128}, {1071, 240}, {1084, 240},
                                        {1074, 50}, {1078, 80}}));  // nano 4G
  // No colour screen: shuffle, mini, the monochrome 4G.
  for (const char* model : {"C584", "9800", "9282"}) EXPECT_TRUE(FormatsOf(model).empty()) << model;
}

TEST_F(ArtworkFormatsTest, TheDevicesOwnListWins) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "<key>SerialNumber</key><string>8K7410S0Y5N</string>\n<key>AlbumArt</key>\n<array>\n" +
      Entry(1061, 55, 55,
            "<key>PixelFormat</key><integer>1278555701</integer>\n"
            "<key>AlignRowBytes</key><true/>\n") +
      Entry(1055, 128, 128, "<key>BackColor</key><integer>16777215</integer>\n") +
      // Another pixel format (UYVY) is left out.
      Entry(1019, 720, 480, "<key>PixelFormat</key><integer>1431918169</integer>\n") +
      Entry(1068, 128, 128,
            "<key>Crop</key><true/>\n<key>PixelFormat</key><string>4C353635</string>\n"
            "<key>Extra</key><dict><key>a</key><integer>1</integer>"
            "</dict>\n") +
      "</array>\n<key>DBVersion</key><integer>3</integer>\n</dict>\n</plist>\n";
  WriteBytes(root_ / "iPod_Control/Device/SysInfoExtended", xml);
  EXPECT_EQ(FormatsOf("B029"), (std::vector<Row>{{1061, 55, 55, 4, 0, false},
                                                 {1055, 128, 128, 0, 0xFFFFFF, false},
                                                 {1068, 128, 128, 0, 0, true}}));
  // Without an AlbumArt list the table applies; damaged text gives nothing.
  EXPECT_TRUE(ArtworkFormatsFromSysInfoExtended("<plist><dict></dict></plist>").empty());
  EXPECT_TRUE(ArtworkFormatsFromSysInfoExtended("<key>AlbumArt</key><array><dict><key>").empty());
  WriteBytes(root_ / "iPod_Control/Device/SysInfoExtended", "not a plist");
  EXPECT_EQ(FormatsOf("A147").size(), 2u);
}

}  // namespace
}  // namespace cadenza
