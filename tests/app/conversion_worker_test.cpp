// The conversion worker on recordings built byte by byte. The channel sizes come from a
// stand-in scan here, so the writing passes are checked whatever the decoder can do; the real
// scan is covered in channel_scan_test.cpp and end to end in the command-line tests.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>

#include "app/conversion_job.h"
#include "app/conversion_plan.h"
#include "app/test_support.h"

namespace vexlor::app {
namespace {

using testing::AviFile;
using testing::Bytes;
using testing::ParseAvi;
using testing::RecordingBuilder;
using testing::ScratchDir;

struct Event {
  int kind, value;
  bool operator==(const Event&) const = default;
};

class RecordingSink : public ProgressSink {
 public:
  void PostProgress(ProgressKind kind, int value) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back({kind, value});
    }
    if (on_event) on_event(kind, value);
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  int Count(int kind, int value) const {
    int n = 0;
    for (const Event& e : events()) n += (e.kind == kind && e.value == value);
    return n;
  }
  std::function<void(int, int)> on_event;  // runs on the worker thread

 private:
  mutable std::mutex mu_;
  std::vector<Event> events_;
};

// Channel sizes handed to the worker instead of a real scan.
std::array<std::pair<int, int>, kChannelCount> g_sizes;
bool g_cancel_in_scan = false;
ScanResult FakeScan(ConversionJob* job, ProgressSink*) {
  bool found = false;
  for (int c = 0; c < kChannelCount; ++c) {
    job->mutable_scan().widths[c] = g_sizes[c].first;
    job->mutable_scan().heights[c] = g_sizes[c].second;
    found |= g_sizes[c].first > 0 && g_sizes[c].second > 0;
  }
  if (g_cancel_in_scan) job->Cancel();
  return found ? kChannelsFound : kNoChannelFound;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sizes = {};
    g_cancel_in_scan = false;
    job_.scan_channels = &FakeScan;
  }
  std::string Rec() const { return dir_ / "cam.kvr"; }
  std::vector<std::string> Files() const { return testing::ListDir(dir_.path()); }
  static bool KindOfFifo(const std::string& path) {
    return std::filesystem::is_fifo(std::filesystem::symlink_status(path));
  }
  static bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(testing::Fs(path), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    f.close();
    return bool(f);
  }
  std::string Out(int c) const { return OutputName(Rec(), c); }

  // Video frame of channel c stamped seconds + ticks, written as recorded.
  void Video(int c, uint32_t seconds, uint32_t ticks, size_t size = 200) {
    Add(RecordingBuilder::MakeFrame(0xE, c, seconds, ticks,
                                    RecordingBuilder::VideoPayload(0x41, size, uint8_t(serial_))),
        false);
  }
  void Add(const Bytes& frame, bool passthrough) {
    builder_.AddFrame(frame, passthrough);
    ++serial_;
    expected_[frame[3] & 15].push_back({frame, passthrough});
  }
  // The frames of channel c the file must hold, in order: counted video frames and passthrough
  // frames of a kind the writer knows.
  std::vector<Bytes> ExpectedChunks(int c) const {
    std::vector<Bytes> out;
    for (const auto& [frame, passthrough] : expected_[c]) {
      const bool known_kind = (frame[3] >> 4) == 0xE || (frame[3] >> 4) == 0xC;
      const bool start_code = frame.size() >= 36 && frame[32] == 0 && frame[33] == 0 &&
                              frame[34] == 0 && frame[35] == 1;
      if (passthrough ? known_kind : start_code) out.emplace_back(frame.begin() + 32, frame.end());
    }
    return out;
  }
  int Run() {
    EXPECT_TRUE(builder_.Write(Rec()));
    EXPECT_TRUE(job_.OpenRecording(Rec()).ok());
    EXPECT_TRUE(job_.StartConversion(&sink_));
    job_.Wait();
    EXPECT_FALSE(job_.Running());
    return job_.last_result();
  }
  void ExpectChunks(const AviFile& avi, int c) {
    const std::vector<Bytes> want = ExpectedChunks(c);
    ASSERT_EQ(avi.chunks.size(), want.size()) << "channel " << c;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(avi.chunks[i].data, want[i]) << "channel " << c << " chunk " << i;
    }
  }

  ScratchDir dir_;
  ConversionJob job_;
  RecordingSink sink_;
  RecordingBuilder builder_;
  std::vector<std::pair<Bytes, bool>> expected_[kChannelCount];
  int serial_ = 0;
};

TEST_F(WorkerTest, WritesEveryChannelWithASizeFrameForFrame) {
  g_sizes[0] = {352, 240};
  g_sizes[2] = {176, 144};
  // Channel 0: 10 counted frames from 1000 s + 0 ticks to 1000 s + 54 ticks.
  // Channel 2: 1001 counted frames spanning exactly 1000 s, with audio and odd sizes.
  // Channel 5 has frames but no size: no file.
  for (int i = 0; i < 1001; ++i) {
    if (i < 10) Video(0, 1000, i * 6);
    Video(2, 5000 + i, 0, 100 + (i % 7));
    if (i % 50 == 0) {
      Add(RecordingBuilder::MakeFrame(0xC, 2, 5000 + i, 0, Bytes(321, 0x80)), true);
      Video(5, 5000 + i, 0);
    }
  }
  // Written but not counted: a passthrough video frame. Neither: a frame without the start
  // code, a passthrough frame of an unknown kind.
  Add(RecordingBuilder::MakeFrame(0xE, 0, 1, 0, Bytes{9, 9, 9, 9, 9}), true);
  Add(RecordingBuilder::MakeFrame(0xE, 0, 1, 0, Bytes{0, 0, 1, 0x65, 1, 2}), false);
  Add(RecordingBuilder::MakeFrame(0xD, 0, 1, 0, Bytes{0, 0, 0, 1, 0x65}), true);
  // A large frame over several packets.
  Add(RecordingBuilder::MakeFrame(0xE, 2, 6000, 0, RecordingBuilder::VideoPayload(0x41, 5000, 3)),
      true);

  EXPECT_EQ(Run(), 1);
  const AviFile a = ParseAvi(Out(0));
  ASSERT_TRUE(a.ok) << a.error;
  ExpectChunks(a, 0);
  EXPECT_EQ(a.width, 352u);
  EXPECT_EQ(a.height, 240u);
  EXPECT_EQ(a.video_scale, 100u);
  EXPECT_EQ(a.video_rate, 999u);
  EXPECT_EQ(a.micro_sec_per_frame, 100000u);
  EXPECT_EQ(a.video_length, 10u);

  const AviFile b = ParseAvi(Out(2));
  ASSERT_TRUE(b.ok) << b.error;
  ExpectChunks(b, 2);
  EXPECT_EQ(b.bi_width, 176);
  EXPECT_EQ(b.bi_height, 144);
  EXPECT_EQ(b.video_rate, 100u);
  EXPECT_EQ(b.micro_sec_per_frame, 999100u);
  EXPECT_EQ(b.video_length, 1001u);

  EXPECT_FALSE(testing::Exists(Out(1)));
  EXPECT_FALSE(testing::Exists(Out(5)));

  // Every frame read posts kind 1 with the channel being written, whatever its channel.
  const size_t frames = serial_;
  EXPECT_EQ(size_t(sink_.Count(kWriteStep, 0)), frames);
  EXPECT_EQ(size_t(sink_.Count(kWriteStep, 2)), frames);
  ASSERT_FALSE(sink_.events().empty());
  EXPECT_EQ(sink_.events().back(), (Event{kDone, 0}));
  EXPECT_NEAR(job_.channel_rates()[0], 9.9999999851, 1e-9);
  EXPECT_NEAR(job_.channel_rates()[2], 1.0008999100, 1e-9);
  EXPECT_EQ(ProgressText(job_, kDone, 0, ""), "Done. Average FPS = 5.50");
  // The recording stays open at its end; a second run gives the same files.
  EXPECT_TRUE(job_.HasRecording());
  const testing::Bytes first = testing::ReadAll(Out(2));
  EXPECT_TRUE(job_.StartConversion(&sink_));
  job_.Wait();
  EXPECT_EQ(testing::ReadAll(Out(2)), first);
}

TEST_F(WorkerTest, RateEdgeCases) {
  // Channel 0: one counted frame. Channel 1: time stamps running backwards. Channel 3: a span
  // of -0.1 s, which leaves a rate of about 1e9 frames per second, too large for the headers.
  g_sizes[0] = g_sizes[1] = g_sizes[3] = {64, 64};
  Video(0, 77, 3);
  Video(1, 2000, 0);
  Video(1, 1999, 0);
  Video(1, 1000, 30);
  Video(3, 100, 6);  // 100.1 s
  Video(3, 100, 0);  // 100.0 s: span -0.1 s, rate about 1e8 per second
  EXPECT_EQ(Run(), 1);

  const AviFile one = ParseAvi(Out(0));
  ASSERT_TRUE(one.ok) << one.error;
  EXPECT_EQ(one.video_length, 1u);
  EXPECT_EQ(one.video_scale, 100u);
  EXPECT_EQ(one.video_rate, 999u);  // 1 / 0.10000000149 s, truncated to hundredths
  EXPECT_EQ(one.micro_sec_per_frame, 100000u);
  EXPECT_NEAR(job_.channel_rates()[0], 10.0, 1e-6);

  const AviFile back = ParseAvi(Out(1));
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_EQ(back.chunks.size(), 3u);
  EXPECT_EQ(back.video_length, 3u);
  EXPECT_EQ(back.micro_sec_per_frame, 41666u);  // the writer's 24 frames per second
  EXPECT_EQ(back.video_scale, 1u);
  EXPECT_EQ(back.video_rate, 24u);
  // The rate shown is the one the file carries; both steps back are clock jumps.
  EXPECT_EQ(job_.channel_rates()[1], 24.0);
  ASSERT_EQ(job_.result(1).clock_jumps.size(), 2u);
  EXPECT_EQ(job_.result(1).clock_jumps[1].from, 1999.0);
  EXPECT_EQ(job_.result(1).clock_jumps[1].to, 1000.5);

  const AviFile huge = ParseAvi(Out(3));
  ASSERT_TRUE(huge.ok) << huge.error;
  EXPECT_EQ(huge.video_length, 2u);
  EXPECT_EQ(huge.video_scale, 1u);
  EXPECT_EQ(huge.video_rate, 24u);
  EXPECT_EQ(huge.micro_sec_per_frame, 41666u);
  // The average shown counts the rates the files carry: (10 + 24 + 24) / 3.
  EXPECT_EQ(job_.channel_rates()[3], 24.0);
  EXPECT_EQ(ProgressText(job_, kDone, 0, ""), "Done. Average FPS = 19.33");
}

TEST_F(WorkerTest, NoChannelAndNoRecording) {
  // No channel: kind 3 and no file.
  Video(4, 1, 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sink_.events(), (std::vector<Event>{{kNoChannel, 0}}));
  EXPECT_FALSE(testing::Exists(Out(4)));

  // No recording open: the worker ends at once without any event.
  ConversionJob idle;
  RecordingSink quiet;
  EXPECT_TRUE(idle.StartConversion(&quiet));
  idle.Wait();
  EXPECT_EQ(idle.last_result(), 1);
  EXPECT_TRUE(quiet.events().empty());
  EXPECT_FALSE(idle.Running());
}

TEST_F(WorkerTest, CancelLeavesEarlierFilesCompleteAndTheCurrentOneValid) {
  g_sizes[0] = g_sizes[1] = {32, 32};
  for (int i = 0; i < 40; ++i) {
    Video(0, 10 + i, 0);
    Video(1, 10 + i, 0);
  }
  ASSERT_TRUE(builder_.Write(Rec()));
  // A pass per channel: the flag raised while channel 1 is written, after 30 of its frames were
  // read; channel 0's file is complete. One read: after 30 frames, both files are cut.
  for (const bool one_read : {false, true}) {
    SCOPED_TRACE(one_read ? "one read" : "a pass per channel");
    job_.settings.one_read = one_read;
    const ProgressKind step = one_read ? kReadStep : kWriteStep;
    const int value = one_read ? 3 : 1;
    RecordingSink sink;
    sink.on_event = [&](int kind, int v) {
      if (kind == step && v == value && sink.Count(step, value) == 30) job_.Cancel();
    };
    ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
    ASSERT_TRUE(job_.StartConversion(&sink));
    job_.Wait();
    EXPECT_EQ(job_.last_result(), kWorkerStopped);
    for (const Event& e : sink.events()) EXPECT_NE(e.kind, kDone);

    const AviFile first = ParseAvi(Out(0));
    ASSERT_TRUE(first.ok) << first.error;
    if (one_read) {
      EXPECT_EQ(first.chunks.size(), 15u);
      EXPECT_EQ(job_.result(0).outcome, ChannelOutcome::kCancelled);
    } else {
      ExpectChunks(first, 0);
      EXPECT_EQ(first.video_scale, 100u);
    }
    const AviFile cut = ParseAvi(Out(1));
    ASSERT_TRUE(cut.ok) << cut.error;
    EXPECT_EQ(cut.chunks.size(), 15u);  // frames 30 read = 15 of each channel
    EXPECT_EQ(cut.micro_sec_per_frame, 41666u);
    EXPECT_EQ(cut.video_scale, 1u);
    EXPECT_EQ(cut.video_rate, 24u);
    EXPECT_EQ(cut.video_length, 0u);
    EXPECT_EQ(job_.result(1).outcome, ChannelOutcome::kCancelled);
    EXPECT_EQ(Files(), (std::vector<std::string>{"cam.kvr", "cam_01.avi", "cam_02.avi"}));
  }
}

// One read writes exactly the files that a pass per channel writes: recordings of several
// channels with audio, passthrough frames and every kind of damage, whole and clipped, with a
// list of channels.
TEST(OneRead, WritesWhatAPassPerChannelWrites) {
  ScratchDir dir;
  const std::string rec = dir / "rec.kvr";
  const auto stream = [](const char* name) {
    return std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name + ".264";
  };
  for (const char* seed : {"1", "2", "3"}) {
    std::string out;
    ASSERT_EQ(testing::RunProgram({testing::CliPath(),
                                   "mkrec",
                                   "-o",
                                   rec,
                                   "--fps",
                                   "12.5",
                                   "--start",
                                   "1000",
                                   "--channel",
                                   "0=" + stream("qp51"),
                                   "--channel",
                                   "3=" + stream("refs_slices"),
                                   "--channel",
                                   "7=" + stream("odd_size"),
                                   "--audio",
                                   "3",
                                   "--passthrough",
                                   "4",
                                   "--damage",
                                   "garbage:6",
                                   "--damage",
                                   "endmark:3",
                                   "--damage",
                                   "kind255:4",
                                   "--seed",
                                   seed},
                                  &out),
              0)
        << out;
    for (const TimeRange& range : {TimeRange{}, TimeRange{true, true, 1001.3, 1002.7}}) {
      std::map<std::string, Bytes> written[2];
      for (const bool one_read : {false, true}) {
        ConversionJob job;
        job.settings.one_read = one_read;
        job.settings.range = range;
        job.settings.channels = (1u << 0) | (1u << 7) | (1u << 9);
        ASSERT_TRUE(job.OpenRecording(rec).ok());
        ASSERT_TRUE(job.StartConversion(nullptr));
        job.Wait();
        EXPECT_EQ(job.last_result(), kWorkerFinished);
        for (const std::string& name : testing::ListDir(dir.path())) {
          if (name == "rec.kvr") continue;
          written[one_read][name] = testing::ReadAll(dir / name);
          std::remove((dir / name).c_str());
        }
      }
      EXPECT_FALSE(written[0].empty()) << seed;
      EXPECT_EQ(written[0], written[1]) << "seed " << seed << (range.Limited() ? ", clipped" : "");
    }
  }
}

TEST_F(WorkerTest, CancelDuringTheScanWritesNoFile) {
  // A channel with a size when the scan is cancelled: its earlier file stays as it was, and
  // no other file appears.
  g_sizes[0] = g_sizes[1] = {32, 32};
  g_cancel_in_scan = true;
  Video(0, 1, 0);
  Video(1, 2, 0);
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  ASSERT_TRUE(WriteFile(Out(0), earlier));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(testing::ReadAll(Out(0)), earlier);
  EXPECT_FALSE(testing::Exists(Out(1)));
  EXPECT_TRUE(sink_.events().empty());
  EXPECT_EQ(Files(), (std::vector<std::string>{"cam.kvr", "cam_01.avi"}));
}

TEST_F(WorkerTest, AFileGetsItsNameOnlyWhenComplete) {
  g_sizes[0] = {32, 32};
  for (int i = 0; i < 30; ++i) Video(0, 10 + i, 0);
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  ASSERT_TRUE(WriteFile(Out(0), earlier));
  // The first conversion holds in channel 0's pass, its file open under a temporary name.
  std::promise<void> holding;
  sink_.on_event = [&holding, first = true](int kind, int) mutable {
    if (kind == kWriteStep && first) holding.set_value();
    first = first && kind != kWriteStep;
  };
  job_.hold_point = 0;
  ASSERT_TRUE(builder_.Write(Rec()));
  ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
  ASSERT_TRUE(job_.StartConversion(&sink_));
  holding.get_future().wait();
  EXPECT_EQ(testing::ReadAll(Out(0)), earlier);
  EXPECT_EQ(Files().size(), 3u) << "the recording, the earlier file, one temporary file";

  // A second conversion of the same recording to the same name meanwhile: its file is
  // complete when it takes the name.
  ConversionJob other;
  other.scan_channels = &FakeScan;
  ASSERT_TRUE(other.OpenRecording(Rec()).ok());
  ASSERT_TRUE(other.StartConversion(nullptr));
  other.Wait();
  EXPECT_EQ(other.last_result(), 1);
  const AviFile complete = ParseAvi(Out(0));
  ASSERT_TRUE(complete.ok) << complete.error;
  ExpectChunks(complete, 0);

  // The first one, cancelled, still closes its file as a valid AVI under the name.
  job_.CancelAndWait();
  EXPECT_EQ(job_.last_result(), 0);
  const AviFile cut = ParseAvi(Out(0));
  ASSERT_TRUE(cut.ok) << cut.error;
  EXPECT_EQ(cut.video_scale, 1u);
  EXPECT_EQ(Files(), (std::vector<std::string>{"cam.kvr", "cam_01.avi"}));
}

TEST_F(WorkerTest, CancelAndWaitStopsARunningWorker) {
  g_sizes[0] = {32, 32};
  for (int i = 0; i < 2000; ++i) Video(0, i, 0, 1000);
  // The worker holds after the first frame of the pass until it is cancelled.
  job_.hold_point = 0;
  std::promise<void> holding;
  sink_.on_event = [&holding](int kind, int) {
    if (kind == kWriteStep) holding.set_value();
  };
  ASSERT_TRUE(builder_.Write(Rec()));
  ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
  ASSERT_TRUE(job_.StartConversion(&sink_));
  EXPECT_FALSE(job_.StartConversion(&sink_));  // one worker at a time
  EXPECT_EQ(job_.OpenRecording(Rec()).code(), StatusCode::kInvalidArgument);  // nothing changes
  holding.get_future().wait();
  job_.CancelAndWait();
  EXPECT_FALSE(job_.Running());
  EXPECT_EQ(job_.last_result(), 0);
  const AviFile a = ParseAvi(Out(0));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_LE(a.chunks.size(), 1u);
  EXPECT_LE(sink_.Count(kWriteStep, 0), 1);
}

TEST_F(WorkerTest, WriteFailuresStopTheConversion) {
  // Channel 2's file outgrows the file-size limit; the limit leaves channel 0's file alone.
  g_sizes[0] = g_sizes[2] = g_sizes[3] = {32, 32};
  for (int i = 0; i < 50; ++i) {
    Video(0, i, 0, 500);
    Video(2, i, 0, 6000);
    Video(3, i, 0, 500);
  }
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  ASSERT_TRUE(WriteFile(Out(2), earlier));
  ASSERT_TRUE(builder_.Write(Rec()));
  {
#ifdef _WIN32
    // Channel 2's earlier file is held open elsewhere, as a player holds it, without leave to
    // delete it: the complete file cannot take its name.
    std::FILE* held = _wfopen(testing::Fs(Out(2)).c_str(), L"rb");
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(job_.OpenRecording(Rec()).ok());
    EXPECT_TRUE(job_.StartConversion(&sink_));
    job_.Wait();
    std::fclose(held);
#else
    // Channel 2's file outgrows the file-size limit, which leaves channel 0's file alone.
    // SIGXFSZ ignored: the write fails instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = 100 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_TRUE(job_.OpenRecording(Rec()).ok());
    EXPECT_TRUE(job_.StartConversion(&sink_));
    job_.Wait();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
#endif
    EXPECT_EQ(job_.last_result(), 0);
  }
  const AviFile a = ParseAvi(Out(0));
  ASSERT_TRUE(a.ok) << a.error;
  ExpectChunks(a, 0);
  // The failed file was removed: the earlier one is still there, and no temporary file.
  EXPECT_EQ(testing::ReadAll(Out(2)), earlier);
  EXPECT_EQ(Files(), (std::vector<std::string>{"cam.kvr", "cam_01.avi", "cam_03.avi"}));
  const std::vector<Event> ev = sink_.events();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back(), (Event{kWriteError, 2}));
  EXPECT_EQ(ProgressText(job_, ev.back().kind, ev.back().value, ""), "CH_03. Write Error");
  EXPECT_EQ(sink_.Count(kWriteStep, 3), 0);  // it stopped at channel 2

#ifndef _WIN32
  // In one read, every file of the recording goes with the failed one; earlier files stay.
  ASSERT_EQ(std::remove(Out(0).c_str()), 0);
  job_.settings.one_read = true;
  {
    RecordingSink one_read;
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = 100 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_TRUE(job_.StartConversion(&one_read));
    job_.Wait();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    EXPECT_EQ(job_.last_result(), 0);
    EXPECT_EQ(one_read.events().back(), (Event{kWriteError, 2}));
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"cam.kvr", "cam_03.avi"}));
  EXPECT_EQ(testing::ReadAll(Out(2)), earlier);
  EXPECT_EQ(job_.result(2).outcome, ChannelOutcome::kFailed);
  EXPECT_EQ(job_.result(0).outcome, ChannelOutcome::kNotReached);
  job_.settings.one_read = false;
#endif

  // A name that cannot be written (a directory, a FIFO) is reported the same way, and the
  // FIFO is never opened.
  ASSERT_TRUE(std::filesystem::remove(testing::Fs(Out(2))));
  ASSERT_TRUE(std::filesystem::create_directory(testing::Fs(Out(2))));
  std::vector<int> blocked_channels = {2};
#ifndef _WIN32
  ASSERT_EQ(mkfifo(Out(3).c_str(), 0644), 0);
  blocked_channels.push_back(3);
#endif
  for (int blocked : blocked_channels) {
    RecordingSink second;
    ASSERT_TRUE(job_.StartConversion(&second));
    job_.Wait();
    EXPECT_EQ(job_.last_result(), 0);
    EXPECT_EQ(second.events().back(), (Event{kWriteError, blocked}));
    EXPECT_EQ(second.Count(kDone, 0), 0);
    if (blocked == 2) {
      ASSERT_TRUE(std::filesystem::remove(testing::Fs(Out(2))));
    }
  }
#ifndef _WIN32
  EXPECT_EQ(KindOfFifo(Out(3)), true);
#endif
}

TEST(ConversionJob, OpenRecordingRefusesWhatItCannotRead) {
  ScratchDir dir;
  ConversionJob job;
  EXPECT_EQ(job.OpenRecording(dir / "missing.kvr").code(), StatusCode::kCannotOpen);
  EXPECT_EQ(job.OpenRecording(dir.path()).code(), StatusCode::kIsDirectory);
#ifdef _WIN32
  EXPECT_EQ(job.OpenRecording("NUL").code(), StatusCode::kNotRegularFile);  // a device
#else
  EXPECT_EQ(job.OpenRecording("/dev/null").code(), StatusCode::kNotRegularFile);  // a device
  ASSERT_EQ(mkfifo((dir / "fifo.kvr").c_str(), 0644), 0);
  // Never opened, so it cannot block.
  EXPECT_EQ(job.OpenRecording(dir / "fifo.kvr").code(), StatusCode::kNotRegularFile);
#endif
  EXPECT_FALSE(job.HasRecording());

  // Sparse files on both sides of 2 GB: refused from there on by the dialog's job, taken
  // whatever their size by the command line's (no limit).
  const std::string big = dir / "big.kvr";
  for (int64_t limit : {kMaxRecordingSize, int64_t{0}}) {
    job.max_recording_size = limit;
    for (int64_t size : {int64_t{2147483647}, int64_t{2147483648}, int64_t{3} << 31}) {
      job.CloseRecording();  // Windows replaces no file that is open
      ASSERT_TRUE(testing::MakeSparseFile(big, size)) << size;
      const Status r = job.OpenRecording(big);
      if (size < 2147483648 || limit == 0) {
        EXPECT_TRUE(r.ok()) << r.message();
        EXPECT_EQ(job.file_size(), size);
        EXPECT_TRUE(job.HasRecording());
      } else {
        EXPECT_EQ(r.code(), StatusCode::kTooLarge) << size;
        EXPECT_FALSE(job.HasRecording());
      }
    }
  }
  job.CloseRecording();
  ASSERT_EQ(std::remove(big.c_str()), 0);
}

}  // namespace
}  // namespace vexlor::app
