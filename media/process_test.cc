#include "media/process.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "gtest/gtest.h"
#include "platform/fs.h"
#include "testing/scripted_host.h"

namespace cadenza {
namespace {

namespace stdfs = std::filesystem;

class PipedProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (stdfs::temp_directory_path() / "cadenza-process-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
    out_ = dir_ + "/report.txt";
  }
  void TearDown() override { stdfs::remove_all(dir_); }

  // Runs `script` with /bin/sh; the report's first line is "sh -c <script>".
  Status RunShell(const std::string& script, const std::string& working_dir = "") {
    return RunPipedProcess("sh -c " + script, {"/bin/sh", "-c", script}, out_, working_dir,
                           host_);
  }
  std::string Report() {
    std::string text;
    EXPECT_TRUE(fs::ReadWholeFile(out_, &text).ok());
    return text;
  }
  static size_t OpenFdCount() {
    return static_cast<size_t>(std::distance(stdfs::directory_iterator("/proc/self/fd"), {}));
  }
  // True when this process has no child left, running or unreaped.
  static bool NoChildren() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

  std::string dir_, out_;
  ScriptedHost host_;
};

TEST_F(PipedProcessTest, CapturesStandardOutputAndErrorInOrder) {
  // Standard input is empty: a child that reads it ends at once.
  ASSERT_TRUE(RunShell("cat").ok());
  EXPECT_EQ(Report(), "sh -c cat\n");
  ASSERT_TRUE(RunShell("echo one; echo two >&2; echo three").ok());
  EXPECT_EQ(Report(), "sh -c echo one; echo two >&2; echo three\none\ntwo\nthree\n");
  // Bytes are copied exactly: no separators, no line-end translation.
  const std::string script = "printf 'a\\r\\nb\\0c'";
  ASSERT_TRUE(RunShell(script).ok());
  EXPECT_EQ(Report(), "sh -c " + script + "\n" + std::string("a\r\nb\0c", 6));
  // The host holds the first turn long enough for the child to write and
  // end, so that its output is all waiting in the pipe when the end is seen.
  host_.on_do_events = [this] {
    if (host_.do_events == 1) ::usleep(300 * 1000);
  };
  ASSERT_TRUE(RunShell("printf 'last words'").ok());
  EXPECT_EQ(Report(), "sh -c printf 'last words'\nlast words");
}

TEST_F(PipedProcessTest, MoreOutputThanThePipeHoldsDoesNotBlockTheHost) {
  bool child_running_at_turn = false;
  const std::string flag = dir_ + "/running";
  host_.on_do_events = [&] { child_running_at_turn |= fs::FileExists(flag); };
  ASSERT_TRUE(RunShell("touch '" + flag + "'; sleep 0.3; rm '" + flag + "'").ok());
  EXPECT_TRUE(child_running_at_turn);
  ASSERT_TRUE(RunShell("head -c 1048576 /dev/zero | tr '\\0' x; echo; echo end >&2").ok());
  std::string report = Report();
  size_t body = report.find('\n') + 1;
  ASSERT_EQ(report.size() - body, 1048576u + 5u);
  EXPECT_EQ(report.find_first_not_of('x', body), body + 1048576u);
  EXPECT_EQ(report.substr(body + 1048576u), "\nend\n");
}

TEST_F(PipedProcessTest, MissingProgramIsError12003WithTheSystemErrorCode) {
  // A file without execute permission cannot be started either.
  const std::string script = dir_ + "/not-executable";
  ASSERT_TRUE(fs::WriteFileAtomic(script, "#!/bin/sh\necho hi\n").ok());
  const std::pair<std::string, int> cases[] = {
      {"cadenza-no-such-program-here", ENOENT}, {script, EACCES}};
  for (const auto& [prog, error] : cases) {
    Status s = RunPipedProcess(prog + " -i x", {prog, "-i", "x"}, out_, "", host_);
    EXPECT_EQ(s.number(), 12003);
    EXPECT_EQ(s.message(), "Could not create piped process. LastError " + std::to_string(error));
    EXPECT_FALSE(fs::FileExists(out_)) << "no report on failure";
  }
  EXPECT_TRUE(NoChildren());
}

TEST_F(PipedProcessTest, RunsInTheWorkingDirectoryWithArgumentsUnchanged) {
  // No shell stands between the caller and the program: quotes, blanks and
  // "$(...)" arrive as they are.
  const std::string odd = "a \"b\" $(touch pwned); c";
  ASSERT_TRUE(RunPipedProcess("printf", {"/usr/bin/printf", "%s|", odd, ""}, out_, dir_, host_)
                  .ok());
  EXPECT_EQ(Report(), "printf\n" + odd + "||");
  EXPECT_FALSE(fs::FileExists(dir_ + "/pwned"));
  ASSERT_TRUE(RunShell("pwd", dir_).ok());
  EXPECT_EQ(Report(), "sh -c pwd\n" + stdfs::canonical(dir_).string() + "\n");
  EXPECT_EQ(RunShell("pwd", dir_ + "/missing").number(), 12003);
}

TEST_F(PipedProcessTest, LeavesNoZombieAndNoOpenDescriptorOnAnyPath) {
  const size_t fds = OpenFdCount();
  ASSERT_TRUE(RunShell("echo hi").ok());
  EXPECT_FALSE(RunPipedProcess("x", {"/nonexistent"}, out_, "", host_).ok());
  // A report that cannot be written stops the child.
  EXPECT_EQ(RunPipedProcess("sleep", {"/bin/sleep", "30"}, dir_ + "/no/dir/r.txt", "", host_)
                .number(),
            75);
  // So does a host that throws from its message loop.
  host_.on_do_events = [] { throw std::runtime_error("host gone"); };
  EXPECT_THROW(RunShell("sleep 30"), std::runtime_error);
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_TRUE(NoChildren());
}

TEST_F(PipedProcessTest, DeleteFileIfExistsAndGetFileSize64) {
  const std::string f = dir_ + "/f";
  EXPECT_TRUE(DeleteFileIfExists(f).ok());
  int32_t low = 7, high = 7;
  EXPECT_EQ(GetFileSize64(f, low, high), -1);
  ASSERT_TRUE(fs::WriteFileAtomic(f, "abc").ok());
  // 5 GiB + 3 (sparse): high part 1, low part 1 GiB + 3.
  ASSERT_EQ(::truncate(f.c_str(), (int64_t{5} << 30) + 3), 0);
  EXPECT_EQ(GetFileSize64(f, low, high), (int64_t{5} << 30) + 3);
  EXPECT_EQ(low, (1 << 30) + 3);
  EXPECT_EQ(high, 1);

  EXPECT_TRUE(DeleteFileIfExists(f).ok());
  EXPECT_FALSE(fs::FileExists(f));
}

}  // namespace
}  // namespace cadenza
