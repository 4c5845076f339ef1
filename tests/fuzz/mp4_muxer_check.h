// Arbitrary bytes as a recording for the MP4 muxer: a stream description, then pictures (random
// bytes, often with start codes) and sound with stamps that stay, step, pause for hours, run
// backwards or jump anywhere, then a finish, a cancel or an abandon. The file must pass the
// independent box walk and hold every sample: each picture's NAL units, at the channel clock's
// time; the sound as placed; every cue whole; and (in the replay, when installed) ffprobe must
// read it. Shared by the MP4 muxer fuzz target and the replay test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mp4/iso_walk.h"
#include "mp4/mp4_muxer.h"
#include "mux/channel_clock.h"
#include "support/length_prefixed.h"
#include "support/process.h"

namespace vexlor::testing {

inline std::string Mp4MuxerProgramProblem(const uint8_t* data, size_t size,
                                          const std::filesystem::path& folder, bool ffprobe) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) fs::remove_all(e.path(), ec);
  size_t at = 0;
  const auto byte = [&] { return at < size ? data[at++] : uint8_t{0}; };
  const uint8_t flags = byte();
  static const int32_t kSizes[] = {320, 240, 0, -16, 1 << 20, 65536, 176, 144};
  mux::StreamDescription d;
  d.width = kSizes[byte() % 8];
  d.height = kSizes[byte() % 8];
  d.crop_right = int32_t(int8_t(byte()));
  d.crop_bottom = int32_t(int8_t(byte()));
  if (flags & 1) d.parameter_sets = {{0x67, 0x42, 0xC0, 0x1E, 0xDA}, {0x68, 0xCE, 0x3C, 0x80}};
  if (flags & 2) d.clock_text = [](double wall) { return std::to_string(int64_t(wall)); };
  if (flags & 4) d.wall_clock = [](double s) { return s - 3600.5; };
  if (flags & 8) d.origin_sixtieths = int64_t(1700000000) * 60 - byte() * 60;
  const fs::path path = folder / "out.mp4";
  std::unique_ptr<mux::Muxer> muxer = mp4::Mp4Format().create();
  if (!muxer->Open(path.string(), d).ok()) return "Open failed";
  // What the file must hold: each picture and its time, the sound as placed.
  mux::ChannelClock clock(d.origin_sixtieths);
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<bool> keys;
  // The sound as runs of silence, each followed by recorded bytes: a day of silence is not held.
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> sound;
  int64_t sound_end = 0;
  int64_t stamp = int64_t(1700000000) * 60;
  // Steps of the stamp: none, a sixtieth, three, a second, a minute, back a second, two days.
  static const int64_t kSteps[] = {0, 1, 3, 60, 3600, -60, 10368000};
  while (at < size) {
    const uint8_t op = byte();
    if ((op >> 2) % 8 == 7) {  // anywhere
      stamp = int64_t(byte()) << 24;
      stamp |= int64_t(byte()) << 8;
    } else {
      stamp = std::max<int64_t>(stamp + kSteps[(op >> 2) % 8], 0);
    }
    const mux::RecordingTime time{uint32_t(stamp / 60), uint32_t(stamp % 60)};
    std::vector<uint8_t> payload(size_t(byte()) << (op & 2 ? 3 : 0));
    for (size_t k = 0; k < payload.size(); ++k) {
      payload[k] = byte();
      if (payload[k] == 0xFF && k + 4 < payload.size())
        payload[k] = 0, payload[++k] = 0, payload[++k] = 1;
    }
    const bool video = (op & 1) == 0;
    if (video && pictures.size() == 1000) continue;  // the clock decides for the muxer after 1024
    if (!muxer
             ->Write({video ? mux::Track::kVideo : mux::Track::kAudio, payload, time,
                      (op & 0x40) == 0, (op & 0x80) != 0})
             .ok())
      return "Write failed";
    if (video) {
      pictures.push_back(LengthPrefixed(payload));
      keys.push_back((op & 0x80) != 0);
      clock.AddVideo(time, (op & 0x40) == 0);
      continue;
    }
    // Silence fills a gap of up to a day; a longer one stays out of the sound.
    const int64_t start = clock.PlaceAudio(time, int64_t(payload.size()));
    const bool filled = start > sound_end && start - sound_end <= 24 * 3600 * 8000;
    sound.emplace_back(filled ? start - sound_end : 0, payload);
    sound_end = start + int64_t(payload.size());
  }
  const bool cancelled = flags & 16, abandoned = flags & 32;
  if (abandoned) {
    muxer->Abandon();
    return fs::is_empty(folder) ? "" : "an abandoned file left something behind";
  }
  if (!muxer->Finish({cancelled, 0, 0, 0}).ok()) return "Finish failed";
  if (!muxer->Commit().ok()) return "Commit failed";
  if (muxer->Write({}).ok()) return "a write after Finish succeeded";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.empty()) return "no file";
  if (std::distance(fs::directory_iterator(folder), fs::directory_iterator()) != 1)
    return "temporary files left behind";
  WalkedMp4 mp4;
  if (const std::string fault = WalkMp4(std::move(bytes), &mp4); !fault.empty()) return fault;
  if (mp4::IsFinishedMp4File(path.string()) == cancelled || mp4.finished != !cancelled)
    return "finished or cancelled, as it was not";
  const Mp4Track* video = mp4.Find("vide");
  if (video == nullptr || video->samples.size() != pictures.size()) return "not every picture";
  // Times in the file's time scale (coarser after a pause of more than 13 hours); after a pause
  // of more than two years, which no time scale holds, the times are not compared.
  clock.FinishVideo();
  const int64_t f = 90000 / std::max<uint32_t>(video->timescale, 1);
  int64_t first = 0;
  bool held = true;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const mux::ChannelClock::Timed t = clock.TakeVideo();
    first = i == 0 ? t.time : first;
    const Mp4Sample& s = video->samples[i];
    if (!std::ranges::equal(mp4.Data(s), pictures[i]) || s.key != keys[i])
      return "a picture's data or key flag changed";
    if (held && s.time != first / f + (t.time - first) / f)
      return "picture " + std::to_string(i) + " not at its time";
    held = held && t.duration / f <= 0xFFFFFFFF;
  }
  // The decoded sound, frame by frame, against the runs (silence is 0x80).
  size_t run = 0;
  int64_t in_run = 0;
  const auto next_run = [&] {  // past the runs that are all compared
    while (run < sound.size() && in_run == sound[run].first + int64_t(sound[run].second.size()))
      ++run, in_run = 0;
    return run < sound.size();
  };
  if (const Mp4Track* audio = mp4.Find("soun")) {
    for (const Mp4Sample& s : audio->samples) {
      const std::vector<uint8_t> frame = FlacSamples(mp4.Data(s));
      if (frame.empty()) return "a sound frame that is none";
      for (size_t k = 0; k < frame.size();) {
        if (!next_run()) return "more sound than was placed";
        const auto& [silence, recorded] = sound[run];
        const size_t n = size_t(std::min<int64_t>(
            int64_t(frame.size() - k),
            in_run < silence ? silence - in_run : silence + int64_t(recorded.size()) - in_run));
        const auto got = frame.begin() + ptrdiff_t(k);
        const bool same =
            in_run < silence
                ? std::all_of(got, got + ptrdiff_t(n), [](uint8_t b) { return b == 0x80; })
                : std::equal(got, got + ptrdiff_t(n), recorded.begin() + (in_run - silence));
        if (!same) return "the sound is not as placed";
        k += n, in_run += int64_t(n);
      }
    }
  }
  if (next_run()) return "less sound than was placed";
  if (const Mp4Track* text = mp4.Find("sbtl")) {
    for (const Mp4Sample& s : text->samples) {
      if (s.size < 2 || size_t(mp4.Data(s)[0] << 8 | mp4.Data(s)[1]) != s.size - 2) return "a cue";
    }
  }
  if (ffprobe &&
      RunProcess({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", path.string()})
              .exit_code != 0)
    return "ffprobe does not read it";
  fs::remove(path);
  return "";
}

}  // namespace vexlor::testing
