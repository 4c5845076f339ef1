#include "mux/channel_clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexlor::mux {
namespace {

constexpr int64_t kUncounted = -1;  // a passthrough sample: no stamp of its own
constexpr int64_t kResolve = -2;    // the waiting samples are placed at once (ResolveVideo)

struct ClockCase {
  const char* name;
  std::vector<int64_t> stamps;  // sixtieths
  std::vector<int64_t> times;   // units, as placed
  int64_t last_duration;
  int64_t backward_steps;
};

TEST(ChannelClock, PlacesVideoSamples) {
  const int64_t T = kUnitsPerTick;
  const ClockCase cases[] = {
      {"steady 30 per second", {600, 602, 604, 606}, {0, 2 * T, 4 * T, 6 * T}, 2 * T, 0},
      {"whole seconds spread", {0, 0, 0, 0, 60}, {0, 15 * T, 30 * T, 45 * T, 60 * T}, 15 * T, 0},
      {"a pause stays", {0, 2, 4, 36000}, {0, 2 * T, 4 * T, 36000 * T}, 2 * T, 0},
      {"a burst before a pause", {0, 0, 0, 36000}, {0, 3600, 7200, 36000 * T}, 3600, 0},
      {"clock set back", {3600, 3602, 3604, 0, 2}, {0, 2 * T, 4 * T, 6 * T, 8 * T}, 2 * T, 1},
      {"passthrough between", {0, kUncounted, 4, 6}, {0, 2 * T, 4 * T, 6 * T}, 2 * T, 0},
      {"passthrough first", {kUncounted, 10, 12}, {0, T, 2 * T}, T, 0},
      {"one sample", {500}, {0}, kUnitsPerSecond / 25, 0},
      {"a resolve keeps later stamps",
       {0, 2, 4, kResolve, 36000, 36002},
       {0, 2 * T, 4 * T, 36000 * T, 36002 * T},
       2 * T,
       0},
      {"a resolve before the first stamp",
       {kUncounted, kResolve, 10, 12},
       {0, 3600, 3600 + 2 * T},
       2 * T,
       0},
  };
  for (const ClockCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChannelClock clock;
    bool resolved = false;  // then a sample may begin after the one before has ended
    for (int64_t s : c.stamps) {
      resolved = resolved || s == kResolve;
      if (s == kResolve) {
        clock.ResolveVideo();
        continue;
      }
      const RecordingTime t{uint32_t(s < 0 ? 0 : s / 60), uint32_t(s < 0 ? 0 : s % 60)};
      clock.AddVideo(t, s != kUncounted);
    }
    clock.FinishVideo();
    ASSERT_EQ(clock.ReadyVideo(), c.times.size());
    int64_t previous_end = 0;
    for (size_t i = 0; i < c.times.size(); ++i) {
      const ChannelClock::Timed t = clock.TakeVideo();
      EXPECT_EQ(t.time, c.times[i]) << "sample " << i;
      if (resolved) {
        EXPECT_GE(t.time, previous_end) << "sample " << i << " overlaps the one before";
      } else {
        EXPECT_EQ(t.time, previous_end) << "sample " << i << " follows the one before";
      }
      previous_end = t.time + t.duration;
      if (i + 1 == c.times.size()) {
        EXPECT_EQ(t.duration, c.last_duration);
      }
    }
    EXPECT_EQ(clock.backward_steps(), c.backward_steps);
  }
}

TEST(ChannelClock, PlacesAudioByItsStamps) {
  ChannelClock clock;
  clock.AddVideo({100, 0}, true);
  EXPECT_EQ(clock.PlaceAudio({100, 0}, 800), 0);
  EXPECT_EQ(clock.PlaceAudio({100, 6}, 800), 800);                    // continues
  EXPECT_EQ(clock.PlaceAudio({100, 13}, 800), 1600);                  // within a tick: continues
  EXPECT_EQ(clock.PlaceAudio({110, 0}, 800), 10 * kAudioRate);        // a gap: at its stamp
  EXPECT_EQ(clock.PlaceAudio({105, 0}, 800), 10 * kAudioRate + 800);  // never overlaps
}

}  // namespace
}  // namespace vexlor::mux
