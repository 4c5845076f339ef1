// The conversion job: what a front end (the dialog or the command-line tool) owns for one
// recording, and the worker thread that converts it through the stages:
//
//   recording reader (container/recording_reader.h): the frames, one by one
//     -> channel scan (app/channel_scan.h): which channels carry video, and their sizes
//     -> conversion plan (app/conversion_plan.h): channels, clips, files and formats
//     -> writing (app/conversion_write.h): the frames of the plan's channels through one muxer
//        per file (mux/muxer.h), in one read of the recording or in one pass per channel
//
// Threads: the owner's thread opens and closes the recording, sets the options and starts and
// cancels the worker; the worker does the rest. While the worker runs the owner reads only
// Running(), read_position() and file_size(); it hears from the worker through
// ProgressSink::PostProgress, and reads the results (scan(), result(), channel_rates()) once the
// worker has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "app/channel_scan.h"
#include "app/conversion_settings.h"
#include "container/recording_reader.h"
#include "platform/status.h"

namespace vexlor::h264 {
struct H264Decoder;
}

namespace vexlor::app {

inline constexpr int64_t kMaxRecordingSize = 2147483648LL;  // 2 GB: the dialog's limit
// Values of ConversionJob::hold_point besides a channel number 0..15.
inline constexpr int kHoldNowhere = -1;
inline constexpr int kHoldInScan = -2;

// Kinds of ProgressEvent, with the value each carries.
enum ProgressKind : int {
  kScanStep = 0,    // value: scan counter i, 0..1023
  kWriteStep = 1,   // value: channel 0..15 being written (a pass of its own)
  kDone = 2,        // value: 0
  kNoChannel = 3,   // value: 0
  kWriteError = 4,  // value: channel whose file could not be created or written
  // Posted only under settings other than the defaults (the dialog never sees them).
  kSurveyStep = 5,  // value 0: a pass that finds the clips of a time range
  kSkipped = 6,     // value 0: skip_existing, and every file exists complete
  kReadStep = 7,    // value: the channels being written in the one read, bit c for channel c
};

// Implemented by each front end. Called on the worker thread for every event; it must return
// promptly and never wait for the front end's own thread.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void PostProgress(ProgressKind kind, int value) = 0;
};

enum WorkerResult : int32_t {
  kWorkerStopped = 0,   // no channel found, cancelled, or a file could not be written
  kWorkerFinished = 1,  // every channel written (or no recording open)
};

class ConversionJob;
using ScanFunction = ScanResult (*)(ConversionJob* job, ProgressSink* sink);

class ConversionJob {
 public:
  // Creates one decoder per channel (a slot stays empty when its creation fails). The decoders
  // live as long as the job: a second conversion of the dialog scans with them as the first
  // left them.
  ConversionJob();
  // Cancels and awaits a running worker, then releases everything.
  ~ConversionJob();
  ConversionJob(const ConversionJob&) = delete;
  ConversionJob& operator=(const ConversionJob&) = delete;

  // Closes any open recording, then opens `path` for reading and takes its size. Codes of the
  // reader (kIsDirectory, kNotRegularFile, kCannotOpen), kTooLarge at max_recording_size or
  // more (the recording is closed again), kInvalidArgument while a worker runs (nothing
  // changes).
  Status OpenRecording(const std::string& path);
  void CloseRecording();
  bool HasRecording() const { return reader_.is_open(); }
  const std::string& path() const { return reader_.path(); }
  int64_t file_size() const { return reader_.size(); }
  // How far the reading has come (bytes); safe from any thread.
  int64_t read_position() const { return reader_.position(); }

  // Starts the worker thread when none runs (returns true); otherwise does nothing and returns
  // false. sink may be null. The worker posts events to sink until it ends.
  bool StartConversion(ProgressSink* sink);
  // Asks a running worker to stop at its next frame; returns at once.
  void Cancel() { cancel_requested_.store(1); }
  bool CancelRequested() const { return cancel_requested_.load() != 0; }
  // Cancel, then wait until the worker has ended (returns at once when none runs). The files
  // being written are closed and stay valid.
  void CancelAndWait();
  // Waits for a running worker to end by itself.
  void Wait();
  bool Running() const { return job_running_.load() != 0; }

  // ---- options: set by the owner while no worker runs ----
  ConversionSettings settings;
  // Recordings of this size or more are refused; 0: any size (the command line).
  int64_t max_recording_size = kMaxRecordingSize;
  // Whether the scan keeps the latest picture of each channel (scan().pictures). The conversion
  // never looks at them: front ends that do not show them turn this off.
  bool keep_pictures = true;
  // Threads the scan decodes on: 0 for as many as the machine has cores, 1 to decode on the
  // worker itself. The results are the same either way.
  int scan_threads = 0;
  // Workers to decode on, shared by the jobs of a batch; null: the scan makes its own.
  ScanPool* scan_pool = nullptr;
  // The scan the worker runs; tests put a stand-in here to give channels their sizes.
  ScanFunction scan_channels = &ScanChannels;
  // For tests only, never set in normal use: a place where the worker stops and waits until a
  // cancel is requested, so that a test cancels at a known point whatever the speed of the
  // machine. kHoldInScan: after the scan's first frame; a channel number: after that channel's
  // first frame was written (its pass's first frame read, in a pass of its own).
  int hold_point = kHoldNowhere;

  // ---- results of the latest run: read them once the worker has ended ----
  const ChannelScan& scan() const { return scan_; }
  const ChannelResult& result(int channel) const { return results_[channel]; }
  // The measured frame rate of each channel written (0 for the others).
  const double* channel_rates() const { return channel_rates_; }
  WorkerResult last_result() const { return WorkerResult(last_result_.load()); }

  // ---- for the stages, on the worker thread ----
  container::RecordingReader& reader() { return reader_; }
  const container::RecordingReader& reader() const { return reader_; }
  ChannelScan& mutable_scan() { return scan_; }
  ChannelResult* mutable_results() { return results_; }
  double* mutable_channel_rates() { return channel_rates_; }
  h264::H264Decoder* decoder(int channel) const { return decoders_[channel]; }
  const std::atomic<int32_t>& cancel_flag() const { return cancel_requested_; }
  // Replaces the decoders by new ones, as a new job has them.
  void RenewDecoders();
  // Puts `decoder` (owned from now on; null for an empty slot, as when a creation failed) in
  // channel c's place.
  void SetDecoder(int channel, h264::H264Decoder* decoder);

 private:
  friend WorkerResult ConversionWorker(ConversionJob* job, ProgressSink* sink);
  void JoinFinishedWorker();
  void CreateDecoders();
  void DestroyDecoders();

  container::RecordingReader reader_;
  h264::H264Decoder* decoders_[kChannelCount] = {};
  ChannelScan scan_;
  ChannelResult results_[kChannelCount];
  double channel_rates_[kChannelCount] = {};
  std::atomic<int32_t> job_running_{0};
  std::atomic<int32_t> cancel_requested_{0};
  std::atomic<int32_t> last_result_{kWorkerStopped};
  std::thread worker_;
};

// The whole conversion on the calling thread (the worker thread runs it): Running() is true
// until it returns.
WorkerResult ConversionWorker(ConversionJob* job, ProgressSink* sink);

// The tests' hold point (ConversionJob::hold_point) named by `text`, the value of the
// environment variable VEXLOR_TEST_HOLD: "scan", or "CH_NN" for channel NN (01 to 16).
// kHoldNowhere for null or anything else; normal use never sets it.
int ParseHoldPoint(const char* text);

// Waits until a cancel is requested (the test hold point).
void HoldUntilCancelled(const ConversionJob& job);

// The status line for an event (kinds 0..7); `current` is returned for unknown kinds.
std::string ProgressText(const ConversionJob& job, int kind, int value, const std::string& current);
// The same from explicit values (used where the job's live position is not wanted).
std::string ProgressText(int kind, int value, int64_t read_position, int64_t file_size,
                         const double* channel_rates, const std::string& current);

// Texts shown outside the events.
inline constexpr const char* kNoneSelectText = "None Select";
inline constexpr const char* kTooLargeText = "Can Not Accept File Than 2GB";

}  // namespace vexlor::app
