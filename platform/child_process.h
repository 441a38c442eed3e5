// Runs a console program with its standard output and standard error on one
// pipe and copies everything it writes into a file, calling back regularly
// so that the caller can keep a user interface alive or cancel.
#ifndef CADENZA_PLATFORM_CHILD_PROCESS_H_
#define CADENZA_PLATFORM_CHILD_PROCESS_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

// The step at which starting the child failed, and the system's error
// number (errno, or GetLastError on Windows).
struct ChildStart {
  enum class Failure { kNone, kCreatePipe, kSetPipeState, kCreateProcess };
  Failure failure = Failure::kNone;
  unsigned long os_error = 0;
};

// Starts argv[0] with the arguments argv (no shell; on POSIX a name without
// "/" is looked up on PATH) in `working_dir` (empty: the current one), with
// an empty standard input. `output_path` receives `first_line` and then
// everything the child writes, as it arrives. `tick` (may be empty) is
// called about every 40 ms while the child runs; when it returns false the
// child is killed and the result is kCancelled.
//
// When the child cannot be started, `start` tells why and the status is an
// I/O error; no output file is written then. A failed write of the output
// file stops the child: an I/O error numbered 75 (61 for a full disk).
Status RunChildToFile(const std::vector<std::string>& argv, const std::string& working_dir,
                      const std::string& output_path, std::string_view first_line,
                      const std::function<bool()>& tick, ChildStart* start);

}  // namespace cadenza

#endif  // CADENZA_PLATFORM_CHILD_PROCESS_H_
