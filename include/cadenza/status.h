// Status: the outcome of an operation, passed between layers instead of
// exceptions. A failed status carries an error number (the number a message
// box shows, such as 9 for "Subscript out of range") and a description.
#ifndef CADENZA_STATUS_H_
#define CADENZA_STATUS_H_

#include <string>
#include <utility>

namespace cadenza {

class Status {
 public:
  enum class Code {
    kOk,
    kNotFound,      // a file or folder that should exist does not
    kCorrupt,       // bytes that are not what the layout promises
    kIOError,       // the file system refused an operation
    kInvalid,       // an argument or state that the operation refuses
    kUnsupported,   // a media file the device cannot take
    kCancelled,     // the user or host cancelled
    kNoSpace,       // the device is full
    kBusy,          // another program is changing the device, or has changed
                    // it since it was loaded
    kDuplicate,     // the media file is on the device already
  };

  Status() = default;
  static Status OK() { return Status(); }
  static Status NotFound(std::string m, int n = 53) { return {Code::kNotFound, n, std::move(m)}; }
  static Status Corrupt(std::string m, int n = 9) { return {Code::kCorrupt, n, std::move(m)}; }
  static Status IOError(std::string m, int n = 75) { return {Code::kIOError, n, std::move(m)}; }
  static Status Invalid(std::string m, int n = 5) { return {Code::kInvalid, n, std::move(m)}; }
  static Status Unsupported(std::string m) { return {Code::kUnsupported, 0, std::move(m)}; }
  static Status Cancelled(std::string m) { return {Code::kCancelled, 0, std::move(m)}; }
  static Status NoSpace(std::string m, int n = 61) { return {Code::kNoSpace, n, std::move(m)}; }
  static Status Busy(std::string m, int n = 70) { return {Code::kBusy, n, std::move(m)}; }
  static Status Duplicate(std::string m) { return {Code::kDuplicate, 0, std::move(m)}; }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // The error number shown to the user (0 when none applies).
  int number() const { return number_; }
  const std::string& message() const { return message_; }
  std::string ToString() const { return ok() ? "OK" : message_; }

 private:
  Status(Code c, int n, std::string m) : code_(c), number_(n), message_(std::move(m)) {}
  Code code_ = Code::kOk;
  int number_ = 0;
  std::string message_;
};

}  // namespace cadenza

#endif  // CADENZA_STATUS_H_
