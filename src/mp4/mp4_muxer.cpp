// The MP4 muxer. The file is ftyp, then moov with every track's sample tables (the index), then
// mdat with the samples: a player reads the index first and can start, and seek anywhere, at
// once. While the conversion runs, the samples go to a spool file beside the output, a chunk
// at a time (a second of each track, interleaved), and their sizes, durations and places to
// the tables; Finish writes the header and copies the spool behind it. So the payload held in
// memory is at most a chunk, and what grows with the footage is the index (eight bytes a
// sample). Video waits in the channel clock until its time is known.
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

// A chunk (of every track) is written once it holds a second of video, or this many bytes, or
// this many samples of one track.
constexpr int64_t kChunkUnits = kUnitsPerSecond;
constexpr size_t kChunkBytes = size_t{8} << 20;
constexpr uint32_t kChunkSamples = 4096;
// Video that the clock holds (waiting for a later stamp) before it is made to decide.
constexpr size_t kWaitingBytes = size_t{8} << 20;
constexpr size_t kWaitingSamples = 1024;
// A larger picture is refused (a sample's size has 32 bits).
constexpr size_t kMaxSampleBytes = size_t{1} << 30;
// A longer gap in the sound is not filled with silence: the frame before it lasts until the
// next.
constexpr int64_t kMaxSilence = 24 * 3600 * mux::kAudioRate;
constexpr size_t kMaxCueText = 1024;
constexpr size_t kCopyBuffer = size_t{1} << 20;
constexpr char kClockTrackName[] = "Recording clock";

struct Track {
  TrackTable table;
  std::vector<uint8_t> chunk;  // the samples not yet in the spool
  uint32_t pending = 0;
  int64_t chunk_start = 0;
};

struct WaitingPicture {
  std::vector<uint8_t> bytes;
  mux::RecordingTime stamp;
  bool counted = false;
  bool key = false;
  int32_t offset = 0;  // Sample::presentation_offset
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
  Status Commit() override;
  void Abandon() override;
  mux::MuxerFacts Facts() const override;

 private:
  void AddParameterSet(std::span<const uint8_t> unit);
  void DrainVideo(bool ended = false);
  void PlaceVideo(const mux::ChannelClock::Timed& t, int64_t shown, const WaitingPicture& p);
  void PlaceSound(int64_t start, std::span<const uint8_t> pcm);
  void EncodeBlock();
  void AddFootage(const mux::ChannelClock::Timed& t, const WaitingPicture& p);
  void AddCue(int64_t second, int64_t from, int64_t to);
  void CloseCue();
  void Append(int track, int64_t time, int64_t duration, std::span<const uint8_t> bytes, bool key,
              int64_t composition = 0);
  bool ChunkFull() const;
  void Flush();
  void SetHeader(bool finished);
  void WriteFile();
  void Put(std::FILE* file, std::span<const uint8_t> bytes);
  void Fail(StatusCode code, const std::string& why);

  enum State { kNew, kOpen, kDone };
  State state_ = kNew;
  platform::OutputFile output_;
  std::string path_;
  std::FILE* spool_ = nullptr;  // the media data, until Finish copies it behind the header
  std::string spool_path_;
  uint64_t spool_size_ = 0;
  Status failure_;
  mux::StreamDescription description_;
  mux::ChannelClock clock_;
  std::deque<WaitingPicture> waiting_;
  size_t waiting_bytes_ = 0;
  // The times of the video samples' places, from place slots_base_ on: the picture decoded at
  // place i is shown at the time of place i + its offset (the same for pictures not reordered).
  std::deque<mux::ChannelClock::Timed> slots_;
  int64_t slots_base_ = 0;
  int64_t placed_ = 0;  // video samples placed in the tables
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
  HeaderInfo header_;
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
  spool_ = platform::CreateUniqueBeside(path, &spool_path_);
  if (spool_ == nullptr) {
    const int error = errno;
    (void)output_.Finish(false);
    return Status(StatusCode::kCannotCreate, "cannot create " + path + ": " + std::strerror(error));
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
    WaitingPicture p{{}, sample.time, sample.counted, sample.key, sample.presentation_offset};
    std::vector<std::span<const uint8_t>> units;
    ToLengthPrefixed(sample.payload, &p.bytes, &units);
    // Without them in the description, the stream description takes the first sample's sets.
    if (sets_from_stream_ && header_.sps.empty()) {
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

// Places the waiting pictures whose own place and the place they are shown at have their times.
// `ended`: no picture comes after them (one shown at a place beyond the last is shown at its own).
void Mp4Muxer::DrainVideo(bool ended) {
  while (clock_.ReadyVideo() > 0) slots_.push_back(clock_.TakeVideo());
  const int64_t timed = slots_base_ + int64_t(slots_.size());
  while (!waiting_.empty() && placed_ < timed) {
    const int32_t offset = std::clamp(waiting_.front().offset, -mux::kMaxPresentationOffset,
                                      mux::kMaxPresentationOffset);
    int64_t shown = placed_ + offset;
    if (shown < slots_base_ || (ended && shown >= timed)) shown = placed_;
    if (shown >= timed) break;
    const WaitingPicture p = std::move(waiting_.front());
    waiting_.pop_front();
    waiting_bytes_ -= p.bytes.size();
    PlaceVideo(slots_[size_t(placed_ - slots_base_)], slots_[size_t(shown - slots_base_)].time, p);
    ++placed_;
    // A place stays known while a later picture may still be shown at it.
    while (!slots_.empty() && slots_base_ < placed_ - mux::kMaxPresentationOffset) {
      slots_.pop_front();
      ++slots_base_;
    }
  }
}

void Mp4Muxer::PlaceVideo(const mux::ChannelClock::Timed& t, int64_t shown,
                          const WaitingPicture& p) {
  const Track& video = tracks_[kVideo];
  if (video.pending > 0 && t.time - video.chunk_start >= kChunkUnits) Flush();
  Append(kVideo, t.time, t.duration, p.bytes, p.key, shown - t.time);
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
  Append(kAudio, block_start_, int64_t(block_.size()), frame, false);
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
  const int64_t end = tracks_[kText].table.end;
  static const uint8_t kNoText[2] = {0, 0};
  if (cue_start_ > end) Append(kText, end, cue_start_ - end, kNoText, false);
  std::vector<uint8_t> cue{uint8_t(text.size() >> 8), uint8_t(text.size())};
  cue.insert(cue.end(), text.begin(), text.end());
  Append(kText, cue_start_, cue_end_ - cue_start_, cue, false);
}

// A sample goes to its track's chunk, its size and duration to the tables. Samples follow each
// other: when one starts after the end of the one before (a pause longer than a sound frame can
// be filled with silence), that one lasts until it.
void Mp4Muxer::Append(int track, int64_t time, int64_t duration, std::span<const uint8_t> bytes,
                      bool key, int64_t composition) {
  Track& t = tracks_[track];
  TrackTable& table = t.table;
  const auto push = [&table](int64_t d) {
    table.durations.push_back(uint32_t(std::min<int64_t>(d, kLongDuration)));
    if (d >= kLongDuration) table.long_durations.push_back(d);
  };
  if (table.sizes.empty()) {
    table.start = table.end = time;
  } else if (time > table.end) {
    const bool long_before = table.durations.back() == kLongDuration;
    const int64_t longer =
        (long_before ? table.long_durations.back() : table.durations.back()) + time - table.end;
    table.durations.pop_back();
    if (long_before) table.long_durations.pop_back();
    push(longer);
  }
  if (ChunkFull()) Flush();
  if (t.pending == 0) t.chunk_start = time;
  if (key) table.sync.push_back(uint32_t(table.sizes.size() + 1));
  if (composition != 0 && table.compositions.empty()) {
    table.compositions.assign(table.sizes.size(), 0);
  }
  if (!table.compositions.empty()) table.compositions.push_back(composition);
  table.sizes.push_back(uint32_t(bytes.size()));
  push(duration);
  table.end = std::max(time, table.end) + duration;
  t.chunk.insert(t.chunk.end(), bytes.begin(), bytes.end());
  ++t.pending;
}

bool Mp4Muxer::ChunkFull() const {
  size_t bytes = 0;
  for (const Track& t : tracks_) {
    if (t.pending >= kChunkSamples) return true;
    bytes += t.chunk.size();
  }
  return bytes >= kChunkBytes;
}

// Each track's chunk into the spool, in track order.
void Mp4Muxer::Flush() {
  for (Track& t : tracks_) {
    if (t.pending == 0) continue;
    t.table.chunks.emplace_back(spool_size_, t.pending);
    Put(spool_, t.chunk);
    spool_size_ += t.chunk.size();
    t.chunk.clear();
    t.pending = 0;
  }
}

void Mp4Muxer::SetHeader(bool finished) {
  for (int t = 0; t < kTracks; ++t) header_.tracks[t] = std::move(tracks_[t].table);
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

// The header, the media data's box, and the spool copied into it.
void Mp4Muxer::WriteFile() {
  if (std::fclose(spool_) != 0) Fail(StatusCode::kWriteFailed, std::strerror(errno));
  spool_ = nullptr;
  std::vector<uint8_t> mdat;
  BoxWriter b(&mdat);
  const bool large = spool_size_ > 0xFFFFFFFF - 8;
  b.U32(large ? 1 : uint32_t(8 + spool_size_));
  b.Type("mdat");
  if (large) b.U64(16 + spool_size_);
  uint64_t start = BuildHeader(header_, 0).size() + mdat.size();
  if (start + spool_size_ > 0xFFFFFFFF) {
    header_.offsets64 = true;
    start = BuildHeader(header_, 0).size() + mdat.size();
  }
  Put(output_.file(), BuildHeader(header_, start));
  Put(output_.file(), mdat);
  std::FILE* in = failure_.ok() ? platform::OpenFile(spool_path_, "rb") : nullptr;
  if (failure_.ok() && in == nullptr) Fail(StatusCode::kReadFailed, std::strerror(errno));
  std::vector<uint8_t> buffer(in != nullptr ? kCopyBuffer : 0);
  uint64_t copied = 0;
  for (size_t n; in != nullptr && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
    Put(output_.file(), std::span(buffer).first(n));
    copied += n;
  }
  if (in != nullptr) std::fclose(in);
  if (copied != spool_size_) Fail(StatusCode::kReadFailed, "the media data could not be read back");
}

Status Mp4Muxer::Finish(const mux::FinishInfo& info) {
  if (state_ != kOpen) return Status(StatusCode::kInvalidArgument, "no MP4 file is open");
  state_ = kDone;
  clock_.FinishVideo();
  DrainVideo(true);
  CloseCue();
  EncodeBlock();
  Flush();
  SetHeader(!info.cancelled);
  WriteFile();
  platform::RemoveFile(spool_path_);
  if (!failure_.ok()) (void)output_.Finish(false);
  return failure_;
}

Status Mp4Muxer::Commit() {
  if (state_ != kDone || output_.file() == nullptr) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "no finished MP4 file") : failure_;
  }
  const platform::OutputFile::Result result = output_.Finish(true);
  if (result != platform::OutputFile::kOk) {
    Fail(StatusCode::kWriteFailed, output_.ErrorText(result));
  }
  return failure_;
}

void Mp4Muxer::Abandon() {
  if (spool_ != nullptr) std::fclose(spool_);
  spool_ = nullptr;
  if (!spool_path_.empty()) platform::RemoveFile(spool_path_);
  (void)output_.Finish(false);
  state_ = kDone;
}

mux::MuxerFacts Mp4Muxer::Facts() const {
  mux::MuxerFacts f = facts_;
  f.duration_units = video_end_;
  f.backward_steps = clock_.backward_steps();
  return f;
}

void Mp4Muxer::Put(std::FILE* file, std::span<const uint8_t> bytes) {
  if (!failure_.ok() || bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    Fail(StatusCode::kWriteFailed, std::strerror(errno));
  }
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
