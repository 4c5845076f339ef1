// `vexlor convert` for real work, end to end: an output directory, chosen channels, time ranges
// (checked by walking the AVI files and, when installed, with ffprobe and ffmpeg), several
// recordings at once with a failing one, Ctrl-C during a batch, --skip-existing after an
// interrupted run, and --json read back and compared with the files on disk. Recordings come
// from `vexlor mkrec` with known time stamps; every run sets its time zone explicitly.
#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/test_support.h"
#include "platform/output_file.h"

namespace vexlor::cli {
namespace {

using testing::AviFile;
using testing::CliPath;
using testing::HaveTool;
using testing::Lines;
using testing::ParseAvi;
using testing::ScratchDir;
using testing::X264Data;
using Args = std::vector<std::string>;
using Env = std::vector<std::pair<std::string, std::string>>;

// One hour east of UTC with summer time (by these rules on POSIX; the Windows runtime applies
// its own summer time rules, which agree on the dates used here).
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr uint32_t kStart = 1700000000;  // 2023-11-14T22:13:20Z, 23:13:20 in that zone

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Outcome {
  int code = -1;
  std::string out;
};

// Runs a program (no shell) with these environment additions and the time zone set; captures
// the standard output and error stream, or the standard output alone.
Outcome Program(const Args& args, const Env& env = {}, bool stdout_only = false) {
  testing::ProcessOptions options;
  options.environment = env;
  options.environment.emplace_back("TZ", kZone);
  if (stdout_only) options.capture = testing::Capture::kStdout;
  testing::ProcessResult result = testing::RunProcess(args, options);
  return {result.exit_code, std::move(result.output)};
}
Outcome Vexlor(Args args, const Env& env = {}, bool stdout_only = false) {
  args.insert(args.begin(), CliPath());
  return Program(args, env, stdout_only);
}

#ifndef _WIN32  // POSIX signals; Ctrl-C on Windows is checked under wine (tests/windows)
// Starts vexlor with its standard output on a pipe, sends SIGINT once every text of `wait_for`
// has appeared there, and reads on to the end. The exit status, or -1.
int InterruptWhenSeen(const Args& args, const Env& env, const std::vector<std::string>& wait_for,
                      std::string* seen) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const std::string cli = CliPath();
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    setenv("TZ", kZone, 1);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>(cli.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  bool signalled = false;
  char buf[4096];
  for (;;) {
    // The wait only guards against a program that never shows what is awaited (a failure);
    // a passing run never reaches it.
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 120000) <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    seen->append(buf, size_t(n));
    bool all = true;
    for (const std::string& w : wait_for) all = all && Contains(*seen, w);
    if (all && !signalled) {
      kill(pid, SIGINT);
      signalled = true;
    }
  }
  close(fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !signalled) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// A frame of `vexlor frames`.
struct Listed {
  int channel = 0;
  std::string kind;
  bool passthrough = false;
  double t = 0;
};
std::vector<Listed> ListFrames(const std::string& rec) {
  const Outcome r = Vexlor({"frames", rec});
  std::vector<Listed> frames;
  for (const std::string& line : Lines(r.out)) {
    Listed f;
    char kind[16] = {};
    unsigned seconds = 0, ticks = 0;
    int pt = 0;
    if (std::sscanf(line.c_str(),
                    "%*u channel=%d %15s length=%*u seconds=%u ticks=%u passthrough=%d", &f.channel,
                    kind, &seconds, &ticks, &pt) != 5)
      continue;
    f.kind = kind;
    f.passthrough = pt != 0;
    f.t = ticks * (1.0 / 60) + seconds;
    frames.push_back(f);
  }
  return frames;
}

// The rate a file of the channel's counted frames first..last (their numbers among the
// channel's video frames) must carry, in hundredths.
uint32_t ExpectedRate(const std::vector<Listed>& frames, int channel, int first, int last) {
  std::vector<double> times;
  for (const Listed& f : frames)
    if (f.channel == channel && f.kind == "video" && !f.passthrough) times.push_back(f.t);
  const double rate = (last - first + 1) / (times[last] - times[first] + double(0.1f));
  return uint32_t(rate * 100.0);
}

size_t VideoChunks(const AviFile& avi) {
  size_t n = 0;
  for (const auto& chunk : avi.chunks) n += chunk.id == "00dc";
  return n;
}

std::vector<std::string> FrameMd5s(const std::string& input) {
  const Outcome r = Program(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", input, "-map", "0:v:0", "-f", "framemd5", "-"});
  std::vector<std::string> md5s;
  for (const std::string& line : Lines(r.out)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.find_last_of(' ') + 1));
  }
  return md5s;
}

class BatchTest : public ::testing::Test {
 protected:
  // A recording of channels 0 (30 frames, IDR pictures 0 and 15), 3 (20 frames, with audio)
  // and 7 (20 frames) at 25 frames per second from kStart.
  std::string MakeRecording(const std::string& name) {
    const std::string rec = dir_ / name;
    const Outcome r =
        Vexlor({"mkrec", "-o", rec, "--fps", "25", "--start", std::to_string(kStart), "--channel",
                "0=" + X264Data("refs_slices.264"), "--channel", "3=" + X264Data("qp51.264"),
                "--audio", "3", "--channel", "7=" + X264Data("odd_size.264")});
    EXPECT_EQ(r.code, 0) << r.out;
    return rec;
  }
  // A smaller one: channels 0 and 1.
  std::string MakeSmall(const std::string& name) {
    const std::string rec = dir_ / name;
    const Outcome r =
        Vexlor({"mkrec", "-o", rec, "--start", std::to_string(kStart), "--channel",
                "0=" + X264Data("qp51.264"), "--channel", "1=" + X264Data("deblock_weak.264")});
    EXPECT_EQ(r.code, 0) << r.out;
    return rec;
  }
  std::string Stem(const std::string& rec) const { return rec.substr(0, rec.size() - 4); }

  ScratchDir dir_;
};

TEST_F(BatchTest, OutputDirectoryAndChannelLists) {
  const std::string rec = MakeRecording("site.kvr");
  // A new directory (with its parents), then an existing one; nothing beside the recording.
  const std::string out = dir_ / "out/a/b";
  Outcome r = Vexlor({"convert", "-o", out, "--channels", "4", rec});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(ParseAvi(out + "/site_04.avi").ok);
  EXPECT_FALSE(testing::Exists(out + "/site_01.avi"));
  EXPECT_FALSE(testing::Exists(dir_ / "site_04.avi"));
  r = Vexlor({"convert", "--output-dir", out, "--channels", "1,6-8,16", rec});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(ParseAvi(out + "/site_01.avi").ok);
  EXPECT_TRUE(ParseAvi(out + "/site_08.avi").ok);
  EXPECT_FALSE(testing::Exists(out + "/site_06.avi"));
  // Chosen channels without video are reported, not skipped in silence.
  for (const char* absent : {"CH_06", "CH_07", "CH_16"})
    EXPECT_TRUE(Contains(r.out, std::string(absent) + ": not found")) << r.out;
  EXPECT_FALSE(Contains(r.out, "CH_08: not found")) << r.out;
  // Only absent channels: nothing written, exit status 2.
  r = Vexlor({"convert", "-o", dir_ / "none", "--channels", "2", rec});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_TRUE(Contains(r.out, "CH_02: not found")) << r.out;
  EXPECT_FALSE(testing::Exists(dir_ / "none/site_02.avi"));

  // snapshot makes its directory too. One that cannot be made (below a regular file, or at a
  // dangling link): one line naming it and why, exit 1; -o "" is a mistake, not "beside".
  r = Vexlor({"snapshot", "-o", dir_ / "pics/new", rec});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testing::Exists(dir_ / "pics/new/site_04.png"));
  std::error_code ec;
  std::filesystem::create_symlink(testing::Fs(dir_ / "nowhere"), testing::Fs(dir_ / "dangling"),
                                  ec);
  for (const char* command : {"convert", "snapshot"}) {
    for (const auto& [o, why] : {std::pair<std::string, std::string>{rec + "/sub", ": "},
                                 {dir_ / "dangling", ": it is a dangling symbolic link (to "},
                                 {"", "error: --output-dir: an empty directory name"}}) {
      if (o == dir_ / "dangling" && ec) continue;  // no symbolic links here
      r = Vexlor({command, "-o", o, rec});
      EXPECT_EQ(r.code, 1) << r.out;
      const std::string line =
          o.empty() ? why : "error: cannot create the output directory " + o + why;
      EXPECT_EQ(r.out.rfind(line, 0), 0u) << r.out;
      EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
    }
  }
  EXPECT_FALSE(testing::Exists(dir_ / "nowhere"));

  // Bad values and unknown options: one line naming the option, exit 1.
  for (const Args& bad : {Args{"--channels", "0"}, Args{"--channels", "3,x"},
                          Args{"--channels", "9-4"}, Args{"--from", "yesterday"},
                          Args{"--to", "25:00"}, Args{"--jobs", "-2"}, Args{"--frobnicate"}}) {
    Args args = {"convert", rec};
    args.insert(args.end(), bad.begin(), bad.end());
    r = Vexlor(args);
    EXPECT_EQ(r.code, 1) << bad[0];
    EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
    EXPECT_EQ(r.out.rfind("error: ", 0), 0u) << r.out;
    EXPECT_TRUE(Contains(r.out, bad[0])) << r.out;
  }
  // --from after --to.
  r = Vexlor({"convert", "--from", "+2s", "--to", "+1s", rec});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.out, "error: --from (2023-11-14T23:13:22.000+01:00) is after --to"))
      << r.out;

  // --help shows every option with an example; --version one line.
  r = Vexlor({"convert", "--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* option :
       {"--output-dir", "--channels", "--from", "--to", "--jobs", "--skip-existing", "--json"}) {
    const size_t at = r.out.find(option);
    ASSERT_NE(at, std::string::npos) << option;
    EXPECT_NE(r.out.find("Example:", at), std::string::npos) << option;
  }
  r = Vexlor({"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("vexlor ", 0), 0u);
  EXPECT_EQ(Lines(r.out).size(), 1u);
}

TEST_F(BatchTest, TimeRangesStartAtAKeyFrameAndMeasureTheWrittenFrames) {
  const std::string rec = MakeRecording("cam.kvr");
  const std::vector<Listed> frames = ListFrames(rec);
  const bool players = HaveTool("ffprobe") && HaveTool("ffmpeg");
  const std::vector<std::string> source_md5s =
      players ? FrameMd5s(X264Data("refs_slices.264")) : std::vector<std::string>();

  struct Case {
    const char* what;
    Args range;
    int first, last;  // channel 0's clip, as numbers of its frames (-1: no file)
    int others_last;  // the last frame of channels 3 and 7 (-1: no file)
  };
  const Case cases[] = {
      // Frames 18 to 25 are in the range; the clip goes back to the IDR picture 15.
      {"inside", {"--from", "+0.7s", "--to", "+1s"}, 15, 25, 19},
      {"inside, as a local date-time",
       {"--from", "2023-11-14T23:13:20.7", "--to", "+1s"},
       15,
       25,
       19},
      {"inside, as a time of day", {"--from", "23:13:20.7", "--to", "23:13:21"}, 15, 25, 19},
      {"inside, in UTC", {"--from", "2023-11-14T22:13:20.7Z", "--to", "+1s"}, 15, 25, 19},
      {"across the start", {"--to", "+0.3s"}, 0, 7, 7},
      // Channels 3 and 7 end at 0.76 s: no frame in the range, no file.
      {"across the end", {"--from", "+1.1s"}, 15, 29, -1},
      {"before the first frame", {"--to", "2023-11-14T23:13:19"}, -1, -1, -1},
      {"after the last frame", {"--from", "+5s"}, -1, -1, -1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = dir_ / ("case" + std::to_string(n++));
    Args args = {"convert", "-o", out, rec};
    args.insert(args.end(), c.range.begin(), c.range.end());
    const Outcome r = Vexlor(args);
    ASSERT_EQ(r.code, c.first < 0 ? 2 : 0) << r.out;
    // Every form is said as the time it resolved to.
    if (c.last == 25) {
      EXPECT_TRUE(Contains(r.out,
                           "Time range: from 2023-11-14T23:13:20.700+01:00 to "
                           "2023-11-14T23:13:21.000+01:00\n"))
          << r.out;
    }
    const std::string ch0 = out + "/cam_01.avi";
    if (c.first < 0) {
      EXPECT_FALSE(testing::Exists(ch0));
      EXPECT_TRUE(Contains(r.out,
                           "CH_01: no file, no frame in the time range (its frames run "
                           "from 2023-11-14T23:13:20.000+01:00 to "
                           "2023-11-14T23:13:21.167+01:00)"))
          << r.out;
      continue;
    }
    const AviFile avi = ParseAvi(ch0);
    ASSERT_TRUE(avi.ok) << avi.error;
    ASSERT_FALSE(avi.index.empty());
    EXPECT_EQ(avi.index[0].id, "00dc");
    EXPECT_EQ(avi.index[0].flags & 0x10, 0x10u) << "the first chunk is a key frame";
    EXPECT_EQ(VideoChunks(avi), size_t(c.last - c.first + 1));
    EXPECT_EQ(avi.video_length, uint32_t(c.last - c.first + 1));
    EXPECT_EQ(avi.video_rate, ExpectedRate(frames, 0, c.first, c.last));
    EXPECT_EQ(Contains(r.out,
                       "CH_01: starts at 2023-11-14T23:13:20.600+01:00, at the last key "
                       "frame before --from"),
              c.first == 15)
        << r.out;
    for (const char* other : {"/cam_04.avi", "/cam_08.avi"}) {
      if (c.others_last < 0) {
        EXPECT_FALSE(testing::Exists(out + other));
        continue;
      }
      const AviFile o = ParseAvi(out + other);
      ASSERT_TRUE(o.ok) << o.error;
      EXPECT_EQ(VideoChunks(o), size_t(c.others_last + 1));
    }
    if (c.others_last < 0) {
      EXPECT_TRUE(Contains(r.out, "CH_04: no file, no frame in the time")) << r.out;
    }
    if (!players) continue;
    // A player decodes the clip from its first frame: the source's pictures first..last.
    const std::vector<std::string> md5s = FrameMd5s(ch0);
    EXPECT_EQ(md5s, std::vector<std::string>(source_md5s.begin() + c.first,
                                             source_md5s.begin() + c.last + 1));
    const Outcome probe =
        Program({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                 "-show_entries", "stream=nb_read_frames,r_frame_rate", "-of", "compact=p=0", ch0});
    EXPECT_TRUE(Contains(probe.out, "nb_read_frames=" + std::to_string(c.last - c.first + 1)))
        << probe.out;
  }
  // The forms of one time give the same files.
  for (const char* name : {"/cam_01.avi", "/cam_04.avi", "/cam_08.avi"}) {
    const auto first = testing::ReadAll(dir_ / ("case0" + std::string(name)));
    for (int k = 1; k < 4; ++k)
      EXPECT_EQ(testing::ReadAll(dir_ / ("case" + std::to_string(k) + name)), first) << k << name;
  }
}

TEST_F(BatchTest, SeveralRecordingsWithAFailingOne) {
  const std::string a = MakeSmall("a.kvr"), b = MakeSmall("b.kvr");
  const std::string missing = dir_ / "missing.kvr";
  const std::string folder = dir_ / "folder.kvr";
  ASSERT_TRUE(std::filesystem::create_directory(testing::Fs(folder)));
  // cam.m4v would write cam.kvr's files: refused.
  const std::string cam = MakeSmall("cam.kvr");
  std::filesystem::copy_file(testing::Fs(cam), testing::Fs(dir_ / "cam.m4v"));

  const Outcome r =
      Vexlor({"convert", "--jobs", "2", a, missing, folder, b, cam, dir_ / "cam.m4v"});
  EXPECT_EQ(r.code, 1) << r.out;
  for (const std::string& rec : {a, b, cam}) {
    EXPECT_TRUE(ParseAvi(Stem(rec) + "_01.avi").ok) << rec;
    EXPECT_TRUE(ParseAvi(Stem(rec) + "_02.avi").ok) << rec;
    EXPECT_TRUE(Contains(r.out, rec + ": Done. Average FPS = ")) << r.out;
    EXPECT_TRUE(Contains(r.out, rec + ": CH_01 CH_02. Writing Progress")) << r.out;
  }
  EXPECT_TRUE(Contains(r.out, "error: cannot open " + missing + ": No such file")) << r.out;
  EXPECT_TRUE(
      Contains(r.out, "error: " + dir_ / "cam.m4v" + " would write the same files as " + cam))
      << r.out;
  // The summary: every recording with its result and files.
  const size_t summary = r.out.find("Summary: 6 recordings: 3 done, 3 error");
  ASSERT_NE(summary, std::string::npos) << r.out;
  const std::string tail = r.out.substr(summary);
  EXPECT_TRUE(Contains(tail, "  " + a + ": done " + Stem(a) + "_01.avi " + Stem(a) + "_02.avi"))
      << tail;
  EXPECT_TRUE(Contains(tail, "  " + missing + ": error (cannot open")) << tail;
  EXPECT_TRUE(Contains(tail, "  " + folder + ": error (")) << tail;
  EXPECT_EQ(Lines(tail).size(), 7u) << tail;

  // The worst exit status wins: nothing written (2) is below an error (1).
  const Outcome none = Vexlor({"convert", "--channels", "9", a, b});
  EXPECT_EQ(none.code, 2) << none.out;
  EXPECT_EQ(Vexlor({"convert", "--channels", "9", a, missing}).code, 1);
}

TEST_F(BatchTest, ATimeZoneThatCannotBeUsedIsSaidAndTheSystemsIsUsed) {
  const std::string rec = MakeSmall("cam.kvr");
  const auto probe = [&](const std::string& tz) {
#ifdef _WIN32
    testing::ProcessOptions options;  // an empty TZ is none to the Windows runtime
    options.environment = {{"TZ", tz}};
    return testing::RunProcess({CliPath(), "probe", rec}, options).output;
#else
    return testing::RunProcess({"env", tz.empty() ? "-uTZ" : "TZ=" + tz, CliPath(), "probe", rec})
        .output;
#endif
  };
  const std::string system = probe("");
  EXPECT_FALSE(Contains(system, "warning")) << system;
  EXPECT_TRUE(Contains(probe("CET-1CEST"), "first=2023-11-14T23:13:20.000+01:00"));
  // A zone's name is understood on POSIX (where the time zone database has it), not on Windows.
  std::vector<std::string> unusable = {"Nowhere/Atlantis"};
#ifdef _WIN32
  unusable.push_back("Europe/Berlin");
#endif
  for (const std::string& tz : unusable) {
    // Said once (the standard error stream, wherever it falls among the lines), then the
    // system's times.
    std::string out = probe(tz);
    const size_t warning = out.find("warning: TZ=" + tz + " is not a time zone ");
    ASSERT_NE(warning, std::string::npos) << out;
    out.erase(warning, out.find('\n', warning) + 1 - warning);
    EXPECT_EQ(out, system);
  }
}

TEST_F(BatchTest, NoOutputReplacesARecordingOfTheBatch) {
  // cam.kvr's channel 1 has 20 frames; the other recordings' 30. x_01.avi is a recording too.
  ASSERT_TRUE(std::filesystem::create_directory(testing::Fs(dir_ / "A")));
  const std::string a = dir_ / "A";
  MakeSmall("A/cam.kvr");
  for (const char* other : {"A/cam.m4v", "A/CAM.m4v", "A/x_01.avi"}) MakeRecording(other);
  MakeSmall("A/x.kvr");
  const auto recording = testing::ReadAll(a + "/x_01.avi");
  std::error_code ec;
  std::filesystem::create_directory_symlink(testing::Fs(a), testing::Fs(dir_ / "Alink"), ec);
  const std::string link = ec ? a : dir_ / "Alink";  // without links: the same folder plainly
  const bool ignores_case = platform::FolderIgnoresCase(a);

  struct Case {
    const char* what;
    Args args;
    std::string error;  // the line that refuses ("" when nothing is refused)
  } cases[] = {
      {"one folder through a link",
       {a + "/cam.kvr", link + "/cam.m4v"},
       "error: " + link + "/cam.m4v would write the same files as " + a + "/cam.kvr"},
      {"names that differ in case",
       {a + "/cam.kvr", a + "/CAM.m4v"},
       ignores_case ? "error: " + a + "/CAM.m4v would write the same files as " + a + "/cam.kvr"
                    : ""},
      {"an output that is another recording, before and while it is read",
       {"-j", "2", a + "/x.kvr", link + "/x_01.avi"},
       "error: " + a + "/x.kvr: no file for CH_01: it would replace the recording " + link +
           "/x_01.avi of this batch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Args args = {"convert"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = Vexlor(args);
    EXPECT_EQ(r.code, c.error.empty() ? 0 : 1) << r.out;
    EXPECT_EQ(Contains(r.out, "error: "), !c.error.empty()) << r.out;
    EXPECT_TRUE(Contains(r.out, c.error)) << r.out;
    // The first recording's files are its own; no recording is touched.
    const AviFile cam = ParseAvi(a + "/cam_01.avi");
    ASSERT_TRUE(cam.ok) << cam.error;
    EXPECT_EQ(VideoChunks(cam), 20u);
    EXPECT_EQ(testing::ReadAll(a + "/x_01.avi"), recording);
  }
  // The refused channel is the only one left out.
  EXPECT_TRUE(ParseAvi(a + "/x_02.avi").ok);
  EXPECT_TRUE(ParseAvi(a + "/x_01_01.avi").ok);
}

#ifndef _WIN32
TEST_F(BatchTest, AStandardOutputThatCannotBeWrittenIsNeverSuccess) {
  const std::string rec = MakeSmall("cam.kvr"), err = dir_ / "err", status = dir_ / "status";
  for (const Args& command : {Args{"convert", "--json", "-o", dir_ / "o", rec}, Args{"probe", rec},
                              Args{"frames", rec}, Args{"snapshot", "-o", dir_ / "p", rec}}) {
    SCOPED_TRACE(command[0]);
    // A full disk: an error, with the reason.
    Args full = {"sh", "-c", "\"$0\" \"$@\" >/dev/full", CliPath()};
    full.insert(full.end(), command.begin(), command.end());
    const Outcome r = Program(full);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(Contains(r.out, "error: cannot write to standard output: " +
                                    std::string(std::strerror(ENOSPC)) + "\n"))
        << r.out;
    // A reader that went away before anything was written: ended quietly by SIGPIPE.
    Args closed = {"sh", "-c", "\"$0\" \"$@\" 2>" + err + "; echo $? >" + status, CliPath()};
    closed.insert(closed.end(), command.begin(), command.end());
    testing::ProcessOptions options;
    options.close_output = true;
    options.capture = testing::Capture::kStdout;
    testing::RunProcess(closed, options);
    const auto code = testing::ReadAll(status), said = testing::ReadAll(err);
    EXPECT_EQ(std::string(code.begin(), code.end()), "141\n");
    EXPECT_FALSE(Contains(std::string(said.begin(), said.end()), "error")) << command[0];
  }
}

TEST_F(BatchTest, CtrlCCancelsEveryRunningConversion) {
  // Two at once, each held after its first frame until cancelled: both must be running for the
  // signal to be sent at all. The third never starts.
  const std::string a = MakeSmall("a.kvr"), b = MakeSmall("b.kvr"), c = MakeSmall("c.kvr");
  std::string seen;
  const int code =
      InterruptWhenSeen({"convert", "--jobs", "2", a, b, c}, {{"VEXLOR_TEST_HOLD", "CH_01"}},
                        {a + ": CH_01 CH_02.", b + ": CH_01 CH_02."}, &seen);
  EXPECT_EQ(code, 130) << seen;
  EXPECT_FALSE(Contains(seen, "Done")) << seen;
  for (const std::string& rec : {a, b}) {
    const AviFile avi = ParseAvi(Stem(rec) + "_01.avi");
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(avi.video_scale, 1u) << "closed where the cancel found it";
    EXPECT_FALSE(testing::Exists(Stem(rec) + "_02.avi"));
  }
  EXPECT_FALSE(testing::Exists(Stem(c) + "_01.avi"));
  EXPECT_TRUE(Contains(seen, "Summary: 3 recordings: 2 cancelled, 1 not_started")) << seen;
}

TEST_F(BatchTest, SkipExistingAfterAnInterruptedRun) {
  const std::string a = MakeSmall("a.kvr"), b = MakeSmall("b.kvr");
  // One at a time; b is interrupted once its second channel's file is open too.
  std::string seen;
  const int code = InterruptWhenSeen({"convert", a, b}, {{"VEXLOR_TEST_HOLD", "b.kvr:CH_02"}},
                                     {b + ": CH_01 CH_02."}, &seen);
  EXPECT_EQ(code, 130) << seen;
  EXPECT_TRUE(Contains(seen, a + ": Done.")) << seen;
  EXPECT_TRUE(Contains(seen, "Summary: 2 recordings: 1 cancelled, 1 done")) << seen;
  const auto a_files = testing::ReadAll(Stem(a) + "_02.avi");
  ASSERT_TRUE(ParseAvi(Stem(b) + "_02.avi").ok) << "the interrupted file is valid";

  // Again with --skip-existing: a's files are complete and stay; b's second is not: converted.
  Outcome r = Vexlor({"convert", "--skip-existing", "--json", a, b}, {}, true);
  ASSERT_EQ(r.code, 0) << r.out;
  const std::vector<std::string> objects = Lines(r.out);
  ASSERT_EQ(objects.size(), 2u) << r.out;
  const nlohmann::json ja = nlohmann::json::parse(objects[0]);
  const nlohmann::json jb = nlohmann::json::parse(objects[1]);
  EXPECT_EQ(ja["result"], "skipped");
  EXPECT_EQ(ja["channels"][1]["result"], "existing");
  EXPECT_EQ(jb["result"], "done");
  EXPECT_EQ(testing::ReadAll(Stem(a) + "_02.avi"), a_files);
  const AviFile redone = ParseAvi(Stem(b) + "_02.avi");
  ASSERT_TRUE(redone.ok) << redone.error;
  EXPECT_EQ(redone.video_scale, 100u);

  // Now every file is complete: nothing to do.
  r = Vexlor({"convert", "--skip-existing", a, b});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "Summary: 2 recordings: 2 skipped")) << r.out;
  EXPECT_TRUE(Contains(r.out, a + ": Skipped: Complete Files Exist")) << r.out;
}

#endif

TEST_F(BatchTest, SkipExistingConvertsAgainWhatAKilledRunLeft) {
  // Complete files, and beside one of b's the temporary file of a run that was killed while
  // it wrote that file (a leftover has the name a writer gives it).
  const std::string a = MakeSmall("a.kvr"), b = MakeSmall("b.kvr");
  ASSERT_EQ(Vexlor({"convert", a, b}).code, 0);
  const std::string left = dir_ / ".b_02.avi.0123abcd.part";
  std::ofstream(testing::Fs(left), std::ios::binary) << "half a file";
  const auto b_first = testing::ReadAll(Stem(b) + "_01.avi");

  Outcome r = Vexlor({"convert", "--skip-existing", "--json", a, b}, {}, true);
  ASSERT_EQ(r.code, 0) << r.out;
  const std::vector<std::string> objects = Lines(r.out);
  ASSERT_EQ(objects.size(), 2u) << r.out;
  EXPECT_EQ(nlohmann::json::parse(objects[0])["result"], "skipped");
  EXPECT_EQ(nlohmann::json::parse(objects[1])["result"], "done");
  // The same files again, and the leftover is gone: the next run has nothing to do.
  EXPECT_EQ(testing::ReadAll(Stem(b) + "_01.avi"), b_first);
  EXPECT_FALSE(testing::Exists(left));
  r = Vexlor({"convert", "--skip-existing", a, b});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "Summary: 2 recordings: 2 skipped")) << r.out;
}

TEST_F(BatchTest, JsonReportsMatchTheFilesOnDisk) {
  const std::string rec = MakeRecording("cam.kvr"), small = MakeSmall("small.kvr");
  const std::string out = dir_ / "out";
  const Outcome r = Vexlor({"convert", "--json", "-o", out, "--channels", "1,4,5,8", "--from",
                            "+0.7s", "-j", "0", rec, small, dir_ / "gone.kvr"},
                           {}, true);
  EXPECT_EQ(r.code, 1) << r.out;
  std::map<std::string, nlohmann::json> reports;
  for (const std::string& line : Lines(r.out)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    reports[j["recording"].get<std::string>()] = j;
  }
  ASSERT_EQ(reports.size(), 3u) << r.out;
  EXPECT_EQ(reports[dir_ / "gone.kvr"]["result"], "error");
  EXPECT_EQ(reports[dir_ / "gone.kvr"]["exit_status"], 1);

  const nlohmann::json& j = reports[rec];
  EXPECT_EQ(j["result"], "done");
  EXPECT_EQ(j["from"], "2023-11-14T23:13:20.700+01:00");
  EXPECT_EQ(j["exit_status"], 0);
  ASSERT_EQ(j["channels"].size(), 4u) << j.dump();
  std::map<int, nlohmann::json> by_channel;
  for (const nlohmann::json& ch : j["channels"]) by_channel[ch["channel"].get<int>()] = ch;
  EXPECT_EQ(by_channel[5]["result"], "not_found");
  for (int number : {1, 4, 8}) {
    const nlohmann::json& ch = by_channel[number];
    ASSERT_EQ(ch["result"], "written") << ch.dump();
    const std::string file = ch["file"];
    EXPECT_EQ(file, out + "/cam_0" + std::to_string(number) + ".avi");
    const AviFile avi = ParseAvi(file);
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(ch["size"].get<uint64_t>(), testing::ReadAll(file).size());
    EXPECT_EQ(ch["frames"].get<size_t>(), VideoChunks(avi));
    EXPECT_EQ(ch["audio_frames"].get<size_t>(), avi.chunks.size() - VideoChunks(avi));
    EXPECT_EQ(ch["rate"].get<double>(), double(avi.video_rate) / avi.video_scale);
    // The size a player shows; the headers' coded size beside it where they differ (channel 8
    // crops 176 x 112 to 170 x 102).
    EXPECT_EQ(ch["width"], number == 8 ? 170 : avi.width);
    EXPECT_EQ(ch["height"], number == 8 ? 102 : avi.height);
    EXPECT_EQ(ch.value("coded_width", avi.width), avi.width);
    EXPECT_EQ(ch["starts_before_from"], true);
  }
  EXPECT_EQ(by_channel[1]["first_time"], "2023-11-14T23:13:20.600+01:00");
  EXPECT_EQ(by_channel[1]["last_time"], "2023-11-14T23:13:21.167+01:00");
  EXPECT_EQ(by_channel[1]["first_seconds"].get<double>(), kStart + 36 * (1.0 / 60));
  EXPECT_EQ(by_channel[4]["first_time"], "2023-11-14T23:13:20.000+01:00");
  EXPECT_GT(by_channel[4]["audio_frames"].get<int>(), 0);

  // probe --json agrees with what a whole conversion writes.
  const Outcome p = Vexlor({"probe", "--json", small}, {}, true);
  ASSERT_EQ(p.code, 0) << p.out;
  const nlohmann::json probed = nlohmann::json::parse(p.out);
  ASSERT_EQ(Vexlor({"convert", small}).code, 0);
  ASSERT_EQ(probed["channels"].size(), 2u);
  for (const nlohmann::json& ch : probed["channels"]) {
    const int number = ch["channel"];
    const AviFile avi = ParseAvi(Stem(small) + "_0" + std::to_string(number) + ".avi");
    ASSERT_TRUE(avi.ok) << avi.error;
    EXPECT_EQ(ch["frames"].get<size_t>(), VideoChunks(avi));
    EXPECT_EQ(ch["rate"].get<double>(), double(avi.video_rate) / avi.video_scale);
    EXPECT_EQ(ch["audio"], false);
    EXPECT_EQ(ch["first_time"], "2023-11-14T23:13:20.000+01:00");
  }

#ifndef _WIN32  // Windows names are always Unicode
  // Names that are not UTF-8: each record leads to its own files.
  const std::string raw[] = {dir_ / "cam\xff.kvr", dir_ / "cam\xfe.kvr"};
  for (const std::string& name : raw) std::filesystem::copy_file(small, name);
  const Outcome odd = Vexlor({"convert", "--json", raw[0], raw[1]}, {}, true);
  ASSERT_EQ(odd.code, 0) << odd.out;
  const auto unhex = [](const nlohmann::json& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.get<std::string>().size(); i += 2)
      bytes.push_back(char(std::stoi(hex.get<std::string>().substr(i, 2), nullptr, 16)));
    return bytes;
  };
  const std::vector<std::string> records = Lines(odd.out);
  ASSERT_EQ(records.size(), 2u) << odd.out;
  for (size_t k = 0; k < 2; ++k) {
    const nlohmann::json record = nlohmann::json::parse(records[k]);
    EXPECT_EQ(unhex(record["recording_hex"]), raw[k]);
    EXPECT_EQ(unhex(record["channels"][0]["file_hex"]), Stem(raw[k]) + "_01.avi");
    EXPECT_TRUE(ParseAvi(unhex(record["channels"][0]["file_hex"])).ok);
  }
#endif
}

#ifndef _WIN32  // a console under wine is checked in tests/windows
std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TEST_F(BatchTest, TerminalShowsOneLinePerRecordingAndTheCount) {
  if (!HaveTool("script")) GTEST_SKIP() << "script (util-linux) not installed";
  // Names that would clear the screen and break the lines, shown escaped.
  const std::string a = MakeSmall("a\033[2J.kvr"), b = MakeSmall("b\nx.kvr");
  // A pseudo-terminal: script runs the command line through a shell.
  const Outcome r =
      Program({"script", "-qfec",
               ShellQuote(CliPath()) + " convert -j 2 " + ShellQuote(a) + " " + ShellQuote(b),
               "/dev/null"});
  ASSERT_EQ(r.code, 0) << r.out;
  // Redrawn in place: the live block is erased by moving up and clearing to the end.
  EXPECT_TRUE(Contains(r.out, "recordings finished")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\033[J")) << r.out;
  EXPECT_TRUE(Contains(r.out, dir_ / "a\\x1b[2J.kvr: Done. Average FPS = ")) << r.out;
  EXPECT_TRUE(Contains(r.out, dir_ / "b\\x0ax.kvr: Done. Average FPS = ")) << r.out;
  EXPECT_FALSE(Contains(r.out, "\033[2J")) << r.out;
  const size_t summary = r.out.find("Summary: 2 recordings: 2 done");
  ASSERT_NE(summary, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\033', summary), std::string::npos) << "nothing drawn after the summary";
}
#endif

}  // namespace
}  // namespace vexlor::cli

namespace vexlor::cli {
namespace {

#ifndef _WIN32
TEST(CompletionTest, BashCompletesSubcommandsOptionsAndRecordings) {
  if (!testing::HaveTool("bash")) GTEST_SKIP() << "bash not installed";
  ScratchDir dir;
  std::ofstream(testing::Fs(dir / "cam.kvr")).put('x');
  std::ofstream(testing::Fs(dir / "note.txt")).put('x');
  std::ofstream(testing::Fs(dir / "cam.report.json")).put('x');
  std::filesystem::create_directory(testing::Fs(dir / "out"));
  const std::string script =
      "source \"$1\"; cd \"$2\""
      "; t() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _vexlor; echo \"${COMPREPLY[*]}\"; }"
      "; t vexlor con; t vexlor convert --ch; t vexlor convert ''; t vexlor convert -o ''"
      "; t vexlor probe --; t vexlor convert --f; t vexlor verify ''";
  std::string out;
  ASSERT_EQ(testing::RunProgram(
                {"bash", "-c", script, "bash",
                 std::string(VEXLOR_SOURCE_DIR) + "/src/cli/vexlor-completion.bash", dir.path()},
                &out),
            0)
      << out;
  EXPECT_EQ(out,
            "convert\n--channels\ncam.kvr out\nout\n--json --gap --clock-offset "
            "--recorder-zone --help\n--from --format\ncam.report.json out\n");
}
#endif

}  // namespace
}  // namespace vexlor::cli
