// The MP4 muxer. Each track's samples collect in the fragment being built (one run per track)
// and are written as one moof and mdat when the fragment is complete: so the payload held in
// memory is at most a fragment, and what stays for the end is the list of random access
// points. Video waits in the channel clock until its time is known.
#include "mp4/mp4_muxer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>

#include "boxes.h"
#include "flac_frames.h"
#include "h264/annexb.h"
#include "mp4_header.h"
#include "mux/channel_clock.h"
#include "platform/file.h"
#include "platform/output_file.h"

namespace vexlor::mp4 {
namespace {

using mux::kUnitsPerSecond;

// A fragment ends before a key frame once it holds this much video, and before any sample once
// it holds this many bytes, or this many samples of one track.
constexpr int64_t kFragmentUnits = 2 * kUnitsPerSecond;
constexpr size_t kFragmentBytes = size_t{8} << 20;
constexpr size_t kFragmentSamples = 4096;
// Video that the clock holds (waiting for a later stamp) before it is made to decide.
constexpr size_t kWaitingBytes = size_t{8} << 20;
constexpr size_t kWaitingSamples = 1024;
// A larger picture is refused (sample sizes and offsets in a fragment stay within 31 bits).
constexpr size_t kMaxSampleBytes = size_t{1} << 30;
// A longer gap in the sound is not filled with silence: the next fragment starts after it.
constexpr int64_t kMaxSilence = 24 * 3600 * mux::kAudioRate;
constexpr int64_t kMaxDuration = 0xFFFFFFFF;  // of one sample, in its track's units
constexpr size_t kMaxCueText = 1024;
constexpr uint32_t kSyncFlags = 0x02000000;     // depends on no other sample
constexpr uint32_t kNonSyncFlags = 0x01010000;  // depends on others, not a sync sample
constexpr char kClockTrackName[] = "Recording clock";

struct RunSample {
  uint32_t size = 0;
  uint32_t duration = 0;
  uint32_t flags = 0;
  int32_t composition_offset = 0;  // presentation minus decoding time (pictures out of order)
};

// One track's samples in the fragment being built.
struct Run {
  int64_t base = 0;  // decoding time of the first
  int64_t end = 0;   // end of the last
  std::vector<RunSample> samples;
  std::vector<uint8_t> data;
  std::vector<std::pair<uint32_t, int64_t>> access;  // random access samples: index, time
};

struct AccessPoint {
  int64_t time;
  uint64_t moof;
  uint32_t traf, sample;
};

struct Track {
  Run run;
  std::vector<AccessPoint> access;
  int64_t end = 0;  // of the last sample written
  bool any = false;
};

struct WaitingPicture {
  std::vector<uint8_t> bytes;
  mux::RecordingTime stamp;
  bool counted = false;
  bool key = false;
};

// The NAL units of an Annex B byte stream, each with a four-byte length in place of its start
// code. Bytes before the first start code and zero bytes after a unit belong to no unit.
void ToLengthPrefixed(std::span<const uint8_t> stream, std::vector<uint8_t>* out,
                      std::vector<std::span<const uint8_t>>* units) {
  const uint8_t* end = stream.data() + stream.size();
  std::span<const uint8_t> rest(h264::FindStartCode(stream.data(), end), end);
  while (!rest.empty()) {
    const std::span<const uint8_t> unit = h264::NextNalUnit(rest);
    if (unit.empty()) break;
    rest = rest.subspan(unit.size());
    const size_t prefix = size_t(h264::StartCodePrefixLength(unit.data(), int32_t(unit.size())));
    size_t n = unit.size();
    while (n > prefix && unit[n - 1] == 0) --n;
    if (n <= prefix) continue;
    const std::span<const uint8_t> body = unit.subspan(prefix, n - prefix);
    BoxWriter(out).U32(uint32_t(body.size()));
    out->insert(out->end(), body.begin(), body.end());
    units->push_back(body);
  }
}

class Mp4Muxer final : public mux::Muxer {
 public:
  ~Mp4Muxer() override {
    if (state_ == kOpen) Abandon();
  }
  Status Open(const std::string& path, const mux::StreamDescription& description) override;
  Status Write(const mux::Sample& sample) override;
  Status Finish(const mux::FinishInfo& info) override;
  void Abandon() override;
  mux::MuxerFacts Facts() const override;

 private:
  void AddParameterSet(std::span<const uint8_t> unit);
  void DrainVideo();
  void PlaceVideo(const mux::ChannelClock::Timed& t, const WaitingPicture& p);
  void PlaceSound(int64_t start, std::span<const uint8_t> pcm);
  void EncodeBlock();
  void AddFootage(const mux::ChannelClock::Timed& t, const WaitingPicture& p);
  void AddCue(int64_t second, int64_t from, int64_t to);
  void CloseCue();
  void Append(int track, int64_t time, int64_t duration, std::span<const uint8_t> bytes,
              uint32_t flags, bool key);
  bool FragmentFull() const;
  void Flush();
  void WriteHeader();
  void WriteRandomAccess();
  void SetFinalHeader(bool finished);
  void Put(const std::vector<uint8_t>& bytes);
  void Fail(StatusCode code, const std::string& why);

  enum State { kNew, kOpen, kDone };
  State state_ = kNew;
  platform::OutputFile output_;
  std::string path_;
  Status failure_;
  mux::StreamDescription description_;
  mux::ChannelClock clock_;
  std::deque<WaitingPicture> waiting_;
  size_t waiting_bytes_ = 0;
  Track tracks_[kTracks];
  bool sets_from_stream_ = false;  // the description gave no sequence parameter set
  // Sound: the frame being filled and where it starts, the end of the sound placed so far.
  std::vector<uint8_t> block_;
  int64_t block_start_ = 0;
  int64_t sound_end_ = 0;
  uint32_t flac_frames_ = 0;
  uint64_t flac_samples_ = 0;
  // Clock track: the latest picture with a stamp of its own (its time in the file and its
  // wall-clock time), and the cue being built (the second it shows, from, to).
  bool anchor_ = false;
  int64_t anchor_time_ = 0;
  double anchor_wall_ = 0;
  bool cue_open_ = false;
  int64_t cue_second_ = 0, cue_start_ = 0, cue_end_ = 0;
  // The file.
  HeaderInfo header_;
  bool header_written_ = false;
  size_t header_size_ = 0;
  uint64_t position_ = 0;
  uint32_t sequence_ = 0;
  int64_t video_end_ = 0;
  mux::MuxerFacts facts_;
};

Status Mp4Muxer::Open(const std::string& path, const mux::StreamDescription& description) {
  if (state_ != kNew) return Status(StatusCode::kInvalidArgument, "an MP4 muxer writes one file");
  for (const std::string& keep : description.keep_paths) {
    if (!keep.empty() && platform::SameFile(path, keep)) {
      return Status(StatusCode::kIsKept,
                    path + " " + platform::OutputFileError(platform::OutputFile::kIsKept));
    }
  }
  const platform::OutputFile::Result created =
      output_.Create(path, description.keep_paths.empty() ? "" : description.keep_paths[0]);
  if (created != platform::OutputFile::kOk) {
    const int error = errno;
    switch (created) {
      case platform::OutputFile::kIsDirectory:
        return Status(StatusCode::kIsDirectory, path + " " + platform::OutputFileError(created));
      case platform::OutputFile::kNotRegular:
        return Status(StatusCode::kNotRegularFile, path + " " + platform::OutputFileError(created));
      case platform::OutputFile::kIsKept:
        return Status(StatusCode::kIsKept, path + " " + platform::OutputFileError(created));
      default:
        return Status(StatusCode::kCannotCreate,
                      "cannot create " + path + ": " + std::strerror(error));
    }
  }
  state_ = kOpen;
  path_ = path;
  description_ = description;
  clock_ = mux::ChannelClock(description.origin_sixtieths);
  // The picture as a player shows it: the decoded size less the cropping, when that makes sense.
  const auto shown = [](int64_t size, int64_t a, int64_t b) {
    const int64_t s = size - a - b;
    return uint32_t(std::clamp<int64_t>(a >= 0 && b >= 0 && s > 0 ? s : size, 0, 0xFFFF));
  };
  header_.width = shown(description.width, description.crop_left, description.crop_right);
  header_.height = shown(description.height, description.crop_top, description.crop_bottom);
  for (const std::vector<uint8_t>& set : description.parameter_sets) AddParameterSet(set);
  sets_from_stream_ = header_.sps.empty();
  header_.clock_track = bool(description.clock_text);
  header_.clock_name = kClockTrackName;
  return Status::Ok();
}

void Mp4Muxer::AddParameterSet(std::span<const uint8_t> unit) {
  if (unit.empty() || unit.size() > 0xFFFF) return;
  const int type = unit[0] & 0x1F;
  if (type == 7 && header_.sps.size() < 31) header_.sps.emplace_back(unit.begin(), unit.end());
  if (type == 8 && header_.pps.size() < 255) header_.pps.emplace_back(unit.begin(), unit.end());
}

Status Mp4Muxer::Write(const mux::Sample& sample) {
  if (state_ != kOpen) return Status(StatusCode::kInvalidArgument, "no MP4 file is open");
  if (!failure_.ok()) return failure_;
  if (sample.track == mux::Track::kVideo) {
    if (sample.payload.size() > kMaxSampleBytes) {
      return Status(StatusCode::kTooLarge, "a picture of more than 1 GiB for " + path_);
    }
    WaitingPicture p{{}, sample.time, sample.counted, sample.key};
    std::vector<std::span<const uint8_t>> units;
    ToLengthPrefixed(sample.payload, &p.bytes, &units);
    // Without them in the description, the stream description takes the first sample's sets.
    if (sets_from_stream_ && !header_written_ && header_.sps.empty()) {
      for (std::span<const uint8_t> unit : units) AddParameterSet(unit);
    }
    waiting_bytes_ += p.bytes.size();
    waiting_.push_back(std::move(p));
    clock_.AddVideo(sample.time, sample.counted);
    DrainVideo();
    if (waiting_bytes_ > kWaitingBytes || waiting_.size() > kWaitingSamples) {
      clock_.ResolveVideo();
      DrainVideo();
    }
  } else if (sample.track == mux::Track::kAudio) {
    const int64_t start = clock_.PlaceAudio(sample.time, int64_t(sample.payload.size()));
    PlaceSound(start, sample.payload);
    ++facts_.audio_samples;
    facts_.audio_bytes += int64_t(sample.payload.size());
  } else {
    return Status(StatusCode::kInvalidArgument, "a sample of no known track");
  }
  return failure_;
}

void Mp4Muxer::DrainVideo() {
  while (clock_.ReadyVideo() > 0 && !waiting_.empty()) {
    const mux::ChannelClock::Timed t = clock_.TakeVideo();
    const WaitingPicture p = std::move(waiting_.front());
    waiting_.pop_front();
    waiting_bytes_ -= p.bytes.size();
    PlaceVideo(t, p);
  }
}

void Mp4Muxer::PlaceVideo(const mux::ChannelClock::Timed& t, const WaitingPicture& p) {
  const Run& run = tracks_[kVideo].run;
  if (p.key && !run.samples.empty() && t.time - run.base >= kFragmentUnits) Flush();
  Append(kVideo, t.time, t.duration, p.bytes, p.key ? kSyncFlags : kNonSyncFlags, p.key);
  ++facts_.video_samples;
  video_end_ = t.time + t.duration;
  AddFootage(t, p);
}

void Mp4Muxer::PlaceSound(int64_t start, std::span<const uint8_t> pcm) {
  if (start > sound_end_) {
    int64_t gap = start - sound_end_;
    if (gap > kMaxSilence) {
      EncodeBlock();
      block_start_ = start;
      gap = 0;
    }
    while (gap > 0) {
      const int64_t n = std::min<int64_t>(gap, kFlacBlock - block_.size());
      block_.insert(block_.end(), size_t(n), 0x80);
      gap -= n;
      if (block_.size() == kFlacBlock) EncodeBlock();
    }
    sound_end_ = start;
  }
  for (size_t i = 0; i < pcm.size();) {
    const size_t n = std::min<size_t>(pcm.size() - i, kFlacBlock - block_.size());
    block_.insert(block_.end(), pcm.begin() + ptrdiff_t(i), pcm.begin() + ptrdiff_t(i + n));
    i += n;
    if (block_.size() == kFlacBlock) EncodeBlock();
  }
  sound_end_ += int64_t(pcm.size());
}

void Mp4Muxer::EncodeBlock() {
  if (block_.empty()) return;
  std::vector<uint8_t> frame;
  AppendFlacFrame(flac_frames_++, block_, &frame);
  Append(kAudio, block_start_, int64_t(block_.size()), frame, 0, false);
  block_start_ += int64_t(block_.size());
  flac_samples_ += block_.size();
  block_.clear();
}

// The footage of a picture is the time it is shown, up to a second (a longer interval is a
// pause); its cues show the wall-clock second of each part of it, counted from the stamp of
// the latest picture that carries one.
void Mp4Muxer::AddFootage(const mux::ChannelClock::Timed& t, const WaitingPicture& p) {
  if (!description_.clock_text) return;
  if (p.counted) {
    const double recorded = p.stamp.Seconds();
    const double wall = description_.wall_clock ? description_.wall_clock(recorded) : recorded;
    anchor_ = std::isfinite(wall) && std::fabs(wall) < 1e13;
    anchor_time_ = t.time;
    anchor_wall_ = wall;
  }
  if (!anchor_) return;
  const int64_t end = t.time + std::min<int64_t>(t.duration, kUnitsPerSecond);
  for (int64_t from = t.time; from < end;) {
    const double second =
        std::floor(anchor_wall_ + double(from - anchor_time_) / double(kUnitsPerSecond));
    const double next_second = (second + 1 - anchor_wall_) * double(kUnitsPerSecond);
    const int64_t to = std::clamp(anchor_time_ + int64_t(std::ceil(next_second)), from + 1, end);
    AddCue(int64_t(second), from, to);
    from = to;
  }
}

void Mp4Muxer::AddCue(int64_t second, int64_t from, int64_t to) {
  if (cue_open_ && cue_second_ == second && cue_end_ == from) {
    cue_end_ = to;
    return;
  }
  CloseCue();
  cue_open_ = true;
  cue_second_ = second;
  cue_start_ = from;
  cue_end_ = to;
}

void Mp4Muxer::CloseCue() {
  if (!cue_open_) return;
  cue_open_ = false;
  std::string text = description_.clock_text(double(cue_second_));
  if (text.size() > kMaxCueText) {
    size_t n = kMaxCueText;
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;  // not inside a character
    text.resize(n);
  }
  const int64_t gap = cue_start_ - tracks_[kText].end;
  static const uint8_t kNoText[2] = {0, 0};
  if (gap > 0 && gap <= kMaxDuration) Append(kText, tracks_[kText].end, gap, kNoText, 0, false);
  std::vector<uint8_t> cue{uint8_t(text.size() >> 8), uint8_t(text.size())};
  cue.insert(cue.end(), text.begin(), text.end());
  Append(kText, cue_start_, cue_end_ - cue_start_, cue, 0, false);
}

// A sample that does not follow its track's run without a gap starts a new fragment, whose
// decoding time says where it is.
void Mp4Muxer::Append(int track, int64_t time, int64_t duration, std::span<const uint8_t> bytes,
                      uint32_t flags, bool key) {
  Track& t = tracks_[track];
  if (!t.run.samples.empty() && time != t.run.end) Flush();
  if (FragmentFull()) Flush();
  Run& run = t.run;
  if (run.samples.empty()) run.base = time;
  // Every sample of the sound and the clock is a random access point: the first of a run is
  // listed.
  if (key || (track != kVideo && run.samples.empty())) {
    run.access.emplace_back(uint32_t(run.samples.size()), time);
  }
  const int64_t d = std::clamp<int64_t>(duration, 0, kMaxDuration);
  run.samples.push_back(RunSample{uint32_t(bytes.size()), uint32_t(d), flags, 0});
  run.data.insert(run.data.end(), bytes.begin(), bytes.end());
  run.end = time + d;
  t.end = std::max(t.end, time + duration);
  t.any = true;
}

bool Mp4Muxer::FragmentFull() const {
  size_t bytes = 0;
  for (const Track& t : tracks_) {
    if (t.run.samples.size() >= kFragmentSamples) return true;
    bytes += t.run.data.size();
  }
  return bytes >= kFragmentBytes;
}

void Mp4Muxer::Flush() {
  if (!header_written_) WriteHeader();
  std::vector<uint8_t> moof;
  BoxWriter b(&moof);
  b.Begin("moof");
  b.BeginFull("mfhd", 0, 0);
  b.U32(sequence_ + 1);
  b.End();
  std::vector<size_t> data_offsets;
  uint64_t data_size = 0;
  for (int t = 0; t < kTracks; ++t) {
    Run& run = tracks_[t].run;
    if (run.samples.empty()) continue;
    const bool offsets = std::any_of(run.samples.begin(), run.samples.end(),
                                     [](const RunSample& s) { return s.composition_offset != 0; });
    b.Begin("traf");
    b.BeginFull("tfhd", 0, 0x020000);  // data offsets from the moof
    b.U32(kTrackId[t]);
    b.End();
    b.BeginFull("tfdt", 1, 0);
    b.U64(uint64_t(run.base));
    b.End();
    // Data offset, and per sample its duration, size, (video) flags, (when any) time offset.
    b.BeginFull("trun", offsets ? 1 : 0, 0x301 | (t == kVideo ? 0x400 : 0) | (offsets ? 0x800 : 0));
    b.U32(uint32_t(run.samples.size()));
    data_offsets.push_back(b.size());
    b.U32(0);
    for (const RunSample& s : run.samples) {
      b.U32(s.duration);
      b.U32(s.size);
      if (t == kVideo) b.U32(s.flags);
      if (offsets) b.U32(uint32_t(s.composition_offset));
    }
    b.End();
    b.End();
    const uint32_t traf = uint32_t(data_offsets.size());
    for (const auto& [index, time] : run.access) {
      tracks_[t].access.push_back(AccessPoint{time, position_, traf, index + 1});
    }
    data_size += run.data.size();
  }
  b.End();
  if (data_offsets.empty()) return;
  uint64_t at = moof.size() + 8;
  size_t k = 0;
  for (Track& t : tracks_) {
    if (t.run.samples.empty()) continue;
    b.PatchU32(data_offsets[k++], uint32_t(at));
    at += t.run.data.size();
  }
  BoxWriter(&moof).U32(uint32_t(8 + data_size));
  BoxWriter(&moof).Type("mdat");
  Put(moof);
  for (Track& t : tracks_) {
    Put(t.run.data);
    t.run = Run{};
  }
  ++sequence_;
}

void Mp4Muxer::WriteHeader() {
  header_written_ = true;
  const std::vector<uint8_t> bytes = BuildHeader(header_);
  header_size_ = bytes.size();
  Put(bytes);
}

void Mp4Muxer::WriteRandomAccess() {
  std::vector<uint8_t> out;
  BoxWriter b(&out);
  b.Begin("mfra");
  for (int t = 0; t < kTracks; ++t) {
    if (tracks_[t].access.empty()) continue;
    b.BeginFull("tfra", 1, 0);
    b.U32(kTrackId[t]);
    b.U32(0x3F);  // four-byte traf, trun and sample numbers
    b.U32(uint32_t(tracks_[t].access.size()));
    for (const AccessPoint& a : tracks_[t].access) {
      b.U64(uint64_t(a.time));
      b.U64(a.moof);
      b.U32(a.traf);
      b.U32(1);
      b.U32(a.sample);
    }
    b.End();
  }
  b.BeginFull("mfro", 0, 0);
  b.U32(0);
  b.End();
  b.End();
  b.PatchU32(out.size() - 4, uint32_t(out.size()));
  Put(out);
}

void Mp4Muxer::SetFinalHeader(bool finished) {
  header_.present[kAudio] = tracks_[kAudio].any;
  header_.present[kText] = tracks_[kText].any;
  for (int t = 0; t < kTracks; ++t) header_.duration[t] = uint64_t(tracks_[t].end);
  header_.audio_samples = flac_samples_;
  header_.finished = finished;
  // Created when time zero of the file was recorded.
  const int64_t origin = clock_.origin_sixtieths();
  if (origin >= 0) {
    const int64_t seconds = std::min<int64_t>(origin / 60, 0xFFFFFFFF);
    const mux::RecordingTime zero{uint32_t(seconds), uint32_t(origin - seconds * 60)};
    const double wall =
        description_.wall_clock ? description_.wall_clock(zero.Seconds()) : zero.Seconds();
    if (!CreationTime(wall, &header_.creation_text, &header_.creation)) {
      header_.creation_text.clear();
      header_.creation = 0;
    }
  }
}

Status Mp4Muxer::Finish(const mux::FinishInfo& info) {
  if (state_ != kOpen) return Status(StatusCode::kInvalidArgument, "no MP4 file is open");
  state_ = kDone;
  clock_.FinishVideo();
  DrainVideo();
  CloseCue();
  EncodeBlock();
  Flush();
  WriteRandomAccess();
  SetFinalHeader(!info.cancelled);
  const std::vector<uint8_t> header = BuildHeader(header_);
  if (header.size() != header_size_) {
    Fail(StatusCode::kWriteFailed, "its header changed size");
  } else if (failure_.ok() && platform::SeekFile(output_.file(), 0, SEEK_SET) != 0) {
    Fail(StatusCode::kWriteFailed, std::strerror(errno));
  }
  Put(header);
  const bool complete = failure_.ok();
  const platform::OutputFile::Result result = output_.Finish(complete);
  if (complete && result != platform::OutputFile::kOk) {
    Fail(StatusCode::kWriteFailed, platform::OutputFileError(result));
  }
  return failure_;
}

void Mp4Muxer::Abandon() {
  (void)output_.Finish(false);
  state_ = kDone;
}

mux::MuxerFacts Mp4Muxer::Facts() const {
  mux::MuxerFacts f = facts_;
  f.duration_units = video_end_;
  f.backward_steps = clock_.backward_steps();
  return f;
}

void Mp4Muxer::Put(const std::vector<uint8_t>& bytes) {
  if (!failure_.ok() || bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), output_.file()) != bytes.size()) {
    Fail(StatusCode::kWriteFailed, std::strerror(errno));
  }
  position_ += bytes.size();
}

void Mp4Muxer::Fail(StatusCode code, const std::string& why) {
  if (failure_.ok()) failure_ = Status(code, "cannot write " + path_ + ": " + why);
}

std::unique_ptr<mux::Muxer> CreateMp4Muxer() {
  return std::make_unique<Mp4Muxer>();
}

}  // namespace

const mux::Format& Mp4Format() {
  static const mux::Format format{"mp4", ".mp4", &CreateMp4Muxer, &IsFinishedMp4File};
  return format;
}

}  // namespace vexlor::mp4
