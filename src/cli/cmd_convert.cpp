// `vexlor convert`: the conversion job from the command line, with the dialog's status texts.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/conversion_job.h"
#include "commands.h"
#include "platform/console.h"
#include "recording_commands.h"

namespace vexlor::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(50);  // at most 20 redraws a second

// Receives the worker's events without ever waiting: the latest event for the redraws, and
// every change of phase (scan, each channel's pass, the end) in a fixed list.
class CliProgressSink : public app::ProgressSink {
 public:
  struct Phase {
    int kind, value;
    int64_t read_position;
  };
  static constexpr int kMaxPhases = 64;  // a conversion has at most 1 + 16 + 1

  explicit CliProgressSink(const app::ConversionJob* job) : job_(job) {}

  void PostProgress(app::ProgressKind kind, int value) override {
    latest_.store(Pack(kind, value), std::memory_order_release);
    // A new phase: the scan starts, a channel's pass starts, or the end.
    if (kind != last_kind_ || (kind == app::kWriteStep && value != last_value_)) {
      last_kind_ = kind;
      last_value_ = value;
      const int n = phase_count_.load(std::memory_order_relaxed);
      if (n < kMaxPhases) {
        phases_[n] = {kind, value, job_->source.read_position.load(std::memory_order_relaxed)};
        phase_count_.store(n + 1, std::memory_order_release);
      }
    }
  }

  bool Latest(int* kind, int* value) const {
    const uint64_t v = latest_.load(std::memory_order_acquire);
    if (v == kNone) return false;
    *kind = static_cast<int32_t>(v >> 32);
    *value = static_cast<int32_t>(v & 0xFFFFFFFFu);
    return true;
  }
  int PhaseCount() const { return phase_count_.load(std::memory_order_acquire); }
  const Phase& PhaseAt(int i) const { return phases_[i]; }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  static uint64_t Pack(int kind, int value) {
    return (uint64_t(uint32_t(kind)) << 32) | uint32_t(value);
  }

  const app::ConversionJob* job_;
  std::atomic<uint64_t> latest_{kNone};
  int last_kind_ = -1, last_value_ = -1;  // worker thread only
  std::array<Phase, kMaxPhases> phases_{};
  std::atomic<int> phase_count_{0};
};

// What redraws the status line `shown` as `text` in place: a carriage return and the erase-line
// sequence, or, on a terminal that does not obey it, spaces over what is left of the old line.
std::string Redraw(const std::string& shown, const std::string& text, bool escapes) {
  if (escapes) return "\r\033[K" + text;
  std::string line = "\r" + text;
  if (shown.size() > text.size()) {
    line.append(shown.size() - text.size(), ' ');
    line.append("\r" + text);
  }
  return line;
}

void RunConvert(const std::string& path, int* exitCode) {
  auto job = std::make_unique<app::ConversionJob>();
  if (int code = OpenOrFail(job.get(), path); code >= 0) {
    *exitCode = code;
    return;
  }
  const bool terminal = platform::StdoutIsTerminal();
  const bool escapes = terminal && platform::EnableLineEscapes();
  job->hold_point = app::ParseHoldPoint(std::getenv("VEXLOR_TEST_HOLD"));
  job->keep_pictures = false;  // only the sizes matter here
  CliProgressSink sink(job.get());
  // Ctrl-C, a closed terminal or a termination request cancel the conversion cleanly (the file
  // being written is finished); a reader of our output that goes away does not end the process
  // in the middle of a file.
  platform::InterruptGuard interrupt_guard;
  job->StartConversion(&sink);

  std::string shown;
  int phases_printed = 0;
  bool cancelled = false;
  for (;;) {
    const bool finished = !job->Running();
    if (platform::InterruptGuard::Interrupted() && !finished) {
      job->CancelAndWait();
      cancelled = true;
      break;
    }
    if (terminal) {
      int kind, value;
      if (sink.Latest(&kind, &value)) {
        const std::string text = app::ProgressText(*job, kind, value, shown);
        if (text != shown) {
          std::printf("%s", Redraw(shown, text, escapes).c_str());
          shown = text;
          std::fflush(stdout);
        }
      }
    } else {
      for (const int n = sink.PhaseCount(); phases_printed < n; ++phases_printed) {
        const CliProgressSink::Phase& p = sink.PhaseAt(phases_printed);
        shown = app::ProgressText(p.kind, p.value, p.read_position, job->file_size,
                                  job->channel_rates, shown);
        std::printf("%s\n", shown.c_str());
      }
      std::fflush(stdout);
    }
    if (finished) break;
    std::this_thread::sleep_for(kRedrawInterval);
  }
  job->Wait();

  int last_kind, last_value;
  if (sink.Latest(&last_kind, &last_value)) {
    const std::string final_text = app::ProgressText(*job, last_kind, last_value, shown);
    if (terminal) {
      std::printf("%s\n", Redraw(shown, final_text, escapes).c_str());
    } else if (final_text != shown) {
      std::printf("%s\n", final_text.c_str());
    }
  }
  if (cancelled) {
    std::fprintf(stderr, "Cancelled.\n");
    std::fflush(stdout);
    *exitCode = kExitCancelled;
    return;
  }
  int kind = -1, value = 0;
  sink.Latest(&kind, &value);
  if (std::fflush(stdout) != 0) {
    *exitCode = kExitError;
  } else if (kind == app::kDone && job->last_result.load() == app::kWorkerFinished) {
    *exitCode = kExitDone;
  } else if (kind == app::kNoChannel) {
    *exitCode = kExitNoChannel;
  } else {
    *exitCode = kExitError;
  }
}

}  // namespace

void RegisterConvert(CLI::App& app, int* exitCode) {
  auto path = std::make_shared<std::string>();
  CLI::App* convert = app.add_subcommand(
      "convert", "Write one AVI file per channel beside the recording (REC_01.avi ... REC_16.avi)");
  convert->add_option("recording", *path, "Recording file (.kvr, .ms2, .m4v)")->required();
  convert->footer(
      "Exit status: 0 done, 2 no channel with video found, 1 error, 130 interrupted (the file "
      "being written is closed and stays playable).");
  convert->callback([path, exitCode] { RunConvert(*path, exitCode); });
}

}  // namespace vexlor::cli
