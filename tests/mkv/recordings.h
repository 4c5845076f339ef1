// The recordings the Matroska tests write, as one table, and a small driver that feeds a
// recording's frames (access units of the committed x264 streams, with chosen stamps) and audio
// (chosen bytes and stamps) through a mux::Format.
#pragma once

#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "h264/access_units.h"
#include "support/length_prefixed.h"
#include "mux/muxer.h"

namespace vexlor::testing {

struct StampRun {  // `count` stamps from `first` (sixtieths after kBaseSeconds), `step` apart
  int count;
  int64_t first, step;
};
struct TimeRun {  // `count` times from `first`, `step` milliseconds apart
  int count;
  double first, step;
};

struct Recording {
  const char* name;
  std::vector<const char*> streams;  // committed x264 streams, one after another
  std::vector<StampRun> video;       // one stamp per frame
  int audio_frame;                   // samples per audio frame
  std::vector<StampRun> audio;
  std::vector<TimeRun> video_ms, audio_ms;  // where the samples must sit in the file
  double duration_ms;
  int64_t backward_steps;
  bool cropped = false;  // odd_size: 176x112 coded, 170x102 shown
};

inline constexpr int64_t kBaseSeconds = 1700000000;  // 2023-11-14 22:13:20 UTC
inline double TestWallClock(double stamp) {          // the recorder ran an hour ahead
  return stamp - 3600;
}
inline std::string TestClockText(double wall) {
  const std::time_t t = std::time_t(std::floor(wall));
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", std::gmtime(&t));
  return text;
}

inline const std::vector<Recording>& Recordings() {
  const double f30 = 1000.0 / 30;
  static const std::vector<Recording> table = {
      // 30 frames a second, ten minutes of pause in the middle; the sound goes on through it.
      {"paused",
       {"refs_slices"},
       {{15, 30, 2}, {15, 36030, 2}},
       800,
       {{6005, 30, 6}},
       {{15, 0, f30}, {15, 600000, f30}},
       {{6005, 0, 100}},
       600500,
       0},
      // Whole-second stamps, ten frames each: spread over their second.
      {"whole_seconds",
       {"refs_slices"},
       {{10, 60, 0}, {10, 120, 0}, {10, 180, 0}},
       0,
       {},
       {{30, 0, 100}},
       {},
       3000,
       0},
      // The clock set back an hour after half a second: the frames go on at their interval.
      {"backwards",
       {"refs_slices"},
       {{15, 30, 2}, {15, 60 - 216000, 2}},
       0,
       {},
       {{30, 0, f30}},
       {},
       1000,
       1},
      // 176x144, then 170x102 (new parameter sets in the stream), 20 frames a second.
      {"size_change", {"refs_slices", "odd_size"}, {{50, 0, 3}}, 0, {}, {{50, 0, 50}}, {}, 2500, 0},
      // 50 ms of sound per frame, with two gaps.
      {"audio_gaps",
       {"qp51"},
       {{20, 0, 3}},
       400,
       {{6, 0, 3}, {4, 30, 3}, {4, 48, 3}},
       {{20, 0, 50}},
       {{6, 0, 50}, {4, 500, 50}, {4, 800, 50}},
       1000,
       0},
      // One frame of a cropped picture: it lasts the default interval.
      {"one_frame", {"odd_size"}, {{1, 7, 0}}, 0, {}, {{1, 0, 0}}, {}, 40, 0, true},
  };
  return table;
}

template <typename Run>
auto Expand(const std::vector<Run>& runs) {
  std::vector<decltype(Run::first)> out;
  for (const Run& r : runs) {
    for (int i = 0; i < r.count; ++i) out.push_back(r.first + i * r.step);
  }
  return out;
}
inline mux::RecordingTime Stamp(int64_t tick) {
  const int64_t s = kBaseSeconds * 60 + tick;
  return mux::RecordingTime{uint32_t(s / 60), uint32_t(s % 60)};
}

// What a recording gave the muxer.
struct Fed {
  std::vector<h264::AccessUnit> frames;
  Bytes audio;  // every audio sample, in order
  mux::StreamDescription description;
  mux::MuxerFacts facts;
};

// Writes `r` to `path` through `format`: frames and audio in the order of their stamps.
inline Status WriteRecording(const mux::Format& format, const Recording& r, const std::string& path,
                             Fed* fed, bool cancelled = false) {
  *fed = Fed{};
  for (const char* name : r.streams) {
    const Bytes stream =
        ReadAll(std::string(VEXLOR_SOURCE_DIR "/tests/data/x264/") + name + ".264");
    for (h264::AccessUnit& au : h264::SplitAccessUnits(stream)) fed->frames.push_back(au);
  }
  const std::vector<int64_t> video = Expand(r.video), audio = Expand(r.audio);
  fed->frames.resize(video.size());
  mux::StreamDescription& d = fed->description;
  d.width = 176;
  d.height = r.cropped ? 112 : 144;
  d.crop_right = r.cropped ? 6 : 0;
  d.crop_bottom = r.cropped ? 10 : 0;
  const Bytes first = LengthPrefixed(fed->frames[0].bytes);
  for (size_t at = 0; at + 4 < first.size();) {
    const size_t n =
        size_t(first[at]) << 24 | first[at + 1] << 16 | first[at + 2] << 8 | first[at + 3];
    const int type = first[at + 4] & 0x1F;
    if (type == 7 || type == 8) d.parameter_sets.emplace_back(&first[at + 4], &first[at + 4] + n);
    at += 4 + n;
  }
  d.has_audio = !audio.empty();
  d.wall_clock = TestWallClock;
  d.clock_text = TestClockText;

  std::unique_ptr<mux::Muxer> muxer = format.create();
  Status s = muxer->Open(path, d);
  size_t next_audio = 0;
  for (size_t i = 0; i <= video.size() && s.ok(); ++i) {
    for (;
         next_audio < audio.size() && (i == video.size() || audio[next_audio] < video[i]) && s.ok();
         ++next_audio) {
      Bytes pcm(size_t(r.audio_frame));
      for (size_t k = 0; k < pcm.size(); ++k)
        pcm[k] = uint8_t((next_audio * 131 + k * 7) ^ (k >> 3));
      fed->audio.insert(fed->audio.end(), pcm.begin(), pcm.end());
      s = muxer->Write({mux::Track::kAudio, pcm, Stamp(audio[next_audio]), true, true});
    }
    if (i < video.size() && s.ok()) {
      s = muxer->Write(
          {mux::Track::kVideo, fed->frames[i].bytes, Stamp(video[i]), true, fed->frames[i].idr});
    }
  }
  if (s.ok()) s = muxer->Finish({cancelled, 0, 0, 0});
  if (s.ok()) s = muxer->Commit();
  fed->facts = muxer->Facts();
  return s;
}

}  // namespace vexlor::testing
