// The survey pass: every frame of the recording is read once and sorted into its channel's
// counts; with a time range it also finds whether each channel's clip holds anything.
#include "app/channel_survey.h"

#include <memory>
#include <utility>

#include "app/conversion_plan.h"
#include "avi/avi_muxer.h"

namespace vexlor::app {

void ChannelSurvey::FileRate(uint32_t* rate, uint32_t* scale) const {
  avi::FileRate(counted, t_first, counted == 1 ? t_first : t_last, rate, scale);
}

bool FirstCountedTime(ConversionJob* job, double* t) {
  if (!job->HasRecording() || job->Running()) return false;
  container::RecordingReader& reader = job->reader();
  if (!reader.Rewind().ok()) return false;
  container::Frame frame;
  while (reader.Next(&frame).ok()) {
    if (frame.counted) {
      *t = frame.Time();
      return true;
    }
  }
  return false;
}

int SurveyChannels(ConversionJob* job, const TimeRange& range, ChannelSurvey survey[kChannelCount],
                   ProgressSink* sink, double gap_seconds) {
  std::unique_ptr<ClipTracker> clips[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    survey[c] = ChannelSurvey{};
    clips[c] = std::make_unique<ClipTracker>(range, job->settings.wall_clock && range.Limited()
                                                        ? job->settings.wall_clock()
                                                        : std::function<double(double)>());
  }
  container::RecordingReader& reader = job->reader();
  if (!reader.Rewind().ok()) return 1;
  container::Frame frame;
  while (reader.Next(&frame).ok()) {
    if (job->CancelRequested()) return 0;
    if (sink) sink->PostProgress(kSurveyStep, 0);
    const int c = frame.channel & 0x0F;
    ChannelSurvey& s = survey[c];
    if (IsWrittenFrame(frame)) {
      s.video_frames += frame.kind == container::FrameKind::kVideo;
      if (frame.kind == container::FrameKind::kAudio) {
        if (s.audio_frames == 0) s.audio_first = frame.Time();
        s.audio_last = frame.Time();
        ++s.audio_frames;
      }
    }
    const ClipTracker& clip = *clips[c];
    const bool stepped = frame.counted && clip.all_counted > 0;
    const double before = clip.all_last;
    if (clips[c]->Next(frame) != ClipTracker::Step::kSkip) s.has_clip = true;
    if (stepped) {
      const double step = frame.Time() - before;
      if (step > gap_seconds) {
        if (s.gaps.size() < kGapsKept)
          s.gaps.push_back(FootageGap{frame.index, before, frame.Time()});
        ++s.gap_count;
      } else if (step > 0) {
        s.footage_seconds += step;
      }
    }
    if (s.first_index < 0 && (frame.counted || frame.passthrough)) {
      s.first_offset = frame.offset;
      s.first_index = frame.index;
      s.first_seconds = frame.Time();
    }
    if (s.first_video_index < 0 && frame.counted && frame.kind == container::FrameKind::kVideo) {
      s.first_video_offset = frame.offset;
      s.first_video_index = frame.index;
    }
  }
  for (int c = 0; c < kChannelCount; ++c) {
    survey[c].counted = clips[c]->all_counted;
    survey[c].t_first = clips[c]->all_first;
    survey[c].t_last = clips[c]->all_last;
    survey[c].clock_jumps = std::move(clips[c]->clock_jumps);
    survey[c].clock_jump_count = clips[c]->clock_jump_count;
  }
  return 1;
}

}  // namespace vexlor::app
