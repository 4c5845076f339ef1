// The conversion job: the state that a front end (the dialog or the command-line tool) owns for
// one recording, and the worker thread that scans the recording's channels and writes one AVI
// file per channel.
//
// Threads: the owner's thread opens and closes the recording and starts and cancels the worker;
// the worker does the scan, the decoding and the writing. While the worker runs (job_running is
// 1) the owner leaves the recording, the frame and the per-channel tables alone; it talks to the
// worker only through job_running and cancel_requested, and hears from it only through
// ProgressSink::PostProgress.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/conversion_settings.h"
#include "container/recording.h"

namespace vexlor::h264 {
struct H264Decoder;
}

namespace vexlor::app {

inline constexpr int kChannelCount = 16;
inline constexpr int kScanFrameLimit = 1024;     // frames read by the channel scan at most
inline constexpr int kScanAttemptsPerFrame = 7;  // decode calls per frame before giving up
inline constexpr int64_t kMaxRecordingSize = 2147483648LL;  // 2 GB: refused from here on
// Values of ConversionJob::hold_point besides a channel number 0..15.
inline constexpr int kHoldNowhere = -1;
inline constexpr int kHoldInScan = -2;

// Kinds of ProgressEvent, with the value each carries.
enum ProgressKind : int {
  kScanStep = 0,    // value: scan counter i, 0..1023
  kWriteStep = 1,   // value: channel 0..15 being written
  kDone = 2,        // value: 0
  kNoChannel = 3,   // value: 0
  kWriteError = 4,  // value: channel whose file could not be created or written
  // Posted only under settings other than the defaults (the dialog never sees them).
  kSurveyStep = 5,  // value 0: the pass that finds the clips of a time range
  kSkipped = 6,     // value 0: skip_existing, and every file exists complete
};

// Results of ConversionJob::OpenRecording.
enum OpenResult : int {
  kOpened = 0,
  kCannotOpen = 1,
  kTooLarge = 2,  // 2 GB or more: refused, and closed again
  kBusy = 3,      // a conversion is running: nothing changed
  kIsDirectory = 4,
  kNotRegularFile = 5,  // a FIFO, a device: refused without opening it
};

// Results of the channel scan and of the conversion worker.
enum ScanResult : int {
  kNoChannelFound = 0,
  kChannelsFound = 1,  // at least one channel has a size
};
enum WorkerResult : int32_t {
  kWorkerStopped = 0,   // no channel found, cancelled, or a file could not be written
  kWorkerFinished = 1,  // every channel written (or no recording open)
};

// Implemented by each front end. Called on the worker thread for every event; it must return
// promptly and never wait for the front end's own thread.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void PostProgress(ProgressKind kind, int value) = 0;
};

class ConversionJob;
using ScanFunction = ScanResult (*)(ConversionJob* job, ProgressSink* sink);
// Finds the channels with decodable video among the first frames of the recording and their
// picture sizes. Posts kScanStep per loop turn.
ScanResult ScanChannels(ConversionJob* job, ProgressSink* sink);

class ConversionJob {
 public:
  // Allocates the frame and picture buffers and creates one decoder per channel (a slot stays
  // empty when its creation fails).
  ConversionJob();
  // Cancels and awaits a running worker, then releases everything.
  ~ConversionJob();
  ConversionJob(const ConversionJob&) = delete;
  ConversionJob& operator=(const ConversionJob&) = delete;

  // Closes any open recording, then opens `path` for reading and takes its size.
  OpenResult OpenRecording(const std::string& path);
  void CloseRecording();
  bool HasRecording() const { return source.file != nullptr; }

  // Starts the worker thread when none runs (returns true); otherwise does nothing and returns
  // false. sink may be null. The worker posts events to sink until it ends.
  bool StartConversion(ProgressSink* sink);
  // Raises cancel_requested and polls until the worker has ended (returns at once when none
  // runs). The file being written is closed and stays a valid AVI file.
  void CancelAndWait();
  // Waits for a running worker to end by itself.
  void Wait();
  bool Running() const { return job_running.load() != 0; }

  // ---- job state shared by the reader, the scan and the worker ----
  container::RecordingSource source;  // the open recording (file null when none)
  std::string path;                   // path of the open recording
  int64_t file_size = 0;              // its size in bytes when it was opened
  container::MediaFrame frame;        // the current frame

  // Whether the scan keeps the latest picture of each channel in pictures[]. The conversion
  // never looks at them: front ends that do not show them turn this off, and the pictures are
  // then neither converted to pixels nor held.
  bool keep_pictures = true;
  // Per-channel picture buffers: 32-bit pixels (blue, green, red, 0) of the latest picture the
  // scan decoded for the channel. A buffer starts empty and grows when a larger picture arrives.
  std::vector<uint8_t> pictures[kChannelCount];
  int32_t picture_widths[kChannelCount] = {};   // size of the picture held in pictures[c]
  int32_t picture_heights[kChannelCount] = {};  // (0 while it holds none)
  // The part of that picture the stream marks as not for display, in luma samples: left,
  // right, top, bottom. The AVI sizes are the full decoded sizes; a snapshot leaves this out.
  int32_t picture_crops[kChannelCount][4] = {};

  // Threads the scan decodes on: 0 for as many as the machine has cores, 1 to decode on the
  // calling thread. The results are the same either way.
  int scan_threads = 0;

  h264::H264Decoder* decoders[kChannelCount] = {};
  int32_t widths[kChannelCount] = {};  // channel sizes learned by the scan
  int32_t heights[kChannelCount] = {};

  std::atomic<int32_t> job_running{0};
  std::atomic<int32_t> cancel_requested{0};
  double channel_rates[kChannelCount] = {};  // measured frame rate per channel

  // WorkerResult of the latest worker run, valid once job_running is back to 0.
  std::atomic<int32_t> last_result{kWorkerStopped};

  // What the worker writes (defaults: everything, as the dialog converts), and what became of
  // each channel in the latest run (valid once job_running is back to 0).
  ConversionSettings settings;
  ChannelResult results[kChannelCount];

  // The scan the worker runs; tests put a stand-in here to give channels their sizes.
  ScanFunction scan_channels = &ScanChannels;

  // For tests only, never set in normal use: a place where the worker stops and waits until
  // cancel_requested is raised, so that a test cancels at a known point whatever the speed of
  // the machine. kHoldInScan: after the scan's first frame; a channel number: after the first
  // frame of that channel's pass (its kind-1 event posted).
  int hold_point = kHoldNowhere;

 private:
  void JoinFinishedWorker();
  std::thread worker_;
};

// The tests' hold point (ConversionJob::hold_point) named by `text`, the value of the
// environment variable VEXLOR_TEST_HOLD: "scan", or "CH_NN" for the pass of channel NN (01 to
// 16). kHoldNowhere for null or anything else; normal use never sets it.
int ParseHoldPoint(const char* text);

// Waits until cancel_requested is raised (the test hold point).
void HoldUntilCancelled(ConversionJob* job);

// A frame the scan decodes and the worker counts: not passthrough, and its data starts with the
// four-byte start code 00 00 00 01.
bool IsCountedVideoFrame(const container::MediaFrame& f);

// The whole conversion, run on the worker thread; clears job_running on every way out.
WorkerResult ConversionWorker(ConversionJob* job, ProgressSink* sink);

// Name of channel c's output file: the recording's path without its extension, then "_",
// the two digits of c + 1 and ".avi" (cam.kvr -> cam_01.avi for channel 0). A name without an
// extension keeps all of it (cam -> cam_01.avi).
std::string OutputName(const std::string& recording_path, int channel, const char* suffix = ".avi");
// The same name in another directory (output_dir empty: beside the recording).
std::string OutputNameIn(const std::string& output_dir, const std::string& recording_path,
                         int channel, const char* suffix = ".avi");

// Frame rate of a channel from its counted frames and the times (seconds) of the first and the
// last of them: counted / (t_last - t_first + 0.1f).
double MeasureRate(int64_t counted, double t_first, double t_last);
// The rate goes into the headers as dwRate / 100 and as 1,000,000 / rate microseconds per
// frame. A rate that is not positive (time stamps running backwards), not finite, or outside
// what those 32-bit fields hold leaves the values that Open wrote (24 frames per second).
bool FitsHeaders(double rate);

// The status line for an event (kinds 0..6); `current` is returned for unknown kinds.
std::string ProgressText(const ConversionJob& job, int kind, int value, const std::string& current);
// The same from explicit values (used where the job's live position is not wanted).
std::string ProgressText(int kind, int value, int64_t read_position, int64_t file_size,
                         const double* channel_rates, const std::string& current);

// Texts shown outside the events.
inline constexpr const char* kNoneSelectText = "None Select";
inline constexpr const char* kTooLargeText = "Can Not Accept File Than 2GB";

}  // namespace vexlor::app
