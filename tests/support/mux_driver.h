// Feeds a recording through a muxer of any format (a mux::Format), for the tests of the formats
// that keep each frame's time: pictures are the access units of x264 streams of flat colours
// (made at test time), sound is 8-bit PCM beside each picture, each with the stamp the test
// chooses. It also says what the file must hold: each picture's data with length prefixes, its
// time (the channel clock's), size and key flag, and the sound as placed (silence in its gaps).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "h264/access_units.h"
#include "mux/channel_clock.h"
#include "mux/muxer.h"
#include "support/length_prefixed.h"

namespace vexlor::testing {

// Pictures of one flat colour (lavfi's names) and size, `per_stamp` of them sharing each stamp;
// with sound, a frame of it after each picture, as long as the step between stamps.
struct Piece {
  const char* colour;
  int width, height, frames;
  int64_t first, step;  // stamps in sixtieths
  int per_stamp = 1;
  bool sound = true;
};

struct MuxInput {
  mux::StreamDescription description;
  std::vector<mux::Sample> samples;  // in recording order, each of the payload of its index
  std::vector<std::vector<uint8_t>> payloads;
  // What the file must hold.
  std::vector<std::vector<uint8_t>> pictures;  // length-prefixed
  std::vector<int64_t> times, stamps;          // units; sixtieths
  std::vector<std::pair<int, int>> sizes;
  std::vector<bool> keys;  // IDR pictures
  std::vector<uint8_t> sound;
};

// The access units of a flat-colour stream (x264, a key frame every 10 pictures); empty when
// ffmpeg or x264 is missing.
inline const std::vector<h264::AccessUnit>& ColourStream(const Piece& p) {
  static std::map<std::string, std::vector<h264::AccessUnit>> made;
  static ScratchDir scratch;
  const std::string key = std::string(p.colour) + std::to_string(p.width) + "x" +
                          std::to_string(p.height) + "_" + std::to_string(p.frames);
  if (made.count(key) == 0 &&
      EncodeX264(scratch / (key + ".264"), std::string("color=c=") + p.colour, p.width, p.height,
                 p.frames, {"--keyint", "10"})) {
    made[key] = h264::SplitAccessUnits(ReadAll(scratch / (key + ".264")));
  }
  return made[key];
}

// The recording of `pieces`; false when a stream could not be made.
inline bool MakeMuxInput(const std::vector<Piece>& pieces, MuxInput* in) {
  mux::ChannelClock clock;
  for (const Piece& p : pieces) {
    const std::vector<h264::AccessUnit>& units = ColourStream(p);
    if (int(units.size()) != p.frames) return false;
    for (int i = 0; i < p.frames; ++i) {
      const int64_t s = p.first + p.step * (i / p.per_stamp);
      const mux::RecordingTime stamp{uint32_t(s / 60), uint32_t(s % 60)};
      in->payloads.push_back(units[size_t(i)].bytes);
      in->samples.push_back({mux::Track::kVideo, {}, stamp, true, units[size_t(i)].idr});
      in->pictures.push_back(LengthPrefixed(units[size_t(i)].bytes));
      in->stamps.push_back(s);
      in->sizes.emplace_back(p.width, p.height);
      in->keys.push_back(units[size_t(i)].idr);
      clock.AddVideo(stamp, true);
      if (!p.sound) continue;
      std::vector<uint8_t> pcm(size_t(p.step * mux::kAudioRate / 60 / p.per_stamp));
      for (size_t k = 0; k < pcm.size(); ++k) pcm[k] = uint8_t(in->samples.size() * 7 + k * 3);
      const size_t at = size_t(clock.PlaceAudio(stamp, int64_t(pcm.size())));
      in->sound.resize(at, 0x80);
      in->sound.insert(in->sound.end(), pcm.begin(), pcm.end());
      in->payloads.push_back(pcm);
      in->samples.push_back({mux::Track::kAudio, {}, stamp, false, true});
    }
  }
  clock.FinishVideo();
  while (clock.ReadyVideo() > 0) in->times.push_back(clock.TakeVideo().time);
  mux::StreamDescription& d = in->description;
  d.width = pieces[0].width;
  d.height = pieces[0].height;
  d.has_audio = !in->sound.empty();
  for (int type : {7, 8}) {
    const std::vector<uint8_t> set = LengthPrefixed(in->payloads.front(), type);
    if (set.size() > 4) d.parameter_sets.emplace_back(set.begin() + 4, set.end());
  }
  d.clock_text = [](double wall) { return "at " + std::to_string(int64_t(wall)); };
  return true;
}

// Writes the recording through a muxer of `format` to `path` and finishes the file (or, when
// `cancelled`, finishes it as a cancelled conversion does).
inline Status WriteThrough(const mux::Format& format, const std::string& path, const MuxInput& in,
                           bool cancelled = false) {
  std::unique_ptr<mux::Muxer> muxer = format.create();
  Status s = muxer->Open(path, in.description);
  for (size_t i = 0; i < in.samples.size() && s.ok(); ++i) {
    mux::Sample sample = in.samples[i];
    sample.payload = in.payloads[i];
    s = muxer->Write(sample);
  }
  mux::FinishInfo info;
  info.cancelled = cancelled;
  if (s.ok()) s = muxer->Finish(info);
  if (s.ok()) return muxer->Commit();
  muxer->Abandon();
  return s;
}

}  // namespace vexlor::testing
