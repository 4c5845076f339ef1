// The files of the table of recordings as the build host's players and tools see them: ffprobe
// and ffmpeg (times, creation time, the clock's text, the sound, each picture at its size),
// mkvmerge, mkvinfo, mediainfo, and GStreamer, which plays each file to its end. A test whose
// tools are missing skips (under wine none can run).
#include <gtest/gtest.h>

#include "mkv/mkv_muxer.h"
#include "mkv/recordings.h"

namespace vexlor::testing {
namespace {

ProcessResult Tool(const std::vector<std::string>& argv) {
  ProcessOptions options;
  options.capture = Capture::kStdout;
  return RunProcess(argv, options);
}
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Skips unless the tools are there; writes the table's files into `dir`.
#define WRITE_TABLE_OR_SKIP(dir, fed, paths, ...)                                           \
  for (const char* tool : {__VA_ARGS__}) {                                                  \
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (or not usable here)";  \
  }                                                                                         \
  ScratchDir dir;                                                                           \
  std::vector<Fed> fed(Recordings().size());                                                \
  std::vector<std::string> paths;                                                           \
  for (size_t i = 0; i < Recordings().size(); ++i) {                                        \
    paths.push_back(dir / (std::string(Recordings()[i].name) + ".mkv"));                    \
    ASSERT_TRUE(WriteRecording(mkv::MkvFormat(), Recordings()[i], paths[i], &fed[i]).ok()); \
  }

TEST(MkvPlayers, ReadersAcceptEveryFile) {
  WRITE_TABLE_OR_SKIP(dir, fed, paths, "mkvmerge", "mkvinfo", "mediainfo", "gst-discoverer-1.0",
                      "gst-launch-1.0");
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    // GStreamer plays every stream, each into a sink of its own (a stream left unlinked can
    // stall the others at a pause).
    std::vector<std::string> play = {"gst-launch-1.0", "filesrc", "location=" + path, "!",
                                     "decodebin",      "name=d"};
    for (size_t k = Recordings()[i].audio.empty() ? 2 : 3; k > 0; --k) {
      play.insert(play.end(), {"d.", "!", "fakesink"});
    }
    // Each tool, and what its report must hold.
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> runs = {
        {{"mkvmerge", "-J", path}, {"\"supported\": true", "\"warnings\": []"}},
        {{"mkvinfo", path}, {"Codec ID: V_MPEG4/ISO/AVC"}},
        {{"mediainfo", path}, {"Matroska", "AVC"}},
        {{"gst-discoverer-1.0", path}, {"H.264"}},
        {play, {"Got EOS"}}};
    for (const auto& [argv, wanted] : runs) {
      const ProcessResult r = Tool(argv);
      EXPECT_EQ(r.exit_code, 0) << argv[0] << " " << path << "\n" << r.output;
      for (const std::string& w : wanted) EXPECT_NE(r.output.find(w), std::string::npos) << w;
      EXPECT_EQ(r.output.find("Error"), std::string::npos) << argv[0] << "\n" << r.output;
    }
  }
}

TEST(MkvPlayers, FfmpegSeesTheRecordedTimes) {
  WRITE_TABLE_OR_SKIP(dir, fed, paths, "ffprobe", "ffmpeg");
  for (size_t i = 0; i < paths.size(); ++i) {
    const Recording& r = Recordings()[i];
    SCOPED_TRACE(r.name);
    auto probe = [&](const std::string& entries, const std::string& streams = "") {
      std::vector<std::string> args = {"ffprobe", "-v",  "error",   "-show_entries",
                                       entries,   "-of", "csv=p=0", paths[i]};
      if (!streams.empty()) args.insert(args.begin() + 1, {"-select_streams", streams});
      return Lines(Tool(args).output);
    };
    // Packet times (ms): the recording's, within the half millisecond of the rounding.
    std::vector<double> times[2];
    for (const std::string& line : probe("packet=codec_type,pts_time")) {
      if (line[0] != 's') times[line[0] == 'a'].push_back(std::atof(&line[6]) * 1000);
    }
    for (auto [got, want] :
         {std::pair{times[0], Expand(r.video_ms)}, {times[1], Expand(r.audio_ms)}}) {
      ASSERT_EQ(got.size(), want.size());
      for (size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 0.5 + 1e-6) << k;
    }
    // The creation time: the first stamp's wall-clock time, milliseconds included.
    const double first = TestWallClock(Stamp(r.video[0].first).Seconds());
    const std::time_t whole = std::time_t(std::floor(first));
    char when[64];
    const size_t n = std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", std::gmtime(&whole));
    std::snprintf(when + n, sizeof when - n, ".%03d000Z",
                  int(std::llround((first - whole) * 1000)));
    EXPECT_EQ(probe("format_tags=creation_time"), std::vector<std::string>{when});
    // The clock's text at each frame's time: that of the frame's own stamp.
    const std::vector<std::string> srt = Lines(
        Tool({"ffmpeg", "-v", "error", "-i", paths[i], "-map", "0:s", "-f", "srt", "-"}).output);
    const std::vector<int64_t> ticks = Expand(r.video);
    for (size_t k = 0; k < ticks.size(); ++k) {
      std::string shown;
      for (size_t l = 1; l + 1 < srt.size(); ++l) {
        int t[8];
        if (std::sscanf(srt[l].c_str(), "%d:%d:%d,%d --> %d:%d:%d,%d", &t[0], &t[1], &t[2], &t[3],
                        &t[4], &t[5], &t[6], &t[7]) != 8) {
          continue;
        }
        const double from = ((t[0] * 60 + t[1]) * 60 + t[2]) * 1000.0 + t[3];
        const double to = ((t[4] * 60 + t[5]) * 60 + t[6]) * 1000.0 + t[7];
        if (from <= times[0][k] && times[0][k] < to) shown = srt[l + 1];
      }
      EXPECT_EQ(shown, TestClockText(TestWallClock(Stamp(ticks[k]).Seconds()))) << k;
    }
    // The sound decoded to unsigned 8-bit samples, bit for bit.
    if (!r.audio.empty()) {
      const std::string pcm =
          Tool({"ffmpeg", "-v", "error", "-i", paths[i], "-map", "0:a", "-f", "u8", "-"}).output;
      EXPECT_TRUE(pcm == std::string(fed[i].audio.begin(), fed[i].audio.end()));
    }
    // Every picture decodes, each at its own size.
    std::vector<std::string> sizes, want;
    for (const std::string& line : probe("frame=width,height", "v")) {
      if (!line.empty()) sizes.push_back(line.substr(0, 7));
    }
    for (size_t k = 0; k < fed[i].frames.size(); ++k) {
      want.push_back(r.cropped || k >= 30 ? "170,102" : "176,144");
    }
    EXPECT_EQ(sizes, want);
  }
}

}  // namespace
}  // namespace vexlor::testing
