// The one result type of the program's libraries below the front ends (platform, container,
// avi and the other muxers, app): a code that callers act on and a message that a person reads.
// Nothing below the front ends prints; a failure travels up as a Status, and the front end
// decides how to show it. The decoder keeps its own DecodeStatus: it depends on nothing.
#pragma once

#include <string>
#include <utility>

namespace vexlor {

enum class StatusCode : int {
  kOk = 0,
  kEndOfData,        // a reader has nothing more to give (not a failure)
  kCannotOpen,       // an input cannot be opened
  kReadFailed,       // reading an open input failed
  kCannotCreate,     // an output cannot be created
  kWriteFailed,      // writing, flushing, closing or renaming an output failed
  kIsDirectory,      // a name that must be a file is a directory
  kNotRegularFile,   // a FIFO, a device, a socket where a regular file is needed
  kIsKept,           // the output would replace a file that must be kept (an input)
  kRefused,          // input of a kind the callee does not take (a frame, a stream)
  kInvalidArgument,  // a caller's mistake: bad sizes, null pointers, calls out of order
  kTooLarge,         // beyond a limit that the callee keeps
  kCancelled,        // stopped by a cancel request
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}
  static Status Ok() { return Status(); }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // What went wrong, for a person: "cannot create cam_01.avi: Permission denied". Empty on
  // success.
  const std::string& message() const { return message_; }

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

}  // namespace vexlor
