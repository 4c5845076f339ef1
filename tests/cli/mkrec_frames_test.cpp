// `vexlor mkrec` and `vexlor frames`: round trips, time stamps, audio, passthrough frames,
// damage and re-synchronisation, usage errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "container/recording.h"
#include "support/process.h"

namespace vexlor::cli {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Cli() {
  const char* env = std::getenv("VEXLOR_CLI");
  return env != nullptr ? env : VEXLOR_BINARY_DIR "/src/cli/vexlor";
}
std::string Data(const std::string& name) {
  return std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name;
}
std::string Temp(const std::string& name) {
  return std::string(::testing::TempDir()) + "mkrec_" + std::to_string(testing::ProcessId()) + "_" +
         name;
}

struct Result {
  int exit_code = -1;
  std::string out;
};
// Runs vexlor with the arguments; `out` is what it printed on standard output (or, with
// Capture::kStderr, on standard error).
Result Vexlor(std::vector<std::string> args, testing::Capture capture = testing::Capture::kStdout) {
  args.insert(args.begin(), Cli());
  testing::ProcessOptions options;
  options.capture = capture;
  testing::ProcessResult p = testing::RunProcess(args, options);
  return {p.exit_code, std::move(p.output)};
}
using Args = std::vector<std::string>;
Args Concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
size_t CountLines(const std::string& path) {
  std::ifstream in(path);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += !line.empty();
  return n;
}
Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct FrameLine {
  int channel = 0;
  std::string kind;
  uint32_t length = 0, seconds = 0, ticks = 0;
  int passthrough = 0;
};
std::vector<FrameLine> ParseFrames(const std::string& listing) {
  std::vector<FrameLine> out;
  for (const std::string& line : Lines(listing)) {
    FrameLine f;
    char kind[16] = {};
    unsigned long long index;
    if (std::sscanf(line.c_str(),
                    "%llu channel=%d %15s length=%u seconds=%u ticks=%u passthrough=%d", &index,
                    &f.channel, kind, &f.length, &f.seconds, &f.ticks, &f.passthrough) == 7) {
      EXPECT_EQ(index, out.size());
      f.kind = kind;
      out.push_back(f);
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  return out;
}
// The listing without its index column and its closing "skipped ..." line, for comparing frame
// sequences. *lost: the frames lost that the closing line gives (0 without one).
std::vector<std::string> Unindexed(const std::string& listing, long long* lost = nullptr) {
  std::vector<std::string> out;
  if (lost) *lost = 0;
  for (const std::string& line : Lines(listing)) {
    if (line.rfind("skipped ", 0) == 0) {
      long long n = -1;
      std::sscanf(line.c_str(), "skipped damaged_bytes=%*d damaged_ranges=%*d frames_lost=%lld",
                  &n);
      if (lost) *lost = n;
      continue;
    }
    out.push_back(line.substr(line.find(' ')));
  }
  return out;
}

TEST(MkrecFramesTest, RoundTripKeepsEveryFrame) {
  const std::string rec = Temp("round.kvr");
  const std::string a = Data("refs_slices.264"), b = Data("odd_size.264");
  const Result made =
      Vexlor({"mkrec", "-o", rec, "--channel", "2=" + a, "--channel", "13=" + b, "--audio", "13",
              "--fps", "30", "--start", "1000.5", "--passthrough", "4"});
  ASSERT_EQ(made.exit_code, 0) << made.out;
  const Result listed = Vexlor({"frames", rec});
  ASSERT_EQ(listed.exit_code, 0);
  const std::vector<FrameLine> frames = ParseFrames(listed.out);

  // One video frame per picture, time-stamped from the frame rate and start time, every 4th
  // sent as passthrough; audio as passthrough frames of 1/30 s of 8-bit samples.
  std::map<int, int> video_seen, audio_seen;
  double last_time = 0;
  size_t audio_bytes = 0;
  for (const FrameLine& f : frames) {
    const double t = f.seconds + f.ticks / 60.0;
    EXPECT_GE(t, last_time) << "frames not in time order";
    last_time = t;
    EXPECT_LT(f.ticks, 60u);
    if (f.kind == "video") {
      const int i = video_seen[f.channel]++;
      const long long sixtieths = std::llround((1000.5 + i / 30.0) * 60.0);
      EXPECT_EQ(f.seconds, uint32_t(sixtieths / 60));
      EXPECT_EQ(f.ticks, uint32_t(sixtieths % 60));
      EXPECT_EQ(f.passthrough, (i + 1) % 4 == 0 ? 1 : 0);
    } else {
      ASSERT_EQ(f.kind, "audio");
      EXPECT_EQ(f.channel, 13);
      EXPECT_EQ(f.passthrough, 1);
      EXPECT_LE(f.length, 32u + 267u);
      audio_seen[f.channel]++;
      audio_bytes += f.length - 32;
    }
  }
  EXPECT_EQ(size_t(video_seen[2]), CountLines(Data("refs_slices.md5")));
  EXPECT_EQ(size_t(video_seen[13]), CountLines(Data("odd_size.md5")));
  EXPECT_EQ(video_seen.size(), 2u);
  EXPECT_EQ(audio_bytes, size_t(video_seen[13] / 30.0 * 8000));

  // Each channel's video frames, header stripped and concatenated, give back its stream.
  container::RecordingSource src;
  src.file = std::fopen(rec.c_str(), "rb");
  ASSERT_NE(src.file, nullptr);
  container::MediaFrame frame;
  container::InitFrame(&frame);
  std::map<int, Bytes> streams;
  while (container::ReadNextFrame(&src, &frame) == 1) {
    if ((frame.data[3] >> 4) != container::kVideoKind) continue;
    EXPECT_EQ(Bytes(frame.data.begin() + 32, frame.data.begin() + 36), (Bytes{0, 0, 0, 1}));
    Bytes& s = streams[frame.channel];
    s.insert(s.end(), frame.data.begin() + 32, frame.data.begin() + frame.length);
  }
  std::fclose(src.file);
  EXPECT_TRUE(streams[2] == ReadFile(a));
  EXPECT_TRUE(streams[13] == ReadFile(b));
  std::remove(rec.c_str());
}

TEST(MkrecFramesTest, DamageResynchronisesAsDescribed) {
  const std::string clean = Temp("clean.kvr");
  const Args inputs = {"--channel", "1=" + Data("refs_slices.264"),
                       "--channel", "6=" + Data("qp1.264"),
                       "--audio",   "1"};
  ASSERT_EQ(Vexlor(Concat({"mkrec", "-o", clean}, inputs)).exit_code, 0);
  const std::vector<std::string> all = Unindexed(Vexlor({"frames", clean}).out);
  ASSERT_GT(all.size(), 60u);

  // Every kind alone and all together: the listing is the clean one without the frames that
  // mkrec reports lost, and its closing line counts them (broken end marks and a truncated last
  // packet lose exactly one frame each; garbage between packets and ignored packets inside frames
  // lose nothing).
  for (const Args& damages :
       {Args{"garbage:12"}, Args{"endmark:5"}, Args{"kind255:12"}, Args{"truncate:700"},
        Args{"garbage:8", "kind255:8", "endmark:4", "truncate:1"}}) {
    const std::string damage = damages[0];
    for (int seed : {1, 2, 3}) {
      const std::string rec = Temp("damaged.kvr");
      Args args = Concat({"mkrec", "-o", rec}, inputs);
      for (const std::string& d : damages) args = Concat(args, {"--damage", d});
      const Result made = Vexlor(Concat(args, {"--seed", std::to_string(seed)}));
      ASSERT_EQ(made.exit_code, 0) << damage;
      std::vector<bool> lost(all.size(), false);
      for (const std::string& line : Lines(made.out)) {
        size_t index;
        if (std::sscanf(line.c_str(), "damage: frame %zu lost", &index) == 1) lost.at(index) = true;
      }
      std::vector<std::string> expected;
      for (size_t i = 0; i < all.size(); ++i) {
        if (!lost[i]) expected.push_back(all[i]);
      }
      const size_t lost_count = all.size() - expected.size();
      if (damage.rfind("endmark:5", 0) == 0) {
        EXPECT_EQ(lost_count, 5u);
      }
      if (damage.rfind("truncate", 0) == 0) {
        EXPECT_EQ(lost_count, 1u);
      }
      if (damage.rfind("garbage:12", 0) == 0 || damage.rfind("kind255", 0) == 0) {
        EXPECT_EQ(lost_count, 0u);
        EXPECT_NE(ReadFile(rec), ReadFile(clean));
      }
      long long reported_lost = 0;
      EXPECT_EQ(Unindexed(Vexlor({"frames", rec}).out, &reported_lost), expected)
          << damage << " seed " << seed;
      EXPECT_EQ(reported_lost, (long long)lost_count) << damage << " seed " << seed;
      std::remove(rec.c_str());
    }
  }
  std::remove(clean.c_str());
}

TEST(MkrecFramesTest, HelpAndOneLineErrors) {
  for (const char* sub : {"mkrec", "frames"}) {
    const Result help = Vexlor({sub, "--help"});
    EXPECT_EQ(help.exit_code, 0) << sub;
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << sub;
  }
  const std::string x = Temp("x.kvr");
  const std::vector<Args> failing = {
      {"frames", "/nonexistent/rec.kvr"},
      {"frames"},
      {"mkrec", "-o", x, "--channel", "2=/nonexistent.264"},
      {"mkrec", "-o", x, "--channel", "16=" + Data("qp1.264")},
      {"mkrec", "-o", x, "--channel", "1=" + Data("qp1.264"), "--damage", "holes:3"},
      {"mkrec", "-o", x, "--audio", "3"},
      {"mkrec", "-o", "/nonexistent/x.kvr", "--channel", "1=" + Data("qp1.264")},
      {"mkrec", "-o", x, "--channel", "1=" + Data("qp1.md5")},  // no start code
  };
  for (const Args& args : failing) {
    const Result r = Vexlor(args, testing::Capture::kStderr);
    EXPECT_NE(r.exit_code, 0) << args[0];
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << args[0] << ":\n" << r.out;
    EXPECT_EQ(lines[0].rfind("error: ", 0), 0u) << lines[0];
  }
  std::remove(Temp("x.kvr").c_str());
}

TEST(MkrecFramesTest, BundledSampleHasItsChannels) {
  const Result listed = Vexlor({"frames", VEXLOR_SOURCE_DIR "/samples/sample.kvr"});
  ASSERT_EQ(listed.exit_code, 0);
  std::map<std::string, int> counts;
  for (const FrameLine& f : ParseFrames(listed.out)) {
    counts[std::to_string(f.channel) + " " + f.kind]++;
  }
  EXPECT_EQ(counts, (std::map<std::string, int>{
                        {"0 video", 100}, {"2 video", 100}, {"2 audio", 100}, {"5 video", 100}}));
}

// Access units of the conformance streams: one frame per coded picture, whatever the slice
// structure (several slices, arbitrary slice order, parameter sets in the middle).
TEST(MkrecFramesTest, ConformanceStreamsSplitIntoPictures) {
  const char* env = std::getenv("VEXLOR_CONFORMANCE_DIR");
  const std::string dir = env != nullptr ? env : VEXLOR_SOURCE_DIR "/../shared/conformance";
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no conformance streams at " << dir;
  std::string line;
  std::getline(manifest, line);
  int checked = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string name, expect;
    size_t pictures = 0;
    if (!(fields >> name >> expect >> pictures) || expect != "bitexact") continue;
    const std::string rec = Temp("conf.kvr");
    const Result made = Vexlor({"mkrec", "-o", rec, "--channel", "0=" + dir + "/streams/" + name});
    ASSERT_EQ(made.exit_code, 0) << name;
    size_t video = 0;
    for (const FrameLine& f : ParseFrames(Vexlor({"frames", rec}).out)) {
      video += f.kind == "video";
    }
    EXPECT_EQ(video, pictures) << name;
    ++checked;
    std::remove(rec.c_str());
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace vexlor::cli
