// The Matroska muxer: the samples of each channel timed by a mux::ChannelClock of its own, the
// clock track's cues, the tracks merged in time order, and the segment writer.
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
  Status OpenStreams(const std::string& path,
                     std::span<const mux::StreamDescription> descriptions) override;
  Status Write(const mux::Sample& sample) override;
  Status Finish(const mux::FinishInfo& info) override;
  Status Commit() override;
  void Abandon() override;
  mux::MuxerFacts Facts() const override;
  mux::MuxerFacts StreamFacts(int stream) const override;
  int StreamTrack(int stream) const override;

 private:
  struct Waiting {
    std::vector<uint8_t> data;
    mux::RecordingTime stamp;
    bool counted = false;
    bool key = false;
    int32_t offset = 0;  // Sample::presentation_offset
  };
  // One channel of the file: its video and audio tracks and their lanes.
  struct Stream {
    mux::StreamDescription description;
    uint64_t video_track = 0;
    uint64_t audio_track = 0;
    size_t video_lane = 0;
    size_t audio_lane = 0;
    std::unique_ptr<mux::ChannelClock> clock;
    std::deque<Waiting> waiting;
    size_t waiting_bytes = 0;
    int64_t last_video_ms = -1;
    // The times of the video samples' places (milliseconds, each later than the one before),
    // from place slots_base on: the picture decoded at place i shows at that of place i + its
    // offset. taken: which of them a picture already shows at.
    std::deque<int64_t> slot_ms;
    std::deque<bool> taken;
    int64_t slots_base = 0;
    int64_t placed = 0;
    int64_t video_end = 0;    // units
    int64_t audio_start = 0;  // samples: of the last audio frame
    int64_t audio_end = 0;
    int64_t first_stamp = -1;  // its first stamp (a counted picture's or a sound's), sixtieths
    bool held = false;         // samples of it waited for the origin
    int64_t start_ms = -1;     // its first block's time
    mux::MuxerFacts facts;
  };
  // A sample that came before the file's origin was known.
  struct Held {
    mux::Sample sample;
    std::vector<uint8_t> payload;
  };
  enum class State { kClosed, kOpen, kFinished, kDone };

  Status Fail(Status status);
  Status KeptFile() const;
  Status Begin(const std::string& path, std::span<const mux::StreamDescription> descriptions,
               int64_t origin);
  void Hold(const mux::Sample& sample);
  void Release();
  void Place(const mux::Sample& sample);
  void TakeVideo(Stream& stream, bool ended = false);
  void Pump();

  State state_ = State::kClosed;
  Status failure_;
  std::string path_;
  std::vector<std::string> keep_paths_;
  platform::OutputFile output_;
  std::vector<char> file_buffer_;
  std::unique_ptr<SegmentWriter> writer_;
  std::vector<Stream> streams_;
  std::unique_ptr<ClockCues> cues_;
  std::unique_ptr<Interleaver> interleaver_;
  size_t clock_lane_ = 0;
  uint64_t clock_track_ = 0;
  int clock_stream_ = 0;  // the stream whose pictures the clock track follows
  int64_t cues_end_ms_ = 0;
  // Several streams without a given origin: the samples wait until every stream has given its
  // first stamp (or the wait grows too long), and the earliest of those is the origin.
  bool origin_known_ = true;
  int64_t origin_ = -1;
  std::deque<Held> held_;
  size_t held_bytes_ = 0;
  int64_t held_first_ = -1;  // the earliest and the latest stamp held, sixtieths
  int64_t held_last_ = -1;
  int64_t duration_units_ = 0;  // the file's
};

// The origin waits for the streams' first stamps over at most this much of the recording, and
// this many bytes; a stream that starts later and earlier than the origin starts at zero.
constexpr int64_t kOriginWaitSixtieths = 60 * 60;
constexpr size_t kOriginWaitBytes = size_t{64} << 20;

Status MkvMuxer::Fail(Status status) {
  if (failure_.ok()) failure_ = std::move(status);
  output_.Finish(false);
  state_ = State::kDone;
  return failure_;
}

// The final name is one of the files that must be kept (however it is reached).
Status MkvMuxer::KeptFile() const {
  for (const std::string& keep : keep_paths_) {
    if (!keep.empty() && platform::SameFile(path_, keep)) {
      return FileStatus(platform::OutputFile::kIsKept, path_, 0);
    }
  }
  return Status::Ok();
}

Status MkvMuxer::Open(const std::string& path, const mux::StreamDescription& description) {
  return Begin(path, std::span<const mux::StreamDescription>(&description, 1),
               description.origin_sixtieths);
}

Status MkvMuxer::OpenStreams(const std::string& path,
                             std::span<const mux::StreamDescription> descriptions) {
  if (descriptions.empty() || descriptions.size() > 60) {
    return Status(StatusCode::kInvalidArgument, "no room for these streams in " + path);
  }
  const int64_t origin = descriptions[0].origin_sixtieths;
  if (Status s = Begin(path, descriptions, origin); !s.ok()) return s;
  origin_known_ = origin >= 0 || descriptions.size() == 1;
  return Status::Ok();
}

Status MkvMuxer::Begin(const std::string& path,
                       std::span<const mux::StreamDescription> descriptions, int64_t origin) {
  if (state_ != State::kClosed) {
    return Status(StatusCode::kInvalidArgument, "a Matroska muxer writes one file");
  }
  path_ = path;
  keep_paths_ = descriptions[0].keep_paths;
  for (const mux::StreamDescription& d : descriptions) {
    if (d.width <= 0 || d.height <= 0) {
      return Status(StatusCode::kInvalidArgument, "no picture size for " + path);
    }
  }
  if (Status kept = KeptFile(); !kept.ok()) return kept;
  errno = 0;
  const platform::OutputFile::Result created =
      output_.Create(path, keep_paths_.empty() ? std::string() : keep_paths_[0]);
  if (created != platform::OutputFile::kOk) return FileStatus(created, path, errno);
  file_buffer_.resize(kFileBuffer);
  std::setvbuf(output_.file(), file_buffer_.data(), _IOFBF, file_buffer_.size());

  // The video tracks first (1, 2, ...), then the clock track, then the audio tracks; the lanes
  // of the interleaver: each stream's video and audio, then the clock.
  const size_t n = descriptions.size();
  std::vector<TrackDescription> tracks;
  streams_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const mux::StreamDescription& description = descriptions[i];
    Stream& stream = streams_[i];
    stream.description = description;
    stream.video_track = i + 1;
    stream.video_lane = 2 * i;
    stream.audio_lane = 2 * i + 1;
    TrackDescription video;
    video.number = stream.video_track;
    video.type = TrackType::kVideo;
    video.codec_id = "V_MPEG4/ISO/AVC";
    video.codec_private = DecoderConfiguration(description.parameter_sets);
    video.name = description.name;
    // The picture as players show it: the decoder crops what the stream marks as not for
    // display.
    const int64_t shown_width =
        int64_t{description.width} - description.crop_left - description.crop_right;
    const int64_t shown_height =
        int64_t{description.height} - description.crop_top - description.crop_bottom;
    const bool crop_fits = shown_width > 0 && shown_width <= description.width &&
                           shown_height > 0 && shown_height <= description.height;
    video.width = crop_fits ? shown_width : description.width;
    video.height = crop_fits ? shown_height : description.height;
    tracks.push_back(std::move(video));
  }
  uint64_t next = n + 1;
  const mux::StreamDescription& first = descriptions[0];
  if (first.clock_text) {
    TrackDescription clock;
    clock.number = clock_track_ = next++;
    clock.type = TrackType::kSubtitle;
    clock.codec_id = "S_TEXT/UTF8";
    clock.name = kClockTrackName;
    clock.default_track = false;
    tracks.push_back(clock);
  }
  for (Stream& stream : streams_) {
    TrackDescription audio;
    audio.number = stream.audio_track = next++;
    audio.type = TrackType::kAudio;
    audio.codec_id = "A_PCM/INT/LIT";
    audio.name = stream.description.name;
    audio.sampling_frequency = double(mux::kAudioRate);
    audio.channels = 1;
    audio.bit_depth = 8;
    tracks.push_back(audio);
  }

  writer_ = std::make_unique<SegmentWriter>();
  origin_ = origin;
  for (Stream& stream : streams_) stream.clock = std::make_unique<mux::ChannelClock>(origin);
  clock_lane_ = 2 * n;
  interleaver_ = std::make_unique<Interleaver>(2 * n + 1);
  for (Stream& stream : streams_) {
    // Without the hint, audio is not waited for; audio that comes all the same is placed by its
    // time, as early in the file as it still can be.
    interleaver_->SetFloor(stream.audio_lane,
                           stream.description.has_audio ? 0 : Interleaver::kEnded);
  }
  if (first.clock_text) cues_ = std::make_unique<ClockCues>(first.wall_clock, first.clock_text);
  interleaver_->SetFloor(clock_lane_, cues_ ? 0 : Interleaver::kEnded);
  state_ = State::kOpen;
  if (!writer_->Begin(output_.file(), std::move(tracks))) {
    return Fail(FileStatus(platform::OutputFile::kWriteFailed, path_, 0));
  }
  return Status::Ok();
}

// Gives the stream's video samples whose times its clock knows to the interleaver, and the clock
// track's cues that are complete. `ended`: no sample comes after them (one shown at a place
// beyond the last shows at its own).
void MkvMuxer::TakeVideo(Stream& stream, bool ended) {
  mux::ChannelClock& clock = *stream.clock;
  const bool clocked = cues_ && &stream == &streams_[size_t(clock_stream_)];
  while (clock.ReadyVideo() > 0) {
    const mux::ChannelClock::Timed timed = clock.TakeVideo();
    // Rounded to the nearest millisecond; two places never share one.
    stream.last_video_ms = std::max(UnitsToMs(timed.time), stream.last_video_ms + 1);
    stream.slot_ms.push_back(stream.last_video_ms);
    stream.taken.push_back(false);
    stream.video_end = timed.time + timed.duration;
    const Waiting& w = stream.waiting[size_t(stream.slots_base + int64_t(stream.slot_ms.size()) -
                                             1 - stream.placed)];
    if (clocked) cues_->AddVideo(timed.time, w.stamp, w.counted);
  }
  const int64_t timed = stream.slots_base + int64_t(stream.slot_ms.size());
  while (!stream.waiting.empty() && stream.placed < timed) {
    const int32_t offset = std::clamp(stream.waiting.front().offset, -mux::kMaxPresentationOffset,
                                      mux::kMaxPresentationOffset);
    int64_t shown = stream.placed + offset;
    if (shown < stream.slots_base || (ended && shown >= timed)) shown = stream.placed;
    if (shown >= timed) break;
    Waiting w = std::move(stream.waiting.front());
    stream.waiting.pop_front();
    stream.waiting_bytes -= w.data.size();
    ++stream.placed;
    ++stream.facts.video_samples;
    const int64_t ms = stream.slot_ms[size_t(shown - stream.slots_base)];
    stream.taken[size_t(shown - stream.slots_base)] = true;
    if (stream.start_ms < 0 || ms < stream.start_ms) stream.start_ms = ms;
    interleaver_->Push(stream.video_lane,
                       Block{stream.video_track, ms, -1, w.key, std::move(w.data)});
    // A place stays known while a later sample may still show at it.
    while (
        !stream.slot_ms.empty() &&
        (stream.taken.front() || stream.slots_base < stream.placed - mux::kMaxPresentationOffset)) {
      stream.slot_ms.pop_front();
      stream.taken.pop_front();
      ++stream.slots_base;
    }
  }
  // The next sample shows at the earliest place not taken, or where the last one ends (or
  // later, after a ResolveVideo).
  const int64_t video_floor = !stream.slot_ms.empty()
                                  ? stream.slot_ms.front()
                                  : std::max(UnitsToMs(stream.video_end), stream.last_video_ms + 1);
  interleaver_->SetFloor(stream.video_lane, video_floor);
  if (!clocked) return;
  cues_->Advance(stream.video_end);
  for (; !cues_->done().empty(); cues_->done().pop_front()) {
    ClockCue& cue = cues_->done().front();
    const int64_t start = std::max(UnitsToMs(cue.start), cues_end_ms_);
    const int64_t end = std::max(UnitsToMs(cue.end), start + 1);
    cues_end_ms_ = end;
    if (cue.text.empty()) continue;
    interleaver_->Push(clock_lane_, Block{clock_track_, start, end - start, true,
                                          std::vector<uint8_t>(cue.text.begin(), cue.text.end())});
  }
  interleaver_->SetFloor(clock_lane_, cues_->open() ? UnitsToMs(cues_->open_start()) : video_floor);
}

// Writes the blocks that may leave the interleaver. Past its bounds the waiting video samples are
// timed at once (in a file of several streams, those of the streams that hold the others back),
// and then the earliest blocks leave all the same.
void MkvMuxer::Pump() {
  Block block;
  for (;;) {
    if (interleaver_->Pop(&block)) {
      writer_->Add(std::move(block));
      continue;
    }
    if (!interleaver_->Full()) return;
    int64_t earliest = Interleaver::kEnded;
    interleaver_->Earliest(&earliest);
    bool resolved = false;
    for (Stream& stream : streams_) {
      if (stream.clock->HeldVideo() == 0) continue;
      if (streams_.size() > 1 && interleaver_->Floor(stream.video_lane) >= earliest) continue;
      stream.clock->FinishVideo();
      TakeVideo(stream);
      resolved = true;
    }
    if (resolved) continue;
    if (!interleaver_->Pop(&block, true)) return;
    writer_->Add(std::move(block));
  }
}

void MkvMuxer::Hold(const mux::Sample& sample) {
  Held h{sample, std::vector<uint8_t>(sample.payload.begin(), sample.payload.end())};
  h.sample.payload = {};
  held_bytes_ += h.payload.size();
  Stream& stream = streams_[size_t(sample.stream)];
  stream.held = true;
  if (sample.track == mux::Track::kAudio || sample.counted) {
    const int64_t s = sample.time.Sixtieths();
    if (stream.first_stamp < 0) stream.first_stamp = s;
    held_first_ = held_first_ < 0 ? s : std::min(held_first_, s);
    held_last_ = std::max(held_last_, s);
  }
  held_.push_back(std::move(h));
  bool all = true;
  for (const Stream& st : streams_) all &= st.first_stamp >= 0;
  if (all || held_bytes_ > kOriginWaitBytes || held_last_ - held_first_ > kOriginWaitSixtieths) {
    Release();
  }
}

// The origin is the earliest first stamp of the streams; the clock track follows that stream's
// pictures. The samples held are placed now.
void MkvMuxer::Release() {
  origin_known_ = true;
  for (size_t i = 0; i < streams_.size(); ++i) {
    const int64_t first = streams_[i].first_stamp;
    if (first >= 0 && (origin_ < 0 || first < origin_)) {
      origin_ = first;
      clock_stream_ = int(i);
    }
  }
  for (Stream& stream : streams_) {
    stream.clock = std::make_unique<mux::ChannelClock>(origin_);
    // A stream that has not started is not waited for: it starts later than the others.
    if (!stream.held) {
      interleaver_->SetFloor(stream.video_lane, Interleaver::kEnded);
      interleaver_->SetFloor(stream.audio_lane, Interleaver::kEnded);
    }
  }
  std::deque<Held> held = std::move(held_);
  held_.clear();
  held_bytes_ = 0;
  for (Held& h : held) {
    h.sample.payload = h.payload;
    Place(h.sample);
  }
}

void MkvMuxer::Place(const mux::Sample& sample) {
  Stream& stream = streams_[size_t(sample.stream)];
  if (sample.track == mux::Track::kVideo) {
    Waiting w;
    AppendLengthPrefixed(sample.payload, &w.data);
    w.stamp = sample.time;
    w.counted = sample.counted;
    w.key = sample.key;
    w.offset = sample.presentation_offset;
    stream.waiting_bytes += w.data.size();
    stream.waiting.push_back(std::move(w));
    stream.clock->AddVideo(sample.time, sample.counted);
    if (stream.waiting.size() > kWaitingFrames || stream.waiting_bytes > kWaitingBytes) {
      stream.clock->ResolveVideo();
    }
    TakeVideo(stream);
  } else if (!sample.payload.empty()) {
    const int64_t samples = int64_t(sample.payload.size());
    const int64_t start = stream.clock->PlaceAudio(sample.time, samples);
    stream.audio_start = start;
    stream.audio_end = start + samples;
    ++stream.facts.audio_samples;
    stream.facts.audio_bytes += samples;
    const int64_t start_ms = SamplesToMs(start);
    if (stream.start_ms < 0 || start_ms < stream.start_ms) stream.start_ms = start_ms;
    interleaver_->Push(stream.audio_lane,
                       Block{stream.audio_track, SamplesToMs(start), -1, true,
                             std::vector<uint8_t>(sample.payload.begin(), sample.payload.end())});
    interleaver_->SetFloor(stream.audio_lane, SamplesToMs(stream.audio_end));
  }
  Pump();
}

Status MkvMuxer::Write(const mux::Sample& sample) {
  if (state_ != State::kOpen) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "the Matroska muxer is not open")
                         : failure_;
  }
  if (sample.stream < 0 || size_t(sample.stream) >= streams_.size()) {
    return Status(StatusCode::kInvalidArgument, "no such stream in " + path_);
  }
  if (origin_known_) {
    Place(sample);
  } else {
    Hold(sample);
  }
  if (writer_->failed()) return Fail(FileStatus(platform::OutputFile::kWriteFailed, path_, 0));
  return Status::Ok();
}

Status MkvMuxer::Finish(const mux::FinishInfo& info) {
  if (state_ != State::kOpen) {
    return failure_.ok() ? Status(StatusCode::kInvalidArgument, "the Matroska muxer is not open")
                         : failure_;
  }
  if (!origin_known_) Release();
  for (Stream& stream : streams_) {
    stream.clock->FinishVideo();
    TakeVideo(stream, true);
  }
  if (cues_) {
    Stream& clocked = streams_[size_t(clock_stream_)];
    cues_->Finish(clocked.video_end);
    TakeVideo(clocked);
  }
  for (size_t lane = 0; lane <= clock_lane_; ++lane) {
    interleaver_->SetFloor(lane, Interleaver::kEnded);
  }
  Pump();

  SegmentEnd end;
  const bool several = streams_.size() > 1;
  for (Stream& stream : streams_) {
    // The end of the sound; its last block's time rounded up can lie a little later.
    const double audio_end_ms = stream.facts.audio_bytes > 0
                                    ? std::max(double(stream.audio_end) * 1000 / mux::kAudioRate,
                                               double(SamplesToMs(stream.audio_start)))
                                    : 0.0;
    // (Frames closer than a millisecond are moved apart: the last may lie past the video's
    // end.)
    const double stream_end = std::max({double(stream.video_end) * 1000 / mux::kUnitsPerSecond,
                                        double(stream.last_video_ms), audio_end_ms});
    end.duration = std::max(end.duration, stream_end);
    stream.facts.backward_steps = stream.clock->backward_steps();
    // In a file of several streams: the span from the stream's own start.
    const double span = stream_end - double(several ? std::max<int64_t>(stream.start_ms, 0) : 0);
    stream.facts.duration_units =
        int64_t(std::llround(std::max(span, 0.0) * mux::kUnitsPerSecond / 1000));
  }
  end.duration = std::max(end.duration, double(cues_end_ms_));
  duration_units_ = int64_t(std::llround(end.duration * mux::kUnitsPerSecond / 1000));
  if (!several) streams_[0].facts.duration_units = duration_units_;
  const int64_t origin = streams_[size_t(clock_stream_)].clock->origin_sixtieths();
  if (origin >= 0) {
    const double stamp = double(origin) / 60;
    const double wall_ms =
        std::round((streams_[size_t(clock_stream_)].description.wall_clock
                        ? streams_[size_t(clock_stream_)].description.wall_clock(stamp)
                        : stamp) *
                   1000);
    if (std::isfinite(wall_ms) && std::fabs(wall_ms) < 9e12) {
      end.has_date = true;
      end.date_ns = (int64_t(wall_ms) - kDateZeroMs) * 1000000;
    }
  }
  // A file of several streams describes the channels that were written (the first at least).
  for (const Stream& stream : streams_) {
    const bool written = stream.facts.video_samples > 0 || stream.facts.audio_bytes > 0;
    if (!several || written || &stream == &streams_[0]) end.tracks.push_back(stream.video_track);
  }
  if (clock_track_ != 0) end.tracks.push_back(clock_track_);
  for (const Stream& stream : streams_) {
    if (stream.facts.audio_bytes > 0) end.tracks.push_back(stream.audio_track);
  }
  end.cancelled = info.cancelled;

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
  mux::MuxerFacts all;
  for (const Stream& stream : streams_) {
    all.video_samples += stream.facts.video_samples;
    all.audio_samples += stream.facts.audio_samples;
    all.audio_bytes += stream.facts.audio_bytes;

    all.backward_steps += stream.facts.backward_steps;
  }
  all.duration_units = duration_units_;
  return all;
}

mux::MuxerFacts MkvMuxer::StreamFacts(int stream) const {
  return stream >= 0 && size_t(stream) < streams_.size() ? streams_[size_t(stream)].facts
                                                         : mux::MuxerFacts{};
}

int MkvMuxer::StreamTrack(int stream) const {
  return stream >= 0 && size_t(stream) < streams_.size() ? int(streams_[size_t(stream)].video_track)
                                                         : 0;
}

std::unique_ptr<mux::Muxer> CreateMkvMuxer() {
  return std::make_unique<MkvMuxer>();
}

bool IsFinished(const std::string& path) {
  return IsFinishedMkvFile(path);
}

}  // namespace

const mux::Format& MkvFormat() {
  static const mux::Format format{"mkv", ".mkv", &CreateMkvMuxer, &IsFinished, true};
  return format;
}

}  // namespace vexlor::mkv
