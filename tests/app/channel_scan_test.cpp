// The channel scan with the real decoder, on recordings built with `vexlor mkrec` from the
// committed x264 streams.
#include <algorithm>
#include <mutex>

#include "app/conversion_job.h"
#include "app/test_support.h"
#include "h264/decoder.h"

namespace vexlor::app {
namespace {

using testing::RecordingBuilder;
using testing::RunProgram;
using testing::ScratchDir;

std::string Data(const std::string& name) {
  return std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name;
}

class ValueSink : public ProgressSink {
 public:
  void PostProgress(ProgressKind kind, int value) override {
    EXPECT_EQ(kind, kScanStep);
    values.push_back(value);
    if (cancel_at >= 0 && value == cancel_at) job->Cancel();
  }
  std::vector<int> values;
  int cancel_at = -1;
  ConversionJob* job = nullptr;
};

std::vector<int> Iota(int n) {
  std::vector<int> v(n);
  for (int i = 0; i < n; ++i) v[i] = i;
  return v;
}

class ScanTest : public ::testing::Test {
 protected:
  // mkrec with the given arguments into dir_/rec.kvr, opened in job_.
  void Make(std::vector<std::string> args) {
    args.insert(args.begin(), {testing::CliPath(), "mkrec", "-o", Rec()});
    std::string out;
    ASSERT_EQ(RunProgram(args, &out), 0) << out;
    ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
  }
  std::string Rec() const { return dir_ / "rec.kvr"; }
  int FrameCount() {
    std::string out;
    RunProgram({testing::CliPath(), "frames", Rec()}, &out);
    return int(std::count(out.begin(), out.end(), '\n'));
  }

  ScratchDir dir_;
  ConversionJob job_;
  ValueSink sink_;
};

TEST_F(ScanTest, LearnsTheSizeOfEachChannelWithVideo) {
  Make({"--channel", "3=" + Data("deblock_weak.264"), "--channel", "9=" + Data("odd_size.264"),
        "--audio", "5"});
  ASSERT_EQ(ScanChannels(&job_, &sink_), 1);
  for (int c = 0; c < kChannelCount; ++c) {
    const bool video = c == 3 || c == 9;
    EXPECT_EQ(job_.scan().widths[c], video ? 176 : 0) << c;
    EXPECT_EQ(job_.scan().heights[c], c == 3 ? 144 : (c == 9 ? 112 : 0)) << c;
  }
  // The odd-sized stream marks 6 columns and 10 rows of its 176 x 112 pictures as padding.
  EXPECT_EQ(std::vector<int32_t>(job_.scan().picture_crops[9], job_.scan().picture_crops[9] + 4),
            (std::vector<int32_t>{0, 6, 0, 10}));
  EXPECT_EQ(std::vector<int32_t>(job_.scan().picture_crops[3], job_.scan().picture_crops[3] + 4),
            (std::vector<int32_t>{0, 0, 0, 0}));
  // One event per loop turn, the turn that meets the end of the file included.
  EXPECT_EQ(sink_.values, Iota(FrameCount() + 1));
  // The channel's buffer holds the latest picture: real pixels, fourth bytes zero.
  ASSERT_EQ(job_.scan().picture_widths[3], 176);
  ASSERT_EQ(job_.scan().picture_heights[3], 144);
  const std::vector<uint8_t>& px = job_.scan().pictures[3];
  bool any_colour = false;
  for (size_t i = 0; i < 176 * 144 * 4; i += 4) {
    ASSERT_EQ(px[i + 3], 0);
    any_colour |= px[i] != px[i + 1] || px[i + 1] != px[i + 2];
  }
  EXPECT_TRUE(any_colour);

  // A second scan starts again from the beginning and finds the same.
  sink_.values.clear();
  ASSERT_EQ(ScanChannels(&job_, &sink_), 1);
  EXPECT_EQ(job_.scan().widths[9], 176);
  EXPECT_EQ(sink_.values.size(), size_t(FrameCount() + 1));
}

TEST_F(ScanTest, FindsNothingInPassthroughOrStartCodeLessFrames) {
  Make({"--passthrough", "1", "--channel", "0=" + Data("qp51.264")});
  EXPECT_EQ(ScanChannels(&job_, &sink_), 0);
  EXPECT_EQ(job_.scan().widths[0], 0);

  // Frames without the four-byte start code at 32 are not fed to the decoder.
  RecordingBuilder b;
  const testing::Bytes stream = testing::ReadAll(Data("qp51.264"));
  testing::Bytes shifted = {0xAA};  // the start code now begins at 33
  shifted.insert(shifted.end(), stream.begin(), stream.end());
  b.AddFrame(RecordingBuilder::MakeFrame(0xE, 0, 1, 0, shifted));
  ASSERT_TRUE(b.Write(dir_ / "shifted.kvr"));
  ASSERT_TRUE(job_.OpenRecording(dir_ / "shifted.kvr").ok());
  EXPECT_EQ(ScanChannels(&job_, nullptr), 0);
}

TEST_F(ScanTest, ReadsAtMost1024FramesAndStopsOnCancel) {
  RecordingBuilder b;
  for (int i = 0; i < 1100; ++i)
    b.AddFrame(RecordingBuilder::MakeFrame(0xC, 1, i, 0, testing::Bytes(10, 0x80)), true);
  ASSERT_TRUE(b.Write(Rec()));
  ASSERT_TRUE(job_.OpenRecording(Rec()).ok());
  EXPECT_EQ(ScanChannels(&job_, &sink_), 0);
  EXPECT_EQ(sink_.values, Iota(1024));
  EXPECT_EQ(job_.read_position(), int64_t{1024} * 1418);

  // Cancelled at the sixth turn: that turn's read happens, then the loop ends; the sizes
  // learned before count.
  Make({"--channel", "2=" + Data("qp51.264")});
  sink_.values.clear();
  sink_.cancel_at = 5;
  sink_.job = &job_;
  EXPECT_EQ(ScanChannels(&job_, &sink_), 1);
  EXPECT_EQ(sink_.values, Iota(6));
  EXPECT_EQ(job_.scan().widths[2], 176);
}

TEST_F(ScanTest, ChannelWithoutADecoderGetsNoSize) {
  Make({"--channel", "4=" + Data("qp51.264"), "--channel", "6=" + Data("no_deblock.264")});
  job_.SetDecoder(4, nullptr);
  EXPECT_EQ(ScanChannels(&job_, nullptr), 1);
  EXPECT_EQ(job_.scan().widths[4], 0);
  EXPECT_EQ(job_.scan().widths[6], 176);
}

TEST_F(ScanTest, PictureLargerThanTheFirstBufferIsKeptWhole) {
  if (!testing::HaveTool("x264") || !testing::HaveTool("ffmpeg")) GTEST_SKIP() << "no x264/ffmpeg";
  // 1280 x 720 pixels take 3,686,400 bytes, more than the buffer a channel starts with.
  const std::string stream = dir_ / "hd.264";
  ASSERT_TRUE(testing::EncodeX264(stream, "testsrc2", 1280, 720, 2));
  Make({"--channel", "7=" + stream});
  ASSERT_LT(job_.scan().pictures[7].size(), size_t{1280} * 720 * 4);
  ASSERT_EQ(ScanChannels(&job_, nullptr), 1);
  EXPECT_EQ(job_.scan().widths[7], 1280);
  EXPECT_EQ(job_.scan().heights[7], 720);
  ASSERT_EQ(job_.scan().picture_widths[7], 1280);
  ASSERT_GE(job_.scan().pictures[7].size(), size_t{1280} * 720 * 4);
  // The last rows were converted too.
  const uint8_t* last_row = job_.scan().pictures[7].data() + size_t{1280} * 719 * 4;
  int non_zero = 0;
  for (int i = 0; i < 1280 * 4; ++i) non_zero += last_row[i] != 0;
  EXPECT_GT(non_zero, 1280);
}

TEST_F(ScanTest, APictureStillInsideTheDecoderAtTheEndCounts) {
  if (!testing::HaveTool("x264") || !testing::HaveTool("ffmpeg")) GTEST_SKIP() << "no x264/ffmpeg";
  // One picture: the decoder finishes it only when drained at the end of the scan.
  const std::string stream = dir_ / "one.264";
  ASSERT_TRUE(testing::EncodeX264(stream, "testsrc2", 176, 144, 1));
  Make({"--channel", "5=" + stream});
  ASSERT_EQ(ScanChannels(&job_, &sink_), 1);
  EXPECT_EQ(job_.scan().widths[5], 176);
  EXPECT_EQ(job_.scan().heights[5], 144);
  EXPECT_EQ(job_.scan().picture_widths[5], 176);

  // Not when the scan is cancelled.
  ConversionJob fresh;
  ASSERT_TRUE(fresh.OpenRecording(Rec()).ok());
  ValueSink cancelling;
  cancelling.cancel_at = 0;
  cancelling.job = &fresh;
  EXPECT_EQ(ScanChannels(&fresh, &cancelling), 0);
  EXPECT_EQ(fresh.scan().widths[5], 0);
}

// Everything a scan leaves behind, for comparing scans on different numbers of threads.
struct ScanOutcome {
  int result = -1;
  std::vector<int> events;
  std::vector<int32_t> sizes;                // width, height, picture width, picture height, crops
  std::vector<std::vector<uint8_t>> pixels;  // the picture each channel's buffer holds
  int64_t read_position = 0;
  bool operator==(const ScanOutcome&) const = default;
};

ScanOutcome ScanWith(const std::string& rec, int threads, int cancel_at = -1) {
  ConversionJob job;
  EXPECT_TRUE(job.OpenRecording(rec).ok());
  job.scan_threads = threads;
  ValueSink sink;
  sink.cancel_at = cancel_at;
  sink.job = &job;
  ScanOutcome out;
  out.result = ScanChannels(&job, &sink);
  out.events = sink.values;
  out.read_position = job.read_position();
  for (int c = 0; c < kChannelCount; ++c) {
    out.sizes.insert(out.sizes.end(),
                     {job.scan().widths[c], job.scan().heights[c], job.scan().picture_widths[c],
                      job.scan().picture_heights[c]});
    out.sizes.insert(out.sizes.end(), job.scan().picture_crops[c], job.scan().picture_crops[c] + 4);
    const size_t bytes =
        size_t(job.scan().picture_widths[c]) * size_t(job.scan().picture_heights[c]) * 4;
    out.pixels.emplace_back(job.scan().pictures[c].begin(), job.scan().pictures[c].begin() + bytes);
  }
  return out;
}

// The scan on worker threads leaves exactly what the scan on one thread leaves, whatever the
// number of workers: on the sample recording, on one with all sixteen channels (streams of
// several sizes and slice layouts, frames of many NAL units), cut short by cancel at several
// points, and beyond the 1024-frame limit.
TEST_F(ScanTest, WorkerThreadsLeaveWhatOneThreadLeaves) {
  std::vector<std::string> recordings = {std::string(VEXLOR_SOURCE_DIR) + "/samples/sample.kvr"};
  const char* streams[] = {"deblock_weak.264",      "odd_size.264",       "qp51.264",
                           "refs_slices.264",       "partitions_umh.264", "intra_refresh.264",
                           "constrained_intra.264", "no_deblock.264"};
  std::vector<std::string> args;
  for (int c = 0; c < kChannelCount; ++c) {
    args.insert(args.end(), {"--channel", std::to_string(c) + "=" + Data(streams[c % 8])});
  }
  Make(args);
  recordings.push_back(Rec());
  // Beyond the limit: the same channels again and again, 1500 frames and more.
  RecordingBuilder b;
  const testing::Bytes stream = testing::ReadAll(Data("qp51.264"));
  for (int i = 0; i < 1100; ++i) {
    testing::Bytes junk(40 + i % 200, uint8_t(i));
    junk[0] = junk[1] = junk[2] = 0;
    junk[3] = 1;  // a start code, then noise the decoder must reject
    b.AddFrame(RecordingBuilder::MakeFrame(0xE, i % 5, i, 0, i % 7 == 0 ? stream : junk));
  }
  ASSERT_TRUE(b.Write(dir_ / "long.kvr"));
  recordings.push_back(dir_ / "long.kvr");

  for (const std::string& rec : recordings) {
    const ScanOutcome one = ScanWith(rec, 1);
    EXPECT_EQ(one.result, 1) << rec;
    for (int threads : {2, 3, 16}) {
      EXPECT_TRUE(ScanWith(rec, threads) == one) << rec << " on " << threads << " threads";
    }
    for (int cancel_at : {0, 3, 40, 500}) {
      const ScanOutcome cancelled = ScanWith(rec, 1, cancel_at);
      EXPECT_TRUE(ScanWith(rec, 4, cancel_at) == cancelled) << rec << " cancelled at " << cancel_at;
    }
  }
}

}  // namespace
}  // namespace vexlor::app
