#include "media/process.h"

#include "platform/child_process.h"
#include "platform/fs.h"

namespace cadenza {

Status RunPipedProcess(const std::string& command_line, const std::vector<std::string>& argv,
                       const std::string& output_path, const std::string& working_dir,
                       const Tick& tick) {
#ifdef _WIN32
  const std::string first_line = command_line + "\r\n";
#else
  const std::string first_line = command_line + "\n";
#endif
  ChildStart start;
  Status s = RunChildToFile(argv, working_dir, output_path, first_line, tick, &start);
  const std::string error = std::to_string(start.os_error);
  switch (start.failure) {
    case ChildStart::Failure::kCreatePipe:
      return Status::IOError("Could not create pipe LastError " + error, kErrCreatePipe);
    case ChildStart::Failure::kSetPipeState:
      return Status::IOError("Could not set pipe state LastError " + error, kErrSetPipeState);
    case ChildStart::Failure::kCreateProcess:
      return Status::IOError("Could not create piped process. LastError " + error,
                             kErrCreateProcess);
    case ChildStart::Failure::kNone:
      break;
  }
  if (s.code() == Status::Code::kCancelled) return Status::Cancelled("The analysis was cancelled");
  return s;
}

Status DeleteFileIfExists(const std::string& path) {
  if (!fs::FileExists(path)) return Status::OK();
  return fs::DeleteFile(path, false);
}

int64_t GetFileSize64(const std::string& path, int32_t& low, int32_t& high) {
  low = 0;
  high = 0;
  int64_t size = fs::FileSize(path);
  if (size < 0) return -1;
  const auto u = static_cast<uint64_t>(size);
  low = static_cast<int32_t>(static_cast<uint32_t>(u & 0xFFFFFFFFu));
  high = static_cast<int32_t>(static_cast<uint32_t>(u >> 32));
  return size;
}

}  // namespace cadenza
