// Arbitrary bytes as a program for the Matroska muxer: a stream description, then video frames
// (any bytes behind start codes of both lengths; stamps that repeat, step back, jump or pause),
// audio frames and bursts of frames of one stamp, and at the end Finish, a cancelled Finish or
// Abandon; or the same for two streams in one file, each frame of either. Every finished file
// must pass the independent EBML walk and hold exactly what was
// written, each track in time order, and ffprobe (when installed) must read all of it. Shared by
// the fuzz target and the replay test.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mkv/ebml_walk.h"
#include "mkv/mkv_muxer.h"
#include "support/length_prefixed.h"
#include "support/process.h"

namespace vexlor::testing {

// Runs the program in `folder` (empty) and returns "" when all held, else the first fault.
inline std::string MkvMuxerProgramProblem(const uint8_t* data, size_t size,
                                          const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  size_t at = 0;
  auto byte = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  auto bytes = [&](size_t n) {
    std::vector<uint8_t> out(data + std::min(at, size), data + std::min(at + n, size));
    at += n;
    return out;
  };
  const uint8_t flags = byte();
  mux::StreamDescription d;
  d.width = 16 * (1 + byte() % 8);
  d.height = 16 * (1 + byte() % 8);
  d.crop_right = byte() % 24;
  d.crop_bottom = byte() % 24;
  for (int n = byte() % 3; n > 0; --n) d.parameter_sets.push_back(bytes(byte() % 16));
  d.has_audio = flags & 1;
  if (flags & 2) d.clock_text = [](double wall) { return std::to_string(int64_t(wall)); };
  if (flags & 4) d.wall_clock = [](double stamp) { return stamp - 1234.5; };
  if (flags & 8) d.origin_sixtieths = int64_t{1500000000} * 60 - byte();
  const std::string path = (folder / "out.mkv").string();
  const size_t streams = (flags & 0x40) ? 2 : 1;

  std::string problem;
  std::vector<std::vector<uint8_t>> video[2];  // the blocks the file must hold, per stream
  std::vector<bool> keys[2];
  std::vector<uint8_t> audio[2];
  std::unique_ptr<mux::Muxer> muxer = mkv::MkvFormat().create();
  if (streams == 1 && !muxer->Open(path, d).ok()) return "Open failed";
  mux::StreamDescription both[2] = {d, d};
  both[0].name = "CH_01", both[1].name = "CH_02";
  if (streams == 2 && !muxer->OpenStreams(path, both).ok()) return "OpenStreams failed";
  int64_t tick = int64_t{1500000000} * 60;
  int s = 0;  // the stream of the next frames
  auto write = [&](mux::Track track, const std::vector<uint8_t>& payload, bool counted, bool key) {
    const mux::RecordingTime stamp{uint32_t(tick / 60), uint32_t(tick % 60)};
    if (!muxer->Write({track, payload, stamp, counted, key, s}).ok()) problem = "Write failed";
    if (track == mux::Track::kVideo) {
      video[s].push_back(LengthPrefixed(payload)), keys[s].push_back(key);
    }
    if (track == mux::Track::kAudio)
      audio[s].insert(audio[s].end(), payload.begin(), payload.end());
  };
  while (at < size && problem.empty()) {
    const uint8_t code = byte(), op = code % 4, step = byte();
    s = int((code >> 2) % streams);
    // The same stamp, a little later, set back, or after a pause.
    tick += step < 32    ? 0
            : step < 200 ? step - 31
            : step < 230 ? -60 * (step - 199)
                         : 3600 * (step - 229);
    if (op < 2) {  // a frame of NAL units behind start codes, maybe garbage first
      const uint8_t form = byte();
      std::vector<uint8_t> frame = bytes(form & 3);
      for (int n = 1 + (form >> 2) % 4; n > 0; --n) {
        if (form & 0x40) frame.push_back(0);
        frame.insert(frame.end(), {0, 0, 1});
        const std::vector<uint8_t> unit = bytes(byte() % 48);
        frame.insert(frame.end(), unit.begin(), unit.end());
      }
      write(mux::Track::kVideo, frame, (form & 0x80) == 0, op == 0);
    } else if (op == 2) {
      const size_t length = byte();
      write(mux::Track::kAudio, bytes(length * (1 + byte() % 8)), true, true);
    } else {  // a burst of small frames of one stamp
      const std::vector<uint8_t> frame = {0, 0, 0, 1, 0x41, byte()};
      const int b = byte();  // mostly short; up to 5,420 frames, past the muxer's bound
      for (int n = 1 + b * b / 12; n > 0 && problem.empty(); --n) {
        write(mux::Track::kVideo, frame, true, false);
      }
    }
  }
  const bool abandon = (flags & 0x30) == 0x30, cancelled = (flags & 0x30) == 0x10;
  if (abandon) muxer->Abandon();
  if (!abandon && !muxer->Finish({cancelled, 0, 0, 0}).ok()) problem = "Finish failed";
  if (!abandon && problem.empty() && !muxer->Commit().ok()) problem = "Commit failed";
  std::vector<uint8_t> file;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    file.resize(size_t(fs::file_size(path)));
    file.resize(std::fread(file.data(), 1, file.size(), f));
    std::fclose(f);
  }
  WalkedMkv w;
  // Video tracks 1 (and 2), the clock, then the audio tracks.
  const uint64_t audio_track = streams + ((flags & 2) ? 2 : 1);
  const mux::MuxerFacts facts = muxer->Facts();
  size_t entries = (flags & 2) ? 2 : 1;
  for (size_t k = 0; k < streams; ++k) {
    entries += !audio[k].empty() + (k > 0 && (!video[k].empty() || !audio[k].empty()));
  }
  if (!problem.empty() || abandon) {
    if (abandon && fs::exists(path)) problem = "an abandoned file exists";
  } else if (std::string fault = WalkMkv(file, &w); !fault.empty()) {
    problem = fault;
  } else if (mkv::IsFinishedMkvFile(path) == cancelled) {
    problem = "the completeness check is wrong";
  } else if (facts.video_samples != int64_t(video[0].size() + video[1].size()) ||
             facts.audio_bytes != int64_t(audio[0].size() + audio[1].size())) {
    problem = "the facts are wrong";
  } else if (w.All(0xAE).size() != entries) {
    problem = "a track without samples, or samples without their track";
  } else {
    size_t frame[2] = {}, blocks = 0;
    std::vector<uint8_t> sound[2];
    int64_t last[2][2] = {{-1, -1}, {-1, -1}};
    const double duration = w.All(0x4489).empty() ? 0 : w.Float(*w.All(0x4489)[0]);
    for (const MkvBlock& b : w.blocks) {
      const std::vector<uint8_t> block(file.begin() + long(b.data),
                                       file.begin() + long(b.data + b.size));
      const size_t v = size_t(b.track - 1), a = size_t(b.track - audio_track);
      if (v < streams) {
        size_t& n = frame[v];
        if (n >= video[v].size() || block != video[v][n] || b.key != keys[v][n] ||
            b.time <= last[v][0]) {
          problem = "video block " + std::to_string(n) + " is not the frame written";
        }
        ++n;
        last[v][0] = b.time;
      }
      if (a < streams) {
        if (b.time < last[a][1]) problem = "audio blocks out of order";
        sound[a].insert(sound[a].end(), block.begin(), block.end());
        last[a][1] = b.time;
      }
      if (double(b.time) > duration) problem = "a block after the file's duration";
      blocks += b.size > 0;  // ffmpeg leaves out empty ones
    }
    ProcessOptions options;
    options.capture = Capture::kStdout;
    const char* use = std::getenv("VEXLOR_FUZZ_FFPROBE");
    const ProcessResult probed = HaveTool("ffprobe") && !(use && std::string(use) == "0")
                                     ? RunProcess({"ffprobe", "-v", "quiet", "-show_entries",
                                                   "packet=stream_index", "-of", "csv=p=0", path},
                                                  options)
                                     : ProcessResult{0, std::string(blocks, '\n')};
    if (frame[0] != video[0].size() || frame[1] != video[1].size() || sound[0] != audio[0] ||
        sound[1] != audio[1]) {
      problem = "the file does not hold what was written";
    } else if (probed.exit_code != 0 ||
               size_t(std::count(probed.output.begin(), probed.output.end(), '\n')) != blocks) {
      problem = "ffprobe reads " +
                std::to_string(std::count(probed.output.begin(), probed.output.end(), '\n')) +
                " blocks of " + std::to_string(blocks) + " (exit status " +
                std::to_string(probed.exit_code) + ")";
    }
  }
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (e.path().filename() != "out.mkv" && problem.empty()) problem = "file left behind";
    fs::remove_all(e.path(), ec);
  }
  return problem;
}

}  // namespace vexlor::testing
