// `vexlor convert`, `probe` and `snapshot` end to end: recordings made with `vexlor mkrec` from
// known H.264 streams, AVI files read back by the tests' own RIFF walk, and, when ffmpeg is
// installed, played back and compared picture by picture with the source streams.
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "app/test_support.h"
#include "container/recording.h"
#include "h264/access_units.h"

namespace vexlor::cli {
namespace {

using testing::AviFile;
using testing::Bytes;
using testing::CliPath;
using testing::HaveTool;
using testing::Lines;
using testing::ParseAvi;
using testing::RunProgram;
using testing::ScratchDir;
using testing::X264Data;
using Args = std::vector<std::string>;

// Frame rate the conversion must measure for a channel, from the frames as `vexlor frames`
// lists them: counted are the channel's video frames that are not passthrough.
double ExpectedRate(const std::string& frames_listing, int channel, uint32_t* counted) {
  double t_first = 0, t_last = 0;
  *counted = 0;
  for (const std::string& line : Lines(frames_listing)) {
    int ch = -1, pt = -1;
    unsigned seconds = 0, ticks = 0;
    char kind[16] = {};
    if (std::sscanf(line.c_str(),
                    "%*u channel=%d %15s length=%*u seconds=%u ticks=%u passthrough=%d", &ch, kind,
                    &seconds, &ticks, &pt) != 5)
      continue;
    if (ch != channel || std::string(kind) != "video" || pt != 0) continue;
    const double t = ticks * (1.0 / 60) + seconds;
    (*counted == 0 ? t_first : t_last) = t;
    ++*counted;
  }
  if (*counted == 1) t_last = t_first;
  return *counted / (t_last - t_first + static_cast<double>(0.1f));
}

// md5 of each decoded picture, as ffmpeg decodes the file's first video stream.
std::vector<std::string> FrameMd5s(const std::string& input) {
  std::string out;
  RunProgram(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", input, "-map", "0:v:0", "-f", "framemd5", "-"},
      &out);
  std::vector<std::string> md5s;
  for (const std::string& line : Lines(out)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.find_last_of(' ') + 1));
  }
  return md5s;
}

std::string Probe(const std::string& file) {
  std::string out;
  RunProgram({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
              "stream=codec_name,width,height,nb_read_frames", "-of", "compact=p=0", file},
             &out);
  return out;
}

class ConvertTest : public ::testing::Test {
 protected:
  std::string Vexlor(Args args, std::string* out = nullptr) {
    args.insert(args.begin(), CliPath());
    return std::to_string(RunProgram(args, out));
  }
  // The names in the scratch folder, sorted: no temporary file may stay behind.
  std::vector<std::string> Names() const { return testing::ListDir(dir_.path()); }
  ScratchDir dir_;
};

// The first line of `text` that starts with `prefix`, or "".
std::string LineOf(const std::string& text, const std::string& prefix) {
  for (const std::string& line : Lines(text)) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return std::string();
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(testing::Fs(path), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  f.close();
  return bool(f);
}

TEST_F(ConvertTest, ChannelsBecomeAviFilesHoldingTheirFramesUnchanged) {
  // Channels 0, 3 and 12; audio on 3; every 7th video frame passthrough; damaged packets that
  // the reader re-synchronises on without losing a frame.
  const std::map<int, std::string> streams = {
      {0, "deblock_weak"}, {3, "odd_size"}, {12, "refs_slices"}};
  const std::string rec = dir_ / "site.kvr";
  Args cmd = {"mkrec",   "-o",         rec,         "--fps",    "25",
              "--start", "1700000000", "--audio",   "3",        "--passthrough",
              "7",       "--damage",   "garbage:3", "--damage", "kind255:2"};
  for (const auto& [c, name] : streams) {
    cmd.push_back("--channel");
    cmd.push_back(std::to_string(c) + "=" + X264Data(name + ".264"));
  }
  std::string out;
  ASSERT_EQ(Vexlor(cmd, &out), "0") << out;
  std::string listing;
  ASSERT_EQ(Vexlor({"frames", rec}, &listing), "0");

  // Probe reads the whole recording: frames, the rate a conversion measures, audio and times,
  // and the garbage that the reader skipped.
  ASSERT_EQ(Vexlor({"probe", rec}, &out), "0") << out;
  const std::vector<std::string> probed = Lines(out);
  ASSERT_EQ(probed.size(), 4u) << out;
  EXPECT_NE(probed[3].find(" damaged_ranges=3 frames_lost=0 oversized_frames=0 "),
            std::string::npos)
      << probed[3];
  EXPECT_EQ(probed[0].rfind("CH_01 176x144 frames=20 rate=", 0), 0u) << probed[0];
  EXPECT_NE(probed[0].find(" audio=no first=20"), std::string::npos) << probed[0];
  EXPECT_EQ(probed[1].rfind("CH_04 170x102 frames=20 rate=", 0), 0u) << probed[1];
  EXPECT_NE(probed[1].find(" audio=yes first="), std::string::npos) << probed[1];
  EXPECT_EQ(probed[2].rfind("CH_13 176x144 frames=30 rate=", 0), 0u) << probed[2];

  // Snapshots show the visible part of the pictures.
  ASSERT_EQ(Vexlor({"snapshot", rec}, &out), "0") << out;
  EXPECT_EQ(out, dir_ / "site_01.png 176x144\n" + dir_ / "site_04.png 170x102\n" +
                     dir_ / "site_13.png 176x144\n");

  ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
  // Not a terminal: one line per phase and the final line, then what the reader skipped.
  const std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 4u) << out;
  EXPECT_EQ(lines[3].rfind("skipped damaged_bytes=", 0), 0u) << lines[3];
  EXPECT_EQ(lines[0], "Retrieving Channels Info. Progress = 0.00%");
  // One read writes every channel.
  EXPECT_EQ(lines[1].rfind("CH_01 CH_04 CH_13. Writing Progress = ", 0), 0u) << lines[1];

  double rate_sum = 0;
  for (int c = 0; c < 16; ++c) {
    const std::string avi_path =
        dir_ / ("site_" + std::string(c < 9 ? "0" : "") + std::to_string(c + 1) + ".avi");
    if (!streams.count(c)) {
      EXPECT_FALSE(testing::Exists(avi_path)) << avi_path;
      continue;
    }
    const std::string source = X264Data(streams.at(c) + ".264");
    const AviFile avi = ParseAvi(avi_path);
    ASSERT_TRUE(avi.ok) << avi_path << ": " << avi.error;
    // Video chunks are the channel's access units in order: together, the source stream.
    Bytes video;
    size_t audio_chunks = 0;
    for (const auto& chunk : avi.chunks) {
      if (chunk.id == "00dc") video.insert(video.end(), chunk.data.begin(), chunk.data.end());
      audio_chunks += chunk.id == "01wb";
    }
    EXPECT_TRUE(video == testing::ReadAll(source)) << avi_path;
    EXPECT_EQ(audio_chunks > 0, c == 3) << avi_path;

    uint32_t counted = 0;
    const double rate = ExpectedRate(listing, c, &counted);
    rate_sum += rate;
    EXPECT_EQ(avi.video_length, counted) << avi_path;
    EXPECT_EQ(avi.video_scale, 100u);
    EXPECT_EQ(avi.video_rate, static_cast<uint32_t>(rate * 100.0)) << avi_path;
    EXPECT_EQ(avi.micro_sec_per_frame, static_cast<uint32_t>(1000000.0 / rate)) << avi_path;
    EXPECT_EQ(avi.width, c == 3 ? 176u : 176u);
    EXPECT_EQ(avi.height, c == 3 ? 112u : 144u);

    if (HaveTool("ffprobe") && HaveTool("ffmpeg")) {
      const std::vector<std::string> want = FrameMd5s(source);
      EXPECT_FALSE(want.empty());
      EXPECT_EQ(FrameMd5s(avi_path), want) << avi_path;
      const std::string probe = Probe(avi_path);
      EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
      EXPECT_EQ(probe, Probe(source)) << "size and frame count as the source stream's";
      EXPECT_NE(probe.find("nb_read_frames=" + std::to_string(want.size())), std::string::npos)
          << probe;
    }
  }
  char done[64];
  std::snprintf(done, sizeof done, "Done. Average FPS = %.2f", rate_sum / 3);
  EXPECT_EQ(lines[2], done);
}

TEST_F(ConvertTest, RefusalsAndExitCodes) {
  std::string out;
  // No channel: video frames that never give a picture.
  testing::RecordingBuilder builder;
  for (int i = 0; i < 20; ++i)
    builder.AddFrame(testing::RecordingBuilder::MakeFrame(
        0xE, 2, 100 + i, 0, testing::RecordingBuilder::VideoPayload(0x09, 300, uint8_t(i))));
  const std::string none = dir_ / "none.kvr";
  ASSERT_TRUE(builder.Write(none));
  EXPECT_EQ(Vexlor({"convert", none}, &out), "2");
  const std::vector<std::string> lines = Lines(out);
  ASSERT_GE(lines.size(), 2u) << out;
  EXPECT_EQ(lines[lines.size() - 2], "It's Not A Mpeg-4 File");
  // The channel is not dropped in silence.
  EXPECT_EQ(lines.back(), "CH_03: no file, its video could not be decoded (damaged)");
  EXPECT_EQ(Vexlor({"probe", none}, &out), "2");
  EXPECT_EQ(out, "CH_03 undecodable frames=20 first_frame=0\nIt's Not A Mpeg-4 File\n");
  EXPECT_EQ(Vexlor({"snapshot", none}, &out), "2");
  EXPECT_FALSE(testing::Exists(dir_ / "none_03.avi"));

  // Missing file, usage errors.
  EXPECT_EQ(Vexlor({"convert", dir_ / "missing.kvr"}, &out), "1");
  EXPECT_NE(out.find("missing.kvr"), std::string::npos) << out;
  EXPECT_NE(Vexlor({"convert"}, &out), "0");
  EXPECT_EQ(Vexlor({"convert", "--help"}, &out), "0");
}

TEST_F(ConvertTest, WriteErrorAndPathWithoutExtension) {
  const std::string rec = dir_ / "cam";  // no extension: files are cam_NN.avi
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "1=" + X264Data("no_deblock.264"), "--channel",
                    "4=" + X264Data("refs_slices.264")},
                   &out),
            "0")
      << out;
  ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
  const AviFile first = ParseAvi(dir_ / "cam_02.avi");
  EXPECT_TRUE(first.ok) << first.error;
  EXPECT_TRUE(ParseAvi(dir_ / "cam_05.avi").ok);

  // A reader of the status lines that goes away does not cut the files short.
  ASSERT_TRUE(std::filesystem::remove(testing::Fs(dir_ / "cam_02.avi")));
  testing::ProcessOptions unread;
  unread.close_output = true;
  testing::RunProcess({CliPath(), "convert", rec}, unread);
  const AviFile again = ParseAvi(dir_ / "cam_02.avi");
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_EQ(again.chunks.size(), first.chunks.size());
  EXPECT_EQ(again.video_scale, 100u);

  // The second channel's file cannot be completed: the error is reported, never "Done"; the
  // failed file is removed and the earlier one of that name survives.
  const Bytes earlier = testing::ReadAll(dir_ / "cam_05.avi");
#ifdef _WIN32
  // Its earlier file is held open elsewhere, as a player holds it, without leave to delete it.
  std::FILE* held = _wfopen(testing::Fs(dir_ / "cam_05.avi").c_str(), L"rb");
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(Vexlor({"convert", rec}, &out), "1");
  std::fclose(held);
#else
  // It outgrows the file-size limit; the program is not killed by the limit's signal.
  const size_t small = testing::ReadAll(dir_ / "cam_02.avi").size();
  ASSERT_GT(earlier.size(), small + 2000);
  const std::string limit = std::to_string((small + earlier.size()) / 2);
  EXPECT_EQ(
      std::to_string(RunProgram({"prlimit", "--fsize=" + limit, CliPath(), "convert", rec}, &out)),
      "1");
#endif
  EXPECT_EQ(Lines(out).back(), "CH_05. Write Error") << out;
  EXPECT_EQ(out.find("Done"), std::string::npos) << out;
  EXPECT_TRUE(ParseAvi(dir_ / "cam_02.avi").ok);
  EXPECT_TRUE(testing::ReadAll(dir_ / "cam_05.avi") == earlier);
  EXPECT_EQ(Names(), (std::vector<std::string>{"cam", "cam_02.avi", "cam_05.avi"}));
}

TEST_F(ConvertTest, TheRecordingIsNeverWrittenThrough) {
  const std::string rec = dir_ / "same.kvr";
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + X264Data("qp51.264")}, &out), "0");
  const Bytes recording = testing::ReadAll(rec);
  const std::string avi = dir_ / "same_01.avi";
  std::error_code ec;

  // A symbolic link to the recording at the output name is replaced, not written through.
  std::filesystem::create_symlink(testing::Fs(rec), testing::Fs(avi), ec);
  const bool symlinks = !ec;
  if (symlinks) {
    EXPECT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
    EXPECT_TRUE(testing::ReadAll(rec) == recording);
    EXPECT_TRUE(ParseAvi(avi).ok);
    EXPECT_FALSE(std::filesystem::is_symlink(testing::Fs(avi)));
    ASSERT_TRUE(std::filesystem::remove(testing::Fs(avi)));
  } else {
    std::printf("no symbolic links here (%s): that part is skipped\n", ec.message().c_str());
  }

  // A hard link is the recording under another name: refused.
  std::filesystem::create_hard_link(testing::Fs(rec), testing::Fs(avi), ec);
  if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
  EXPECT_EQ(Vexlor({"convert", rec}, &out), "1");
  EXPECT_NE(out.find("same_01.avi is the recording being converted"), std::string::npos) << out;
  EXPECT_EQ(Lines(out).back(), "CH_01. Write Error") << out;
  EXPECT_TRUE(testing::ReadAll(rec) == recording);
  EXPECT_TRUE(testing::ReadAll(avi) == recording);
  if (!symlinks) return;

  // The recording reached through a link whose output name is the recording itself.
  ASSERT_TRUE(std::filesystem::remove(testing::Fs(rec)));
  const std::string alias = dir_ / "same";  // same -> same_01.avi, whose output is same_01.avi
  std::filesystem::create_symlink(testing::Fs(avi), testing::Fs(alias), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(Vexlor({"convert", alias}, &out), "1");
  EXPECT_TRUE(testing::ReadAll(avi) == recording);
  EXPECT_EQ(Names(), (std::vector<std::string>{"same", "same_01.avi"}));
}

TEST_F(ConvertTest, OnlyRegularFilesAreReadOrWritten) {
  const std::string rec = dir_ / "f.kvr";
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + X264Data("qp51.264")}, &out), "0");
#ifdef _WIN32
  const std::string device = "NUL";
  const std::string fifo = "\\\\.\\pipe\\vexlor-no-such-pipe";  // by its name alone
#else
  const std::string device = "/dev/zero";
  // An output name that is a FIFO is refused without being opened.
  const std::string fifo = dir_ / "f_01.avi";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(Vexlor({"convert", rec}, &out), "1");
  EXPECT_NE(out.find("f_01.avi is not a regular file"), std::string::npos) << out;
  EXPECT_EQ(Lines(out).back(), "CH_01. Write Error") << out;
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
#endif

  // Inputs: a directory, a FIFO, a device, for every command that reads one.
  for (const std::string command : {"convert", "probe", "snapshot", "frames", "decode"}) {
    EXPECT_EQ(Vexlor({command, dir_.path()}, &out), "1") << command;
    EXPECT_EQ(out, "error: " + dir_.path() + " is a directory\n") << command;
    EXPECT_EQ(Vexlor({command, device}, &out), "1") << command;
    EXPECT_EQ(out, "error: " + device + " is not a regular file\n") << command;
    if (command == "decode") continue;  // a stream may come through a pipe
    EXPECT_EQ(Vexlor({command, fifo}, &out), "1") << command;
    EXPECT_EQ(out, "error: " + fifo + " is not a regular file\n") << command;
  }
}

TEST_F(ConvertTest, DecodeReadsItsStreamInBoundedPieces) {
  // A stream longer than one piece: the pictures of a stream repeated eight times, the
  // pieces' seams falling inside units, decode as the single stream's pictures eight times.
  const Bytes one = testing::ReadAll(X264Data("qp1.264"));
  Bytes eight;
  for (int i = 0; i < 8; ++i) eight.insert(eight.end(), one.begin(), one.end());
  const std::string long_stream = dir_ / "eight.264";
  ASSERT_TRUE(WriteFile(long_stream, eight));
  ASSERT_GT(eight.size(), size_t{1} << 20);
  std::string single, repeated;
  ASSERT_EQ(Vexlor({"decode", "--md5", X264Data("qp1.264")}, &single), "0");
  ASSERT_EQ(Vexlor({"decode", "--md5", long_stream}, &repeated), "0");
  const std::vector<std::string> a = Lines(single), b = Lines(repeated);
  ASSERT_FALSE(a.empty());
  ASSERT_EQ(b.size(), 8 * a.size());
  for (size_t i = 0; i < b.size(); ++i) {
    EXPECT_EQ(b[i].substr(b[i].find(' ')), a[i % a.size()].substr(a[i % a.size()].find(' ')));
  }

#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
  GTEST_SKIP() << "no address-space limit here (Windows, or the sanitizers)";
#else
  // 128 MiB of zeros decoded within 64 MB of address space: never held whole.
  const std::string zeros = dir_ / "zeros.264";
  ASSERT_TRUE(testing::MakeSparseFile(zeros, int64_t{128} << 20));
  std::string out;
  EXPECT_EQ(RunProgram({"prlimit", "--as=64000000", CliPath(), "decode", zeros}, &out), 1) << out;
  EXPECT_EQ(out, "error: no picture decoded from " + zeros + "\n");
#endif
}

TEST_F(ConvertTest, SnapshotOfEverySizeTheDecoderAccepts) {
  if (!HaveTool("x264") || !HaveTool("ffmpeg")) GTEST_SKIP() << "no x264/ffmpeg";
  // 4096 x 2320: more than the 4096 x 2304 pixels a channel's picture buffer once stopped at.
  const std::string stream = dir_ / "large.264", rec = dir_ / "large.kvr";
  ASSERT_TRUE(testing::EncodeX264(stream, "color=c=0x3060a0", 4096, 2320, 2, {"--level", "5.1"}));
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + stream}, &out), "0");
  ASSERT_EQ(Vexlor({"snapshot", rec}, &out), "0") << out;
  EXPECT_EQ(out, dir_ / "large_01.png 4096x2320\n");
  const Bytes png = testing::ReadAll(dir_ / "large_01.png");
  ASSERT_GE(png.size(), 24u);
  EXPECT_EQ(Bytes(png.begin() + 12, png.begin() + 24),
            (Bytes{'I', 'H', 'D', 'R', 0, 0, 0x10, 0, 0, 0, 0x09, 0x10}));
}

// Key frames beyond 409,600 bytes (the noisy pictures of a camera of several megapixels) are
// read whole by every pass: listed, scanned and written.
TEST_F(ConvertTest, LargeKeyFramesAreKept) {
  if (!HaveTool("x264")) GTEST_SKIP() << "no x264";
  const std::string raw = dir_ / "noise.yuv", stream = dir_ / "noise.264", rec = dir_ / "noise.kvr";
  Bytes noise(640 * 480 * 3 / 2 * 4);
  std::mt19937 random(7);
  for (uint8_t& b : noise) b = uint8_t(random());
  ASSERT_TRUE(WriteFile(raw, noise));
  ASSERT_EQ(RunProgram({"x264", "--quiet", "--profile", "baseline", "--preset", "ultrafast", "--qp",
                        "10", "--input-res", "640x480", "-o", stream, raw}),
            0);
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + stream}, &out), "0") << out;
  ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
  const AviFile avi = ParseAvi(dir_ / "noise_01.avi");
  ASSERT_TRUE(avi.ok) << avi.error;
  Bytes video;
  size_t longest = 0;
  for (const auto& chunk : avi.chunks) {
    if (chunk.id == "00dc") video.insert(video.end(), chunk.data.begin(), chunk.data.end());
    longest = std::max(longest, chunk.data.size());
  }
  EXPECT_GT(longest, 409600u);
  EXPECT_TRUE(video == testing::ReadAll(stream));
  EXPECT_EQ(avi.video_length, 4u);
}

// What a conversion leaves out is reported by probe, frames and convert, never in silence:
// video frames of the three-byte start code (per channel), a frame beyond 16 MiB, damage.
TEST_F(ConvertTest, ProbeAndFramesReportWhatIsLeftOut) {
  // Channel 2's pictures, 3 and 5 with 00 00 01, a frame beyond the largest after picture 1
  // and garbage before picture 7.
  const std::string rec = dir_ / "left.kvr";
  const std::vector<h264::AccessUnit> units =
      h264::SplitAccessUnits(testing::ReadAll(X264Data("refs_slices.264")));
  const int64_t frames = int64_t(units.size());
  testing::RecordingBuilder b;
  int64_t oversized_at = 0, oversized_end = 0, garbage_at = 0;
  for (int64_t i = 0; i < frames; ++i) {
    Bytes payload = units[size_t(i)].bytes;
    if (i == 3 || i == 5) payload.erase(payload.begin());
    if (i == 7) garbage_at = int64_t(b.size());
    if (i == 7) b.AddGarbage(100);
    b.AddFrame(testing::RecordingBuilder::MakeFrame(0xE, 2, uint32_t(i), 0, payload));
    if (i == 1) {
      oversized_at = int64_t(b.size());
      b.AddFrame(Bytes(container::kMaxFrameSize + 1));
      oversized_end = int64_t(b.size());
    }
  }
  ASSERT_TRUE(b.Write(rec));
  const std::string skipped =
      "skipped damaged_bytes=100 damaged_ranges=1 frames_lost=0 "
      "oversized_frames=1 damaged=" +
      std::to_string(garbage_at) + "-" + std::to_string(garbage_at + 100) +
      " oversized=" + std::to_string(oversized_at) + "-" + std::to_string(oversized_end);

  std::string out;
  ASSERT_EQ(Vexlor({"frames", rec}, &out), "0");
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(int64_t(lines.size()), frames + 1) << out;
  EXPECT_EQ(lines.back(), skipped);
  ASSERT_EQ(Vexlor({"probe", rec}, &out), "0") << out;
  lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0].rfind("CH_03 176x144 frames=" + std::to_string(frames - 2) + " ", 0), 0u);
  EXPECT_EQ(lines[1], "skipped CH_03 three_byte_start_code=2");
  EXPECT_EQ(lines[2], skipped);
  ASSERT_EQ(Vexlor({"probe", "--json", rec}, &out), "0") << out;
  const nlohmann::json json = nlohmann::json::parse(out);
  EXPECT_EQ(json["skipped"]["oversized"][0]["length"], container::kMaxFrameSize + 1);
  EXPECT_EQ(json["skipped"]["three_byte_start_code"],
            nlohmann::json::parse(R"([{"channel": 3, "frames": 2}])"));
  // convert says the same after its final line, and in its JSON.
  ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
  lines = Lines(out);
  ASSERT_GE(lines.size(), 2u) << out;
  EXPECT_EQ(lines[lines.size() - 2], "skipped CH_03 three_byte_start_code=2");
  EXPECT_EQ(lines.back(), skipped);
  ASSERT_EQ(Vexlor({"convert", "--json", rec}, &out), "0") << out;
  EXPECT_EQ(nlohmann::json::parse(Lines(out).back())["skipped"], json["skipped"]);
}

// probe tells what a conversion knows of every channel, in text and JSON alike: sizes as shown
// with the coded size beside them, channels the decoder does not decode, gaps, clock jumps and
// channels with sound only; snapshot says why a channel gets no picture.
TEST_F(ConvertTest, ProbeTellsWhatTheConversionKnowsOfEveryChannel) {
  const std::string profiles = std::string(VEXLOR_SOURCE_DIR) + "/tests/data/profiles/";
  const std::string base = "=" + profiles + "baseline.264";
  struct Case {
    const char* name;
    std::vector<Args> parts;         // mkrec arguments of each part, joined in this order
    Args options;                    // of probe
    std::vector<std::string> lines;  // the starts of probe's lines, in order
    std::string snapshot;            // in snapshot's output
  };
  const Case cases[] = {
      {"not decoded, cropped",
       {{"--channel=0=" + profiles + "high_8x8.264", "--channel=2=" + X264Data("odd_size.264")}},
       {},
       {"CH_01 630x360 frames=12 ", "CH_03 170x102 frames=20 "},
       "CH_01: no picture, the decoder does not decode its video (High profile: CABAC, 8x8 "
       "transform)"},
      {"gap and clock set back",
       {{"--start", "1000", "--channel=1" + base},
        {"--start", "1020", "--channel=1" + base},
        {"--start", "500", "--channel=1" + base}},
       {},
       {"CH_02 640x360 frames=36 ", "  gap from=", "  clock_jump frame=24 "},
       "_02.png 640x360"},
      {"a longer --gap",
       {{"--channel=1" + base}, {"--start", "20", "--channel=1" + base}},
       {"--gap", "30"},
       {"CH_02 640x360 frames=24 "},
       "_02.png"},
      {"sound only",
       {{"--channel=0" + base, "--audio", "7"}},
       {},
       {"CH_01 640x360 ", "CH_08 sound_only audio_frames=12 duration=0.43 "},
       "_01.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    Bytes joined;
    for (const Args& part : c.parts) {
      Args mkrec = {"mkrec", "-o", dir_ / "part.kvr"};
      mkrec.insert(mkrec.end(), part.begin(), part.end());
      ASSERT_EQ(Vexlor(mkrec, &out), "0") << out;
      const Bytes b = testing::ReadAll(dir_ / "part.kvr");
      joined.insert(joined.end(), b.begin(), b.end());
    }
    const std::string rec = dir_ / "rec.kvr";
    ASSERT_TRUE(WriteFile(rec, joined));
    Args probe = {"probe", rec};
    probe.insert(probe.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(Vexlor(probe, &out), "0") << out;
    const std::string text = out;
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), c.lines.size()) << out;
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(c.lines[i], 0), 0u) << out;
    ASSERT_EQ(Vexlor({"snapshot", "-o", dir_ / "pics", rec}, &out), "0") << out;
    EXPECT_NE(out.find(c.snapshot), std::string::npos) << out;
    // The JSON says the same, and what convert reports of the channels it writes.
    probe.push_back("--json");
    ASSERT_EQ(Vexlor(probe, &out), "0");
    const nlohmann::json probed = nlohmann::json::parse(out);
    ASSERT_EQ(Vexlor({"convert", "--json", "-o", dir_ / "out", rec}, &out), "0") << out;
    std::map<int, nlohmann::json> converted;
    const nlohmann::json report = nlohmann::json::parse(Lines(out).back());
    for (const nlohmann::json& ch : report["channels"]) {
      converted[ch["channel"].get<int>()] = ch;
    }
    ASSERT_EQ(probed["channels"].size(), converted.size()) << out;
    for (const nlohmann::json& p : probed["channels"]) {
      const nlohmann::json& w = converted[p["channel"].get<int>()];
      if (p.contains("sound_only")) {
        EXPECT_EQ(w["result"], "sound_only");
        continue;
      }
      char start[64];
      std::snprintf(start, sizeof start, "CH_%02d %dx%d frames=%d ", p["channel"].get<int>(),
                    p["width"].get<int>(), p["height"].get<int>(), p["frames"].get<int>());
      EXPECT_NE(LineOf(text, start).find(" gaps=" + std::to_string(p["gap_count"].get<int>())),
                std::string::npos)
          << start;
      for (const char* key : {"width", "height", "frames", "rate", "first_time", "last_time"}) {
        EXPECT_EQ(p[key], w[key]) << key;
      }
      EXPECT_EQ(p["clock_jump_count"], w.value("clock_jump_count", 0));
      EXPECT_EQ(p.value("unsupported", ""), w.value("unsupported", ""));
    }
    std::filesystem::remove_all(testing::Fs(dir_ / "out"));
  }
}

#ifndef _WIN32  // POSIX signals; Ctrl-C on Windows is checked under wine (tests/windows)
// Runs `vexlor convert rec` holding at `hold` (the tests' hold point, where the conversion
// waits until it is cancelled), sends `sig` once `wait_for` appears in its output, and returns
// the wait status; the output goes to *seen.
int ConvertAndSignal(const std::string& rec, const char* hold, const std::string& wait_for, int sig,
                     std::string* seen) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const std::string cli = CliPath();
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    setenv("VEXLOR_TEST_HOLD", hold, 1);
    execl(cli.c_str(), cli.c_str(), "convert", rec.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);
  char buf[256];
  ssize_t n;
  bool signalled = false;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) {
    seen->append(buf, size_t(n));
    if (!signalled && seen->find(wait_for) != std::string::npos) {
      kill(pid, sig);
      signalled = true;
    }
  }
  close(pipe_fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !signalled) return -1;
  return status;
}

TEST_F(ConvertTest, InterruptClosesTheCurrentFileValid) {
  // Two channels. The conversion holds after channel 1's first frame, the recording's first,
  // until it is cancelled, so the signal always arrives before channel 2's file is opened.
  // Every signal that cancels.
  const std::string rec = dir_ / "long.kvr";
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + X264Data("deblock_weak.264"),
                    "--channel", "1=" + X264Data("qp51.264")},
                   &out),
            "0")
      << out;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::string seen;
    const int status = ConvertAndSignal(rec, "CH_01", "Writing Progress", sig, &seen);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig << ": " << seen;
    EXPECT_EQ(WEXITSTATUS(status), 130) << seen;
    EXPECT_EQ(seen.find("Done"), std::string::npos) << seen;
    // The file being written is closed as a valid AVI with the default timing; the channel not
    // reached gets no file.
    const AviFile avi = ParseAvi(dir_ / "long_01.avi");
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(avi.video_scale, 1u);
    EXPECT_EQ(avi.video_rate, 24u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"long.kvr", "long_01.avi"}));
    ASSERT_EQ(unlink((dir_ / "long_01.avi").c_str()), 0);
  }
}

TEST_F(ConvertTest, CancelDuringTheScanLeavesEarlierFilesAlone) {
  const std::string rec = dir_ / "cam.kvr";
  std::string out;
  ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--channel", "0=" + X264Data("qp51.264"), "--channel",
                    "2=" + X264Data("odd_size.264")},
                   &out),
            "0");
  ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
  const Bytes first = testing::ReadAll(dir_ / "cam_01.avi");
  const Bytes third = testing::ReadAll(dir_ / "cam_03.avi");
  std::string seen;
  const int status = ConvertAndSignal(rec, "scan", "Retrieving", SIGINT, &seen);
  ASSERT_TRUE(WIFEXITED(status)) << seen;
  EXPECT_EQ(WEXITSTATUS(status), 130) << seen;
  EXPECT_EQ(seen.find("CH_0"), std::string::npos) << seen;
  EXPECT_TRUE(testing::ReadAll(dir_ / "cam_01.avi") == first);
  EXPECT_TRUE(testing::ReadAll(dir_ / "cam_03.avi") == third);
  EXPECT_EQ(Names(), (std::vector<std::string>{"cam.kvr", "cam_01.avi", "cam_03.avi"}));
}
#endif

TEST_F(ConvertTest, SnapshotShowsEachChannelsPicture) {
  const std::string sample = dir_ / "sample.kvr";
  std::string out;
  std::filesystem::copy_file(std::string(VEXLOR_SOURCE_DIR) + "/samples/sample.kvr",
                             testing::Fs(sample));
  ASSERT_EQ(Vexlor({"probe", sample}, &out), "0") << out;
  const std::vector<std::string> probed = Lines(out);
  ASSERT_EQ(probed.size(), 3u) << out;
  EXPECT_EQ(probed[0].rfind("CH_01 352x288 ", 0), 0u) << out;
  EXPECT_EQ(probed[1].rfind("CH_03 176x144 ", 0), 0u) << out;
  EXPECT_EQ(probed[2].rfind("CH_06 320x240 ", 0), 0u) << out;
  ASSERT_EQ(Vexlor({"snapshot", sample, "-o", dir_.path()}, &out), "0") << out;
  const std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], dir_ / "sample_01.png 352x288");
  EXPECT_EQ(lines[2], dir_ / "sample_06.png 320x240");
  // The picture itself, as ImageMagick reads the file: it must match one of the channel's
  // pictures as ffmpeg decodes and converts them, within the few levels the colour arithmetic
  // may differ by.
  if (!HaveTool("ffmpeg") || !HaveTool("identify") || !HaveTool("convert"))
    GTEST_SKIP() << "ffmpeg or ImageMagick not installed (or not usable from this build)";
  ASSERT_EQ(Vexlor({"convert", sample}), "0");
  const std::string stem = sample.substr(0, sample.size() - 4);
  for (const auto& [number, size] : {std::pair{"01", 352 * 288}, {"03", 176 * 144}}) {
    const std::string png = dir_ / ("sample_" + std::string(number) + ".png");
    ASSERT_EQ(RunProgram({"identify", "-format", "%m %wx%h", png}, &out), 0) << out;
    EXPECT_EQ(out, std::string("PNG ") + (size == 352 * 288 ? "352x288" : "176x144"));
    ASSERT_EQ(RunProgram({"convert", png, "-depth", "8", "rgb:" + png + ".rgb"}), 0);
    ASSERT_EQ(
        RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", stem + "_" + number + ".avi",
                    "-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", "rgb24", png + ".all"}),
        0);
    const Bytes shot = testing::ReadAll(png + ".rgb");
    const Bytes all = testing::ReadAll(png + ".all");
    ASSERT_EQ(shot.size(), size_t(size) * 3);
    double best = 1e9;
    for (size_t at = 0; at + shot.size() <= all.size(); at += shot.size()) {
      double diff = 0;
      for (size_t i = 0; i < shot.size(); ++i) diff += std::abs(int(shot[i]) - int(all[at + i]));
      best = std::min(best, diff / shot.size());
    }
    EXPECT_LT(best, 4.0) << png << ": mean difference to the closest decoded picture";
  }
}

}  // namespace
}  // namespace vexlor::cli

namespace vexlor::cli {
namespace {

#ifndef _WIN32  // a console under wine is checked in tests/windows
TEST(ConvertTerminalTest, RedrawsTheStatusLineInPlace) {
  if (!testing::HaveTool("script")) GTEST_SKIP() << "script (util-linux) not installed";
  ScratchDir dir;
  const std::string rec = dir / "t.kvr";
  ASSERT_EQ(
      RunProgram({CliPath(), "mkrec", "-o", rec, "--channel", "0=" + X264Data("refs_slices.264")}),
      0);
  std::string out;
  // A pseudo-terminal: the line is redrawn with a carriage return and erase-line.
  auto quote = [](const std::string& s) { return "'" + s + "'"; };
  ASSERT_EQ(
      RunProgram({"script", "-qfec", quote(CliPath()) + " convert " + quote(rec), "/dev/null"},
                 &out),
      0)
      << out;
  EXPECT_EQ(out.rfind("\r\033[K", 0), 0u) << out;
  const std::string tail = out.substr(out.rfind("\r\033[K") + 4);
  EXPECT_EQ(tail.rfind("Done. Average FPS = ", 0), 0u) << tail;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "one line in all";
}
#endif

// A clip from the second IDR picture of a stream whose parameter sets come before every IDR
// picture is the frames as they are; of the same stream with them only at its start, the
// clip's first chunk gets them in front of its slices, and the clip decodes from there.
TEST_F(ConvertTest, AClipCarriesTheParameterSetsItsFirstPictureNeeds) {
  const Bytes every = testing::ReadAll(X264Data("refs_slices.264"));
  // The same stream with the sequence and picture parameter sets after its first slice cut out.
  Bytes once;
  bool sliced = false;
  const auto start_code_at = [&](size_t i) {
    return i + 3 <= every.size() && every[i] == 0 && every[i + 1] == 0 && every[i + 2] == 1;
  };
  size_t unit = 0;  // each unit runs from its start code to the next one's
  while (!start_code_at(unit)) ++unit;
  for (size_t i = 0; unit < every.size();) {
    size_t next = unit + 3;
    while (next < every.size() && !start_code_at(next)) ++next;
    const int type = every[unit + 3] & 0x1F;
    sliced |= type == 1 || type == 5;
    if (!(sliced && (type == 7 || type == 8)))
      once.insert(once.end(), &every[i], &every[next - 1] + 1);
    i = unit = next;
  }
  ASSERT_LT(once.size(), every.size());
  ASSERT_TRUE(WriteFile(dir_ / "once.264", once));
  for (const std::string name : {"every", "once"}) {
    SCOPED_TRACE(name);
    const std::string rec = dir_ / (name + ".kvr");
    const std::string stream = name == "every" ? X264Data("refs_slices.264") : dir_ / "once.264";
    std::string out;
    ASSERT_EQ(Vexlor({"mkrec", "-o", rec, "--start", "1000", "--channel", "0=" + stream}, &out),
              "0")
        << out;
    ASSERT_EQ(Vexlor({"convert", rec, "-o", dir_ / "whole"}, &out), "0") << out;
    // The second IDR picture is the stream's frame 15, at +0.6 s.
    ASSERT_EQ(Vexlor({"convert", rec, "--from", "+0.58s", "-o", dir_ / "clip"}, &out), "0") << out;
    const std::string clip_file = dir_ / ("clip/" + name + "_01.avi");
    const AviFile whole = ParseAvi(dir_ / ("whole/" + name + "_01.avi"));
    const AviFile clip = ParseAvi(clip_file);
    ASSERT_TRUE(whole.ok && clip.ok) << whole.error << clip.error;
    ASSERT_EQ(clip.chunks.size(), 15u);
    Bytes first = whole.chunks[15].data;
    if (name == "once") {
      // The stream's own sets, its first two units with their four-byte start codes.
      const std::string text(every.begin(), every.end());
      const size_t third = text.find(std::string("\0\0\1", 3), text.find('\x68'));
      ASSERT_EQ(text.compare(0, 5, std::string("\0\0\0\1\x67", 5)), 0);
      first.insert(first.begin(), every.begin(), every.begin() + std::ptrdiff_t(third));
    }
    EXPECT_EQ(clip.chunks[0].data, first);
    for (size_t k = 1; k < 15; ++k) EXPECT_EQ(clip.chunks[k].data, whole.chunks[15 + k].data);
    if (HaveTool("ffmpeg")) {
      std::string errors;
      EXPECT_EQ(
          RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", clip_file, "-f", "null", "-"},
                     &errors),
          0);
      EXPECT_EQ(errors, "");
      EXPECT_EQ(FrameMd5s(clip_file).size(), 15u);
    }
  }
}

// No camera left behind: channels that first appear after the frames the scan reads get files
// too, in one read; those the scan found are written as before.
TEST_F(ConvertTest, ChannelsFoundAfterTheScanGetFilesToo) {
  const Bytes qp51 = testing::ReadAll(X264Data("qp51.264"));
  const Bytes refs = testing::ReadAll(X264Data("refs_slices.264"));
  Bytes long_stream;  // 400 pictures
  for (int i = 0; i < 20; ++i) long_stream.insert(long_stream.end(), qp51.begin(), qp51.end());
  ASSERT_TRUE(WriteFile(dir_ / "long.264", long_stream));
  // refs_slices from its fourth picture on: P pictures until its second IDR picture.
  const std::string text(refs.begin(), refs.end());
  size_t cut = 0;
  for (int slice = 0; slice < 4; ++slice) cut = text.find(std::string("\0\0\1\x41", 4), cut + 1);
  ASSERT_TRUE(
      WriteFile(dir_ / "mid_gop.264", Bytes(refs.begin() + std::ptrdiff_t(cut) - 1, refs.end())));
  // The first picture of qp51 alone.
  const std::string q(qp51.begin(), qp51.end());
  ASSERT_TRUE(WriteFile(
      dir_ / "one.264",
      Bytes(qp51.begin(), qp51.begin() + std::ptrdiff_t(q.find(std::string("\0\0\0\1\x41", 5))))));
  struct Case {
    const char* name;
    std::vector<int> early;  // channels in the first part, 400 frames each
    std::vector<int> late;   // channels in the part after it
    const char* late_stream;
  };
  const Case cases[] = {
      {"after frame 1024", {0, 1, 2, 3}, {5}, "long.264"},
      {"mid group of pictures", {0, 1, 2, 3}, {5}, "mid_gop.264"},
      {"only the last frame", {0, 1, 2, 3}, {5}, "one.264"},
      {"eight of sixteen late",
       {0, 2, 4, 6, 8, 10, 12, 14},
       {1, 3, 5, 7, 9, 11, 13, 15},
       "long.264"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    Args early = {"mkrec", "-o", dir_ / "a.kvr", "--start", "1000"};
    for (int ch : c.early)
      early.push_back("--channel=" + std::to_string(ch) + "=" + dir_ / "long.264");
    Args late = {"mkrec", "-o", dir_ / "b.kvr", "--start", "1100"};
    for (int ch : c.late)
      late.push_back("--channel=" + std::to_string(ch) + "=" + dir_ / c.late_stream);
    ASSERT_EQ(Vexlor(early, &out), "0") << out;
    ASSERT_EQ(Vexlor(late, &out), "0") << out;
    ASSERT_EQ(Vexlor({"frames", dir_ / "b.kvr"}, &out), "0");
    const size_t late_frames = Lines(out).size() / c.late.size();
    Bytes both = testing::ReadAll(dir_ / "a.kvr");
    const Bytes b = testing::ReadAll(dir_ / "b.kvr");
    both.insert(both.end(), b.begin(), b.end());
    ASSERT_TRUE(WriteFile(dir_ / "ab.kvr", both));
    ASSERT_EQ(Vexlor({"convert", dir_ / "a.kvr", "-o", dir_ / "a"}, &out), "0") << out;
    ASSERT_EQ(Vexlor({"convert", dir_ / "ab.kvr", "-o", dir_ / "ab"}, &out), "0") << out;
    for (int ch : c.early) {
      const std::string n = (ch < 9 ? "_0" : "_") + std::to_string(ch + 1) + ".avi";
      EXPECT_TRUE(testing::ReadAll(dir_ / ("a/a" + n)) == testing::ReadAll(dir_ / ("ab/ab" + n)))
          << "channel " << ch << " as before";
    }
    for (int ch : c.late) {
      const std::string file =
          dir_ / ("ab/ab" + std::string(ch < 9 ? "_0" : "_") + std::to_string(ch + 1) + ".avi");
      const AviFile avi = ParseAvi(file);
      ASSERT_TRUE(avi.ok) << file << ": " << avi.error;
      EXPECT_EQ(avi.video_length, late_frames) << file;
      EXPECT_NE(out.find(std::string("CH_") + (ch < 9 ? "0" : "") + std::to_string(ch + 1) +
                         ": found after the channel scan, from frame "),
                std::string::npos)
          << out;
      if (HaveTool("ffprobe") && std::string(c.late_stream) != "mid_gop.264") {
        EXPECT_EQ(FrameMd5s(file).size(), late_frames) << file;
      }
    }
    // probe lists them with where they first appear; snapshot decodes their pictures.
    std::string probed, pictures;
    ASSERT_EQ(Vexlor({"probe", dir_ / "ab.kvr"}, &probed), "0") << probed;
    ASSERT_EQ(Vexlor({"snapshot", "-o", dir_ / "pics", dir_ / "ab.kvr"}, &pictures), "0");
    for (int ch : c.late) {
      const std::string n = (ch < 9 ? "0" : "") + std::to_string(ch + 1);
      const std::string line = LineOf(probed, "CH_" + n + " 176x144 frames=");
      EXPECT_NE(line.find(" found_after_scan="), std::string::npos) << probed;
      EXPECT_NE(pictures.find("ab_" + n + ".png 176x144"), std::string::npos) << pictures;
    }
    // --skip-existing knows their files: all there, nothing to do; the late one missing, it
    // is written again.
    ASSERT_EQ(Vexlor({"convert", dir_ / "ab.kvr", "-o", dir_ / "ab", "--skip-existing"}, &out),
              "0");
    EXPECT_EQ(Lines(out).back(), "Skipped: Complete Files Exist") << out;
    ASSERT_TRUE(std::filesystem::remove(testing::Fs(dir_ / "ab/ab_06.avi")) || c.late[0] != 5);
    ASSERT_EQ(Vexlor({"convert", dir_ / "ab.kvr", "-o", dir_ / "ab", "--skip-existing"}, &out),
              "0");
    EXPECT_NE(Lines(out).back(), "Skipped: Complete Files Exist") << out;
    std::filesystem::remove_all(testing::Fs(dir_ / "a"));
    std::filesystem::remove_all(testing::Fs(dir_ / "ab"));
  }
}

// Channels of every profile are copied into every format: each file decodes in ffmpeg without
// an error to the pictures that the stream itself decodes to, MP4 and Matroska show them at
// strictly growing times (the pictures reordered by their composition times), Chromium plays
// the MP4 files where it is installed, and a Baseline channel's AVI is the same whether or not
// other formats are written with it.
TEST_F(ConvertTest, ChannelsOfEveryProfileAreCopiedIntoEveryFormat) {
  if (!HaveTool("ffmpeg") || !HaveTool("ffprobe") || !HaveTool("x264")) {
    GTEST_SKIP() << "no ffmpeg/ffprobe/x264";
  }
  struct Row {
    const char* name;
    std::vector<std::string> x264;  // empty: the stream of tests/data/profiles
  };
  const Row rows[] = {
      {"baseline", {}},
      {"main_cabac", {}},
      {"main_bframes", {}},  // three B frames, pyramid
      {"high_8x8", {}},
      {"interlaced", {}},
      {"two_b", {"--profile", "main", "--bframes", "2", "--b-pyramid", "none", "--keyint", "9"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = row.name;
    std::string stream = std::string(VEXLOR_SOURCE_DIR) + "/tests/data/profiles/" + name + ".264";
    if (!row.x264.empty()) {
      stream = dir_ / (name + ".264");
      ASSERT_TRUE(testing::EncodeX264(stream, "testsrc2", 320, 240, 30, row.x264));
    }
    const std::string rec = dir_ / (name + ".kvr");
    std::string out;
    ASSERT_EQ(
        Vexlor({"mkrec", "-o", rec, "--fps", "25", "--audio", "0", "--channel", "0=" + stream},
               &out),
        "0")
        << out;
    ASSERT_EQ(Vexlor({"convert", rec, "--format", "avi,mp4,mkv"}, &out), "0") << out;
    const std::vector<std::string> pictures = FrameMd5s(stream);
    ASSERT_FALSE(pictures.empty());
    for (const char* suffix : {".avi", ".mp4", ".mkv"}) {
      const std::string file = dir_ / (name + "_01" + suffix);
      EXPECT_EQ(FrameMd5s(file), pictures) << file;
      if (std::string(suffix) == ".avi") continue;
      RunProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
                  "-of", "csv=p=0", file},
                 &out);
      // A picture's time, then perhaps its side data on lines of their own.
      std::vector<long long> times;
      for (const std::string& line : Lines(out)) {
        long long t = 0;
        if (std::sscanf(line.c_str(), "%lld", &t) == 1) times.push_back(t);
      }
      EXPECT_EQ(times.size(), pictures.size()) << out;
      for (size_t i = 1; i < times.size(); ++i) EXPECT_LT(times[i - 1], times[i]) << file;
    }
    if (name == "baseline") {
      const Bytes with_others = testing::ReadAll(dir_ / "baseline_01.avi");
      ASSERT_EQ(Vexlor({"convert", rec}, &out), "0") << out;
      EXPECT_TRUE(testing::ReadAll(dir_ / "baseline_01.avi") == with_others);
    }
  }
  // Chromium plays every MP4 file.
  const char* python = "/usr/bin/python3";
  if (!HaveTool("chromium") || !HaveTool("chromedriver") ||
      RunProgram({python, "-c", "import selenium"}) != 0) {
    return;
  }
  Args play = {python, VEXLOR_SOURCE_DIR "/tests/mp4/browser_check.py", dir_.path()};
  for (const Row& row : rows) play.push_back(std::string(row.name) + "_01.mp4=");
  std::string played;
  RunProgram(play, &played);
  for (const Row& row : rows) {
    EXPECT_NE(played.find(std::string(row.name) + "_01.mp4 video "), std::string::npos) << played;
  }
}

// A recorder in Berlin's local time across the end of summer time (2023-10-29): 01:50 (23:50
// UTC), 02:50 in the hour that occurs twice (00:50 UTC), then its clock put back to 02:05 (the
// second time: 01:05 UTC). Every time shown or used is the corrected one, read in the stamps'
// order.
TEST_F(ConvertTest, RecorderClockIsPutRightEverywhere) {
  const std::string rec = dir_ / "berlin.kvr";
  Bytes joined;
  for (const char* start : {"1698544200", "1698547800", "1698545100"}) {  // as if UTC
    ASSERT_EQ(Vexlor({"mkrec", "-o", dir_ / "part.kvr", "--start", start, "--channel",
                      "0=" + X264Data("qp51.264")}),
              "0");
    const Bytes part = testing::ReadAll(dir_ / "part.kvr");
    joined.insert(joined.end(), part.begin(), part.end());
  }
  ASSERT_TRUE(WriteFile(rec, joined));
  const Args zone = {"--recorder-zone", "Europe/Berlin"};
  const auto with = [](Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const double first = 1698537000, third = 1698541500;  // 23:50 and 01:05 UTC
  const struct {
    const char* what;
    Args args;
    const char* pointer;  // into the --json line (convert: /channels/0/...)
    double low, high;     // the value's bounds
  } table[] = {
      {"no correction: the stamps",
       {"convert", rec, "--json"},
       "/channels/0/first_seconds",
       1698544200,
       1698544200},
      {"first time", with({"convert", rec, "--json"}, zone), "/channels/0/first_seconds", first,
       first},
      {"last time, after the clock went back", with({"convert", rec, "--json"}, zone),
       "/channels/0/last_seconds", third, third + 2},
      {"probe", with({"probe", rec, "--json"}, zone), "/channels/0/first_seconds", first, first},
      {"offset after the zone", with({"convert", rec, "--json", "--clock-offset", "+1m"}, zone),
       "/channels/0/first_seconds", first - 60, first - 60},
      {"--from in corrected time",
       with({"convert", rec, "--json", "--from", "2023-10-29T00:00:00Z"}, zone),
       "/channels/0/first_seconds", 1698540600, 1698540600},
      {"--to in corrected time",
       with({"convert", rec, "--json", "--to", "2023-10-28T23:55:00Z"}, zone),
       "/channels/0/last_seconds", first, first + 2},
      {"--from in the second pass of the repeated hour",
       with({"convert", rec, "--json", "--from", "2023-10-29T01:00:00Z"}, zone),
       "/channels/0/first_seconds", third, third},
      {"--to in its first pass",
       with({"convert", rec, "--json", "--to", "2023-10-29T00:55:00Z"}, zone),
       "/channels/0/last_seconds", 1698540600, 1698540602},
  };
  for (const auto& row : table) {
    testing::ProcessOptions options;
    options.capture = testing::Capture::kStdout;
    Args args = row.args;
    args.insert(args.begin(), CliPath());
    const testing::ProcessResult result = testing::RunProcess(args, options);
    ASSERT_EQ(result.exit_code, 0) << row.what << "\n" << result.output;
    const double value = nlohmann::json::parse(result.output)
                             .at(nlohmann::json::json_pointer(row.pointer))
                             .get<double>();
    EXPECT_GE(value, row.low) << row.what;
    EXPECT_LE(value, row.high) << row.what;
  }
  // The report keeps the recorder's own times beside the corrected ones.
  std::string out;
  ASSERT_EQ(Vexlor(with({"convert", rec, "--report", "--format", "mkv"}, zone), &out), "0") << out;
  std::ifstream in(testing::Fs(dir_ / "berlin.report.json"));
  const nlohmann::json report = nlohmann::json::parse(in);
  const nlohmann::json& file = report["files"][0];
  EXPECT_EQ(file["first_time"]["recorder"], "2023-10-29T01:50:00.000");
  EXPECT_EQ(file["first_time"]["utc"], "2023-10-28T23:50:00.000Z");
  EXPECT_EQ(file["last_time"]["utc"].get<std::string>().substr(0, 17), "2023-10-29T01:05:");
  EXPECT_EQ(file["gaps"].size(), 2u);  // an hour, and 15 minutes hidden by the clock put back
  EXPECT_EQ(report["clock_correction"]["recorder_zone"], "Europe/Berlin");
  if (HaveTool("mkvmerge")) {  // the file's creation time is corrected too
    ASSERT_EQ(RunProgram({"mkvmerge", "-J", dir_ / "berlin_01.mkv"}, &out), 0) << out;
    EXPECT_EQ(nlohmann::json::parse(out)["container"]["properties"]["date_utc"],
              "2023-10-28T23:50:00Z");
  }
  EXPECT_EQ(Vexlor(with({"convert", rec}, {"--recorder-zone", "Mars/Olympus"}), &out), "1");
}

}  // namespace
}  // namespace vexlor::cli
