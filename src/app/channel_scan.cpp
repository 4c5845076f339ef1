// Channel scan: learns which channels carry decodable video, and their picture sizes, by feeding
// each channel's video frames to that channel's own decoder until it delivers a picture.
//
// The channels' decoders are independent, so the frames are decoded on worker threads (a
// ScanPool): the calling thread reads the frames, posts the progress events and watches for
// cancel exactly as a scan on one thread does, and queues the frames; a channel is decoded by
// one thread at a time, its frames in their order. Only the last picture a channel delivers ends
// up in its buffer, so the planes of each delivered picture are copied and only the last is
// converted to pixels, at the end.
#include "app/channel_scan.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/conversion_job.h"
#include "colour/yuv_to_rgb.h"
#include "container/recording_reader.h"
#include "h264/annexb.h"
#include "h264/api.h"
#include "h264/stream_facts.h"

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

// The latest picture a channel delivered, its planes packed (luma, then Cb, then Cr).
struct HeldPicture {
  std::vector<uint8_t> planes;
  int32_t width = 0, height = 0;
  bool held = false;
};

// What the decoding of one scan needs; each channel's entries are touched only by the thread
// that decodes the channel at the time.
struct ScanState {
  ChannelScan* scan;
  h264::H264Decoder* decoders[kChannelCount];
  bool keep_pictures;
  HeldPicture held[kChannelCount];
};

// A delivered picture: its crop and planes are kept, and its size becomes the channel's when its
// area differs from the size stored.
void TakePicture(ScanState* st, int c, const h264::PictureView& p) {
  ChannelScan* scan = st->scan;
  // Frame cropping offsets count pairs of luma samples in 4:2:0 frames; offsets that would
  // leave nothing visible are ignored.
  int32_t* crop = scan->picture_crops[c];
  const int64_t left = 2 * int64_t{p.cropLeft}, right = 2 * int64_t{p.cropRight};
  const int64_t top = 2 * int64_t{p.cropTop}, bottom = 2 * int64_t{p.cropBottom};
  const bool crop_ok = left >= 0 && right >= 0 && top >= 0 && bottom >= 0 &&
                       left + right < p.width && top + bottom < p.height;
  crop[0] = crop_ok ? int32_t(left) : 0;
  crop[1] = crop_ok ? int32_t(right) : 0;
  crop[2] = crop_ok ? int32_t(top) : 0;
  crop[3] = crop_ok ? int32_t(bottom) : 0;
  const int64_t area = int64_t{p.width} * p.height;
  if (p.width > 0 && p.height > 0 && area != int64_t{scan->widths[c]} * scan->heights[c]) {
    scan->widths[c] = p.width;
    scan->heights[c] = p.height;
  }
  if (!st->keep_pictures) return;
  HeldPicture* held = &st->held[c];
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
void DecodeFrame(ScanState* st, int c, const uint8_t* p, int32_t n) {
  h264::H264Decoder* decoder = st->decoders[c];
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
      TakePicture(st, c, picture);
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
void DrainChannel(ScanState* st, int c) {
  if (st->scan->HasSize(c)) return;
  for (int call = 0; call < kDrainCalls; ++call) {
    const h264::DecodeStatus done = h264::Drain(st->decoders[c]);
    h264::PictureView picture;
    if (h264::GetPicture(st->decoders[c], &picture) == h264::DecodeStatus::kOk) {
      TakePicture(st, c, picture);
      return;
    }
    if (done != h264::DecodeStatus::kError) return;  // nothing left inside
  }
}

// The channel's last picture into its buffer, as 32-bit pixels.
void ConvertHeldPicture(ScanState* st, int c) {
  const HeldPicture& held = st->held[c];
  if (!st->keep_pictures || !held.held) return;
  const size_t w = size_t(held.width), h = size_t(held.height);
  std::vector<uint8_t>& pixels = st->scan->pictures[c];
  if (w * h * 4 > pixels.size()) pixels.resize(w * h * 4);
  const uint8_t* cb = held.planes.data() + w * h;
  const uint8_t* cr = cb + (w / 2) * (h / 2);
  if (colour::ConvertPicture(held.planes.data(), cb, cr, pixels.data(), held.width, held.height)) {
    st->scan->picture_widths[c] = held.width;
    st->scan->picture_heights[c] = held.height;
  }
}

// The end of a channel's scan: drained unless cancelled, its last picture converted.
void FinishChannel(ScanState* st, int c, bool cancelled) {
  if (!cancelled) DrainChannel(st, c);
  ConvertHeldPicture(st, c);
}

// The decoding of one scan on a pool. A channel with queued frames has one task in the pool at a
// time; the task decodes the channel's oldest frame and queues itself again while frames remain,
// so the channels share the threads as their decoding costs come and a channel of large pictures
// does not hold up the others behind it.
class PooledDecoding {
 public:
  PooledDecoding(ScanState* st, ScanPool* pool) : st_(st), pool_(pool) {}
  ~PooledDecoding() { Finish(true); }

  // Queues a frame of channel c (waits while too many bytes are queued).
  void Queue(int c, const uint8_t* p, int32_t n) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [this] { return queued_bytes_ < kQueuedBytesLimit; });
    std::vector<uint8_t> bytes;
    if (!spare_.empty()) {
      bytes = std::move(spare_.back());
      spare_.pop_back();
    }
    bytes.assign(p, p + std::max(n, 0));
    queued_bytes_ += bytes.size();
    fed_[c] = true;
    queues_[c].push_back(std::move(bytes));
    if (!busy_[c]) {
      busy_[c] = true;
      pool_->Submit([this, c] { Run(c); });
    }
  }

  // Lets the queues run empty, finishes every channel that was fed and returns when all is done.
  void Finish(bool cancelled) {
    std::unique_lock lock(mutex_);
    if (!ending_) {
      ending_ = true;
      cancelled_ = cancelled;
      for (int c = 0; c < kChannelCount; ++c) {
        if (fed_[c] && !busy_[c] && !finished_[c]) {
          busy_[c] = true;
          pool_->Submit([this, c] { Run(c); });
        }
      }
    }
    done_.wait(lock, [this] {
      for (int c = 0; c < kChannelCount; ++c) {
        if (busy_[c] || (fed_[c] && !finished_[c])) return false;
      }
      return true;
    });
  }

 private:
  void Run(int c) {
    std::unique_lock lock(mutex_);
    if (!queues_[c].empty()) {
      std::vector<uint8_t> bytes = std::move(queues_[c].front());
      queues_[c].pop_front();
      lock.unlock();
      DecodeFrame(st_, c, bytes.data(), int32_t(bytes.size()));
      lock.lock();
      queued_bytes_ -= bytes.size();
      spare_.push_back(std::move(bytes));
      space_.notify_one();
      if (!queues_[c].empty() || ending_) {
        pool_->Submit([this, c] { Run(c); });  // stays busy
        return;
      }
    } else if (ending_ && !finished_[c]) {
      const bool cancelled = cancelled_;
      lock.unlock();
      FinishChannel(st_, c, cancelled);
      lock.lock();
      finished_[c] = true;
    }
    busy_[c] = false;
    done_.notify_all();
  }

  ScanState* st_;
  ScanPool* pool_;
  std::mutex mutex_;
  std::condition_variable space_, done_;
  std::deque<std::vector<uint8_t>> queues_[kChannelCount];
  std::vector<std::vector<uint8_t>> spare_;  // byte buffers of decoded frames, for reuse
  size_t queued_bytes_ = 0;
  bool busy_[kChannelCount] = {};      // the channel has a task in the pool
  bool fed_[kChannelCount] = {};       // frames of the channel were queued
  bool finished_[kChannelCount] = {};  // drained and converted
  bool ending_ = false;
  bool cancelled_ = false;
};

int CoreCount() {
  return std::clamp(int(std::thread::hardware_concurrency()), 1, kChannelCount);
}

}  // namespace

ScanPool::ScanPool(int threads) {
  const int n = threads > 0 ? std::min(threads, kChannelCount) : CoreCount();
  for (int t = 0; t < n; ++t) threads_.emplace_back([this] { Run(); });
}

ScanPool::~ScanPool() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ScanPool::Submit(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  work_.notify_one();
}

void ScanPool::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return ending_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

LearnedSize LearnChannelSize(container::RecordingReader& reader, int channel, int64_t offset,
                             int64_t index, ChannelScan* pictures) {
  LearnedSize learned;
  if (channel < 0 || channel >= kChannelCount || !reader.Restart(offset, index).ok()) {
    return learned;
  }
  h264::H264Decoder* decoder = nullptr;
  if (h264::OpenDecoder(h264::DecoderSettings{pictures == nullptr}, &decoder) !=
      h264::DecodeStatus::kOk) {
    return learned;
  }
  std::unique_ptr<h264::H264Decoder, void (*)(h264::H264Decoder*)> owned(decoder,
                                                                         &h264::CloseDecoder);
  ChannelScan scan;
  ScanState st{&scan, {}, pictures != nullptr, {}};
  st.decoders[channel] = decoder;
  h264::PictureOrderTracker headers;  // for the size and the reason when it does not decode
  container::Frame frame;
  for (int i = 0; i < kScanFrameLimit && reader.Next(&frame).ok(); ++i) {
    if (frame.channel != channel || !frame.counted) continue;
    learned.video = true;
    (void)headers.Add(frame.payload);
    DecodeFrame(&st, channel, frame.payload.data(), int32_t(frame.payload.size()));
    if (scan.HasSize(channel)) break;
  }
  if (learned.video) DrainChannel(&st, channel);
  if (scan.HasSize(channel)) {
    learned.width = learned.coded_width = scan.widths[channel];
    learned.height = learned.coded_height = scan.heights[channel];
    std::copy(scan.picture_crops[channel], scan.picture_crops[channel] + 4, learned.crop);
    learned.decoded = true;
    if (pictures != nullptr) {
      ConvertHeldPicture(&st, channel);
      pictures->pictures[channel] = std::move(scan.pictures[channel]);
      pictures->picture_widths[channel] = scan.picture_widths[channel];
      pictures->picture_heights[channel] = scan.picture_heights[channel];
      std::copy(learned.crop, learned.crop + 4, pictures->picture_crops[channel]);
    }
    return learned;
  }
  learned.unsupported = h264::UnsupportedReason(decoder);
  if (learned.unsupported.empty()) learned.unsupported = headers.UnsupportedReason();
  const h264::SequenceFacts* sequence = headers.ActiveSequence();
  if (!learned.unsupported.empty() && sequence != nullptr) {
    learned.width = sequence->width;
    learned.height = sequence->height;
    learned.coded_width = sequence->codedWidth;
    learned.coded_height = sequence->codedHeight;
  }
  return learned;
}

ScanResult ScanChannels(ConversionJob* job, ProgressSink* sink) {
  container::RecordingReader& reader = job->reader();
  ChannelScan* scan = &job->mutable_scan();
  *scan = ChannelScan{};
  // Pixels buffers keep their memory from one run to the next (the dialog scans again).
  ScanState st{scan, {}, job->keep_pictures, {}};
  for (int c = 0; c < kChannelCount; ++c) {
    st.decoders[c] = job->decoder(c);
    // Without pictures to keep, only which pictures come out matters: their samples are left
    // uncomputed, which gives the same sizes for a fraction of the work.
    if (st.decoders[c] != nullptr) {
      (void)h264::ApplySettings(st.decoders[c], h264::DecoderSettings{!job->keep_pictures});
    }
  }
  if (!reader.Rewind().ok()) return kNoChannelFound;

  // The decoding threads: the batch's pool, a pool of the scan's own, or none (scan_threads 1,
  // or a machine with one core): then the frames are decoded right here.
  std::unique_ptr<ScanPool> own_pool;
  ScanPool* pool = job->scan_pool;
  if (pool == nullptr && job->scan_threads != 1 && (job->scan_threads > 1 || CoreCount() > 1)) {
    own_pool = std::make_unique<ScanPool>(job->scan_threads);
    pool = own_pool.get();
  }
  std::unique_ptr<PooledDecoding> pooled;
  if (pool != nullptr && job->scan_threads != 1)
    pooled = std::make_unique<PooledDecoding>(&st, pool);

  bool fed[kChannelCount] = {};
  bool cancelled = false;
  container::Frame frame;
  for (int i = 0; i < kScanFrameLimit; ++i) {
    if (sink) sink->PostProgress(kScanStep, i);
    if (!reader.Next(&frame).ok()) break;
    if (i == 0 && job->hold_point == kHoldInScan) HoldUntilCancelled(*job);
    if (job->CancelRequested()) {
      cancelled = true;
      break;
    }
    if (!frame.counted) continue;

    const int c = frame.channel & 0x0F;
    if (st.decoders[c] == nullptr) continue;  // its creation failed: the channel gets no size
    fed[c] = true;
    scan->parameter_sets[c].NoteFrame(frame.payload);
    const auto n = static_cast<int32_t>(frame.payload.size());
    if (pooled) {
      pooled->Queue(c, frame.payload.data(), n);
    } else {
      DecodeFrame(&st, c, frame.payload.data(), n);
    }
  }

  if (pooled) {
    pooled->Finish(cancelled);
  } else {
    for (int c = 0; c < kChannelCount; ++c) {
      if (fed[c]) FinishChannel(&st, c, cancelled);
    }
  }
  return scan->AnyChannel() ? kChannelsFound : kNoChannelFound;
}

}  // namespace vexlor::app
