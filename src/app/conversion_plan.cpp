#include "app/conversion_plan.h"

#include <cstdio>

#include "avi/avi_muxer.h"
#include "h264/annexb.h"
#include "mkv/mkv_muxer.h"
#include "mp4/mp4_muxer.h"
#include "platform/file.h"

namespace vexlor::app {

std::span<const mux::Format* const> Formats() {
  static const mux::Format* const kFormats[] = {&avi::AviFormat(), &mp4::Mp4Format(),
                                                &mkv::MkvFormat()};
  return kFormats;
}

const mux::Format* FindFormat(std::string_view name) {
  for (const mux::Format* f : Formats()) {
    if (name == f->name) return f;
  }
  return nullptr;
}

const mux::Format& DefaultFormat() {
  return *Formats()[0];
}

std::string OutputName(const std::string& recording_path, int channel, const char* suffix) {
  // Drop the file name's extension (".kvr", ".ms2", ".m4v": the last four characters); a file
  // name without a dot keeps all of it, so the name never reaches into the directory part.
  const size_t slash = recording_path.find_last_of(platform::kPathSeparators);
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = recording_path.find_last_of('.');
  const size_t stem_end =
      (dot != std::string::npos && dot >= name_start) ? dot : recording_path.size();
  char number[16] = "";
  if (channel >= 0) std::snprintf(number, sizeof number, "_%02d", channel + 1);
  return recording_path.substr(0, stem_end) + number + suffix;
}

std::string OutputNameIn(const std::string& output_dir, const std::string& recording_path,
                         int channel, const char* suffix) {
  std::string name = OutputName(recording_path, channel, suffix);
  if (output_dir.empty()) return name;
  const size_t slash = name.find_last_of(platform::kPathSeparators);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const bool ends_with_separator =
      std::string(platform::kPathSeparators).find(output_dir.back()) != std::string::npos;
  return ends_with_separator ? output_dir + base : output_dir + "/" + base;
}

bool IsWrittenFrame(const container::Frame& frame) {
  return (frame.counted || frame.passthrough) && frame.kind != container::FrameKind::kOther &&
         frame.bytes.size() >= container::kFrameHeaderSize;
}

ClipTracker::Step ClipTracker::Next(const container::Frame& frame) {
  const double t = frame.counted ? frame.Time() : 0.0;
  if (frame.counted) {
    if (all_counted == 0) all_first = t;
    if (all_counted > 0 && (t < all_last || t - all_last > kClockJumpForward)) {
      if (clock_jumps.size() < kClockJumpsKept) {
        clock_jumps.push_back(ClockJump{frame.index, all_last, t});
      }
      ++clock_jump_count;
    }
    all_last = t;
    ++all_counted;
  }
  // Frames of the clip: counted frames (written when of a known kind) and passthrough frames.
  const bool member = frame.counted || frame.passthrough;
  if (!range_.Limited()) {
    started_ = started_ || member;
    return member ? Step::kTake : Step::kSkip;
  }
  const bool key = IsWrittenFrame(frame) && frame.kind == container::FrameKind::kVideo &&
                   h264::HoldsIdrSlice(frame.payload);
  // Every counted frame goes through the mapping, in order: it follows the recorder's clock.
  // Until the clip starts, the mapping as it stands before this frame is kept for it.
  std::function<double(double)> before;
  if (to_range_ && (phase_ == Phase::kBefore || phase_ == Phase::kWaitKey)) before = to_range_;
  const double at = frame.counted && to_range_ ? to_range_(t) : t;
  const bool past_to = frame.counted && range_.has_to && at > range_.to;
  switch (phase_) {
    case Phase::kBefore:
      if (key) {
        key_ = Place{frame.offset, frame.index};
        key_map_ = before;
      }
      if (!frame.counted || !range_.Contains(at)) return Step::kSkip;
      if (key_.index < 0) {
        // No key frame yet: a clip starting here would not decode.
        phase_ = Phase::kWaitKey;
        return Step::kSkip;
      }
      phase_ = Phase::kInside;
      started_ = true;
      start_map_ = key_map_;
      before_ = key_.index != frame.index;
      return before_ ? Step::kTakeFromKey : Step::kTake;
    case Phase::kWaitKey:
      if (past_to) {
        phase_ = Phase::kAfter;
        return Step::kSkip;
      }
      if (!key) return Step::kSkip;
      phase_ = Phase::kInside;
      started_ = true;
      after_ = true;
      key_ = Place{frame.offset, frame.index};
      start_map_ = before;
      return Step::kTake;
    case Phase::kInside:
      if (past_to) {
        phase_ = Phase::kAfter;
        return Step::kSkip;
      }
      return member ? Step::kTake : Step::kSkip;
    case Phase::kAfter:
      break;
  }
  return Step::kSkip;
}

ConversionPlan PlanConversion(const ChannelScan& scan, const ConversionSettings& settings,
                              const std::string& recording_path, int64_t recording_size) {
  ConversionPlan plan;
  plan.range = settings.range;
  plan.one_read = settings.one_read;
  std::vector<const mux::Format*> formats = settings.formats;
  if (formats.empty()) formats.push_back(&DefaultFormat());
  if (settings.one_file && settings.one_read) {
    for (const mux::Format* f : formats) {
      if (!f->several_streams) continue;
      plan.shared =
          PlannedFile{f, OutputNameIn(settings.output_dir, recording_path, -1, f->suffix), true};
      break;
    }
  }
  int streams = 0;
  for (int c = 0; c < kChannelCount; ++c) {
    ChannelPlan& p = plan.channels[c];
    if (!settings.Selected(c)) {
      if (scan.HasSize(c)) p.outcome = ChannelOutcome::kNotSelected;
      continue;
    }
    if (!scan.HasSize(c) && !settings.one_read) continue;  // kNoVideo
    p.late = !scan.HasSize(c);
    p.write = !p.late;
    p.outcome = p.late ? ChannelOutcome::kNoVideo : ChannelOutcome::kNotReached;
    for (const mux::Format* f : formats) {
      if (f == plan.shared.format && !p.late) {
        p.files.push_back(plan.shared);
        p.stream = streams++;
        char name[16];
        std::snprintf(name, sizeof name, "CH_%02d", c + 1);
        p.description.name = name;
        continue;
      }
      p.files.push_back(
          PlannedFile{f, OutputNameIn(settings.output_dir, recording_path, c, f->suffix)});
    }
    mux::StreamDescription& d = p.description;
    d.width = scan.widths[c];
    d.height = scan.heights[c];
    d.crop_left = scan.picture_crops[c][0];
    d.crop_right = scan.picture_crops[c][1];
    d.crop_top = scan.picture_crops[c][2];
    d.crop_bottom = scan.picture_crops[c][3];
    d.parameter_sets = scan.parameter_sets[c].InForce();
    d.source_size = recording_size;
    d.clock_text = settings.clock_text;
    if (settings.wall_clock) d.wall_clock = settings.wall_clock();
    d.keep_paths = settings.keep_paths;
    d.keep_paths.push_back(recording_path);
  }
  return plan;
}

}  // namespace vexlor::app
