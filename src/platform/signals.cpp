#include "platform/signals.h"

#include <csignal>

namespace vexlor::platform {
namespace {

volatile std::sig_atomic_t g_raised = 0;
void OnCancelSignal(int) {
  g_raised = 1;
}

constexpr int kCancelSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCount = sizeof kCancelSignals / sizeof kCancelSignals[0];
struct sigaction g_previous[kCount];

}  // namespace

void IgnoreWriteSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

CancelSignals::CancelSignals() {
  g_raised = 0;
  struct sigaction sa {};
  sa.sa_handler = OnCancelSignal;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < kCount; ++i) sigaction(kCancelSignals[i], &sa, &g_previous[i]);
}

CancelSignals::~CancelSignals() {
  for (int i = 0; i < kCount; ++i) sigaction(kCancelSignals[i], &g_previous[i], nullptr);
}

bool CancelSignals::Raised() const {
  return g_raised != 0;
}

}  // namespace vexlor::platform
