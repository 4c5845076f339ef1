// The process's console and command line, as the command-line tool needs them on every
// platform.
#pragma once

#include <string>
#include <vector>

namespace vexlor::platform {

// Call once at the start of the program. On Windows: the standard streams are switched to
// binary mode (the output is byte for byte what it is elsewhere: "\n" line ends, UTF-8 text)
// and a console shows UTF-8 text. Nothing to do elsewhere.
void PrepareStandardStreams();

// A write to a closed pipe or beyond the file-size limit (SIGPIPE, SIGXFSZ on POSIX) fails with
// an error instead of ending the process without a word: the error is then reported like any
// other write error. Call once at the start of the program; nothing to do on Windows, where
// such writes only fail.
void IgnoreWriteSignals();

// True when standard output is a terminal (a console window on Windows), false when it is
// redirected to a file or a pipe.
bool StdoutIsTerminal();

// The same for the standard error stream.
bool StderrIsTerminal();

// Asks the terminal on standard output to obey the escape sequences that erase a line
// ("\033[K"). True when it does; false when the caller must blank the line with spaces.
bool EnableLineEscapes();

// Makes the C library's local time zone the one the user meant. TZ set in a form that the C
// library does not understand would be taken silently as UTC: such a TZ is removed, so that the
// system's zone is used, and the returned text says so (empty when TZ is unset or usable).
// Understood are, on POSIX, a zone of the time zone database ("Europe/Berlin", or a file) and
// POSIX rules ("CET-1CEST,M3.5.0,M10.5.0/3"); on Windows, the C runtime's one form: three
// letters, the hours west of UTC and optionally the summer time's three letters ("CET-1CEST"),
// whose dates the runtime chooses itself.
std::string PrepareTimeZone();

// Ends the program after its standard output was closed by the reader (a pipe whose reader
// went away), as command-line tools end then: quietly, by SIGPIPE on POSIX, with exit status
// 1 on Windows.
[[noreturn]] void EndForClosedReader();

// The operating system, for a report: "Linux 6.1.0-18-amd64 x86_64", "Windows 10.0 (build
// 19045)".
std::string SystemDescription();

// The command-line arguments as UTF-8 strings, argv[0] included.
#ifdef _WIN32
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#else
std::vector<std::string> Utf8Arguments(int argc, char** argv);
#endif

// While one exists, the user's request to stop the program does not end the process but is
// recorded, to be polled with Interrupted(): Ctrl-C and Ctrl-Break, and a closed terminal or a
// termination request (SIGHUP, SIGTERM on POSIX; closing the console window, logging off or
// shutting down on Windows, where the process is held until the guard is destroyed, for at
// most a few seconds). A reader of standard output that goes away (SIGPIPE) does not end the
// process either: the writes fail instead. Only one guard may exist at a time.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  static bool Interrupted();
};

}  // namespace vexlor::platform
