// POSIX console: a terminal understands the escape sequences, arguments are bytes already.
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/console.h"

namespace vexlor::platform {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) {
  g_interrupted = 1;
}

constexpr int kSignalCount = 4;
constexpr int kSignals[kSignalCount] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction g_previous[kSignalCount];

}  // namespace

void PrepareStandardStreams() {}

void IgnoreWriteSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

namespace {

// POSIX rules: a name of three letters or more (or one in angle brackets), then the hours west
// of UTC; what follows (summer time and its dates) is the C library's to read.
bool IsPosixRule(const std::string& tz) {
  size_t i = 0;
  if (!tz.empty() && tz[0] == '<') {
    i = tz.find('>');
    if (i == std::string::npos || i < 4) return false;
    ++i;
  } else {
    while (i < tz.size() && std::isalpha(static_cast<unsigned char>(tz[i]))) ++i;
    if (i < 3) return false;
  }
  if (i < tz.size() && (tz[i] == '+' || tz[i] == '-')) ++i;
  return i < tz.size() && std::isdigit(static_cast<unsigned char>(tz[i]));
}

// A zone of the time zone database: a file that starts as its files do, by path or by name.
bool IsZoneFile(std::string name) {
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  if (name.empty()) return false;
  if (name[0] != '/') {
    const char* dir = std::getenv("TZDIR");
    name = std::string(dir != nullptr && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
  }
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  char magic[4] = {};
  const bool zone = std::fread(magic, 1, 4, f) == 4 && std::string(magic, 4) == "TZif";
  std::fclose(f);
  return zone;
}

}  // namespace

std::string PrepareTimeZone() {
  const char* tz = std::getenv("TZ");
  // Unset: the system's zone; empty: UTC, as POSIX has it.
  if (tz == nullptr || *tz == '\0') return std::string();
  const std::string value = tz;
  if ((value[0] != ':' && IsPosixRule(value)) || IsZoneFile(value)) return std::string();
  unsetenv("TZ");
  tzset();
  return "TZ=" + value +
         " is not a time zone this system knows (such as Europe/Berlin or CET-1CEST); the "
         "system's own time zone is used";
}

void EndForClosedReader() {
  std::fflush(stderr);
  std::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
  raise(SIGPIPE);
  _exit(1);  // not reached
}

bool EnableLineEscapes() {
  return true;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

InterruptGuard::InterruptGuard() {
  g_interrupted = 0;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction use = sa;
    if (kSignals[i] == SIGPIPE) use.sa_handler = SIG_IGN;
    sigaction(kSignals[i], &use, &g_previous[i]);
  }
}

InterruptGuard::~InterruptGuard() {
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
}

bool InterruptGuard::Interrupted() {
  return g_interrupted != 0;
}

std::string SystemDescription() {
  struct utsname name;
  if (uname(&name) != 0) return "unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

}  // namespace vexlor::platform
