#include "conversion_write.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "avi/avi_muxer.h"
#include "h264/annexb.h"
#include "h264/stream_facts.h"

namespace vexlor::app {
namespace {

// The recording's file of several channels (one_file): opened at the first frame any of them
// writes, finished and committed once, before the channels' own files.
class SharedOutput {
 public:
  explicit SharedOutput(const ConversionPlan& plan) : plan_(plan) {}

  // The first channel of the file: the one a failure of the file is posted with.
  int first_channel() const {
    for (int c = 0; c < kChannelCount; ++c) {
      if (plan_.channels[c].stream >= 0) return c;
    }
    return 0;
  }
  bool opened() const { return muxer_ != nullptr; }
  mux::Muxer* muxer() const { return muxer_.get(); }

  // Every channel with a stream is described as the scan found it.
  Status Open() {
    if (muxer_) return Status::Ok();
    std::vector<mux::StreamDescription> descriptions;
    for (const ChannelPlan& p : plan_.channels) {
      if (p.stream < 0) continue;
      descriptions.resize(std::max(descriptions.size(), size_t(p.stream) + 1));
      descriptions[size_t(p.stream)] = p.description;
    }
    muxer_ = plan_.shared.format->create();
    return muxer_->OpenStreams(plan_.shared.path, descriptions);
  }

 private:
  const ConversionPlan& plan_;
  std::unique_ptr<mux::Muxer> muxer_;
};

// Holds a channel's samples back, in their order, until the place on screen of each picture is
// known from the picture order counts of the pictures after it, and gives each its
// presentation_offset. A picture is placed once more pictures wait behind it than the stream may
// reorder (the sequence parameter set says how many; without that, the most a stream can), when
// a picture starts the order afresh (every picture before it is shown before it), or at the end.
// What is held is bounded: beyond kHeld samples or kHeldBytes, or once kOverdue pictures came
// after it, the earliest waiting picture is placed at once; so a stream that lies about its
// reordering still gets one picture per place (only perhaps not the right one), never further
// than kMaxPresentationOffset from its own.
class PresentationWindow {
 public:
  using Emit = std::function<Status(const mux::Sample&)>;

  // The next sample of the channel.
  Status Add(const mux::Sample& sample, const Emit& emit) {
    Held h;
    h.sample = sample;
    h.bytes.assign(sample.payload.begin(), sample.payload.end());
    bytes_ += h.bytes.size();
    if (sample.track == mux::Track::kVideo) {
      const h264::AccessUnitFacts facts = tracker_.Add(h.bytes);
      if (facts.pocReset) PlaceAll();
      // A unit without a frame of its own (a second field, parameter sets) follows the one before.
      if (facts.frames > 0 || facts.secondField) last_poc_ = facts.poc;
      h.poc = last_poc_;
      h.index = next_index_++;
      ++unplaced_;
    }
    held_.push_back(std::move(h));
    const h264::SequenceFacts* sequence = tracker_.ActiveSequence();
    int64_t window = kMostReordered;
    if (sequence == nullptr || sequence->pocType == 2) {
      window = 0;  // shown in the order decoded
    } else if (sequence->maxNumReorderFrames >= 0) {
      // Fields may come one to a sample: two samples a frame, and one to spare.
      window = std::min<int64_t>(2 * int64_t{sequence->maxNumReorderFrames} + 1, kMostReordered);
    }
    for (;;) {
      if (Status s = Release(emit); !s.ok()) return s;
      // After Release, the front is the earliest picture not placed (or nothing is held).
      const bool overdue = !held_.empty() && (held_.size() > kHeld || bytes_ > kHeldBytes ||
                                              next_index_ - held_.front().index > kOverdue);
      if (overdue) {
        Place(&held_.front());
      } else if (unplaced_ <= window || !PlaceNext()) {
        return Status::Ok();
      }
    }
  }

  // Every sample still held (the end of the channel's samples).
  Status Flush(const Emit& emit) {
    PlaceAll();
    return Release(emit);
  }

 private:
  static constexpr int64_t kMostReordered = 2 * 16 + 1;  // samples
  static constexpr size_t kHeld = 256;
  static constexpr size_t kHeldBytes = size_t{64} << 20;
  static constexpr int64_t kNotPlaced = -1;
  static constexpr int64_t kOverdue = mux::kMaxPresentationOffset / 2;

  struct Held {
    mux::Sample sample;
    std::vector<uint8_t> bytes;
    int64_t index = -1;  // among the video samples; -1 for sound
    int64_t poc = 0;
    int64_t rank = kNotPlaced;
  };

  // The waiting picture shown first (of equal counts, the one decoded first) gets the next
  // place; false when none waits.
  bool PlaceNext() {
    Held* first = nullptr;
    for (Held& h : held_) {
      if (h.index >= 0 && h.rank == kNotPlaced && (first == nullptr || h.poc < first->poc)) {
        first = &h;
      }
    }
    if (first == nullptr) return false;
    Place(first);
    return true;
  }
  void Place(Held* h) {
    h->rank = next_rank_++;
    --unplaced_;
  }
  void PlaceAll() {
    while (PlaceNext()) {
    }
  }

  // The samples at the front whose places are known.
  Status Release(const Emit& emit) {
    while (!held_.empty() && (held_.front().index < 0 || held_.front().rank != kNotPlaced)) {
      Held h = std::move(held_.front());
      held_.pop_front();
      bytes_ -= h.bytes.size();
      h.sample.payload = h.bytes;
      if (h.index >= 0) h.sample.presentation_offset = int32_t(h.rank - h.index);
      if (Status s = emit(h.sample); !s.ok()) return s;
    }
    return Status::Ok();
  }

  h264::PictureOrderTracker tracker_;
  std::deque<Held> held_;
  size_t bytes_ = 0;
  int64_t unplaced_ = 0;
  int64_t next_index_ = 0;
  int64_t next_rank_ = 0;
  int64_t last_poc_ = std::numeric_limits<int64_t>::min();
};

// One channel's files during a read.
class ChannelOutput {
 public:
  ChannelOutput(const ChannelPlan& plan, const ConversionSettings& settings, SharedOutput* shared)
      : tracker(settings.range, settings.wall_clock && settings.range.Limited()
                                    ? settings.wall_clock()
                                    : std::function<double(double)>()),
        plan_(plan),
        shared_(shared),
        gap_seconds_(settings.gap_seconds) {
    if (settings.wall_clock) wall_clock_ = settings.wall_clock();
  }

  ClipTracker tracker;
  // The channel's parameter sets as they passed by in this read before its files opened, and
  // as they were before the latest key frame the clip may start at.
  ParameterSets parameter_sets;
  ParameterSets sets_at_key;
  // Those in force before the file's first frame, when the file starts after some of the
  // channel's frames: its first picture needs them.
  ParameterSets sets_at_start;

  bool opened() const { return opened_; }
  // Creates the muxers and their files. The stream is described by the parameter sets in force
  // for the first frame (those before it, and its own), or else by the scan's.
  Status Open(std::span<const uint8_t> first_payload = {}) {
    opened_ = true;
    mux::StreamDescription description = plan_.description;
    // A clip of a range continues the mapping of the channel's stamps from where its first frame
    // stood (the stamps before it decide, in an hour that a zone repeats).
    if (tracker.start_map()) description.wall_clock = tracker.start_map();
    ParameterSets in_force = sets_at_start;
    in_force.NoteFrame(first_payload);
    if (!in_force.empty()) description.parameter_sets = in_force.InForce();
    for (const PlannedFile& file : plan_.files) {
      // Formats with composition times get each picture's place on screen.
      if (std::strcmp(file.format->name, "avi") != 0 && !window_) {
        window_ = std::make_unique<PresentationWindow>();
        emit_ = [this](const mux::Sample& sample) { return WriteToFiles(sample); };
      }
    }
    for (const PlannedFile& file : plan_.files) {
      if (file.shared) {
        targets_.push_back(shared_->muxer());
        if (Status s = shared_->Open(); !s.ok()) {
          failed_file_ = int(targets_.size()) - 1;
          return s;
        }
        targets_.back() = shared_->muxer();
        continue;
      }
      own_.push_back(file.format->create());
      targets_.push_back(own_.back().get());
      if (Status s = own_.back()->Open(file.path, description); !s.ok()) {
        failed_file_ = int(targets_.size()) - 1;
        return s;
      }
    }
    return Status::Ok();
  }

  // A frame of the clip: counted for the rate, and written to every file when of a known kind.
  Status Write(const container::Frame& frame) {
    if (frame.counted) {
      const double t = frame.Time();
      if (counted_ == 0 && tracker.start_map()) wall_clock_ = tracker.start_map();
      const double wall = wall_clock_ ? wall_clock_(t) : t;
      if (counted_ == 0) {
        t_first_ = t;
        wall_first_ = wall;
      } else {
        // In wall-clock time: a recorder's clock put back may hide a pause in its stamps.
        if (gap_seconds_ > 0 && wall - previous_wall_ > gap_seconds_) {
          gaps_.push_back({frame.index, previous_, t, previous_wall_, wall});
        }
        t_last_ = t;
        wall_last_ = wall;
      }
      previous_ = t;
      previous_wall_ = wall;
      ++counted_;
    }
    if (!IsWrittenFrame(frame)) return Status::Ok();
    if (!opened_) {
      if (Status s = Open(frame.payload); !s.ok()) return s;
    }
    mux::Sample sample;
    sample.track =
        frame.kind == container::FrameKind::kAudio ? mux::Track::kAudio : mux::Track::kVideo;
    sample.payload = frame.payload;
    sample.time = mux::RecordingTime{frame.seconds, frame.ticks};
    sample.counted = frame.counted;
    sample.key = sample.track == mux::Track::kAudio || h264::HoldsIdrSlice(frame.payload);
    sample.stream = std::max(plan_.stream, 0);
    // A file that starts after the channel's parameter sets went by: its first picture gets them
    // in front of its slices, unless it carries its own.
    std::vector<uint8_t> completed;
    if (sample.track == mux::Track::kVideo && !video_written_) {
      video_written_ = true;
      if (!sets_at_start.empty() && !ParameterSets::Carries(frame.payload)) {
        completed = sets_at_start.Prepended(frame.payload);
        sample.payload = completed;
      }
    }
    if (window_) return window_->Add(sample, emit_);
    return WriteToFiles(sample);
  }

  // Completes every file of its own (the shared file is finished before): the channel's result
  // and rate.
  Status Finish(bool cancelled, ChannelResult* result, double* rate_out) {
    if (window_) {
      if (Status s = window_->Flush(emit_); !s.ok()) return s;
    }
    // A single counted frame spans no time: its rate is 1 / 0.1 s.
    if (counted_ == 1) {
      t_last_ = t_first_;
      wall_last_ = wall_first_;
    }
    mux::FinishInfo info{cancelled, counted_, t_first_, t_last_};
    Status status;
    for (size_t i = 0; i < targets_.size(); ++i) {
      if (plan_.files[i].shared) continue;
      Status s = targets_[i]->Finish(info);
      if (!s.ok() && status.ok()) {
        status = s;
        failed_file_ = int(i);
      }
    }
    Collect(result);
    if (!cancelled) {
      result->counted = counted_;
      result->t_first = t_first_;
      result->t_last = t_last_;
      result->wall_first = wall_first_;
      result->wall_last = wall_last_;
      result->gaps = gaps_;
      const double rate = avi::MeasureRate(counted_, t_first_, t_last_);
      // The rate shown is the measured one where the headers carry it; where they cannot (time
      // stamps running backwards, say), the one they carry instead, so that what is shown
      // agrees with the file.
      const double declared =
          result->rate_scale > 0 ? double(result->rate_rate) / result->rate_scale : 0.0;
      *rate_out = avi::FitsHeaders(rate) ? rate : declared;
    }
    return status;
  }

  // Gives every finished file of its own its final name.
  Status Commit() {
    for (size_t i = 0; i < targets_.size(); ++i) {
      if (plan_.files[i].shared) continue;
      if (Status s = targets_[i]->Commit(); !s.ok()) {
        failed_file_ = int(i);
        return s;
      }
    }
    return Status::Ok();
  }

  void Abandon(ChannelResult* result) {
    for (auto& m : own_) m->Abandon();
    Collect(result);
  }

  int failed_file() const { return failed_file_; }

 private:
  Status WriteToFiles(const mux::Sample& sample) {
    for (size_t i = 0; i < targets_.size(); ++i) {
      if (Status s = targets_[i]->Write(sample); !s.ok()) {
        failed_file_ = int(i);
        return s;
      }
    }
    return Status::Ok();
  }

  void Collect(ChannelResult* result) {
    result->files.clear();
    for (size_t i = 0; i < plan_.files.size(); ++i) {
      FileResult f{plan_.files[i].format, plan_.files[i].path, {}};
      if (i < targets_.size() && targets_[i] != nullptr) {
        f.facts =
            plan_.files[i].shared ? targets_[i]->StreamFacts(plan_.stream) : targets_[i]->Facts();
        if (plan_.files[i].shared) f.track = targets_[i]->StreamTrack(plan_.stream);
      }
      result->files.push_back(f);
    }
    if (!result->files.empty()) {
      const mux::MuxerFacts& first = result->files[0].facts;
      result->video_chunks = uint32_t(first.video_samples);
      result->audio_chunks = uint32_t(first.audio_samples);
      result->rate_rate = first.rate;
      result->rate_scale = first.scale;
    }
  }

  const ChannelPlan& plan_;
  bool opened_ = false;
  bool video_written_ = false;
  SharedOutput* shared_;
  std::vector<std::unique_ptr<mux::Muxer>> own_;
  std::vector<mux::Muxer*> targets_;  // each planned file's muxer (the shared one, or its own)
  std::unique_ptr<PresentationWindow> window_;
  PresentationWindow::Emit emit_;
  int64_t counted_ = 0;
  double t_first_ = 0, t_last_ = 0;
  const double gap_seconds_;
  std::function<double(double)> wall_clock_;  // the channel's stamps in order to wall-clock time
  double wall_first_ = 0, wall_last_ = 0;
  double previous_ = 0, previous_wall_ = 0;  // the latest counted frame's
  std::vector<FootageGap> gaps_;
  int failed_file_ = -1;
};

void Post(ProgressSink* sink, ProgressKind kind, int value) {
  if (sink) sink->PostProgress(kind, value);
}

}  // namespace

WriteOutcome WriteChannels(ConversionJob* job, const ConversionPlan& planned, uint32_t mask,
                           ProgressSink* sink) {
  // The plan grows by the channels whose size the read learns.
  ConversionPlan plan = planned;
  container::RecordingReader& reader = job->reader();
  ChannelResult* results = job->mutable_results();
  double* rates = job->mutable_channel_rates();
  // One pass per channel: the dialog's way, with its events and its files opened first.
  const bool single = !plan.one_read;
  int single_channel = -1;
  SharedOutput shared(plan);
  std::unique_ptr<ChannelOutput> outputs[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    if (((mask >> c) & 1u) == 0 || !plan.channels[c].write) continue;
    outputs[c] = std::make_unique<ChannelOutput>(plan.channels[c], job->settings, &shared);
    results[c].file = plan.channels[c].files.empty() ? "" : plan.channels[c].files[0].path;
    single_channel = c;
  }
  bool any_late = false;
  for (const ChannelPlan& p : plan.channels) any_late |= p.late && !single;
  if (single_channel < 0 && !any_late) return WriteOutcome::kFinished;
  int late_attempts[kChannelCount] = {};

  // Every file of the read removed (one read), or the failing one (its own pass); the error is
  // posted with the channel whose file failed.
  const auto fail = [&](int c, const Status& status) {
    results[c].outcome = ChannelOutcome::kFailed;
    results[c].error = status.message();
    if (shared.opened()) shared.muxer()->Abandon();
    for (int o = 0; o < kChannelCount; ++o) {
      if (!outputs[o]) continue;
      outputs[o]->Abandon(&results[o]);
      if (o != c && outputs[o]->opened()) results[o].outcome = ChannelOutcome::kNotReached;
    }
    Post(sink, kWriteError, c);
    return WriteOutcome::kFailed;
  };
  // Every file is finished before any takes its final name: a failure removes them all.
  const auto finish_all = [&](bool cancelled) {
    if (shared.opened()) {
      // Finished first, so that the channels' results hold what it holds of them.
      mux::FinishInfo info;
      info.cancelled = cancelled;
      if (Status s = shared.muxer()->Finish(info); !s.ok()) return fail(shared.first_channel(), s);
    }
    for (int c = 0; c < kChannelCount; ++c) {
      if (!outputs[c] || !outputs[c]->opened()) continue;
      Status s = outputs[c]->Finish(cancelled, &results[c], &rates[c]);
      if (!s.ok()) return fail(c, s);
    }
    if (shared.opened()) {
      if (Status s = shared.muxer()->Commit(); !s.ok()) return fail(shared.first_channel(), s);
    }
    for (int c = 0; c < kChannelCount; ++c) {
      if (!outputs[c] || !outputs[c]->opened()) continue;
      if (Status s = outputs[c]->Commit(); !s.ok()) return fail(c, s);
      results[c].outcome = cancelled ? ChannelOutcome::kCancelled : ChannelOutcome::kWritten;
    }
    return cancelled ? WriteOutcome::kCancelled : WriteOutcome::kFinished;
  };

  // Its own pass over the whole recording opens the channel's files before the first frame is
  // read; otherwise a channel's files are opened at its first frame.
  if (single && !plan.range.Limited()) {
    if (Status s = outputs[single_channel]->Open(); !s.ok()) return fail(single_channel, s);
  }
  if (!reader.Rewind().ok()) return finish_all(false);
  const ProgressKind step = single ? kWriteStep : kReadStep;
  int step_value = single ? single_channel : int(mask & plan.WrittenMask());
  bool held = false;
  const bool clipped = plan.range.Limited();
  container::Frame frame;
  while (reader.Next(&frame).ok()) {
    if (job->CancelRequested()) return finish_all(true);
    Post(sink, step, step_value);
    if (single && !held && job->hold_point == single_channel) {
      held = true;
      HoldUntilCancelled(*job);
    }
    ChannelOutput* out = outputs[frame.channel].get();
    if (out == nullptr) {
      ChannelPlan& p = plan.channels[frame.channel];
      if (!p.late) continue;
      if (frame.kind == container::FrameKind::kAudio && IsWrittenFrame(frame)) {
        ++results[frame.channel].sound_frames;
      }
      // A channel the scan gave no size, at its first frame (or, when no video followed that
      // closely, at its first video frame): its size is learned from the frames ahead, and its
      // files start here.
      const int tries = late_attempts[frame.channel];
      if (!(frame.counted || frame.passthrough) || tries > 1 || (tries == 1 && !frame.counted)) {
        continue;
      }
      ++late_attempts[frame.channel];
      const container::Frame here = frame;
      const LearnedSize size = LearnChannelSize(reader, here.channel, here.offset, here.index);
      if (!reader.Restart(here.offset, here.index).ok() || !reader.Next(&frame).ok() ||
          frame.index != here.index) {
        return fail(here.channel, Status(StatusCode::kReadFailed, "cannot read " + reader.path()));
      }
      ChannelResult& r = results[frame.channel];
      if (size.video) late_attempts[frame.channel] = 2;  // no other try
      r.unsupported = size.unsupported;
      r.undecodable = size.video && !size.HasSize();
      if (!size.HasSize()) continue;
      p.write = true;
      p.description.width = size.width;
      p.description.height = size.height;
      p.description.crop_left = size.crop[0];
      p.description.crop_right = size.crop[1];
      p.description.crop_top = size.crop[2];
      p.description.crop_bottom = size.crop[3];
      r.found_late = frame.index >= kScanFrameLimit;
      r.first_frame = frame.index;
      r.first_seconds = frame.Time();
      r.file = p.files.empty() ? "" : p.files[0].path;
      r.sound_frames = 0;
      outputs[frame.channel] = std::make_unique<ChannelOutput>(p, job->settings, &shared);
      out = outputs[frame.channel].get();
      step_value = int(mask & plan.WrittenMask());
    }
    const bool video = frame.kind == container::FrameKind::kVideo;
    const ClipTracker::Step taken = out->tracker.Next(frame);
    if (clipped && !out->opened() && video && out->tracker.start_key().index == frame.index) {
      out->sets_at_key = out->parameter_sets;  // a clip may start at this key frame
    }
    if (taken == ClipTracker::Step::kSkip) {
      // Only a clip starts after some of the channel's frames (a whole file starts at its
      // first): only then do the parameter sets before it matter.
      if (video && clipped && !out->opened()) out->parameter_sets.NoteFrame(frame.payload);
      continue;
    }
    const int c = frame.channel;
    if (taken == ClipTracker::Step::kTakeFromKey) {
      // The clip starts at a key frame read earlier: read from there up to this frame again,
      // taking the channel's frames, then this frame once more.
      out->sets_at_start = out->sets_at_key;
      const container::Frame here = frame;
      if (!reader.Restart(out->tracker.start_key().offset, out->tracker.start_key().index).ok()) {
        return fail(c, Status(StatusCode::kReadFailed, "cannot read " + reader.path()));
      }
      while (reader.Next(&frame).ok() && frame.index < here.index) {
        if (frame.channel != c || !(frame.counted || frame.passthrough)) continue;
        if (Status s = out->Write(frame); !s.ok()) return fail(c, s);
      }
      if (frame.index != here.index || frame.offset != here.offset) {
        return fail(c, Status(StatusCode::kReadFailed, "cannot read " + reader.path()));
      }
    } else if (clipped && !out->opened()) {
      out->sets_at_start = out->parameter_sets;
    }
    if (Status s = out->Write(frame); !s.ok()) return fail(c, s);
    if (!single && !held && job->hold_point == c) {
      held = true;
      HoldUntilCancelled(*job);
    }
  }
  for (int c = 0; c < kChannelCount; ++c) {
    if (!outputs[c]) continue;
    const ClipTracker& t = outputs[c]->tracker;
    results[c].all_counted = t.all_counted;
    results[c].all_first = t.all_first;
    results[c].all_last = t.all_last;
    results[c].starts_at_key_before_from = t.starts_before_from();
    results[c].starts_at_key_after_from = t.starts_after_from();
    results[c].clock_jumps = t.clock_jumps;
    results[c].clock_jump_count = t.clock_jump_count;
    const ChannelPlan& p = plan.channels[c];
    results[c].coded_width = p.description.width;
    results[c].coded_height = p.description.height;
    results[c].width = p.description.width - p.description.crop_left - p.description.crop_right;
    results[c].height = p.description.height - p.description.crop_top - p.description.crop_bottom;
    if (!outputs[c]->opened()) {
      results[c].outcome = t.waiting_for_key() || t.ended() ? ChannelOutcome::kNoKeyInRange
                                                            : ChannelOutcome::kOutsideRange;
    }
  }
  return finish_all(false);
}

}  // namespace vexlor::app
