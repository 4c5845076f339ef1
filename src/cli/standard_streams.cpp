#include "standard_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/console.h"
#include "platform/utf8.h"
#include "recording_commands.h"

namespace vexlor::cli {
namespace {

int g_stdout_error = 0;  // errno of the first failed write to standard output

void AppendEscaped(uint8_t byte, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out += "\\x";
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 15]);
}

bool IsTerminal(std::FILE* stream) {
  static const bool out = platform::StdoutIsTerminal(), err = platform::StderrIsTerminal();
  return stream == stdout ? out : stream == stderr && err;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t n = platform::Utf8SequenceAt(text, i, &code);
    // C0 and C1 controls and DEL act on a terminal; so may bytes that are not UTF-8.
    const size_t step = std::max<size_t>(n, 1);
    if (n == 0 || code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      for (size_t k = 0; k < step; ++k) AppendEscaped(uint8_t(text[i + k]), &out);
    } else {
      out.append(text, i, n);
    }
    i += step;
  }
  return out;
}

std::string ForStream(std::FILE* stream, const std::string& text) {
  return IsTerminal(stream) ? TerminalSafe(text) : text;
}

void PrintLine(std::FILE* stream, const std::string& line) {
  const std::string text = ForStream(stream, line) + "\n";
  std::fputs(text.c_str(), stream);
}

bool StdoutFailed() {
  if (!std::ferror(stdout)) return false;
  if (g_stdout_error == 0) g_stdout_error = errno != 0 ? errno : EIO;
  return true;
}

bool FlushStdout() {
  std::fflush(stdout);  // a failure sets the stream's error indicator
  return !StdoutFailed();
}

int CloseStdout(int exit_status) {
  bool written = FlushStdout();
  // Closing is where some file systems report what they could not write.
  if (std::fclose(stdout) != 0 && written) {
    written = false;
    g_stdout_error = errno != 0 ? errno : EIO;
  }
  if (written) return exit_status;
  if (g_stdout_error == EPIPE) platform::EndForClosedReader();
  std::fprintf(stderr, "error: cannot write to standard output: %s\n",
               std::strerror(g_stdout_error));
  return exit_status == kExitCancelled ? exit_status : kExitError;
}

}  // namespace vexlor::cli
