#include "media/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include "gtest/gtest.h"
#include "platform/fs.h"
#include "testing/temp_dir.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

class PipedProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshTestDir("cadenza_process").string();
    out_ = dir_ + "/report.txt";
  }
  void TearDown() override { stdfs::remove_all(dir_); }

  // Runs `script` with /bin/sh; the report's first line is "sh -c <script>".
  Status RunShell(const std::string& script, const std::string& working_dir = "") {
    return RunPipedProcess("sh -c " + script, {"/bin/sh", "-c", script}, out_, working_dir, tick_);
  }
  std::string Report() { return ReadBytes(out_); }

  std::string dir_, out_;
  int ticks_ = 0;
  std::function<bool()> on_tick_;
  Tick tick_ = [this] {
    ++ticks_;
    return !on_tick_ || on_tick_();
  };
};

TEST_F(PipedProcessTest, CapturesStandardOutputAndErrorInOrder) {
  // Standard input is empty: a child that reads it ends at once. Bytes are
  // copied exactly: no separators, no line-end translation.
  const std::pair<std::string, std::string> cases[] = {
      {"cat", ""},
      {"echo one; echo two >&2; echo three", "one\ntwo\nthree\n"},
      {"printf 'a\\r\\nb\\0c'", std::string("a\r\nb\0c", 6)}};
  for (const auto& [script, output] : cases) {
    ASSERT_TRUE(RunShell(script).ok());
    EXPECT_EQ(Report(), "sh -c " + script + "\n" + output);
  }
  // The first tick takes long enough for the child to write and end, so that
  // its output is all waiting in the pipe when the end is seen.
  ticks_ = 0;
  on_tick_ = [this] {
    if (ticks_ == 1) ::usleep(300 * 1000);
    return true;
  };
  ASSERT_TRUE(RunShell("printf 'last words'").ok());
  EXPECT_EQ(Report(), "sh -c printf 'last words'\nlast words");
}

TEST_F(PipedProcessTest, MoreOutputThanThePipeHoldsDoesNotBlockTheTick) {
  bool child_running_at_turn = false;
  const std::string flag = dir_ + "/running";
  on_tick_ = [&] {
    child_running_at_turn |= fs::FileExists(flag);
    return true;
  };
  ASSERT_TRUE(RunShell("touch '" + flag + "'; sleep 0.3; rm '" + flag + "'").ok());
  EXPECT_TRUE(child_running_at_turn);
  ASSERT_TRUE(RunShell("head -c 1048576 /dev/zero | tr '\\0' x; echo; echo end >&2").ok());
  const std::string report = Report();
  const size_t body = report.find('\n') + 1;
  EXPECT_EQ(report.substr(body), std::string(1048576, 'x') + "\nend\n");
}

// (Arguments reaching the program unchanged: ffmpeg_test's odd file name.)
TEST_F(PipedProcessTest, RunsInTheWorkingDirectory) {
  ASSERT_TRUE(RunShell("pwd", dir_).ok());
  EXPECT_EQ(Report(), "sh -c pwd\n" + stdfs::canonical(dir_).string() + "\n");
  EXPECT_EQ(RunShell("pwd", dir_ + "/missing").number(), 12003);
}

TEST_F(PipedProcessTest, FailuresLeaveNoReportNoZombieAndNoOpenDescriptor) {
  auto open_fds = [] { return std::distance(stdfs::directory_iterator("/proc/self/fd"), {}); };
  const auto fds = open_fds();
  // A missing program, or a file without execute permission.
  const std::string script = dir_ + "/not-executable";
  ASSERT_TRUE(fs::WriteFileAtomic(script, "#!/bin/sh\necho hi\n").ok());
  const std::pair<std::string, int> cases[] = {{"cadenza-no-such-program-here", ENOENT},
                                               {script, EACCES}};
  for (const auto& [prog, error] : cases) {
    Status s = RunPipedProcess(prog + " -i x", {prog, "-i", "x"}, out_, "", tick_);
    EXPECT_EQ(s.number(), 12003);
    EXPECT_EQ(s.message(), "Could not create piped process. LastError " + std::to_string(error));
    EXPECT_FALSE(fs::FileExists(out_)) << "no report on failure";
  }
  ASSERT_TRUE(RunShell("echo hi").ok());
  // A report that cannot be written stops the child; so does a tick that
  // cancels.
  EXPECT_EQ(
      RunPipedProcess("sleep", {"/bin/sleep", "30"}, dir_ + "/no/dir/r.txt", "", tick_).number(),
      75);
  on_tick_ = [this] { return ticks_ < 3; };
  EXPECT_EQ(RunShell("sleep 30").code(), Status::Code::kCancelled);
  EXPECT_EQ(open_fds(), fds);
  EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) << "a child is left";
}

}  // namespace
}  // namespace cadenza
