// What the program prints, and where: text made safe for a terminal, and a standard output
// whose failures are not lost (a full disk is an error; a reader that went away ends the
// program quietly).
#pragma once

#include <cstdio>
#include <string>

namespace vexlor::cli {

// The text with its control characters and the bytes that are not UTF-8 written as \xHH, so
// that a file name shown on a terminal cannot move the cursor, clear the screen or break a
// line. Other text, backslashes included, is left as it is.
std::string TerminalSafe(const std::string& text);

// `text` as it should reach `stream` (stdout or stderr): TerminalSafe when the stream is a
// terminal, exactly as it is when it goes to a file or a pipe.
std::string ForStream(std::FILE* stream, const std::string& text);

// Prints `line` and a line end to `stream`, as ForStream has it.
void PrintLine(std::FILE* stream, const std::string& line);

// True once a write to standard output has failed; call it right after writing, so that the
// reason kept is that write's.
bool StdoutFailed();

// Flushes standard output. False once a write to it has failed, now or before; the first
// failure's reason is kept for CloseStdout.
bool FlushStdout();

// At the end of the program: flushes and closes standard output, and returns the exit status.
// When writing to it failed: a closed pipe ends the program quietly (EndForClosedReader);
// anything else prints "error: cannot write to standard output: REASON" and returns 1 (an
// interrupted run keeps its 130).
int CloseStdout(int exit_status);

}  // namespace vexlor::cli
