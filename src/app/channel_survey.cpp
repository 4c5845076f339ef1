// The survey pass: every frame of the recording is read once and sorted into its channel's
// counts; with a time range it also finds each channel's clip.
#include "app/channel_survey.h"

#include <cstdio>
#include <limits>
#include <span>

#include "avi/avi_writer.h"
#include "container/recording.h"
#include "h264/annexb.h"
#include "platform/file.h"

namespace vexlor::app {

double FrameTime(const container::MediaFrame& f) {
  return f.frame_ticks * (1.0 / 60) + static_cast<double>(f.frame_seconds);
}

void ChannelSurvey::FileRate(uint32_t* rate, uint32_t* scale) const {
  const double measured = MeasureRate(counted, t_first, counted == 1 ? t_first : t_last);
  if (FitsHeaders(measured)) {
    *scale = 100;
    *rate = static_cast<uint32_t>(measured * 100.0);
  } else {  // the writer's default
    *scale = 1;
    *rate = static_cast<uint32_t>(avi::AviWriterSettings{}.frame_rate);
  }
}

bool FirstCountedTime(ConversionJob* job, double* t) {
  if (job->source.file == nullptr || job->Running()) return false;
  platform::SeekFile(job->source.file, 0, SEEK_SET);
  job->source.read_position.store(0);
  job->frame.length = 0;
  while (container::ReadNextFrame(&job->source, &job->frame) == 1) {
    if (IsCountedVideoFrame(job->frame)) {
      *t = FrameTime(job->frame);
      return true;
    }
  }
  return false;
}

int SurveyChannels(ConversionJob* job, const TimeRange& range, ChannelSurvey survey[kChannelCount],
                   ProgressSink* sink) {
  enum Phase { kBefore, kInside, kAfter };
  Phase phase[kChannelCount];
  int64_t last_key[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    survey[c] = ChannelSurvey{};
    phase[c] = kBefore;
    last_key[c] = kNoFrame;
  }
  container::MediaFrame* frame = &job->frame;
  platform::SeekFile(job->source.file, 0, SEEK_SET);
  job->source.read_position.store(0);
  frame->length = 0;

  for (int64_t n = 0; container::ReadNextFrame(&job->source, frame) == 1; ++n) {
    if (job->cancel_requested.load() == 1) return 0;
    if (sink) sink->PostProgress(kSurveyStep, 0);
    const int c = frame->channel & 0x0F;
    ChannelSurvey& s = survey[c];
    const bool counted = IsCountedVideoFrame(*frame);
    // What the writing pass would do with the frame: it writes counted and passthrough frames,
    // as far as the writer takes them.
    const bool written =
        (counted || frame->passthrough) && frame->length >= container::kFrameHeaderSize;
    const container::FrameKind chunk =
        written ? container::KindOfFrame(frame->data.data(), frame->length)
                : container::FrameKind::kOther;
    s.video_frames += chunk == container::FrameKind::kVideo;
    s.audio_frames += chunk == container::FrameKind::kAudio;
    double t = 0;
    if (counted) {
      t = FrameTime(*frame);
      if (s.counted == 0) s.t_first = t;
      s.t_last = t;
      ++s.counted;
    }

    switch (phase[c]) {
      case kBefore:
        if (chunk == container::FrameKind::kVideo &&
            h264::HoldsIdrSlice(
                std::span<const uint8_t>(frame->data.data() + container::kFrameHeaderSize,
                                         frame->length - container::kFrameHeaderSize))) {
          last_key[c] = n;
        }
        if (counted && range.Contains(t)) {
          // Without a key frame before it the clip starts here, as the recording does.
          s.clip_begin = last_key[c] != kNoFrame ? last_key[c] : n;
          s.clip_starts_before = s.clip_begin != n;
          s.clip_end = std::numeric_limits<int64_t>::max();
          phase[c] = kInside;
        }
        break;
      case kInside:
        if (counted && range.has_to && t > range.to) {
          s.clip_end = n;
          phase[c] = kAfter;
        }
        break;
      case kAfter:
        break;
    }
  }
  return 1;
}

}  // namespace vexlor::app
