// One pass over the whole recording, without decoding: what each channel holds (frames, time
// stamps, audio) and, for a time range, which of its frames make the channel's clip.
#pragma once

#include <cstdint>

#include "app/conversion_job.h"
#include "app/conversion_settings.h"

namespace vexlor::app {

inline constexpr int64_t kNoFrame = -1;

struct ChannelSurvey {
  int64_t counted = 0;  // counted video frames (those the rate is measured from)
  double t_first = 0;   // time stamps of the first and the last of them
  double t_last = 0;
  int64_t video_frames = 0;  // frames the channel's file would hold as video chunks
  int64_t audio_frames = 0;  // ... and as audio chunks
  // The clip of the time range: the frames numbered clip_begin <= n < clip_end, where n counts
  // every frame the reader delivers from the start of the recording. clip_begin is kNoFrame when
  // no counted frame of the channel lies in the range.
  int64_t clip_begin = kNoFrame;
  int64_t clip_end = kNoFrame;
  // The clip begins at a key frame read before its first counted frame in the range.
  bool clip_starts_before = false;

  bool HasClip() const { return clip_begin != kNoFrame; }
  // The video rate a file of all these frames carries: *rate / *scale frames per second.
  void FileRate(uint32_t* rate, uint32_t* scale) const;
  bool InClip(int64_t n) const { return n >= clip_begin && n < clip_end; }
};

// Reads the recording from its start to its end and fills survey[c] for every channel; the
// clips follow `range` (an open range gives each channel with a counted frame all its frames
// from its first counted frame, or the key frame before it). Posts kSurveyStep per frame read.
// Returns 1 when the end was reached, 0 when cancel_requested stopped it.
int SurveyChannels(ConversionJob* job, const TimeRange& range, ChannelSurvey survey[kChannelCount],
                   ProgressSink* sink);

// The worker's time stamp of a frame: whole seconds plus sixtieths.
double FrameTime(const container::MediaFrame& f);

// The time stamp of the recording's first counted frame (its start), read from the open
// recording while no worker runs. False when it has none.
bool FirstCountedTime(ConversionJob* job, double* t);

}  // namespace vexlor::app
