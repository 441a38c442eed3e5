// Smoke test of the gpod_oracle tool the database tests rely on: make a
// device folder with libgpod, then dump it back.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace fs = std::filesystem;

namespace {

int Oracle(const std::string& args, std::string* out = nullptr) {
  std::string cmd = std::string("'") + GPOD_ORACLE_PATH + "' " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(GpodOracle, MakeThenDump) {
  std::string dir = (fs::temp_directory_path() / "gpod_oracle_XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  ASSERT_EQ(Oracle("make '" + dir + "/dev' --tracks 4 --podcasts --nonlatin"), 0);
  std::string out;
  EXPECT_EQ(Oracle("dump '" + dir + "/dev'", &out), 0);
  nlohmann::json d = nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
  ASSERT_TRUE(d.is_object());
  EXPECT_GT(d["track_count"].get<int>(), 4);  // songs plus podcast episodes
  EXPECT_EQ(d["tracks"].size(), d["track_count"].get<size_t>());
  EXPECT_TRUE(d["playlists"][0]["is_master"].get<bool>());
  EXPECT_EQ(Oracle("dump '" + dir + "/missing'"), 1);
  fs::remove_all(dir);
}

}  // namespace
