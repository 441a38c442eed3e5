// Runs a console program as a child process and captures everything it
// writes to its standard output and standard error in a text file, calling
// back regularly so that the caller can keep a user interface alive or
// cancel. Also two small file helpers used by the media analysers.
#ifndef CADENZA_MEDIA_PROCESS_H_
#define CADENZA_MEDIA_PROCESS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cadenza/status.h"

namespace cadenza {

// Error numbers of RunPipedProcess.
inline constexpr int kErrCreatePipe = 12001;
inline constexpr int kErrSetPipeState = 12002;
inline constexpr int kErrCreateProcess = 12003;

// Called while a child runs; returns false to stop the child. May be empty.
using Tick = std::function<bool()>;

// Starts argv[0] with the arguments argv (no shell is involved; on POSIX a
// program name without "/" is looked up on PATH; on Windows argv[0] is the
// program's path, and the child gets no window) and waits for it to end.
//
// `command_line` is the text form of the command as a user would type it; it
// becomes the first line of `output_path`, followed by everything the child
// wrote to its standard output and standard error (one pipe, so the two are
// interleaved as they arrived). The child's standard input is empty.
// `working_dir` empty means the current directory.
//
// While the child runs, `tick` is called about every 40 ms; when it returns
// false the child is killed and the run ends as Cancelled (the output file
// keeps what arrived). Output is read as it arrives, so a child that writes
// more than the pipe holds never blocks for long.
//
// Returns OK when the child ran to its end (whatever its exit status). Errors,
// with Status::number() (<n> is errno, or GetLastError() on Windows):
//   12001 "Could not create pipe LastError <n>"
//   12002 "Could not set pipe state LastError <n>"
//   12003 "Could not create piped process. LastError <n>" (for example the
//         program does not exist, is not executable, or working_dir is bad)
// On these no output file is written. If the output file cannot be written
// the child is stopped and an I/O error (75, or 61 for a full disk) returned.
Status RunPipedProcess(const std::string& command_line,
                       const std::vector<std::string>& argv,
                       const std::string& output_path,
                       const std::string& working_dir, const Tick& tick);

// Deletes a regular file when it exists; a read-only file is not forced. A
// missing file is not an error.
Status DeleteFileIfExists(const std::string& path);

// The size of a file in bytes; `low` and `high` receive its lower and upper
// 32 bits (as signed numbers, so `low` is negative from 2 GiB on). Returns -1
// (and sets both parts to 0) when the file cannot be looked up.
int64_t GetFileSize64(const std::string& path, int32_t& low, int32_t& high);

}  // namespace cadenza

#endif  // CADENZA_MEDIA_PROCESS_H_
