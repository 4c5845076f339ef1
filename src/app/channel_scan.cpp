// Channel scan: learns which channels carry decodable video, and their picture sizes, by feeding
// each channel's video frames to that channel's own decoder until it delivers a picture.
//
// The channels' decoders are independent, so the frames are decoded on worker threads: the
// calling thread reads the frames, posts the progress events and watches for cancel exactly as a
// scan on one thread does, and queues the frames for the workers; a channel is decoded by one
// worker at a time, its frames in their order. Only the last picture a channel delivers ends up in its buffer, so the
// planes of each delivered picture are copied and only the last is converted to pixels, at the
// end.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/conversion_job.h"
#include "colour/yuv_to_rgb.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "platform/file.h"

namespace vexlor::app {
namespace {

// Largest picture whose pixels a channel buffer grows to hold: the largest the decoder accepts
// (543 x 543 macroblocks), so that every picture it delivers can be kept.
constexpr size_t kMaxPictureBytes = size_t{543 * 16} * (543 * 16) * 4;
// Drain calls at the end of the scan before a channel is given up: one normally delivers the
// picture; the rest allow for failures while finishing it.
constexpr int kDrainCalls = 4;
// Frame bytes waiting for the workers at most; the reader waits while more are queued.
constexpr size_t kQueuedBytesLimit = size_t{16} << 20;

bool StartsWithVideoStartCode(const container::MediaFrame& f) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  return std::memcmp(f.data.data() + container::kFrameHeaderSize, kStartCode, 4) == 0;
}

// The latest picture a channel delivered, its planes packed (luma, then Cb, then Cr).
struct HeldPicture {
  std::vector<uint8_t> planes;
  int32_t width = 0, height = 0;
  bool held = false;
};

// A delivered picture: its crop and planes are kept, and its size becomes the channel's when its
// area differs from the size stored.
void TakePicture(ConversionJob* job, int c, const h264::PictureView& p, HeldPicture* held) {
  // Frame cropping offsets count pairs of luma samples in 4:2:0 frames; offsets that would
  // leave nothing visible are ignored.
  int32_t* crop = job->picture_crops[c];
  const int64_t left = 2 * int64_t{p.cropLeft}, right = 2 * int64_t{p.cropRight};
  const int64_t top = 2 * int64_t{p.cropTop}, bottom = 2 * int64_t{p.cropBottom};
  const bool crop_ok = left >= 0 && right >= 0 && top >= 0 && bottom >= 0 &&
                       left + right < p.width && top + bottom < p.height;
  crop[0] = crop_ok ? int32_t(left) : 0;
  crop[1] = crop_ok ? int32_t(right) : 0;
  crop[2] = crop_ok ? int32_t(top) : 0;
  crop[3] = crop_ok ? int32_t(bottom) : 0;
  const int64_t area = int64_t{p.width} * p.height;
  if (p.width > 0 && p.height > 0 && area != int64_t{job->widths[c]} * job->heights[c]) {
    job->widths[c] = p.width;
    job->heights[c] = p.height;
  }
  if (!job->keep_pictures) return;
  held->held = false;
  if (p.width <= 0 || p.height <= 0 || !p.luma || !p.cb || !p.cr) return;
  if (size_t(p.width) * size_t(p.height) * 4 > kMaxPictureBytes) return;
  const size_t w = size_t(p.width), h = size_t(p.height), cw = w / 2, ch = h / 2;
  if (held->planes.size() < w * h + 2 * cw * ch) held->planes.resize(w * h + 2 * cw * ch);
  uint8_t* out = held->planes.data();
  for (size_t y = 0; y < h; ++y, out += w) std::memcpy(out, p.luma + y * p.lumaStride, w);
  for (const uint8_t* plane : {p.cb, p.cr}) {
    for (size_t y = 0; y < ch; ++y, out += cw) std::memcpy(out, plane + y * p.chromaStride, cw);
  }
  held->width = p.width;
  held->height = p.height;
  held->held = true;
}

// Decodes one video frame: NAL unit after NAL unit, until a picture is delivered, the data runs
// short or the attempts are used up.
void DecodeFrame(ConversionJob* job, int c, const uint8_t* p, int32_t n, HeldPicture* held) {
  h264::H264Decoder* decoder = job->decoders[c];
  for (int attempt = 0; attempt < kScanAttemptsPerFrame; ++attempt) {
    int32_t unit = 0;
    if (n > 0) {
      unit = h264::FindNalUnitLength(p, n);
      (void)h264::SendNalUnit(decoder, {p, static_cast<size_t>(unit)});
    } else {
      (void)h264::Drain(decoder);
    }
    // A picture that is ready is taken even when this unit failed.
    h264::PictureView picture;
    if (h264::GetPicture(decoder, &picture) == h264::DecodeStatus::kOk) {
      TakePicture(job, c, picture, held);
      return;
    }
    if (unit > 0) {
      const int32_t step = std::min(unit, n);
      p += step;
      n -= step;
    }
    if (n < 16) return;
  }
}

// The decoder finishes a picture only when the next one begins: at the end of the file or of the
// frames scanned, a channel still without a size is drained, so that a picture still inside its
// decoder (the only picture of the channel, say) counts too.
void DrainChannel(ConversionJob* job, int c, HeldPicture* held) {
  if (job->widths[c] > 0 && job->heights[c] > 0) return;
  for (int call = 0; call < kDrainCalls; ++call) {
    const h264::DecodeStatus done = h264::Drain(job->decoders[c]);
    h264::PictureView picture;
    if (h264::GetPicture(job->decoders[c], &picture) == h264::DecodeStatus::kOk) {
      TakePicture(job, c, picture, held);
      return;
    }
    if (done != h264::DecodeStatus::kError) return;  // nothing left inside
  }
}

// The channel's last picture into its buffer, as 32-bit pixels.
void ConvertHeldPicture(ConversionJob* job, int c, const HeldPicture& held) {
  if (!job->keep_pictures || !held.held) return;
  const size_t w = size_t(held.width), h = size_t(held.height);
  if (w * h * 4 > job->pictures[c].size()) job->pictures[c].resize(w * h * 4);
  const uint8_t* cb = held.planes.data() + w * h;
  const uint8_t* cr = cb + (w / 2) * (h / 2);
  if (colour::ConvertPicture(held.planes.data(), cb, cr, job->pictures[c].data(), held.width,
                             held.height)) {
    job->picture_widths[c] = held.width;
    job->picture_heights[c] = held.height;
  }
}

// One channel's video frame waiting for a worker.
struct QueuedFrame {
  uint64_t sequence = 0;  // its place in the reading order
  std::vector<uint8_t> bytes;
};

// The workers of one scan. A worker takes the oldest queued frame of a channel that no other
// worker is decoding, so a channel is decoded by one worker at a time and its frames in the
// order they were read, while the channels share the workers as their decoding costs come: a
// channel of large pictures does not hold up the others behind it.
class ScanWorkers {
 public:
  ScanWorkers(ConversionJob* job, HeldPicture* held, int count) : job_(job), held_(held) {
    for (int w = 0; w < count; ++w) threads_.emplace_back([this] { Run(); });
  }
  ~ScanWorkers() { Finish(false); }

  // Queues a frame of channel c (waits while too many bytes are queued).
  void Queue(int c, const uint8_t* p, int32_t n) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [this] { return queued_bytes_ < kQueuedBytesLimit; });
    QueuedFrame frame;
    if (!spare_.empty()) {
      frame.bytes = std::move(spare_.back());
      spare_.pop_back();
    }
    frame.sequence = next_sequence_++;
    frame.bytes.assign(p, p + std::max(n, 0));
    queued_bytes_ += frame.bytes.size();
    fed_[c] = true;
    queues_[c].push_back(std::move(frame));
    work_.notify_one();
  }

  // Lets the workers finish the queues, drain the channels unless cancelled, and convert the
  // channels' last pictures; returns when all have ended.
  void Finish(bool cancelled) {
    {
      std::lock_guard lock(mutex_);
      if (ending_) return;
      ending_ = true;
      cancelled_ = cancelled;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  // The channel a worker takes on next: the one, among those no worker holds, whose oldest
  // queued frame was read first; once the reading has ended, a fed channel with nothing queued
  // is taken to be finished. -1 when there is nothing to take now.
  int Pick(bool* finishing) const {
    int best = -1;
    for (int c = 0; c < kChannelCount; ++c) {
      if (busy_[c] || queues_[c].empty()) continue;
      if (best < 0 || queues_[c].front().sequence < queues_[best].front().sequence) best = c;
    }
    *finishing = false;
    if (best >= 0 || !ending_) return best;
    for (int c = 0; c < kChannelCount; ++c) {
      if (fed_[c] && !busy_[c] && !finished_[c]) {
        *finishing = true;
        return c;
      }
    }
    return -1;
  }

  // Whether every channel's work is done (nothing queued, held or left to finish).
  bool AllDone() const {
    for (int c = 0; c < kChannelCount; ++c) {
      if (busy_[c] || !queues_[c].empty() || (fed_[c] && !finished_[c])) return false;
    }
    return true;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      bool finishing = false;
      int c = -1;
      work_.wait(lock, [&] {
        c = Pick(&finishing);
        return c >= 0 || (ending_ && AllDone());
      });
      if (c < 0) break;
      busy_[c] = true;
      if (finishing) {
        finished_[c] = true;
        const bool cancelled = cancelled_;
        lock.unlock();
        if (!cancelled) DrainChannel(job_, c, &held_[c]);
        ConvertHeldPicture(job_, c, held_[c]);
        lock.lock();
        busy_[c] = false;
        work_.notify_all();
        continue;
      }
      QueuedFrame frame = std::move(queues_[c].front());
      queues_[c].pop_front();
      lock.unlock();
      DecodeFrame(job_, c, frame.bytes.data(), int32_t(frame.bytes.size()), &held_[c]);
      lock.lock();
      busy_[c] = false;
      queued_bytes_ -= frame.bytes.size();
      spare_.push_back(std::move(frame.bytes));
      space_.notify_one();
      // The channel may be taken again, and at the end others may wait for it to finish.
      work_.notify_all();
    }
  }

  ConversionJob* job_;
  HeldPicture* held_;
  std::mutex mutex_;
  std::condition_variable work_, space_;
  std::deque<QueuedFrame> queues_[kChannelCount];
  std::vector<std::vector<uint8_t>> spare_;  // byte buffers of decoded frames, for reuse
  size_t queued_bytes_ = 0;
  uint64_t next_sequence_ = 0;
  bool busy_[kChannelCount] = {};      // a worker holds the channel
  bool fed_[kChannelCount] = {};       // frames of the channel were queued
  bool finished_[kChannelCount] = {};  // drained and converted
  bool ending_ = false;
  bool cancelled_ = false;
  std::vector<std::thread> threads_;
};

int ScanThreadCount(const ConversionJob& job) {
  if (job.scan_threads > 0) return std::min(job.scan_threads, kChannelCount);
  const int cores = int(std::thread::hardware_concurrency());
  return std::clamp(cores, 1, kChannelCount);
}

}  // namespace

bool IsCountedVideoFrame(const container::MediaFrame& f) {
  return !f.passthrough && StartsWithVideoStartCode(f);
}

ScanResult ScanChannels(ConversionJob* job, ProgressSink* sink) {
  container::RecordingSource* src = &job->source;
  container::MediaFrame* frame = &job->frame;
  platform::SeekFile(src->file, 0, SEEK_SET);
  src->read_position.store(0);
  frame->length = 0;
  for (int c = 0; c < kChannelCount; ++c) {
    job->widths[c] = job->heights[c] = 0;
    job->picture_widths[c] = job->picture_heights[c] = 0;
    for (int32_t& side : job->picture_crops[c]) side = 0;
  }

  std::vector<HeldPicture> held(kChannelCount);
  const int threads = ScanThreadCount(*job);
  std::unique_ptr<ScanWorkers> workers;
  if (threads > 1) workers = std::make_unique<ScanWorkers>(job, held.data(), threads);

  bool fed[kChannelCount] = {};
  bool cancelled = false;
  for (int i = 0; i < kScanFrameLimit; ++i) {
    if (sink) sink->PostProgress(kScanStep, i);
    if (container::ReadNextFrame(src, frame) == 0) break;
    if (i == 0 && job->hold_point == kHoldInScan) HoldUntilCancelled(job);
    if (job->cancel_requested.load() == 1) {
      cancelled = true;
      break;
    }
    if (!IsCountedVideoFrame(*frame)) continue;

    const int c = frame->channel & 0x0F;
    if (job->decoders[c] == nullptr) continue;  // its creation failed: the channel gets no size
    fed[c] = true;
    const uint8_t* p = frame->data.data() + container::kFrameHeaderSize;
    const int32_t n = static_cast<int32_t>(frame->length - container::kFrameHeaderSize);
    if (workers) {
      workers->Queue(c, p, n);
    } else {
      DecodeFrame(job, c, p, n, &held[size_t(c)]);
    }
  }

  if (workers) {
    workers->Finish(cancelled);
  } else {
    for (int c = 0; c < kChannelCount; ++c) {
      if (!fed[c]) continue;
      if (!cancelled) DrainChannel(job, c, &held[size_t(c)]);
      ConvertHeldPicture(job, c, held[size_t(c)]);
    }
  }

  for (int c = 0; c < kChannelCount; ++c) {
    if (job->widths[c] > 0 && job->heights[c] > 0) return kChannelsFound;
  }
  return kNoChannelFound;
}

}  // namespace vexlor::app
