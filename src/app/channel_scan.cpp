// Channel scan: learns which channels carry decodable video, and their picture sizes, by feeding
// each channel's video frames to that channel's own decoder until it delivers a picture.
#include <algorithm>
#include <cstring>

#include "app/conversion_job.h"
#include "colour/yuv_to_rgb.h"
#include "h264/decoder.h"
#include "platform/file.h"

namespace vexlor::app {
namespace {

// Largest picture whose pixels a channel buffer grows to hold: the largest the decoder accepts
// (543 x 543 macroblocks), so that every picture it delivers can be kept.
constexpr size_t kMaxPictureBytes = size_t{543 * 16} * (543 * 16) * 4;
// Drain calls at the end of the scan before a channel is given up: one normally delivers the
// picture; the rest allow for failures while finishing it.
constexpr int kDrainCalls = 4;

bool StartsWithVideoStartCode(const container::MediaFrame& f) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  return std::memcmp(f.data.data() + container::kFrameHeaderSize, kStartCode, 4) == 0;
}

// Keeps the delivered picture in the channel's buffer. A picture that did not fit was reported
// but not converted by the decoder: the buffer grows and the picture is converted here from
// the planes the decoder handed back.
void KeepPicture(ConversionJob* job, int c, const h264::DecodeRequest& req) {
  // Frame cropping offsets count pairs of luma samples in 4:2:0 frames; offsets that would
  // leave nothing visible are ignored.
  int32_t* crop = job->picture_crops[c];
  const int64_t left = 2 * int64_t{req.cropLeft}, right = 2 * int64_t{req.cropRight};
  const int64_t top = 2 * int64_t{req.cropTop}, bottom = 2 * int64_t{req.cropBottom};
  const bool crop_ok = left >= 0 && right >= 0 && top >= 0 && bottom >= 0 &&
                       left + right < req.width && top + bottom < req.height;
  crop[0] = crop_ok ? int32_t(left) : 0;
  crop[1] = crop_ok ? int32_t(right) : 0;
  crop[2] = crop_ok ? int32_t(top) : 0;
  crop[3] = crop_ok ? int32_t(bottom) : 0;
  if (!job->keep_pictures) return;
  if (req.converted) {
    job->picture_widths[c] = req.width;
    job->picture_heights[c] = req.height;
    return;
  }
  job->picture_widths[c] = job->picture_heights[c] = 0;
  if (req.width <= 0 || req.height <= 0 || !req.luma || !req.cb || !req.cr) return;
  const size_t bytes = size_t(req.width) * size_t(req.height) * 4;
  if (bytes > kMaxPictureBytes) return;
  if (bytes > job->pictures[c].size()) job->pictures[c].resize(bytes);
  if (colour::ConvertPicture(req.luma, req.cb, req.cr, job->pictures[c].data(), req.width,
                             req.height)) {
    job->picture_widths[c] = req.width;
    job->picture_heights[c] = req.height;
  }
}

// A decode request with the channel's picture buffer as the target, when pictures are kept.
h264::DecodeRequest Request(ConversionJob* job, int c) {
  h264::DecodeRequest req{};
  if (job->keep_pictures) {
    req.rgbOut = job->pictures[c].data();
    req.rgbCapacity = static_cast<int32_t>(job->pictures[c].size());
  }
  return req;
}

// A delivered picture: kept, and its size becomes the channel's when its area differs from
// the size stored.
void TakePicture(ConversionJob* job, int c, const h264::DecodeRequest& req) {
  KeepPicture(job, c, req);
  const int64_t area = int64_t{req.width} * req.height;
  if (req.width > 0 && req.height > 0 && area != int64_t{job->widths[c]} * job->heights[c]) {
    job->widths[c] = req.width;
    job->heights[c] = req.height;
  }
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
    h264::H264Decoder* decoder = job->decoders[c];
    if (decoder == nullptr) continue;  // its creation failed: the channel gets no size
    fed[c] = true;
    uint8_t* p = frame->data.data() + container::kFrameHeaderSize;
    int32_t n = static_cast<int32_t>(frame->length - container::kFrameHeaderSize);
    for (int attempt = 0; attempt < kScanAttemptsPerFrame; ++attempt) {
      h264::DecodeRequest req = Request(job, c);
      req.stream = p;
      req.length = n;
      const int32_t r = h264::DecodeData(decoder, &req);
      if (req.status > 0) {
        TakePicture(job, c, req);
        break;
      }
      if (r > 0) {
        const int32_t step = std::min(r, n);
        p += step;
        n -= step;
      }
      if (n < 16) break;
    }
  }

  // The decoder finishes a picture only when the next one begins: at the end of the file or of
  // the frames scanned, a channel still without a size is drained, so that a picture still
  // inside its decoder (the only picture of the channel, say) counts too.
  for (int c = 0; c < kChannelCount && !cancelled; ++c) {
    if (!fed[c] || job->decoders[c] == nullptr || (job->widths[c] > 0 && job->heights[c] > 0)) {
      continue;
    }
    for (int call = 0; call < kDrainCalls; ++call) {
      h264::DecodeRequest req = Request(job, c);  // length 0: drain
      h264::DecodeData(job->decoders[c], &req);
      if (req.status > 0) {
        TakePicture(job, c, req);
        break;
      }
      if (req.status == 0) break;  // nothing left inside
    }
  }

  for (int c = 0; c < kChannelCount; ++c) {
    if (job->widths[c] > 0 && job->heights[c] > 0) return kChannelsFound;
  }
  return kNoChannelFound;
}

}  // namespace vexlor::app
