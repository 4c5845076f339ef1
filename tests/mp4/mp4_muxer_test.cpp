// MP4 files of recordings of every kind (written through tests/support/mux_driver.h), checked by
// an independent walk of their boxes and by every reader that is installed: ffprobe and ffmpeg,
// mediainfo, GStreamer and Chromium. A test whose reader is missing skips, saying so.
#include "mp4/mp4_muxer.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "mkv/mkv_muxer.h"
#include "mp4/iso_walk.h"
#include "platform/output_file.h"
#include "support/mux_driver.h"

namespace vexlor::testing {
namespace {

constexpr int64_t kBase = int64_t{1700000000} * 60;  // 2023-11-14 22:13:20 UTC, in sixtieths

struct Seek {
  double time;
  char colour;  // of the picture shown then: r, b
};

struct Recording {
  const char* name;
  std::vector<Piece> pieces;
  std::vector<Seek> seeks;  // for Chromium
};

const Recording kRecordings[] = {
    {"paused",
     {{"red", 320, 240, 20, kBase, 3}, {"blue", 320, 240, 20, kBase + 60 * 30, 3}},
     {{0.5, 'r'}, {10, 'r'}, {30.5, 'b'}}},
    {"whole_seconds", {{"green", 320, 240, 30, kBase, 60, 10}}, {}},
    {"clock_set_back",
     {{"red", 320, 240, 20, kBase + 3600 * 60, 3}, {"blue", 320, 240, 20, kBase, 3}},
     {{0.5, 'r'}, {1.5, 'b'}}},
    {"size_change", {{"red", 320, 240, 20, kBase, 3}, {"blue", 176, 144, 20, kBase + 60, 3}}, {}},
    {"sound_gaps",
     {{"red", 320, 240, 20, kBase, 3},
      {"red", 320, 240, 20, kBase + 60, 3, 1, false},
      {"red", 320, 240, 20, kBase + 120, 3}},
     {}},
    {"one_frame", {{"white", 320, 240, 1, kBase, 3}}, {}},
    {"overnight_pause",
     {{"red", 320, 240, 20, kBase, 3, 1, false},
      {"blue", 320, 240, 20, kBase + 14 * 216000, 3, 1, false}},
     {{0.5, 'r'}, {50400.5, 'b'}}},
};

struct Written {
  const Recording* recording;
  std::string path;
  MuxInput input;
};

// Every recording as an MP4 file in `dir`; empty when the test streams cannot be made.
std::vector<Written> WriteAll(const ScratchDir& dir) {
  std::vector<Written> all;
  for (const Recording& r : kRecordings) {
    Written& w = all.emplace_back(Written{&r, dir / (std::string(r.name) + ".mp4"), {}});
    if (!MakeMuxInput(r.pieces, &w.input)) return {};
    EXPECT_TRUE(WriteThrough(mp4::Mp4Format(), w.path, w.input).ok()) << r.name;
  }
  return all;
}

std::string Output(const std::vector<std::string>& argv, int* status = nullptr) {
  ProcessOptions options;
  options.capture = Capture::kStdout;
  ProcessResult r = RunProcess(argv, options);
  if (status != nullptr) *status = r.exit_code;
  return r.output;
}

// The bytes of ffprobe's hex dump lines ("00000000: 000d 6174 ...  ..at").
std::string HexDumpBytes(const std::string& text) {
  std::string out;
  for (const std::string& line : Lines(text)) {
    if (line.size() < 10 || line[8] != ':') continue;
    std::string hex = line.substr(10, 40);
    std::erase(hex, ' ');
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), 0, 16));
  }
  return out;
}

TEST(Mp4Muxer, FfmpegReadsTimesSizesClockAndSound) {
  if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  ScratchDir dir;
  const std::vector<Written> all = WriteAll(dir);
  if (all.empty()) GTEST_SKIP() << "x264 makes the test streams: not installed";
  for (const Written& w : all) {
    SCOPED_TRACE(w.recording->name);
    const MuxInput& in = w.input;
    // First our own walk of the boxes: each picture's data and key flag.
    WalkedMp4 mp4;
    ASSERT_EQ(WalkMp4(ReadAll(w.path), &mp4), "");
    ASSERT_EQ(mp4.Find("vide")->samples.size(), in.pictures.size());
    for (size_t i = 0; i < in.pictures.size(); ++i) {
      EXPECT_TRUE(std::ranges::equal(mp4.Data(mp4.Find("vide")->samples[i]), in.pictures[i]));
      EXPECT_EQ(mp4.Find("vide")->samples[i].key, in.keys[i]) << i;
    }
    const auto probe = [&](const char* stream, const char* entries, const char* format) {
      return Lines(Output({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                           entries, "-of", format, w.path}));
    };
    // Times in units of 1/90000 s (a file with a pause of more than 13 hours counts coarser).
    const auto units = [&](const char* stream) {
      return 90000 / std::stoll(probe(stream, "stream=time_base", "csv=p=0").at(0).substr(2));
    };
    const int64_t video_units = units("v:0"), clock_units = units("s:0");
    const std::vector<std::string> pts = probe("v:0", "packet=pts", "csv=p=0");
    std::vector<std::string> sizes;  // each picture as ffmpeg decodes it
    for (const std::string& line : probe("v:0", "frame=width,height", "flat")) {
      const std::string value = line.substr(line.find('=') + 1);
      if (line.find(".width=") != std::string::npos) sizes.push_back(value);
      if (line.find(".height=") != std::string::npos && !sizes.empty()) sizes.back() += "x" + value;
    }
    ASSERT_EQ(pts.size(), in.times.size());
    ASSERT_EQ(sizes.size(), in.sizes.size());
    for (size_t i = 0; i < pts.size(); ++i) {
      EXPECT_EQ(std::stoll(pts[i]) * video_units, in.times[i]) << i;
      EXPECT_EQ(sizes[i],
                std::to_string(in.sizes[i].first) + "x" + std::to_string(in.sizes[i].second))
          << i;
    }
    const std::string hour = in.stamps[0] == kBase ? "22" : "23";
    EXPECT_EQ(Output({"ffprobe", "-v", "error", "-show_entries",
                      "format_tags=creation_time,com.apple.quicktime.creationdate", "-of",
                      "default=nw=1:nk=1", w.path}),
              "2023-11-14T" + hour + ":13:20.000000Z\n2023-11-14T" + hour + ":13:20.000Z\n");
    // The clock track shows, at each picture's time, the second of its stamp.
    std::vector<std::pair<int64_t, std::string>> cues;
    const std::string packets = Output({"ffprobe", "-v", "error", "-select_streams", "s:0",
                                        "-show_entries", "packet=pts,data", "-show_data", w.path});
    for (size_t at = packets.find("pts="); at != std::string::npos;
         at = packets.find("pts=", at + 1)) {
      const std::string text = HexDumpBytes(packets.substr(at, packets.find("[/PACKET]", at) - at));
      cues.emplace_back(std::stoll(packets.substr(at + 4)) * clock_units,
                        text.substr(std::min<size_t>(2, text.size())));
    }
    for (size_t i = 0, c = 0; i < in.times.size(); ++i) {
      while (c + 1 < cues.size() && cues[c + 1].first <= in.times[i]) ++c;
      ASSERT_LT(c, cues.size());
      EXPECT_EQ(cues[c].second, "at " + std::to_string(in.stamps[i] / 60)) << i;
    }
    if (in.sound.empty()) continue;
    EXPECT_TRUE(Output({"ffmpeg", "-v", "error", "-i", w.path, "-map", "0:a:0", "-f", "u8", "-ac",
                        "1", "-ar", "8000", "-"}) == std::string(in.sound.begin(), in.sound.end()));
  }
}

TEST(Mp4Muxer, MediainfoAndGstreamerAcceptEveryFile) {
  if (!HaveTool("mediainfo") || !HaveTool("gst-discoverer-1.0") || !HaveTool("gst-launch-1.0"))
    GTEST_SKIP() << "mediainfo, gst-discoverer-1.0 or gst-launch-1.0 not installed";
  ScratchDir dir;
  const std::vector<Written> all = WriteAll(dir);
  if (all.empty()) GTEST_SKIP() << "ffmpeg and x264 make the test streams: not installed";
  for (const Written& w : all) {
    SCOPED_TRACE(w.recording->name);
    int status = -1;
    const std::string info = Output({"mediainfo", w.path}, &status);
    EXPECT_EQ(status, 0);
    const bool sound = !w.input.sound.empty();
    for (const char* format : {"AVC", "Timed Text", sound ? "FLAC" : ""})
      EXPECT_NE(info.find(format), std::string::npos) << format;
    const std::string found = Output({"gst-discoverer-1.0", w.path}, &status);
    EXPECT_EQ(status, 0) << found;
    for (const char* format : {"H.264", "Timed Text", sound ? "FLAC" : ""})
      EXPECT_NE(found.find(format), std::string::npos) << format;
    // Played to its end, every stream linked (with unlinked pads gst-launch can stall).
    std::vector<std::string> play = {
        "gst-launch-1.0", "-q", "filesrc", "location=" + w.path, "!", "decodebin", "name=d"};
    for (int stream = sound ? 0 : 1; stream < 3; ++stream)
      play.insert(play.end(), {"d.", "!", "queue", "!", "fakesink"});
    EXPECT_EQ(Output(play, &status), "");
    EXPECT_EQ(status, 0);
  }
}

TEST(Mp4Muxer, ChromiumPlaysAndSeeks) {
  const char* python = "/usr/bin/python3";
  if (!HaveTool("chromium") || !HaveTool("chromedriver") ||
      RunProcess({python, "-c", "import selenium"}).exit_code != 0)
    GTEST_SKIP() << "chromium, chromedriver or python3-selenium not installed";
  ScratchDir dir;
  const std::vector<Written> all = WriteAll(dir);
  if (all.empty()) GTEST_SKIP() << "ffmpeg and x264 make the test streams: not installed";
  std::vector<std::string> argv = {python, VEXLOR_SOURCE_DIR "/tests/mp4/browser_check.py",
                                   dir.path()};
  for (const Written& w : all) {
    std::string arg = std::string(w.recording->name) + ".mp4=";
    for (const Seek& seek : w.recording->seeks) {
      const int64_t t = int64_t(seek.time * 90000);
      const auto shown = std::upper_bound(w.input.times.begin(), w.input.times.end(), t) - 1;
      arg += std::to_string(seek.time) + "@" + std::to_string(double(*shown) / 90000) + ",";
    }
    argv.push_back(arg);
  }
  const std::vector<std::string> lines = Lines(Output(argv));
  size_t at = 0;
  for (const Written& w : all) {
    SCOPED_TRACE(w.recording->name);
    long long video = 0, audio = 0;
    ASSERT_LT(at, lines.size());
    EXPECT_EQ(std::sscanf(lines[at++].c_str(), "%*s video %lld audio %lld", &video, &audio), 2);
    EXPECT_GT(video, 0);
    EXPECT_EQ(audio > 0, !w.input.sound.empty());
    for (const Seek& seek : w.recording->seeks) {
      const char colour = seek.colour;
      int rgb[3] = {};
      ASSERT_LT(at, lines.size());
      ASSERT_EQ(std::sscanf(lines[at++].c_str(), "seek %*s %d %d %d", &rgb[0], &rgb[1], &rgb[2]),
                3);
      EXPECT_GT(rgb[colour == 'r' ? 0 : 2], 200) << lines[at - 1];
      EXPECT_LT(rgb[colour == 'r' ? 2 : 0], 50) << lines[at - 1];
    }
  }
}

TEST(Mp4Muxer, KeepsEarlierFilesAndTellsFinishedOnes) {
  ScratchDir dir;
  const std::string kept = dir / "kept.mp4", earlier = dir / "earlier.mp4";
  for (const std::string& path : {kept, earlier}) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f != nullptr);
    std::fputs("recording", f);
    std::fclose(f);
  }
  mux::StreamDescription description;
  description.keep_paths = {dir / "other.kvr", kept};
  EXPECT_EQ(mp4::Mp4Format().create()->Open(kept, description).code(), StatusCode::kIsKept);
  const uint8_t picture[] = {0, 0, 0, 1, 0x65, 0x88, 0x80};
  const auto write = [&](const std::string& path, int end) {  // 0 finish, 1 cancel, 2 abandon
    std::unique_ptr<mux::Muxer> muxer = mp4::Mp4Format().create();
    EXPECT_TRUE(muxer->Open(path, description).ok());
    EXPECT_TRUE(muxer->Write({mux::Track::kVideo, picture, {100, 0}, true, true}).ok());
    EXPECT_EQ(platform::TemporariesBeside(path).size(), 2u);  // the file and its media data
    if (end == 2) return muxer->Abandon();
    EXPECT_TRUE(muxer->Finish({end == 1}).ok());
    EXPECT_TRUE(muxer->Commit().ok());
  };
  // Abandoned, a file leaves the earlier one as it was.
  write(earlier, 2);
  EXPECT_TRUE(platform::TemporariesBeside(earlier).empty());
  for (const std::string& path : {kept, earlier}) EXPECT_EQ(ReadAll(path).size(), 9u);
  // Cancelled, it holds together but is not finished; finished, it is, and is the same each
  // time; cut short, it is not.
  write(earlier, 1);
  WalkedMp4 cancelled;
  EXPECT_EQ(WalkMp4(ReadAll(earlier), &cancelled), "");
  EXPECT_EQ(cancelled.finished, 0);
  EXPECT_FALSE(mp4::Mp4Format().is_finished(earlier));
  write(earlier, 0);
  write(dir / "again.mp4", 0);
  EXPECT_TRUE(mp4::Mp4Format().is_finished(earlier));
  EXPECT_EQ(ReadAll(earlier), ReadAll(dir / "again.mp4"));
  std::filesystem::resize_file(Fs(earlier), ReadAll(earlier).size() - 1);
  EXPECT_FALSE(mp4::Mp4Format().is_finished(earlier));
}

// Places on screen that give no order (more than a muxer trusts, two pictures at one place, one
// beyond the last) still make a whole file in either format with composition times: every
// picture in it once, and ffmpeg decodes them all without an error.
TEST(Mp4Muxer, PlacesOnScreenThatGiveNoOrderStillMakeAWholeFile) {
  MuxInput in;
  if (!MakeMuxInput({{"red", 320, 240, 20, kBase, 3}}, &in)) GTEST_SKIP() << "no ffmpeg/x264";
  const int32_t offsets[] = {1000, -1000, 3, 3, -2, 0, 65, -1};
  int k = 0;
  for (mux::Sample& s : in.samples) {
    if (s.track == mux::Track::kVideo) s.presentation_offset = offsets[k++ % 8];
  }
  ScratchDir dir;
  for (const mux::Format* format : {&mp4::Mp4Format(), &mkv::MkvFormat()}) {
    const std::string path = dir / (std::string("unordered") + format->suffix);
    ASSERT_TRUE(WriteThrough(*format, path, in).ok()) << path;
    EXPECT_TRUE(format->is_finished(path)) << path;
    if (!HaveTool("ffmpeg")) continue;
    int status = -1;
    // Every picture decoded, those that share a time too.
    const std::string md5s = Output({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map",
                                     "0:v:0", "-fps_mode", "passthrough", "-f", "framemd5", "-"},
                                    &status);
    EXPECT_EQ(status, 0) << path;
    const std::vector<std::string> lines = Lines(md5s);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l[0] == '0'; }), 20)
        << md5s;
  }
}

}  // namespace
}  // namespace vexlor::testing
