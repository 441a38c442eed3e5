// The questions and messages of finding the iPod and describing media
// files, with a scripted host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "cadenza/cadenza.h"
#include "component/detect.h"
#include "testing/scripted_host.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

std::string Shown(const ScriptedHost& h) {
  std::string s;
  for (const auto& b : h.boxes) s += b.text + "|" + b.title + "|" + std::to_string(b.style) + ";";
  for (const auto& t : h.browse_titles) s += "browse " + t + ";";
  return s;
}

TEST(AskForiPodDrive, AnswersLeadToTheDriveTheBrowserOrNothing) {
  const DriveSearch not_found{"", DriveQuestion{"Locate?", true, "A"}};
  const DriveSearch no_itunes{"/mnt/pod/", DriveQuestion{"Correct?", false, "B"}};
  struct Case {
    DriveSearch found;
    int answer;
    std::string folder, want, shown;
  } cases[] = {
      {{"/mnt/pod/", {}}, kAnswerNo, "", "/mnt/pod/", ""},
      {not_found, kAnswerYes, "/srv/pod", "/srv/pod/", "Locate?|Cadenza|36;browse A;"},
      {not_found, kAnswerYes, "", "", "Locate?|Cadenza|36;browse A;"},
      {not_found, kAnswerNo, "/srv/pod", "", "Locate?|Cadenza|36;"},
      {no_itunes, kAnswerYes, "/srv/pod", "/mnt/pod/", "Correct?|Cadenza|36;"},
      {no_itunes, kAnswerNo, "/media/x/", "/media/x/", "Correct?|Cadenza|36;browse B;"},
      {no_itunes, kAnswerNo, "", "", "Correct?|Cadenza|36;browse B;"},
  };
  for (const Case& c : cases) {
    ScriptedHost h;
    h.answers = {c.answer};
    h.folders = {c.folder};
    EXPECT_EQ(AskForiPodDrive(h, c.found), c.want);
    EXPECT_EQ(Shown(h), c.shown);
  }
}

// No device at all (an empty device tree): with bConfirm a chosen drive is
// named in a box titled with the program's name; a declined one is not.
TEST(GetiPodDriveString, ConfirmsAChosenDrive) {
  const auto dir = FreshTestDir("cadenza_detect");
  ScriptedHost host;
  Options o;
  o.sysfs_root = dir.string();
  clsCadenza c(&host, o);
  host.answers = {kAnswerYes, kAnswerOK, kAnswerNo};
  host.folders = {"/srv/pod"};
  EXPECT_EQ(c.GetiPodDriveString(0, "MyApp", true) + c.GetiPodDriveString(0, "MyApp", true),
            "/srv/pod/");
  ASSERT_EQ(host.boxes.size(), 3u);
  EXPECT_EQ(
      host.boxes[1].text + "|" + host.boxes[1].title + "|" + std::to_string(host.boxes[1].style),
      "iPod Drive is detect as /srv/pod/, If this is incorrect, so please Manually "
      "specify the iPod Drive|MyApp|64");
  EXPECT_EQ(c.status().code(), Status::Code::kNotFound);
  std::filesystem::remove_all(dir);
}

// A failure of the external analyser is shown in a critical box with the
// default title, and the file is not supported.
TEST(SetTrackInfo, ShowsAnAnalyserFailure) {
  const auto dir = FreshTestDir("cadenza_analyser");
  const std::string path = ::getenv("PATH");
  ::setenv("PATH", dir.c_str(), 1);  // neither ffmpeg nor mpgtx anywhere
  ScriptedHost host;
  Options o;
  o.component_folder = dir.string();
  clsCadenza c(&host, o);
  const std::string file = std::string(CADENZA_SOURCE_DIR) + "/media/testdata/video/h264_aac.mp4";
  TrackInfo info;
  EXPECT_TRUE(c.SetTrackInfo(file, info));
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(c.status().message() + "|" + info.sFiletype + std::to_string(info.isFileSupported),
            "The analyser could not describe " + file + "|MP40");
  EXPECT_EQ(Shown(host),
            "Error occured while parsing media file\r\n12003:Could not create "
            "piped process. LastError 2|Cadenza|16;");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace cadenza
