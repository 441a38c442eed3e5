#include "db/device_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace cadenza {
namespace {

std::string Le(uint32_t v, size_t width = 4) {
  std::string b;
  for (size_t k = 0; k < width; ++k) b += static_cast<char>(k < 4 ? v >> (8 * k) : 0);
  return b;
}

TEST(DeviceRecordsTest, PlayCountsOfEveryEntryLength) {
  // 12-byte entries carry no rating; 16 add it; 28 add skips.
  for (uint32_t length : {12u, 16u, 20u, 28u}) {
    std::string f = "mhdp" + Le(0x60) + Le(length) + Le(2);
    f.resize(0x60, '\0');
    for (uint32_t k = 0; k < 2; ++k) {
      std::string e = Le(3 + k) + Le(3700000000u) + Le(1500) + Le(60) + Le(0) + Le(2) + Le(3700000100u);
      f += e.substr(0, length);
    }
    std::vector<PlayRecord> r;
    ASSERT_TRUE(ParsePlayCounts(f, &r).ok()) << length;
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].plays, 4u);
    EXPECT_EQ(r[1].last_played, 3700000000u);
    EXPECT_EQ(r[1].bookmark_ms, 1500u);
    EXPECT_EQ(r[1].rating, length >= 16 ? 60 : -1);
    EXPECT_EQ(r[1].skips, length >= 28 ? 2u : 0u);
    EXPECT_EQ(r[1].last_skipped, length >= 28 ? 3700000100u : 0u);
    // Every shorter file, and a wrong header, fails without reading past it.
    for (size_t n = 0; n < f.size(); ++n) EXPECT_FALSE(ParsePlayCounts(f.substr(0, n), &r).ok());
    EXPECT_FALSE(ParsePlayCounts("mhdq" + f.substr(4), &r).ok());
  }
}

TEST(DeviceRecordsTest, ShuffleStatsOfBothGenerations) {
  std::string older = Le(2, 3) + Le(0, 3);
  older += Le(18, 3) + Le(10, 3) + Le(0, 6) + Le(7, 3) + Le(1, 3);
  older += Le(18, 3) + Le(0, 3) + Le(0, 6) + Le(0, 3) + Le(4, 3);
  std::string newer = Le(1) + Le(0) + Le(32) + Le(9000) + Le(5) + Le(3700000000u) + Le(1) +
                      Le(3700000200u) + Le(0) + Le(0);
  std::vector<PlayRecord> r;
  ASSERT_TRUE(ParseShuffleStats(older, &r).ok());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].bookmark_ms, 2560u);  // units of 256 ms
  EXPECT_EQ(r[0].plays, 7u);
  EXPECT_EQ(r[1].skips, 4u);
  ASSERT_TRUE(ParseShuffleStats(newer, &r).ok());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].plays, 5u);
  EXPECT_EQ(r[0].last_skipped, 3700000200u);
  for (const std::string& f : {older, newer})
    for (size_t n = 0; n + 1 < f.size(); ++n) EXPECT_FALSE(ParseShuffleStats(f.substr(0, n), &r).ok());

  // A 2nd-generation shuffle's own file: 13 entries, bookmarks and plays.
  const std::filesystem::path sample =
      std::filesystem::path(CADENZA_SHARED_DIR) / "samples/artm-ipod_db/iTunesStats";
  if (!std::filesystem::exists(sample)) GTEST_SKIP() << "no sample databases";
  std::stringstream bytes;
  bytes << std::ifstream(sample, std::ios::binary).rdbuf();
  ASSERT_TRUE(ParseShuffleStats(bytes.str(), &r).ok());
  EXPECT_EQ(r.size(), 13u);
  EXPECT_EQ(r[0].bookmark_ms, 0x312u * 256);
}

TEST(DeviceRecordsTest, OnTheGoLists) {
  const std::string f = "mhpo" + Le(20) + Le(4) + Le(3) + Le(0) + Le(2) + Le(0) + Le(99);
  std::vector<uint32_t> ix;
  ASSERT_TRUE(ParseOnTheGoList(f, &ix).ok());
  EXPECT_EQ(ix, (std::vector<uint32_t>{2, 0, 99}));
  for (size_t n = 0; n < f.size(); ++n) EXPECT_FALSE(ParseOnTheGoList(f.substr(0, n), &ix).ok());
}

}  // namespace
}  // namespace cadenza
