// One pass over the whole recording, without decoding: what each channel holds (frames, time
// stamps, audio) and, for a time range, whether the channel's clip holds anything.
#pragma once

#include <cstdint>
#include <vector>

#include "app/conversion_job.h"
#include "app/conversion_settings.h"

namespace vexlor::app {

// A stretch between two consecutive counted video frames of a channel longer than the gap the
// survey was asked for: nothing was recorded from `from` to `to`.
inline constexpr double kDefaultGapSeconds = 2;
inline constexpr size_t kGapsKept = 1000;  // the first ones; gap_count counts all

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
  double first_seconds = 0;  // ... and its time stamp
  // The channel's first counted video frame (the first its decoder would be given); -1: none.
  int64_t first_video_offset = -1;
  int64_t first_video_index = -1;
  // The steps of its clock (as a conversion reports them), the gaps longer than the survey's,
  // and the time covered by footage: the sum of the steps between consecutive counted frames
  // that are neither gaps nor backwards.
  std::vector<ClockJump> clock_jumps;
  int64_t clock_jump_count = 0;
  std::vector<FootageGap> gaps;
  int64_t gap_count = 0;
  double footage_seconds = 0;
  // The time stamps of its first and last audio frames (when audio_frames > 0).
  double audio_first = 0;
  double audio_last = 0;

  bool HasClip() const { return has_clip; }
  // The video rate a file of all these frames carries: *rate / *scale frames per second.
  void FileRate(uint32_t* rate, uint32_t* scale) const;
};

// Reads the recording from its start to its end and fills survey[c] for every channel; the
// clips follow `range` as the conversion's do, the gaps are the steps longer than `gap_seconds`.
// Posts kSurveyStep per frame read. Returns 1 when the end was reached, 0 when a cancel stopped
// it.
int SurveyChannels(ConversionJob* job, const TimeRange& range, ChannelSurvey survey[kChannelCount],
                   ProgressSink* sink, double gap_seconds = kDefaultGapSeconds);

// The time stamp of the recording's first counted frame (its start), read from the open
// recording while no worker runs. False when it has none.
bool FirstCountedTime(ConversionJob* job, double* t);

}  // namespace vexlor::app
