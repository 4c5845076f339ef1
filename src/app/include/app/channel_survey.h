// One pass over the whole recording, without decoding: what each channel holds (frames, time
// stamps, audio) and, for a time range, whether the channel's clip holds anything.
#pragma once

#include <cstdint>

#include "app/conversion_job.h"
#include "app/conversion_settings.h"

namespace vexlor::app {

struct ChannelSurvey {
  int64_t counted = 0;  // counted video frames (those the rate is measured from)
  double t_first = 0;   // time stamps of the first and the last of them
  double t_last = 0;
  int64_t video_frames = 0;  // frames the channel's file would hold as video chunks
  int64_t audio_frames = 0;  // ... and as audio chunks
  bool has_clip = false;     // the range's clip of the channel holds a frame
  // The channel's first frame that a file would take (counted or passthrough), where reading
  // delivers it again (container::Frame::offset), and its index; -1 when it has none.
  int64_t first_offset = -1;
  int64_t first_index = -1;

  bool HasClip() const { return has_clip; }
  // The video rate a file of all these frames carries: *rate / *scale frames per second.
  void FileRate(uint32_t* rate, uint32_t* scale) const;
};

// Reads the recording from its start to its end and fills survey[c] for every channel; the
// clips follow `range` as the conversion's do. Posts kSurveyStep per frame read. Returns 1 when
// the end was reached, 0 when a cancel stopped it.
int SurveyChannels(ConversionJob* job, const TimeRange& range, ChannelSurvey survey[kChannelCount],
                   ProgressSink* sink);

// The time stamp of the recording's first counted frame (its start), read from the open
// recording while no worker runs. False when it has none.
bool FirstCountedTime(ConversionJob* job, double* t);

}  // namespace vexlor::app
