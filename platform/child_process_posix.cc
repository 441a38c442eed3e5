// The child process runner on POSIX systems (posix_spawn and a pipe).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/child_process.h"

extern char** environ;

namespace cadenza {

namespace {

using Clock = std::chrono::steady_clock;

// How often the caller's tick is called while the child runs.
constexpr auto kTickPeriod = std::chrono::milliseconds(40);
// Longest single wait for output or for the child's end; bounds how late the
// end of the child is noticed.
constexpr int kWaitSliceMs = 10;
// Output is moved in pieces of this size.
constexpr size_t kPiece = 4096;
// Most pieces read in one go before the loop looks at the child and calls
// the tick again, so that a child that writes without pause cannot starve them.
constexpr int kPiecesPerTurn = 64;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Owns a started child: if the run ends early (an error, a cancel, or the
// tick throws) the child is killed and reaped, so that no zombie is left.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ~ChildGuard() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int st;
      while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
      }
    }
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

  // True once the child has ended (and has been reaped).
  bool Ended() {
    if (pid_ <= 0) return true;
    int st;
    pid_t r;
    do {
      r = ::waitpid(pid_, &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // ECHILD: the child was reaped behind our back (SIGCHLD ignored).
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
      pid_ = -1;
      return true;
    }
    return false;
  }

 private:
  pid_t pid_;
};

// Appends to the output file; remembers the first write error and drops
// everything after it, so that the child can still be run to its end.
class OutputFile {
 public:
  explicit OutputFile(int fd) : fd_(fd) {}
  void Write(const char* data, size_t n) {
    while (n > 0 && error_ == 0) {
      ssize_t w = ::write(fd_.get(), data, n);
      if (w < 0) {
        if (errno != EINTR) error_ = errno;
        continue;
      }
      data += w;
      n -= static_cast<size_t>(w);
    }
  }
  Status Close() {
    if (::close(fd_.release()) != 0 && errno != EINTR && error_ == 0) error_ = errno;
    if (error_ == ENOSPC) return Status::IOError("Disk full", 61);
    if (error_ != 0) return Status::IOError("Path/File access error", 75);
    return Status::OK();
  }

 private:
  UniqueFd fd_;
  int error_ = 0;
};

// Results of ReadPiece besides a byte count.
constexpr ssize_t kPipeEmpty = 0;
constexpr ssize_t kPipeEnd = -1;

// One non-blocking read of at most one piece from the pipe into the file;
// returns the number of bytes moved, kPipeEmpty or kPipeEnd.
ssize_t ReadPiece(int fd, OutputFile& out) {
  char buf[kPiece];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r > 0) {
      out.Write(buf, static_cast<size_t>(r));
      return r;
    }
    if (r == 0) return kPipeEnd;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kPipeEmpty;
    return kPipeEnd;  // a broken pipe reads as its end
  }
}

class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    attr_ok_ = posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input from /dev/null, standard output and error to `out_fd`,
  // optionally another working directory; default signal dispositions and
  // an empty signal mask (ignored signals would otherwise be inherited).
  int Prepare(int out_fd, const std::string& working_dir) {
    if (!ok_ || !attr_ok_) return ENOMEM;
    int e = posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (e == 0) e = posix_spawn_file_actions_adddup2(&actions_, out_fd, 1);
    if (e == 0) e = posix_spawn_file_actions_adddup2(&actions_, out_fd, 2);
    if (e == 0 && !working_dir.empty())
      e = posix_spawn_file_actions_addchdir_np(&actions_, working_dir.c_str());
    if (e != 0) return e;
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    e = posix_spawnattr_setsigdefault(&attr_, &all);
    if (e == 0) e = posix_spawnattr_setsigmask(&attr_, &none);
    if (e == 0)
      e = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    return e;
  }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool ok_ = false;
  bool attr_ok_ = false;
};

// Starts argv[0] with standard output and error on `out_fd`; returns 0 and
// sets `pid`, or the errno of the failure.
int SpawnChild(const std::vector<std::string>& argv, int out_fd, const std::string& working_dir,
               pid_t& pid) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  SpawnSetup setup;
  int e = setup.Prepare(out_fd, working_dir);
  // posix_spawnp reports a failed exec (program missing, not executable,
  // bad working directory) as its result, so the failure is seen here.
  if (e == 0)
    e = ::posix_spawnp(&pid, args[0], setup.actions(), setup.attr(), args.data(), environ);
  return e;
}

// Copies the child's output to `out` for one tick period, or until the child
// has ended; `pipe_open` goes false when the pipe reaches its end. Returns
// true once the child has ended.
bool PumpForOneTick(int read_fd, ChildGuard& child, OutputFile& out, bool& pipe_open) {
  const auto turn_end = Clock::now() + kTickPeriod;
  bool ended = false;
  while (!ended) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(turn_end - Clock::now());
    if (left.count() <= 0) break;
    int wait_ms = static_cast<int>(std::min<int64_t>(left.count(), kWaitSliceMs));
    if (pipe_open) {
      pollfd p{read_fd, POLLIN, 0};
      ::poll(&p, 1, wait_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
    // Once the child has ended, the drain below takes what is left.
    ended = child.Ended();
    for (int i = 0; !ended && pipe_open && i < kPiecesPerTurn; ++i) {
      ssize_t r = ReadPiece(read_fd, out);
      if (r == kPipeEnd) pipe_open = false;
      if (r <= 0) break;
    }
  }
  return ended;
}

// Copies what the child wrote in its last moments. All of it is already in
// the pipe, which holds at most its capacity, so the drain is bounded even
// if something the child started still writes to the pipe.
void DrainPipe(int read_fd, OutputFile& out, bool pipe_open) {
  int capacity = ::fcntl(read_fd, F_GETPIPE_SZ);
  int64_t budget = capacity > 0 ? capacity : (1 << 20);
  while (pipe_open && budget > 0) {
    ssize_t r = ReadPiece(read_fd, out);
    if (r <= 0) break;
    budget -= r;
  }
}

}  // namespace

Status RunChildToFile(const std::vector<std::string>& argv, const std::string& working_dir,
                      const std::string& output_path, std::string_view first_line,
                      const std::function<bool()>& tick, ChildStart* start) {
  *start = ChildStart{};
  auto fail = [&](ChildStart::Failure f, int e) {
    start->failure = f;
    start->os_error = static_cast<unsigned long>(e);
    return Status::IOError("The program could not be started");
  };
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(ChildStart::Failure::kCreatePipe, errno);
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);

  int flags = ::fcntl(read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0)
    return fail(ChildStart::Failure::kSetPipeState, errno);

  if (argv.empty() || argv[0].empty()) return fail(ChildStart::Failure::kCreateProcess, ENOENT);
  pid_t pid = -1;
  int e = SpawnChild(argv, write_end.get(), working_dir, pid);
  if (e != 0) return fail(ChildStart::Failure::kCreateProcess, e);
  ChildGuard child(pid);
  // The child holds its own copy; closing ours lets the pipe break when the
  // child (and anything it started) is gone.
  write_end.reset();

  int out_fd = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out_fd < 0) return Status::IOError("Path/File access error", 75);
  OutputFile out(out_fd);
  out.Write(first_line.data(), first_line.size());

  bool pipe_open = true;
  bool ended = false;
  while (!ended) {
    if (tick && !tick()) {
      (void)out.Close();
      return Status::Cancelled("The program was stopped");
    }
    ended = PumpForOneTick(read_end.get(), child, out, pipe_open);
  }
  DrainPipe(read_end.get(), out, pipe_open);
  return out.Close();
}

}  // namespace cadenza
