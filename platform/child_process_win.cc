// The child process runner on Windows: an anonymous pipe in no-wait mode,
// CreateProcessW with the pipe as standard output and error, and a polling
// loop that gives the caller its tick, reads what arrived and looks whether
// the child has ended.
#include <windows.h>

#include "platform/child_process.h"
#include "platform/text.h"

namespace cadenza {
namespace {

// Output is moved in pieces of this size.
constexpr DWORD kPiece = 4096;
// The pause before each read and the wait for the child's end, per turn.
constexpr DWORD kSleepMs = 40;
constexpr DWORD kWaitMs = 40;

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() { return &h_; }
  void reset() {
    if (h_ && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// Quotes one argument so that the child's C runtime reads it back as it was
// (backslashes are literal except before a quote).
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// Appends to the output file; remembers the first write error and drops
// everything after it.
class OutputFile {
 public:
  explicit OutputFile(HANDLE h) : h_(h) {}
  void Write(const char* data, size_t n) {
    while (n > 0 && error_ == 0) {
      DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
      DWORD written = 0;
      if (!WriteFile(h_.get(), data, chunk, &written, nullptr)) {
        error_ = GetLastError();
        break;
      }
      data += written;
      n -= written;
    }
  }
  Status Close() {
    h_.reset();
    if (error_ == ERROR_DISK_FULL || error_ == ERROR_HANDLE_DISK_FULL)
      return Status::IOError("Disk full", 61);
    if (error_ != 0) return Status::IOError("Path/File access error", 75);
    return Status::OK();
  }

 private:
  Handle h_;
  DWORD error_ = 0;
};

// Moves what the pipe holds now, one piece at most; false at the pipe's end
// or when nothing is waiting.
bool ReadPiece(HANDLE pipe, OutputFile& out) {
  char buf[kPiece];
  DWORD got = 0;
  if (!ReadFile(pipe, buf, sizeof buf, &got, nullptr) || got == 0) return false;
  out.Write(buf, got);
  return true;
}

}  // namespace

Status RunChildToFile(const std::vector<std::string>& argv, const std::string& working_dir,
                      const std::string& output_path, std::string_view first_line,
                      const std::function<bool()>& tick, ChildStart* start) {
  *start = ChildStart{};
  auto fail = [&](ChildStart::Failure f, DWORD e) {
    start->failure = f;
    start->os_error = e;
    return Status::IOError("The program could not be started");
  };

  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  Handle read_end, write_end;
  if (!CreatePipe(read_end.out(), write_end.out(), &sa, 0))
    return fail(ChildStart::Failure::kCreatePipe, GetLastError());
  // Only the write end goes to the child.
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(read_end.get(), &mode, nullptr, nullptr))
    return fail(ChildStart::Failure::kSetPipeState, GetLastError());

  if (argv.empty() || argv[0].empty())
    return fail(ChildStart::Failure::kCreateProcess, ERROR_FILE_NOT_FOUND);
  std::wstring command;
  for (const std::string& a : argv) {
    if (!command.empty()) command += L' ';
    AppendQuoted(command, Utf8ToWide(a));
  }
  const std::wstring program = Utf8ToWide(argv[0]);
  const std::wstring folder = Utf8ToWide(working_dir);

  // Standard input reads nothing.
  Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = null_in.get() == INVALID_HANDLE_VALUE ? nullptr : null_in.get();
  si.hStdOutput = write_end.get();
  si.hStdError = write_end.get();
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &pi))
    return fail(ChildStart::Failure::kCreateProcess, GetLastError());
  Handle process(pi.hProcess);
  Handle thread(pi.hThread);
  // The child holds its own copy; closing ours lets the pipe break when the
  // child is gone.
  write_end.reset();
  null_in.reset();
  // Ends the child if the run stops early.
  struct Killer {
    HANDLE h;
    bool armed = true;
    ~Killer() {
      if (armed && h) {
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 5000);
      }
    }
  } killer{process.get()};

  HANDLE file = CreateFileW(Utf8ToWide(output_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Status::IOError("Path/File access error", 75);
  OutputFile out(file);
  out.Write(first_line.data(), first_line.size());

  for (;;) {
    if (tick && !tick()) {
      (void)out.Close();
      return Status::Cancelled("The program was stopped");
    }
    Sleep(kSleepMs);
    // A few pieces per turn, so that a talkative child does not wait long
    // on a full pipe.
    for (int i = 0; i < 64 && ReadPiece(read_end.get(), out); ++i) {
    }
    if (WaitForSingleObject(process.get(), kWaitMs) != WAIT_TIMEOUT) break;
  }
  killer.armed = false;
  // What the child wrote in its last moments; bounded, in case something it
  // started still writes to the pipe.
  for (int i = 0; i < 4096 && ReadPiece(read_end.get(), out); ++i) {
  }
  return out.Close();
}

}  // namespace cadenza
