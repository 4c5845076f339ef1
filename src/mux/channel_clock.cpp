#include "mux/channel_clock.h"

#include <algorithm>

namespace vexlor::mux {

ChannelClock::ChannelClock(int64_t origin_sixtieths) : origin_(origin_sixtieths) {}

ChannelClock::Timed ChannelClock::TakeVideo() {
  const Timed t = ready_.front();
  ready_.pop_front();
  return t;
}

// The waiting samples spread evenly from the group's time up to `spread_end`; the last of them
// lasts until `next_time`. Returns the time the next sample takes: next_time, or later when the
// group needs more room (one unit per sample at least).
void ChannelClock::CloseGroup(int64_t spread_end) {
  const int64_t n = int64_t(pending_);
  const int64_t span = std::max(spread_end - group_time_, n);
  for (int64_t k = 0; k < n; ++k) {
    const int64_t t = group_time_ + span * k / n;
    if (!ready_.empty() && ready_tail_open_) ready_.back().duration = t - ready_.back().time;
    ready_.push_back(Timed{t, 0});
    ready_tail_open_ = true;
    last_time_ = t;
  }
  pending_ = 0;
}

void ChannelClock::AddVideo(const RecordingTime& stamp, bool counted) {
  if (!counted || (has_stamp_ && stamp.Sixtieths() == group_stamp_)) {
    ++pending_;  // shares the stamp before it (or, before any stamp, the first one)
    return;
  }
  const int64_t s = stamp.Sixtieths();
  if (origin_ < 0) origin_ = s;
  if (!has_stamp_) {
    has_stamp_ = true;
    group_stamp_ = s;
    group_time_ = std::max(Target(s), Earliest());
    offset_ += group_time_ - Target(s);
    ++pending_;
    return;
  }
  int64_t next = Target(s);
  const int64_t n = int64_t(pending_);
  const int64_t at_usual = group_time_ + n * usual_;
  if (s < group_stamp_) {
    // The clock was set back: the sample follows at the usual interval.
    ++backward_steps_;
    CloseGroup(at_usual);
    next = at_usual;
  } else if (next - group_time_ > kUnitsPerSecond) {
    // A pause follows the group: its samples at the usual interval, then the pause.
    CloseGroup(std::min(at_usual, next));
  } else {
    if (n > 0 && next - group_time_ >= n) usual_ = std::max<int64_t>((next - group_time_) / n, 1);
    CloseGroup(next);
  }
  next = std::max(next, Earliest());
  offset_ += next - Target(s);
  if (ready_tail_open_) {
    ready_.back().duration = next - ready_.back().time;
    ready_tail_open_ = false;
  }
  group_stamp_ = s;
  group_time_ = next;
  pending_ = 1;
}

void ChannelClock::ResolveVideo() {
  if (pending_ == 0) return;
  const int64_t next = group_time_ + int64_t(pending_) * usual_;
  CloseGroup(next);
  if (ready_tail_open_) {
    ready_.back().duration = next - ready_.back().time;
    ready_tail_open_ = false;
  }
  // Later samples of the same stamp continue after these; later stamps keep their times, but
  // none is placed before `next`.
  group_time_ = next;
  resolved_end_ = next;
}

int64_t ChannelClock::PlaceAudio(const RecordingTime& stamp, int64_t samples) {
  const int64_t s = stamp.Sixtieths();
  if (origin_ < 0) origin_ = s;
  const int64_t units = Target(s);
  // Rounded to the nearest sample.
  const int64_t target =
      (units * kAudioRate + (units >= 0 ? 1 : -1) * kUnitsPerSecond / 2) / kUnitsPerSecond;
  constexpr int64_t kTick = kAudioRate / 60;
  int64_t start = 0;
  if (audio_end_ < 0) {
    start = std::max<int64_t>(target, 0);
  } else {
    start = target > audio_end_ + kTick ? target : audio_end_;
  }
  audio_end_ = start + std::max<int64_t>(samples, 0);
  return start;
}

}  // namespace vexlor::mux
