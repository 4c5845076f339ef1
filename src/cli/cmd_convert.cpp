// `vexlor convert`: the conversion job from the command line, with the dialog's status texts;
// several recordings at once, a choice of channels and of a time range, answers for scripts.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/conversion_job.h"
#include "commands.h"
#include "convert_batch.h"
#include "convert_options.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "recording_commands.h"
#include "standard_streams.h"

namespace vexlor::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(50);  // at most 20 redraws a second

std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

double Now() {
  using namespace std::chrono;
  return double(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) / 1e6;
}

// Receives the worker's events without ever waiting: the latest event for the redraws, and
// every change of phase (scan, each channel's pass, the end) in a fixed list.
class CliProgressSink : public app::ProgressSink {
 public:
  struct Phase {
    int kind, value;
    int64_t read_position;
  };
  static constexpr int kMaxPhases = 64;  // a conversion has at most 1 + 1 + 16 + 1

  explicit CliProgressSink(const app::ConversionJob* job) : job_(job) {}

  void PostProgress(app::ProgressKind kind, int value) override {
    latest_.store(Pack(kind, value), std::memory_order_release);
    // A new phase: the scan starts, a channel's pass starts, or the end.
    if (kind != last_kind_ || (kind == app::kWriteStep && value != last_value_)) {
      last_kind_ = kind;
      last_value_ = value;
      const int n = phase_count_.load(std::memory_order_relaxed);
      if (n < kMaxPhases) {
        phases_[n] = {kind, value, job_->read_position()};
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

// The tests' hold point (see ConversionJob::hold_point) from VEXLOR_TEST_HOLD: "scan", or
// "CH_NN" for the pass of channel NN (01 to 16), optionally after "NAME:" to hold only the
// recording whose file name is NAME. Unset in normal use.
int TestHoldPoint(const std::string& recording_path) {
  const char* env = std::getenv("VEXLOR_TEST_HOLD");
  if (env == nullptr) return app::kHoldNowhere;
  std::string hold = env;
  if (const size_t colon = hold.rfind(':'); colon != std::string::npos) {
    const size_t slash = recording_path.find_last_of(platform::kPathSeparators);
    const std::string name =
        slash == std::string::npos ? recording_path : recording_path.substr(slash + 1);
    if (hold.substr(0, colon) != name) return app::kHoldNowhere;
    hold = hold.substr(colon + 1);
  }
  return app::ParseHoldPoint(hold.c_str());
}

// One recording of the command line, from its start to its report.
struct Conversion {
  enum State { kWaiting, kRunning, kFinished };
  BatchItem item;
  State state = kWaiting;
  std::unique_ptr<app::ConversionJob> job;
  std::unique_ptr<CliProgressSink> sink;
  std::string shown;  // the status text last shown
  int phases_printed = 0;
  // --report: the recording's bytes as the conversion reads them, and when it started.
  std::unique_ptr<platform::Sha256> hash;
  double started = 0;
};

class ConvertRun {
 public:
  ConvertRun(const ConvertOptions& options, BatchOutput* output)
      : options_(options), out_(output), conversions_(options.recordings.size()) {
    for (size_t i = 0; i < conversions_.size(); ++i) {
      conversions_[i].item.path = options.recordings[i];
    }
  }

  int Run() {
    if (int code = PrepareOutputDir(options_, out_); code != kExitDone) return code;
    std::vector<BatchItem*> items;
    for (Conversion& c : conversions_) items.push_back(&c.item);
    MarkDuplicateOutputs(options_, items);
    MarkOutputsThatAreInputs(options_, items);
    const size_t slots = JobSlots(options_.jobs, conversions_.size());

    // Ctrl-C, a closed terminal or a termination request cancel the conversions cleanly (the
    // files being written are finished); a reader of our output that goes away does not end
    // the process in the middle of a file.
    platform::InterruptGuard interrupt_guard;
    for (;;) {
      if (platform::InterruptGuard::Interrupted()) {
        CancelAll();
        break;
      }
      size_t running = 0, finished = 0;
      for (Conversion& c : conversions_) {
        if (c.state == Conversion::kRunning && !c.job->Running()) Finish(&c);
        running += c.state == Conversion::kRunning;
      }
      for (Conversion& c : conversions_) {
        if (running >= slots) break;
        if (c.state == Conversion::kWaiting && Start(&c)) ++running;
      }
      for (Conversion& c : conversions_) finished += c.state == Conversion::kFinished;
      ShowProgress(finished);
      if (finished == conversions_.size()) break;
      std::this_thread::sleep_for(kRedrawInterval);
    }
    std::vector<const BatchItem*> done;
    for (const Conversion& c : conversions_) done.push_back(&c.item);
    return out_->Close(done);
  }

 private:
  // Opens the recording and starts its worker; a recording that cannot start is finished.
  bool Start(Conversion* c) {
    if (c->item.result.empty()) {
      c->job = std::make_unique<app::ConversionJob>();
      if (OpenForBatch(c->job.get(), options_, &c->item)) {
        out_->Range(c->item);
        c->job->hold_point = TestHoldPoint(c->item.path);
        c->job->keep_pictures = false;    // only the sizes matter here
        c->job->scan_pool = &scan_pool_;  // the recordings of a batch share the decoding threads
        // VEXLOR_SCAN_THREADS=N: the scan on N threads (1: on the worker itself), for
        // benchmarks; unset, as many as the machine has cores.
        if (const char* threads = std::getenv("VEXLOR_SCAN_THREADS")) {
          c->job->scan_threads = std::atoi(threads);
        }
        if (options_.report) {
          c->started = Now();
          c->hash = std::make_unique<platform::Sha256>();
          c->job->reader().SetByteObserver(
              [hash = c->hash.get()](std::span<const uint8_t> bytes) { hash->Update(bytes); });
        }
        c->sink = std::make_unique<CliProgressSink>(c->job.get());
        c->job->StartConversion(c->sink.get());
        c->state = Conversion::kRunning;
        return true;
      }
      c->job.reset();
    }
    c->state = Conversion::kFinished;  // refused before its start
    out_->Report(c->item);
    return false;
  }

  static bool IsFinalKind(int kind) {
    return kind == app::kDone || kind == app::kNoChannel || kind == app::kWriteError ||
           kind == app::kSkipped;
  }

  // Prints the phases not printed yet, all of them or all but the last `keep`.
  void PrintPhases(Conversion* c, int keep = 0) {
    for (const int n = c->sink->PhaseCount() - keep; c->phases_printed < n; ++c->phases_printed) {
      const CliProgressSink::Phase& p = c->sink->PhaseAt(c->phases_printed);
      c->shown = app::ProgressText(p.kind, p.value, p.read_position, c->job->file_size(),
                                   c->job->channel_rates(), c->shown);
      out_->Line(c->item, c->shown);
    }
  }

  // The live status: on a terminal the latest event of every running recording, otherwise
  // each new phase as a line of its own.
  void ShowProgress(size_t finished) {
    std::vector<std::pair<const BatchItem*, std::string>> live;
    for (Conversion& c : conversions_) {
      if (c.state != Conversion::kRunning) continue;
      if (!out_->terminal()) {
        // A final text waits for Finish, which prints first why a file could not be written.
        const int count = c.sink->PhaseCount();
        const bool final = count > 0 && IsFinalKind(c.sink->PhaseAt(count - 1).kind);
        PrintPhases(&c, final ? 1 : 0);
        continue;
      }
      int kind, value;
      if (c.sink->Latest(&kind, &value)) c.shown = app::ProgressText(*c.job, kind, value, c.shown);
      live.emplace_back(&c.item, c.shown);
    }
    out_->Live(live, finished, conversions_.size());
  }

  // The worker has ended (by itself or cancelled): the final status line and the report.
  void Finish(Conversion* c) {
    c->job->Wait();
    int kind = -1, value = 0;
    const bool has_kind = c->sink->Latest(&kind, &value);
    // A cancelled scan ends as one that found no channel: no final text says so.
    const bool scan_cancelled = has_kind && kind == app::kNoChannel && c->job->CancelRequested();
    CollectResults(*c->job, kind, options_, &c->item);
    if (options_.report && c->item.result == "done") Report(c);
    // A file that could not be written says why before the final status line.
    if (!out_->terminal()) PrintPhases(c, 1);
    if (!c->item.error.empty()) {
      out_->Error(c->item.error);
      c->item.error_shown = true;
    }
    if (!out_->terminal()) PrintPhases(c);
    if (has_kind && !scan_cancelled) {
      const std::string final_text = app::ProgressText(*c->job, kind, value, c->shown);
      if (out_->terminal() || final_text != c->shown) out_->Final(c->item, final_text);
      c->shown = final_text;
    }
    c->item.status = c->shown;
    c->job.reset();
    c->sink.reset();
    c->state = Conversion::kFinished;
    out_->Report(c->item);
  }

  // The conversion's report: the recording hashed to its end (the reading may have stopped
  // before it), then every file.
  void Report(Conversion* c) {
    container::RecordingReader& reader = c->job->reader();
    Status s = reader.FinishObserving();
    platform::Sha256Digest digest{};
    if (s.ok()) s = c->hash->Final(&digest);
    if (!s.ok() || !WriteConversionReport(*c->job, options_, platform::HexDigest(digest),
                                          reader.observed_bytes(), c->started, Now(), &c->item)) {
      if (!s.ok()) c->item.error = "error: " + s.message();
      c->item.exit_code = kExitError;
      c->item.result = "error";
    }
  }

  // Ctrl-C: every running conversion stops at its next frame and closes its file; those not
  // started stay so.
  void CancelAll() {
    for (Conversion& c : conversions_) {
      if (c.state == Conversion::kRunning) c.job->Cancel();
    }
    for (Conversion& c : conversions_) {
      if (c.state == Conversion::kRunning) {
        c.job->CancelAndWait();
        Finish(&c);
      } else if (c.state == Conversion::kWaiting) {
        c.item.exit_code = kExitCancelled;
        c.item.result = "not_started";
        c.state = Conversion::kFinished;
        out_->Report(c.item);
      }
    }
  }

  const ConvertOptions& options_;
  BatchOutput* out_;
  app::ScanPool scan_pool_;
  std::vector<Conversion> conversions_;
};

}  // namespace

void SetCommandLine(const std::vector<std::string>& arguments) {
  Arguments() = arguments;
}

void RegisterConvert(CLI::App& app, int* exitCode) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* convert = app.add_subcommand(
      "convert", "Write one AVI file per channel beside the recording (REC_01.avi ... REC_16.avi)");
  AddConvertOptions(convert, options.get());
  convert->footer(
      "Exit status: 0 done, 2 no file written (no channel with video found, or none selected or "
      "in the time range), 1 error, 130 interrupted (the file being written is closed and stays "
      "playable). With several recordings: the worst of them.");
  convert->callback([options, exitCode] {
    PrepareLocalTime();
    options->command_line = Arguments();
    if (const std::string error = MakeCorrection(options.get()); !error.empty()) {
      PrintLine(stderr, error);
      *exitCode = kExitError;
      return;
    }
    BatchOutput output(*options);
    *exitCode = ConvertRun(*options, &output).Run();
  });
}

}  // namespace vexlor::cli
