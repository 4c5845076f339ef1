// The times of one channel's samples in a file that keeps the recording's time (each sample at
// its own time, not at an average rate): shared by every such format, so that they all place
// the same sample at the same time.
//
// Video: a sample's time is its stamp minus the file's origin, exactly (one sixtieth is
// kUnitsPerTick units). Samples that share one stamp (recorders that stamp whole seconds), and
// passthrough samples, which carry no stamp of their own and share the one before, are spread
// evenly up to the next distinct stamp; over at most a second, so that a pause after them stays
// a pause. A stamp that runs backwards (the recorder's clock set back) is a discontinuity: that
// sample follows the one before at the channel's usual interval, and the samples after it keep
// their distances from it. Times only ever grow.
//
// Audio: a frame starts where the one before ended, unless its own stamp (moved by the same
// discontinuities as the video) lies more than one sixtieth later: then it starts there, and the
// gap is silence in the file. So sound stays within a sixtieth of its stamp while the stamps
// hold together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "mux/muxer.h"

namespace vexlor::mux {

inline constexpr int64_t kAudioRate = 8000;  // samples per second

class ChannelClock {
 public:
  // origin_sixtieths: the stamp that is time zero; -1: the first sample's stamp.
  explicit ChannelClock(int64_t origin_sixtieths = -1);

  struct Timed {
    int64_t time = 0;      // units from the origin
    int64_t duration = 0;  // units until the next video sample (at least 1)
  };

  // The next video sample, in file order; `counted` as in Sample.
  void AddVideo(const RecordingTime& stamp, bool counted);
  // Video samples whose time and duration are known, in order.
  size_t ReadyVideo() const { return ready_.size() - (ready_tail_open_ ? 1 : 0); }
  Timed TakeVideo();
  // Added but still waiting for a later distinct stamp.
  size_t PendingVideo() const { return pending_; }
  // Gives the waiting samples their times now, at the usual interval, so that a muxer never
  // has to hold back more than it wants to: all but the last become ready (its duration is the
  // distance to the next sample). Later samples of the same stamp continue after them; a later
  // stamp keeps its own time.
  void ResolveVideo();
  // Every waiting sample gets its time, the last one its duration (the usual interval): at the
  // end of the video, or when a muxer can hold back no more. Later samples come after them.
  void FinishVideo();
  // Samples added whose time or duration is still open.
  size_t HeldVideo() const { return pending_ + (ready_tail_open_ ? 1 : 0); }

  // The start of an audio frame of `samples` samples with this stamp, in samples of kAudioRate
  // from the origin (never before the end of the frame before, never below 0).
  int64_t PlaceAudio(const RecordingTime& stamp, int64_t samples);

  int64_t origin_sixtieths() const { return origin_; }
  int64_t backward_steps() const { return backward_steps_; }
  // The per-sample interval the channel shows where its stamps are dense (units).
  int64_t usual_interval() const { return usual_; }

 private:
  int64_t Target(int64_t stamp) const { return (stamp - origin_) * kUnitsPerTick + offset_; }
  void CloseGroup(int64_t spread_end);

  int64_t origin_;
  int64_t offset_ = 0;  // added to every target after discontinuities
  bool has_stamp_ = false;
  int64_t group_stamp_ = 0;  // the stamp the waiting samples share
  int64_t group_time_ = 0;   // its time
  size_t pending_ = 0;       // samples of the group
  int64_t last_time_ = -1;   // time of the latest sample placed
  int64_t usual_ = kUnitsPerSecond / 25;
  int64_t backward_steps_ = 0;
  std::deque<Timed> ready_;
  bool ready_tail_open_ = false;  // ready_.back() still needs its duration
  int64_t audio_end_ = -1;        // end of the latest audio frame, in samples
};

}  // namespace vexlor::mux
