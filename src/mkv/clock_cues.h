// The cues of a clock track: for each second of the recording's clock that the footage shows, one
// cue with that second's text (a local date-time), from the first picture of the second until the
// next cue, and for no longer than the rest of that second. The seconds are those of the
// pictures' own stamps (put right by the wall clock), so after a clock jump the track shows the
// recorder's times as recorded, whatever the file's times are.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "mux/muxer.h"

namespace vexlor::mkv {

struct ClockCue {
  int64_t start = 0;  // file time units (mux::kUnitsPerSecond)
  int64_t end = 0;
  std::string text;
};

class ClockCues {
 public:
  // wall_clock: a stamp in seconds to wall-clock seconds (unset: the stamp as it is); text: the
  // text for a whole wall-clock second.
  ClockCues(std::function<double(double)> wall_clock, std::function<std::string(double)> text)
      : wall_clock_(std::move(wall_clock)), text_(std::move(text)) {}

  // The next video sample, placed at `time`; only counted samples carry a stamp of their own.
  void AddVideo(int64_t time, const mux::RecordingTime& stamp, bool counted);
  // No video sample comes before `time` any more.
  void Advance(int64_t time);
  // No more video; the footage ends at `end`.
  void Finish(int64_t end);

  bool open() const { return open_; }
  int64_t open_start() const { return cue_.start; }
  // The cues that are complete, in order.
  std::deque<ClockCue>& done() { return done_; }

 private:
  void Close(int64_t end);

  std::function<double(double)> wall_clock_;
  std::function<std::string(double)> text_;
  bool open_ = false;
  double second_ = 0;       // the open cue's second
  int64_t latest_end_ = 0;  // where its second is over
  ClockCue cue_;
  std::deque<ClockCue> done_;
};

}  // namespace vexlor::mkv
