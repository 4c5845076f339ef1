// The channel scan: which channels carry decodable video, and their picture sizes, learned by
// feeding each channel's video frames among the first kScanFrameLimit frames of the recording to
// that channel's own decoder until it delivers a picture.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vexlor::container {
class RecordingReader;
}

namespace vexlor::app {

inline constexpr int kChannelCount = 16;
inline constexpr int kScanFrameLimit = 1024;     // frames read by the channel scan at most
inline constexpr int kScanAttemptsPerFrame = 7;  // decode calls per frame before giving up

enum ScanResult : int {
  kNoChannelFound = 0,
  kChannelsFound = 1,  // at least one channel has a size
};

// The sequence and picture parameter sets of a channel as they passed by: the latest of each
// kind and id, whole NAL units (header byte first, no start code).
class ParameterSets {
 public:
  // Takes note of the parameter sets among the NAL units of a video frame's data.
  void NoteFrame(std::span<const uint8_t> data);
  // Whether the data holds a sequence and a picture parameter set of its own.
  static bool Carries(std::span<const uint8_t> data);
  // Those in force: sequence sets first, then picture sets, each by id.
  std::vector<std::vector<uint8_t>> InForce() const;
  // The data of a video frame with these parameter sets in front of its first unit (after an
  // access unit delimiter), each with a four-byte start code, as an encoder places them.
  std::vector<uint8_t> Prepended(std::span<const uint8_t> data) const;
  bool empty() const { return sps_.empty() && pps_.empty(); }
  void Clear() {
    sps_.clear();
    pps_.clear();
  }

 private:
  struct Unit {
    uint32_t id;
    std::vector<uint8_t> bytes;
  };
  static void Keep(std::vector<Unit>* units, uint32_t id, std::span<const uint8_t> nal);
  std::vector<Unit> sps_, pps_;
};

// What the scan learned.
struct ChannelScan {
  int32_t widths[kChannelCount] = {};  // channel sizes (0: no picture decoded)
  int32_t heights[kChannelCount] = {};
  // Per-channel picture buffers: 32-bit pixels (blue, green, red, 0) of the latest picture the
  // scan decoded for the channel, when the job keeps pictures. A buffer starts empty and grows
  // when a larger picture arrives.
  std::vector<uint8_t> pictures[kChannelCount];
  int32_t picture_widths[kChannelCount] = {};   // size of the picture held in pictures[c]
  int32_t picture_heights[kChannelCount] = {};  // (0 while it holds none)
  // The part of the latest picture the stream marks as not for display, in luma samples: left,
  // right, top, bottom. The AVI sizes are the full decoded sizes; a snapshot leaves this out.
  int32_t picture_crops[kChannelCount][4] = {};
  // The parameter sets each channel's decoder was given.
  ParameterSets parameter_sets[kChannelCount];

  bool HasSize(int c) const { return widths[c] > 0 && heights[c] > 0; }
  bool AnyChannel() const {
    for (int c = 0; c < kChannelCount; ++c) {
      if (HasSize(c)) return true;
    }
    return false;
  }
};

// Threads that decode for the scans of a batch: every job's scan queues its channels' work
// here, so a batch of N recordings at once does not start N times one thread per core.
class ScanPool {
 public:
  // threads: 0 for as many as the machine has cores.
  explicit ScanPool(int threads = 0);
  ~ScanPool();
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;

  int threads() const { return int(threads_.size()); }
  // Runs `task` on one of the threads, tasks in the order they came.
  void Submit(std::function<void()> task);

 private:
  void Run();
  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<std::function<void()>> tasks_;
  bool ending_ = false;
  std::vector<std::thread> threads_;
};

class ConversionJob;
class ProgressSink;

// A channel's picture size learned outside the scan (a channel the scan did not find).
struct LearnedSize {
  int32_t width = 0, height = 0;
  int32_t crop[4] = {};  // left, right, top, bottom, in luma samples
  // The coded size (before cropping): width x height when decoded, else the parameter set's.
  int32_t coded_width = 0, coded_height = 0;
  bool decoded = false;  // a picture was decoded; else the size is its parameter set's
  bool video = false;    // the channel's video frames were seen
  // Why the decoder does not decode the channel ("High profile: CABAC, 8x8 transform"); empty
  // when it does.
  std::string unsupported;
  bool HasSize() const { return width > 0 && height > 0; }
};

// Learns channel c's picture size the way the scan does, from the frames read from `offset`
// (which becomes frame `index`): its video frames go to a decoder of its own until a picture is
// delivered, over at most kScanFrameLimit frames of the recording. When none comes because the
// channel is coded with tools the decoder lacks, the size its sequence parameter set states
// (cropped) is taken. Leaves the reader wherever it stopped. With `pictures`, the picture
// decoded is kept there as the scan keeps it (pictures[channel], picture_widths ...).
LearnedSize LearnChannelSize(container::RecordingReader& reader, int channel, int64_t offset,
                             int64_t index, ChannelScan* pictures = nullptr);

// Scans the job's open recording from its start with the job's decoders into job->scan():
// posts kScanStep per loop turn, watches the cancel flag. Decodes on the job's scan_pool, or on
// threads of its own, or (scan_threads 1) on the calling thread; the results are the same.
ScanResult ScanChannels(ConversionJob* job, ProgressSink* sink);

}  // namespace vexlor::app
