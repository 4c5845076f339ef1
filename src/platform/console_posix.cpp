// POSIX console: a terminal understands the escape sequences, arguments are bytes already.
#include <unistd.h>

#include <csignal>

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

}  // namespace vexlor::platform
