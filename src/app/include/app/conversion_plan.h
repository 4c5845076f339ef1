// The conversion plan: which channels get files, in which formats and under which names, and
// which of their frames those files hold (a time range's clips).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/channel_scan.h"
#include "app/conversion_settings.h"
#include "container/recording_reader.h"
#include "mux/muxer.h"

namespace vexlor::app {

// The formats the conversion writes: AVI first, the default.
std::span<const mux::Format* const> Formats();
// The format of that name ("avi", "mp4", "mkv"), or null.
const mux::Format* FindFormat(std::string_view name);
const mux::Format& DefaultFormat();

// Name of channel c's output file: the recording's path without its extension, then "_",
// the two digits of c + 1 and the suffix (cam.kvr -> cam_01.avi for channel 0). A name without
// an extension keeps all of it (cam -> cam_01.avi).
std::string OutputName(const std::string& recording_path, int channel, const char* suffix = ".avi");
// The same name in another directory (output_dir empty: beside the recording). Channel -1: the
// name of the file of several channels, without the number (cam.kvr -> cam.mkv).
std::string OutputNameIn(const std::string& output_dir, const std::string& recording_path,
                         int channel, const char* suffix = ".avi");

// Follows one channel's frames in reading order and tells which of them its clip holds: the
// frames the writing takes (counted frames, and passthrough frames) from the key frame that
// starts the clip up to the last counted frame in the range. Without a range the clip is all of
// them. A frame the clip holds may have to be preceded by earlier frames of the channel (from
// the last key frame before it): start_key() then names where they begin.
class ClipTracker {
 public:
  enum class Step {
    kSkip,         // not part of the clip
    kTake,         // part of the clip
    kTakeFromKey,  // the clip starts: at the key frame start_key(), read before this frame
  };
  struct Place {
    int64_t offset = -1;  // container::Frame::offset
    int64_t index = -1;   // container::Frame::index
  };

  // `to_range`, when given: maps the channel's stamps, in their order, to the time the range is
  // in (the corrected clock); the range is compared with the stamps as they are otherwise.
  explicit ClipTracker(const TimeRange& range, std::function<double(double)> to_range = {})
      : range_(range), to_range_(std::move(to_range)) {}
  Step Next(const container::Frame& frame);
  // Once Next returned kTakeFromKey: the key frame the clip starts at.
  const Place& start_key() const { return key_; }
  bool started() const { return started_; }
  bool ended() const { return phase_ == Phase::kAfter; }
  // Counted frames in the range were seen, but no key frame to start at, yet.
  bool waiting_for_key() const { return phase_ == Phase::kWaitKey; }
  bool starts_before_from() const { return before_; }
  bool starts_after_from() const { return after_; }
  // With `to_range`: the mapping as it stood at the clip's first frame (the key frame it starts
  // at), to be continued over the clip's frames in their order; empty otherwise.
  const std::function<double(double)>& start_map() const { return start_map_; }

  // The channel's counted frames over everything read, with the times of the first and last,
  // and the steps of its clock.
  int64_t all_counted = 0;
  double all_first = 0;
  double all_last = 0;
  std::vector<ClockJump> clock_jumps;
  int64_t clock_jump_count = 0;

 private:
  enum class Phase { kBefore, kWaitKey, kInside, kAfter };
  TimeRange range_;
  std::function<double(double)> to_range_;
  std::function<double(double)> key_map_, start_map_;  // to_range_ at key_, at the clip's start
  Phase phase_ = Phase::kBefore;
  Place key_;
  bool started_ = false;
  bool before_ = false, after_ = false;
};

// Whether the writing takes the frame at all (as a chunk, sample or block): counted frames and
// passthrough frames of a known kind with their whole header.
bool IsWrittenFrame(const container::Frame& frame);

struct PlannedFile {
  const mux::Format* format = nullptr;
  std::string path;
  bool shared = false;  // the recording's file of several channels (ConversionPlan::shared)
};

struct ChannelPlan {
  bool write = false;                                 // gets files
  ChannelOutcome outcome = ChannelOutcome::kNoVideo;  // when not: why
  // One read only: selected, but the scan gave it no size. It gets files too when its size is
  // learned during the read (a channel that first appears after the scan's frames, or one the
  // decoder does not decode).
  bool late = false;
  std::vector<PlannedFile> files;
  mux::StreamDescription description;  // what the scan knows of it
  int stream = -1;                     // its stream in the shared file
};

struct ConversionPlan {
  ChannelPlan channels[kChannelCount];
  TimeRange range;
  bool one_read = false;
  // one_file: the file that holds the channels with a stream, one stream each in channel order;
  // format null: none.
  PlannedFile shared;
  uint32_t WrittenMask() const {
    uint32_t mask = 0;
    for (int c = 0; c < kChannelCount; ++c) mask |= channels[c].write ? 1u << c : 0u;
    return mask;
  }
};

// The plan for a scanned recording under the settings.
ConversionPlan PlanConversion(const ChannelScan& scan, const ConversionSettings& settings,
                              const std::string& recording_path, int64_t recording_size);

}  // namespace vexlor::app
