#include "clock_cues.h"

#include <algorithm>
#include <cmath>

namespace vexlor::mkv {

void ClockCues::Close(int64_t end) {
  if (!open_) return;
  open_ = false;
  cue_.end = std::max(std::min(end, latest_end_), cue_.start + 1);
  done_.push_back(std::move(cue_));
  cue_ = ClockCue{};
}

void ClockCues::AddVideo(int64_t time, const mux::RecordingTime& stamp, bool counted) {
  if (!counted) return;
  const double wall = wall_clock_ ? wall_clock_(stamp.Seconds()) : stamp.Seconds();
  if (!std::isfinite(wall) || std::fabs(wall) > 1e15) return;
  const double second = std::floor(wall);
  if (open_ && second == second_) return;
  Close(time);
  open_ = true;
  second_ = second;
  // The rest of the second, rounded up to a whole unit.
  const double rest = std::ceil((second + 1 - wall) * double(mux::kUnitsPerSecond));
  latest_end_ = time + std::max<int64_t>(int64_t(rest), 1);
  cue_.start = time;
  cue_.text = text_(second);
}

void ClockCues::Advance(int64_t time) {
  if (open_ && latest_end_ <= time) Close(latest_end_);
}

void ClockCues::Finish(int64_t end) {
  Close(end);
}

}  // namespace vexlor::mkv
