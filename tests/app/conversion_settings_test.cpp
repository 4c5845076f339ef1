// The worker under settings other than the dialog's: a choice of channels, an output directory,
// a time range whose clips start at a key frame, and leaving finished files alone. Channel sizes
// come from a stand-in scan; the recordings are built frame by frame with known time stamps.
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>

#include "app/channel_survey.h"
#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "app/test_support.h"
#include "avi/avi_check.h"
#include "avi/avi_muxer.h"

namespace vexlor::app {
namespace {

using testing::AviFile;
using testing::Bytes;
using testing::ParseAvi;
using testing::RecordingBuilder;
using testing::ScratchDir;

// A frame's time as the worker computes it.
double T(uint32_t seconds, uint32_t ticks) {
  return ticks * (1.0 / 60) + double(seconds);
}

// A media frame: the header of RecordingBuilder::MakeFrame, then the payload.
Bytes Frame(int kind, int c, uint32_t seconds, uint32_t ticks, const Bytes& payload) {
  Bytes f = RecordingBuilder::MakeFrame(kind, c, seconds, ticks, Bytes());
  f.resize(32 + payload.size());
  if (!payload.empty()) std::memcpy(f.data() + 32, payload.data(), payload.size());
  return f;
}

std::array<std::pair<int, int>, kChannelCount> g_sizes;
ScanResult FakeScan(ConversionJob* job, ProgressSink*) {
  bool found = false;
  for (int c = 0; c < kChannelCount; ++c) {
    job->mutable_scan().widths[c] = g_sizes[c].first;
    job->mutable_scan().heights[c] = g_sizes[c].second;
    found |= g_sizes[c].first > 0 && g_sizes[c].second > 0;
  }
  return found ? kChannelsFound : kNoChannelFound;
}

class KindSink : public ProgressSink {
 public:
  void PostProgress(ProgressKind kind, int value) override {
    std::lock_guard<std::mutex> lock(mu_);
    last_kind = kind;
    ++count[kind & 7];
    if (on_event) on_event(kind, value);
  }
  int last_kind = -1;
  int count[8] = {};
  std::function<void(int, int)> on_event;  // runs on the worker thread

 private:
  std::mutex mu_;
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sizes = {};
    job_.scan_channels = &FakeScan;
  }
  std::string Rec() const { return dir_ / "cam.kvr"; }
  std::string Out(int c, const std::string& dir = "") const { return OutputNameIn(dir, Rec(), c); }

  // A frame of channel c at seconds + ticks/60; `key` makes its NAL unit an IDR slice. Returns
  // the frame's data as its chunk holds it.
  Bytes Video(int c, uint32_t seconds, uint32_t ticks, bool key = false, bool passthrough = false) {
    const Bytes frame =
        Frame(0xE, c, seconds, ticks,
              RecordingBuilder::VideoPayload(key ? 0x65 : 0x41, 120, uint8_t(serial_++)));
    builder_.AddFrame(frame, passthrough);
    return Bytes(frame.begin() + 32, frame.end());
  }
  Bytes Audio(int c, uint32_t seconds) {
    const Bytes frame = Frame(0xC, c, seconds, 0, Bytes(80, uint8_t(serial_++)));
    builder_.AddFrame(frame, true);
    return Bytes(frame.begin() + 32, frame.end());
  }
  int Run() {
    if (!written_) {
      EXPECT_TRUE(builder_.Write(Rec()));
      written_ = true;
    }
    EXPECT_TRUE(job_.OpenRecording(Rec()).ok());
    EXPECT_TRUE(job_.StartConversion(&sink_));
    job_.Wait();
    return job_.last_result();
  }
  static std::vector<Bytes> Data(const AviFile& avi) {
    std::vector<Bytes> out;
    for (const auto& chunk : avi.chunks) out.push_back(chunk.data);
    return out;
  }

  ScratchDir dir_;
  ConversionJob job_;
  KindSink sink_;
  RecordingBuilder builder_;
  int serial_ = 0;
  bool written_ = false;
};

TEST_F(SettingsTest, ChosenChannelsIntoAnotherDirectory) {
  g_sizes[0] = g_sizes[2] = g_sizes[9] = {64, 48};
  for (int i = 0; i < 10; ++i)
    for (int c : {0, 2, 9}) Video(c, 100 + i, 0, i == 0);
  const std::string out_dir = dir_ / "out";
  ASSERT_TRUE(std::filesystem::create_directory(testing::Fs(out_dir)));
  job_.settings.channels = (1u << 2) | (1u << 9) | (1u << 4);  // 4 has no video
  job_.settings.output_dir = out_dir + "/";
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.last_kind, kDone);
  EXPECT_EQ(sink_.count[kSurveyStep], 0) << "no range, no extra pass";
  EXPECT_FALSE(testing::Exists(Out(0, out_dir)));
  EXPECT_FALSE(testing::Exists(Out(2)));
  EXPECT_EQ(Out(2, out_dir), out_dir + "/cam_03.avi");
  for (int c : {2, 9}) {
    const AviFile avi = ParseAvi(Out(c, out_dir));
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(avi.chunks.size(), 10u);
    const ChannelResult& r = job_.result(c);
    EXPECT_EQ(r.outcome, ChannelOutcome::kWritten);
    EXPECT_EQ(r.file, Out(c, out_dir));
    EXPECT_EQ(r.video_chunks, 10u);
    EXPECT_EQ(r.counted, 10);
    EXPECT_EQ(r.t_first, 100.0);
    EXPECT_EQ(r.t_last, 109.0);
    EXPECT_EQ(r.rate_scale, avi.video_scale);
    EXPECT_EQ(r.rate_rate, avi.video_rate);
  }
  EXPECT_EQ(job_.result(0).outcome, ChannelOutcome::kNotSelected);
  EXPECT_EQ(job_.result(4).outcome, ChannelOutcome::kNoVideo);
  EXPECT_EQ(ProgressText(job_, kDone, 0, ""), "Done. Average FPS = 1.10");
}

TEST_F(SettingsTest, TimeRangeClipsStartAtTheLastKeyFrameAtOrBeforeFrom) {
  // Channel 0: 40 frames at 10 per second from 1000 s, key frames at 0, 10, 20 and 30 (the one
  // at 20 sent as a passthrough frame), audio every 5 frames. Channel 1: 10 frames from 1000 s,
  // one key frame first. Channel 2 starts without a key frame at 1001 s.
  g_sizes[0] = g_sizes[1] = g_sizes[2] = {32, 32};
  std::vector<Bytes> ch0;  // chunks of channel 0 in order, with their frame index
  std::vector<int> ch0_index;
  for (int i = 0; i < 40; ++i) {
    const uint32_t s = 1000 + i / 10, ticks = (i % 10) * 6;
    ch0.push_back(Video(0, s, ticks, i % 10 == 0, i == 20));
    ch0_index.push_back(i);
    if (i % 5 == 2) {
      ch0.push_back(Audio(0, s));
      ch0_index.push_back(i);
    }
    if (i < 10) Video(1, s, ticks, i == 0);
    if (i >= 10 && i < 15) Video(2, s, ticks);
  }
  // Chunks of channel 0 for its frames first..last (audio goes with the frame before it).
  auto chunks_of = [&](int first, int last) {
    std::vector<Bytes> out;
    for (size_t k = 0; k < ch0.size(); ++k)
      if (ch0_index[k] >= first && ch0_index[k] <= last) out.push_back(ch0[k]);
    return out;
  };

  // Inside the recording: from 1001.25 s (frame 13) to 1002.45 s (frame 24): channel 0 starts
  // at the key frame 10; channel 1 ends before the range, channel 2 has frames 13 and 14 but no
  // key frame to start at. One read finds it all: no survey first.
  job_.settings.range = {true, true, 1001.25, 1002.45};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.count[kSurveyStep], 0);
  AviFile a = ParseAvi(Out(0));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(Data(a), chunks_of(10, 24));
  ASSERT_FALSE(a.index.empty());
  EXPECT_EQ(a.index[0].flags & 0x10, 0x10u) << "the clip starts with a key frame";
  // The rate from the written frames: 14 counted (frame 20 is passthrough) over 1.4 s.
  EXPECT_EQ(a.video_length, 14u);
  EXPECT_EQ(a.video_rate, uint32_t(avi::MeasureRate(14, T(1001, 0), T(1002, 24)) * 100));
  EXPECT_TRUE(job_.result(0).starts_at_key_before_from);
  EXPECT_EQ(job_.result(0).t_first, T(1001, 0));
  EXPECT_EQ(job_.result(1).outcome, ChannelOutcome::kOutsideRange);
  EXPECT_EQ(job_.result(1).all_counted, 10);
  EXPECT_EQ(job_.result(1).all_last, T(1000, 54));
  EXPECT_FALSE(testing::Exists(Out(1)));
  EXPECT_FALSE(testing::Exists(Out(2))) << "a clip without a key frame would not decode";
  EXPECT_EQ(job_.result(2).outcome, ChannelOutcome::kNoKeyInRange);

  // A key frame exactly at `from` starts the clip itself. Open end: to the end of the recording.
  job_.settings.range = {true, false, 1003.0, 0};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Data(ParseAvi(Out(0))), chunks_of(30, 39));
  EXPECT_FALSE(job_.result(0).starts_at_key_before_from);
  EXPECT_EQ(job_.result(1).outcome, ChannelOutcome::kOutsideRange);
  EXPECT_EQ(job_.result(2).outcome, ChannelOutcome::kOutsideRange);

  // A passthrough key frame counts as a key frame (its time stamp is not used).
  job_.settings.range = {true, false, 1002.05, 0};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Data(ParseAvi(Out(0))), chunks_of(20, 39));
  EXPECT_TRUE(job_.result(0).starts_at_key_before_from);
  EXPECT_EQ(job_.result(0).t_first, T(1002, 6));

  // Across the start: up to 1000.55 s.
  job_.settings.range = {false, true, 0, 1000.55};
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Data(ParseAvi(Out(0))), chunks_of(0, 5));
  EXPECT_EQ(ParseAvi(Out(1)).chunks.size(), 6u);

  // Before the first frame and after the last: no file at all, but the run is done.
  for (const TimeRange& range :
       {TimeRange{false, true, 0, 999.9}, TimeRange{true, false, 1004, 0}}) {
    for (int c = 0; c < 3; ++c) std::remove(Out(c).c_str());
    job_.settings.range = range;
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(sink_.last_kind, kDone);
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(job_.result(c).outcome, ChannelOutcome::kOutsideRange);
      EXPECT_FALSE(testing::Exists(Out(c)));
    }
  }
}

TEST_F(SettingsTest, SurveyCountsWhatTheFilesWouldHold) {
  g_sizes[3] = {32, 32};
  Video(3, 50, 0, true);
  Video(3, 50, 30);
  Video(3, 51, 0, false, true);  // passthrough: a video chunk, not counted
  Audio(3, 51);
  Audio(5, 51);
  // Neither written nor counted: no start code after the header.
  builder_.AddFrame(Frame(0xE, 3, 52, 0, Bytes{9, 9, 9, 9}), false);
  ASSERT_TRUE(builder_.Write(Rec()));
  written_ = true;
  ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
  double start = 0;
  ASSERT_TRUE(FirstCountedTime(&job_, &start));
  EXPECT_EQ(start, 50.0);
  ChannelSurvey survey[kChannelCount];
  ASSERT_EQ(SurveyChannels(&job_, TimeRange{}, survey, nullptr), 1);
  EXPECT_EQ(survey[3].counted, 2);
  EXPECT_EQ(survey[3].video_frames, 3);
  EXPECT_EQ(survey[3].audio_frames, 1);
  EXPECT_EQ(survey[3].t_first, 50.0);
  EXPECT_EQ(survey[3].t_last, 50.5);
  EXPECT_EQ(survey[5].audio_frames, 1);
  uint32_t rate = 0, scale = 0;
  survey[3].FileRate(&rate, &scale);
  EXPECT_EQ(scale, 100u);
  EXPECT_EQ(rate, uint32_t(avi::MeasureRate(2, 50.0, 50.5) * 100));
  // What the conversion then writes agrees.
  EXPECT_EQ(Run(), 1);
  const AviFile avi = ParseAvi(Out(3));
  ASSERT_TRUE(avi.ok) << avi.error;
  EXPECT_EQ(avi.video_rate, rate);
  EXPECT_EQ(job_.result(3).video_chunks, 3u);
  EXPECT_EQ(job_.result(3).audio_chunks, 1u);
}

TEST_F(SettingsTest, SkipExistingLeavesOnlyFinishedFilesAlone) {
  g_sizes[0] = g_sizes[1] = {32, 32};
  for (int i = 0; i < 30; ++i) {
    Video(0, 10 + i, 0, i == 0);
    Video(1, 10 + i, 0, i == 0);
  }
  job_.settings.skip_existing = true;
  EXPECT_EQ(Run(), 1);  // nothing there yet: written
  EXPECT_EQ(sink_.last_kind, kDone);
  const Bytes first = testing::ReadAll(Out(1));
  avi::AviFacts facts;
  EXPECT_TRUE(avi::IsFinishedAviFile(Out(1).c_str(), &facts));

  // Both finished: no pass is made.
  const int passes = sink_.count[kWriteStep];
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.last_kind, kSkipped);
  EXPECT_EQ(job_.result(0).outcome, ChannelOutcome::kExisting);
  EXPECT_EQ(sink_.count[kWriteStep], passes);
  EXPECT_EQ(ProgressText(job_, kSkipped, 0, ""), "Skipped: Complete Files Exist");

  // A run cancelled in channel 1's pass leaves a valid file that is not finished: converted
  // again. So is a file cut short.
  sink_.on_event = [this](int kind, int value) {
    if (kind == kWriteStep && value == 1) job_.Cancel();
  };
  job_.settings.skip_existing = false;
  EXPECT_EQ(Run(), 0);
  sink_.on_event = nullptr;
  EXPECT_EQ(job_.result(1).outcome, ChannelOutcome::kCancelled);
  EXPECT_EQ(avi::CheckAviFile(Out(1).c_str(), &facts), avi::kCheckOk);
  EXPECT_FALSE(avi::IsFinishedAviFile(Out(1).c_str(), &facts));
  job_.settings.skip_existing = true;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.last_kind, kDone);
  EXPECT_EQ(testing::ReadAll(Out(1)), first);

  std::filesystem::resize_file(testing::Fs(Out(0)), 1000);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.last_kind, kDone);
  EXPECT_TRUE(avi::IsFinishedAviFile(Out(0).c_str(), &facts));

  // Only the files the settings ask for count: channel 1 alone, its file finished.
  ASSERT_EQ(std::remove(Out(0).c_str()), 0);
  job_.settings.channels = 1u << 1;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(sink_.last_kind, kSkipped);
  EXPECT_FALSE(testing::Exists(Out(0)));
}

}  // namespace
}  // namespace vexlor::app
