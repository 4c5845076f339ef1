// The Matroska muxer: the samples of one channel timed by mux::ChannelClock, the clock track's
// cues, the three tracks merged in time order, and the segment writer.
#include "mkv/mkv_muxer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>

#include "avc.h"
#include "clock_cues.h"
#include "interleaver.h"
#include "mux/channel_clock.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "segment_writer.h"

namespace vexlor::mkv {
namespace {

// Video samples wait for their times (until a later stamp comes) in memory; beyond these bounds
// the waiting ones are given their times at once (at the channel's usual interval).
constexpr size_t kWaitingFrames = 4096;
constexpr size_t kWaitingBytes = size_t{32} << 20;
constexpr size_t kFileBuffer = size_t{1} << 20;
// 2001-01-01 00:00 UTC, the zero of Matroska dates, in Unix milliseconds.
constexpr int64_t kDateZeroMs = 978307200000;

enum Lane : size_t { kVideoLane = 0, kAudioLane = 1, kClockLane = 2, kLanes = 3 };

int64_t UnitsToMs(int64_t units) {
  return (units + mux::kUnitsPerSecond / 2000) / (mux::kUnitsPerSecond / 1000);
}
int64_t SamplesToMs(int64_t samples) {
  return (samples + mux::kAudioRate / 2000) / (mux::kAudioRate / 1000);
}

Status FileStatus(platform::OutputFile::Result result, const std::string& path, int error) {
  switch (result) {
    case platform::OutputFile::kOk:
      return Status::Ok();
    case platform::OutputFile::kIsDirectory:
      return Status(StatusCode::kIsDirectory, path + " is a directory");
    case platform::OutputFile::kNotRegular:
      return Status(StatusCode::kNotRegularFile, path + " is not a regular file");
    case platform::OutputFile::kIsKept:
      return Status(StatusCode::kIsKept, path + " is the recording being converted");
    case platform::OutputFile::kCannotCreate:
      return Status(StatusCode::kCannotCreate,
                    "cannot create " + path +
                        (error != 0 ? ": " + std::string(std::strerror(error)) : std::string()));
    case platform::OutputFile::kWriteFailed:
      break;
  }
  return Status(StatusCode::kWriteFailed, "cannot write " + path);
}

class MkvMuxer : public mux::Muxer {
 public:
  Status Open(const std::string& path, const mux::StreamDescription& description) override;
  Status Write(const mux::Sample& sample) override;
  Status Finish(const mux::FinishInfo& info) override;
  Status Commit() override;
  void Abandon() override;
  mux::MuxerFacts Facts() const override;

 private:
  struct Waiting {
    std::vector<uint8_t> data;
    mux::RecordingTime stamp;
    bool counted = false;
    bool key = false;
    int32_t offset = 0;  // Sample::presentation_offset
  };
  enum class State { kClosed, kOpen, kFinished, kDone };

  Status Fail(Status status);
  Status KeptFile() const;
  void TakeVideo(bool ended = false);
  void Pump();

  State state_ = State::kClosed;
  Status failure_;
  std::string path_;
  mux::StreamDescription description_;
  platform::OutputFile output_;
  std::vector<char> file_buffer_;
  std::unique_ptr<SegmentWriter> writer_;
  std::unique_ptr<mux::ChannelClock> clock_;
  std::unique_ptr<ClockCues> cues_;
  std::unique_ptr<Interleaver> interleaver_;
  std::deque<Waiting> waiting_;
  size_t waiting_bytes_ = 0;
  uint64_t clock_track_ = 0;
  uint64_t audio_track_ = 0;
  int64_t last_video_ms_ = -1;
  // The times of the video samples' places (milliseconds, each later than the one before), from
  // place slots_base_ on: the picture decoded at place i shows at that of place i + its offset.
  // taken_: which of them a picture already shows at.
  std::deque<int64_t> slot_ms_;
  std::deque<bool> taken_;
  int64_t slots_base_ = 0;
  int64_t placed_ = 0;
  int64_t video_end_ = 0;    // units
  int64_t audio_start_ = 0;  // samples: of the last audio frame
  int64_t audio_end_ = 0;
  int64_t cues_end_ms_ = 0;
  mux::MuxerFacts facts_;
};

Status MkvMuxer::Fail(Status status) {
  if (failure_.ok()) failure_ = std::move(status);
  output_.Finish(false);
  state_ = State::kDone;
  return failure_;
}

// The final name is one of the files that must be kept (however it is reached).
Status MkvMuxer::KeptFile() const {
  for (const std::string& keep : description_.keep_paths) {
    if (!keep.empty() && platform::SameFile(path_, keep)) {
      return FileStatus(platform::OutputFile::kIsKept, path_, 0);
    }
  }
  return Status::Ok();
}

Status MkvMuxer::Open(const std::string& path, const mux::StreamDescription& description) {
  if (state_ != State::kClosed) {
    return Status(StatusCode::kInvalidArgument, "a Matroska muxer writes one file");
  }
  if (description.width <= 0 || description.height <= 0) {
    return Status(StatusCode::kInvalidArgument, "no picture size for " + path);
  }
  path_ = path;
  description_ = description;
  if (Status kept = KeptFile(); !kept.ok()) return kept;
  errno = 0;
  const platform::OutputFile::Result created = output_.Create(
      path, description.keep_paths.empty() ? std::string() : description.keep_paths[0]);
  if (created != platform::OutputFile::kOk) return FileStatus(created, path, errno);
  file_buffer_.resize(kFileBuffer);
  std::setvbuf(output_.file(), file_buffer_.data(), _IOFBF, file_buffer_.size());

  std::vector<TrackDescription> tracks(1);
  TrackDescription& video = tracks[0];
  video.number = 1;
  video.type = TrackType::kVideo;
  video.codec_id = "V_MPEG4/ISO/AVC";
  video.codec_private = DecoderConfiguration(description.parameter_sets);
  // The picture as players show it: the decoder crops what the stream marks as not for display.
  const int64_t shown_width =
      int64_t{description.width} - description.crop_left - description.crop_right;
  const int64_t shown_height =
      int64_t{description.height} - description.crop_top - description.crop_bottom;
  const bool crop_fits = shown_width > 0 && shown_width <= description.width && shown_height > 0 &&
                         shown_height <= description.height;
  video.width = crop_fits ? shown_width : description.width;
  video.height = crop_fits ? shown_height : description.height;
  uint64_t next = 2;
  if (description.clock_text) {
    TrackDescription clock;
    clock.number = clock_track_ = next++;
    clock.type = TrackType::kSubtitle;
    clock.codec_id = "S_TEXT/UTF8";
    clock.name = kClockTrackName;
    clock.default_track = false;
    tracks.push_back(clock);
    cues_ = std::make_unique<ClockCues>(description.wall_clock, description.clock_text);
  }
  TrackDescription audio;
  audio.number = audio_track_ = next++;
  audio.type = TrackType::kAudio;
  audio.codec_id = "A_PCM/INT/LIT";
  audio.sampling_frequency = double(mux::kAudioRate);
  audio.channels = 1;
  audio.bit_depth = 8;
  tracks.push_back(audio);

  writer_ = std::make_unique<SegmentWriter>();
  clock_ = std::make_unique<mux::ChannelClock>(description.origin_sixtieths);
  interleaver_ = std::make_unique<Interleaver>(kLanes);
  // Without the hint, audio is not waited for; audio that comes all the same is placed by its
  // time, as early in the file as it still can be.
  interleaver_->SetFloor(kAudioLane, description.has_audio ? 0 : Interleaver::kEnded);
  interleaver_->SetFloor(kClockLane, cues_ ? 0 : Interleaver::kEnded);
  state_ = State::kOpen;
  if (!writer_->Begin(output_.file(), std::move(tracks))) {
    return Fail(FileStatus(platform::OutputFile::kWriteFailed, path_, 0));
  }
  return Status::Ok();
}

// Gives the video samples whose times the clock knows to the interleaver, and the clock track's
// cues that are complete.
// `ended`: no sample comes after them (one shown at a place beyond the last shows at its own).
void MkvMuxer::TakeVideo(bool ended) {
  while (clock_->ReadyVideo() > 0) {
    const mux::ChannelClock::Timed timed = clock_->TakeVideo();
    // Rounded to the nearest millisecond; two places never share one.
    last_video_ms_ = std::max(UnitsToMs(timed.time), last_video_ms_ + 1);
    slot_ms_.push_back(last_video_ms_);
    taken_.push_back(false);
    video_end_ = timed.time + timed.duration;
    const Waiting& w = waiting_[size_t(slots_base_ + int64_t(slot_ms_.size()) - 1 - placed_)];
    if (cues_) cues_->AddVideo(timed.time, w.stamp, w.counted);
  }
  const int64_t timed = slots_base_ + int64_t(slot_ms_.size());
  while (!waiting_.empty() && placed_ < timed) {
    const int32_t offset = std::clamp(waiting_.front().offset, -mux::kMaxPresentationOffset,
                                      mux::kMaxPresentationOffset);
    int64_t shown = placed_ + offset;
    if (shown < slots_base_ || (ended && shown >= timed)) shown = placed_;
    if (shown >= timed) break;
    Waiting w = std::move(waiting_.front());
    waiting_.pop_front();
    waiting_bytes_ -= w.data.size();
    ++placed_;
    ++facts_.video_samples;
    taken_[size_t(shown - slots_base_)] = true;
    interleaver_->Push(
        kVideoLane, Block{1, slot_ms_[size_t(shown - slots_base_)], -1, w.key, std::move(w.data)});
    // A place stays known while a later sample may still show at it.
    while (!slot_ms_.empty() &&
           (taken_.front() || slots_base_ < placed_ - mux::kMaxPresentationOffset)) {
      slot_ms_.pop_front();
      taken_.pop_front();
      ++slots_base_;
    }
  }
  // The next sample shows at the earliest place not taken, or where the last one ends (or
  // later, after a ResolveVideo).
  const int64_t video_floor =
      !slot_ms_.empty() ? slot_ms_.front() : std::max(UnitsToMs(video_end_), last_video_ms_ + 1);
  interleaver_->SetFloor(kVideoLane, video_floor);
  if (!cues_) return;
  cues_->Advance(video_end_);
  for (; !cues_->done().empty(); cues_->done().pop_front()) {
    ClockCue& cue = cues_->done().front();
    const int64_t start = std::max(UnitsToMs(cue.start), cues_end_ms_);
    const int64_t end = std::max(UnitsToMs(cue.end), start + 1);
    cues_end_ms_ = end;
    if (cue.text.empty()) continue;
    interleaver_->Push(kClockLane, Block{clock_track_, start, end - start, true,
                                         std::vector<uint8_t>(cue.text.begin(), cue.text.end())});
  }
  interleaver_->SetFloor(kClockLane, cues_->open() ? UnitsToMs(cues_->open_start()) : video_floor);
}

// Writes the blocks that may leave the interleaver. Past its bounds the waiting video samples are
// timed at once, and then the earliest blocks leave all the same.
void MkvMuxer::Pump() {
  Block block;
  for (;;) {
    if (interleaver_->Pop(&block)) {
      writer_->Add(std::move(block));
      continue;
    }
    if (!interleaver_->Full()) return;
    if (clock_->HeldVideo() > 0) {
      clock_->FinishVideo();
      TakeVideo();
      continue;
    }
    if (!interleaver_->Pop(&block, true)) return;
    writer_->Add(std::move(block));
  }
}

Status MkvMuxer::Write(const mux::Sample& sample) {
  if (state_ != State::kOpen) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "the Matroska muxer is not open")
                         : failure_;
  }
  if (sample.track == mux::Track::kVideo) {
    Waiting w;
    AppendLengthPrefixed(sample.payload, &w.data);
    w.stamp = sample.time;
    w.counted = sample.counted;
    w.key = sample.key;
    w.offset = sample.presentation_offset;
    waiting_bytes_ += w.data.size();
    waiting_.push_back(std::move(w));
    clock_->AddVideo(sample.time, sample.counted);
    if (waiting_.size() > kWaitingFrames || waiting_bytes_ > kWaitingBytes) clock_->ResolveVideo();
    TakeVideo();
  } else if (!sample.payload.empty()) {
    const int64_t samples = int64_t(sample.payload.size());
    const int64_t start = clock_->PlaceAudio(sample.time, samples);
    audio_start_ = start;
    audio_end_ = start + samples;
    ++facts_.audio_samples;
    facts_.audio_bytes += samples;
    interleaver_->Push(kAudioLane,
                       Block{audio_track_, SamplesToMs(start), -1, true,
                             std::vector<uint8_t>(sample.payload.begin(), sample.payload.end())});
    interleaver_->SetFloor(kAudioLane, SamplesToMs(audio_end_));
  }
  Pump();
  if (writer_->failed()) return Fail(FileStatus(platform::OutputFile::kWriteFailed, path_, 0));
  return Status::Ok();
}

Status MkvMuxer::Finish(const mux::FinishInfo& info) {
  if (state_ != State::kOpen) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "the Matroska muxer is not open")
                         : failure_;
  }
  clock_->FinishVideo();
  TakeVideo(true);
  if (cues_) {
    cues_->Finish(video_end_);
    TakeVideo();
  }
  for (size_t lane = 0; lane < kLanes; ++lane) interleaver_->SetFloor(lane, Interleaver::kEnded);
  Pump();

  SegmentEnd end;
  // The end of the sound; its last block's time rounded up can lie a little later.
  const double audio_end_ms =
      facts_.audio_bytes > 0
          ? std::max(double(audio_end_) * 1000 / mux::kAudioRate, double(SamplesToMs(audio_start_)))
          : 0.0;
  // (Frames closer than a millisecond are moved apart: the last may lie past the video's end.)
  end.duration = std::max({double(video_end_) * 1000 / mux::kUnitsPerSecond, double(last_video_ms_),
                           audio_end_ms, double(cues_end_ms_)});
  const int64_t origin = clock_->origin_sixtieths();
  if (origin >= 0) {
    const double stamp = double(origin) / 60;
    const double wall_ms =
        std::round((description_.wall_clock ? description_.wall_clock(stamp) : stamp) * 1000);
    if (std::isfinite(wall_ms) && std::fabs(wall_ms) < 9e12) {
      end.has_date = true;
      end.date_ns = (int64_t(wall_ms) - kDateZeroMs) * 1000000;
    }
  }
  end.tracks.push_back(1);
  if (clock_track_ != 0) end.tracks.push_back(clock_track_);
  if (facts_.audio_bytes > 0) end.tracks.push_back(audio_track_);
  end.cancelled = info.cancelled;
  facts_.backward_steps = clock_->backward_steps();
  facts_.duration_units = int64_t(std::llround(end.duration * mux::kUnitsPerSecond / 1000));

  if (!writer_->End(end)) return Fail(FileStatus(platform::OutputFile::kWriteFailed, path_, 0));
  state_ = State::kFinished;
  return Status::Ok();
}

Status MkvMuxer::Commit() {
  if (state_ != State::kFinished) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "no finished Matroska file")
                         : failure_;
  }
  if (Status kept = KeptFile(); !kept.ok()) return Fail(kept);
  const platform::OutputFile::Result renamed = output_.Finish(true);
  state_ = State::kDone;
  if (renamed != platform::OutputFile::kOk) return Fail(FileStatus(renamed, path_, 0));
  return Status::Ok();
}

void MkvMuxer::Abandon() {
  output_.Finish(false);
  state_ = State::kDone;
}

mux::MuxerFacts MkvMuxer::Facts() const {
  return facts_;
}

std::unique_ptr<mux::Muxer> CreateMkvMuxer() {
  return std::make_unique<MkvMuxer>();
}

bool IsFinished(const std::string& path) {
  return IsFinishedMkvFile(path);
}

}  // namespace

const mux::Format& MkvFormat() {
  static const mux::Format format{"mkv", ".mkv", &CreateMkvMuxer, &IsFinished};
  return format;
}

}  // namespace vexlor::mkv
