// The process signals the command-line tool and the desktop program care about.
#pragma once

namespace vexlor::platform {

// A write to a closed pipe or beyond the file-size limit fails with an error, instead of
// ending the process without a word: the error is then reported like any other write error.
// Called once at program start.
void IgnoreWriteSignals();

// While an instance lives, every signal that asks the program to stop (interrupt, termination,
// closed terminal) only raises a flag, which the owner polls to cancel its work cleanly. The
// earlier handling is restored when it is destroyed. One instance at a time.
class CancelSignals {
 public:
  CancelSignals();
  ~CancelSignals();
  CancelSignals(const CancelSignals&) = delete;
  CancelSignals& operator=(const CancelSignals&) = delete;
  bool Raised() const;
};

}  // namespace vexlor::platform
