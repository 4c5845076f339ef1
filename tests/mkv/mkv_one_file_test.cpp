// `vexlor convert --format mkv --one-file` end to end: two cameras, the second starting 0.4 s
// after the first, in one file per run, as --json, mkvmerge, ffprobe, ffmpeg and GStreamer see
// it (the tools' checks skip where they are missing, as under wine).
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "mkv/recordings.h"

namespace vexlor::testing {
namespace {

ProcessResult Vexlor(std::vector<std::string> args, bool stdout_only = true) {
  args.insert(args.begin(), CliPath());
  ProcessOptions options;
  options.environment = {{"TZ", "UTC0"}};
  if (stdout_only) options.capture = Capture::kStdout;
  return RunProcess(args, options);
}

// Each track's packet times in milliseconds (ffprobe), by stream index.
std::vector<std::set<long>> PacketTimes(const std::string& path, size_t streams) {
  std::vector<std::set<long>> times(streams);
  for (size_t i = 0; i < streams; ++i) {
    ProcessOptions options;
    options.capture = Capture::kStdout;
    const ProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", std::to_string(i), "-show_entries",
                    "packet=pts_time", "-of", "csv=p=0", path},
                   options);
    for (const std::string& line : Lines(r.output)) {
      if (!line.empty()) times[i].insert(std::lround(std::stod(line) * 1000));
    }
  }
  return times;
}

TEST(MkvOneFile, EveryCameraOnOneTimeline) {
  ScratchDir dir;
  const std::string rec = dir / "two.kvr";
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--fps", "25", "--start", std::to_string(kBaseSeconds),
                    "--channel", "0=" + X264Data("refs_slices.264"), "--channel",
                    "3=" + X264Data("refs_slices.264"), "--audio", "3", "--delay", "3=0.4"})
                .exit_code,
            0);
  const bool tools = HaveTool("mkvmerge") && HaveTool("ffprobe") && HaveTool("ffmpeg") &&
                     HaveTool("gst-discoverer-1.0");
  // Both channels' key frames are their frames 0 and 15: the clip from +0.6 s starts the first
  // at 0.6 s, the second at 0.4 s, its zero.
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* file;
    std::vector<std::string> tracks;  // the video tracks' names, in order
    std::vector<long> starts;         // each one's first picture (milliseconds)
  } cases[] = {
      {"whole", {}, "two.mkv", {"CH_01", "CH_04"}, {0, 400}},
      {"chosen", {"--channels", "4"}, "two.mkv", {"CH_04"}, {0}},
      {"clip", {"--from", "+0.6s", "-o", dir / "out"}, "out/two.mkv", {"CH_01", "CH_04"}, {200, 0}},
  };
  const std::string kept = VEXLOR_BINARY_DIR "/tests/mkv/files/";
  std::filesystem::create_directories(Fs(kept));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.file;
    std::vector<std::string> args = {"convert", "--format", "mkv", "--one-file", "--json", rec};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = Vexlor(args);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // --json names the one file for each channel, with the channel's video track.
    const nlohmann::json j = nlohmann::json::parse(r.output);
    std::vector<int> tracks;
    for (const auto& ch : j["channels"]) {
      if (ch["result"] != "written") continue;
      EXPECT_EQ(ch["files"][0]["file"], path);
      tracks.push_back(ch["files"][0]["track"]);
    }
    EXPECT_EQ(tracks.size(), c.tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) EXPECT_EQ(tracks[i], int(i) + 1);
    // The same bytes from the Windows build.
    const Bytes bytes = ReadAll(path);
    std::filesystem::copy_file(Fs(path), Fs(kept + "one_file_" + c.name + ".mkv"),
                               std::filesystem::copy_options::overwrite_existing);
#ifdef VEXLOR_HOST_MKV_DIR
    const std::string host = std::string(VEXLOR_HOST_MKV_DIR "/one_file_") + c.name + ".mkv";
    if (Exists(host)) {
      EXPECT_TRUE(ReadAll(host) == bytes) << "differs from " << host;
    }
#endif
    if (!tools) continue;

    ProcessOptions out;
    out.capture = Capture::kStdout;
    const nlohmann::json m =
        nlohmann::json::parse(RunProcess({"mkvmerge", "-J", path}, out).output);
    EXPECT_TRUE(m["warnings"].empty() && m["errors"].empty()) << m.dump();
    std::vector<std::string> names;
    std::map<std::string, int> kinds;
    for (const auto& t : m["tracks"]) {
      ++kinds[t["type"]];
      if (t["type"] == "video") names.push_back(t["properties"]["track_name"]);
    }
    EXPECT_EQ(names, c.tracks);
    EXPECT_EQ(kinds["subtitles"], 1);  // the clock
    EXPECT_EQ(kinds["audio"], 1);      // CH_04's sound
    // Each camera's first picture at its start; an instant both recorded at one time in both.
    const std::vector<std::set<long>> times = PacketTimes(path, c.tracks.size());
    for (size_t i = 0; i < times.size(); ++i) {
      ASSERT_FALSE(times[i].empty());
      EXPECT_EQ(*times[i].begin(), c.starts[i]) << c.tracks[i];
      for (long t : times[i]) {
        for (const std::set<long>& other : times) {
          if (t >= *other.begin() && t <= *other.rbegin()) {
            EXPECT_EQ(other.count(t), 1u) << t;
          }
        }
      }
    }
    const ProcessResult decoded = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", path,
                                              "-map", "0:v", "-map", "0:a", "-f", "null", "-"});
    EXPECT_EQ(decoded.exit_code, 0) << decoded.output;
    EXPECT_EQ(decoded.output, "");
    const ProcessResult found = RunProcess({"gst-discoverer-1.0", path}, out);
    EXPECT_EQ(found.exit_code, 0) << found.output;
    EXPECT_NE(found.output.find("H.264"), std::string::npos) << found.output;
  }

  // The finished file is left alone; --one-file needs the format that can hold it.
  const ProcessResult again =
      Vexlor({"convert", "--format", "mkv", "--one-file", "--skip-existing", "--json", rec});
  EXPECT_EQ(nlohmann::json::parse(again.output)["result"], "skipped") << again.output;
  const ProcessResult refused = Vexlor({"convert", "--one-file", rec}, false);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.output, "error: --one-file needs mkv in --format (--format mkv --one-file)\n");
}

}  // namespace
}  // namespace vexlor::testing
