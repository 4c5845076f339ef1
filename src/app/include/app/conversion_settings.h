// What a conversion writes, and what it wrote for each channel.
//
// The settings' defaults are the dialog's: every channel, the whole recording, AVI files beside
// the recording, one pass over the recording per channel. The command-line tool changes them
// before it starts the worker.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mux/muxer.h"

namespace vexlor::app {

// A span of the frames' time: seconds since 1970-01-01 00:00 UTC, the frame's whole seconds
// plus its sixtieths (the worker's time stamp). A missing bound is open.
struct TimeRange {
  bool has_from = false;
  bool has_to = false;
  double from = 0;
  double to = 0;

  bool Limited() const { return has_from || has_to; }
  bool Contains(double t) const { return (!has_from || t >= from) && (!has_to || t <= to); }
};

inline constexpr uint32_t kAllChannels = 0xFFFF;

// A step of a channel's clock between two of its counted frames that no recording makes: back in
// time (the recorder's clock set back), or forward by more than kClockJumpForward seconds (set
// forward; shorter steps are pauses).
struct ClockJump {
  int64_t frame = 0;  // the frame after the step (its index in the recording)
  double from = 0;    // the time stamps before and after it
  double to = 0;
};
inline constexpr double kClockJumpForward = 3600;
inline constexpr size_t kClockJumpsKept = 32;  // the first ones; clock_jump_count counts all

// No footage of a channel between two of its counted frames: the frame after the gap (its index
// in the recording), their time stamps, and the same through ConversionSettings::wall_clock (a
// conversion's report; the survey leaves them 0).
struct FootageGap {
  int64_t frame = 0;
  double from = 0, to = 0;
  double wall_from = 0, wall_to = 0;
};

struct ConversionSettings {
  uint32_t channels = kAllChannels;  // bit c set: write channel c (0..15)
  // Only the frames in this range. A channel's clip starts at the last key frame (a video frame
  // holding an IDR slice) at or before its first counted frame in the range, so that a player
  // can decode it from its first frame; when the channel has none there, at its first key frame
  // after that.
  TimeRange range;
  std::string output_dir;  // empty: beside the recording
  // Write nothing when every file exists complete and no temporary file of a killed run lies
  // beside one; such leftovers of a file written anew are removed.
  bool skip_existing = false;
  // The formats each channel is written in, one file per format; empty: AVI only.
  std::vector<const mux::Format*> formats;
  // One read only: the formats that can hold several channels write one file per recording
  // (NAME.mkv for NAME.kvr) with every channel the scan found on one timeline, instead of one
  // per channel. A channel found only during the read gets files of its own.
  bool one_file = false;
  // Every channel's files are written during one read of the recording (the command line);
  // otherwise each channel in a pass of its own, one after the other (the dialog).
  bool one_read = false;
  // Files no output may replace besides the recording itself (the other recordings of a batch).
  std::vector<std::string> keep_paths;
  // Formats that keep each frame's time: the text of their clock track for a wall-clock time
  // (unset: no clock track), and a maker of the mapping from a channel's stamps (in order) to
  // wall-clock time (unset: the stamps as they are). When set, `range` is in wall-clock time
  // too: each channel's stamps are mapped in their order before they are compared with it.
  std::function<std::string(double)> clock_text;
  std::function<std::function<double(double)>()> wall_clock;
  // Pauses of a channel's footage longer than this many seconds (between two of its counted
  // frames written, in wall-clock time) are listed in its result; 0: none are.
  double gap_seconds = 0;

  bool Selected(int channel) const { return (channels >> channel) & 1u; }
};

// What became of a channel in the latest run.
enum class ChannelOutcome : int {
  kNoVideo = 0,   // the scan found no decodable video on it
  kNotSelected,   // left out by ConversionSettings::channels
  kOutsideRange,  // no counted frame in the time range
  kNoKeyInRange,  // counted frames in the range, but no key frame to start a clip at
  kWritten,       // its files are complete
  kExisting,      // skip_existing: its complete files were left alone
  kCancelled,     // its files were closed where the cancel found them
  kFailed,        // a file could not be created or written
  kNotReached,    // the run ended (cancel or write error) before its turn, or its files were
                  // removed because another file of the recording failed
};

// One file of a channel.
struct FileResult {
  const mux::Format* format = nullptr;
  std::string path;
  mux::MuxerFacts facts;  // of the channel's tracks
  int track = 0;          // a file of several channels: the number of the channel's video track
};

struct ChannelResult {
  ChannelOutcome outcome = ChannelOutcome::kNoVideo;
  std::string file;               // the first format's file (written or left alone)
  std::vector<FileResult> files;  // every format's file, in the order of the settings' formats
  std::string error;              // why a file failed (kFailed)
  uint32_t video_chunks = 0;      // chunks written to the first file
  uint32_t audio_chunks = 0;
  int64_t counted = 0;  // time-stamped video frames written (the rate's frames)
  double t_first = 0;   // time of the first and the last of them
  double t_last = 0;
  double wall_first = 0;  // the same through ConversionSettings::wall_clock (or as they are)
  double wall_last = 0;
  std::vector<FootageGap> gaps;  // longer than ConversionSettings::gap_seconds, in time order
  uint32_t rate_scale = 0;       // the video stream's rate as the AVI file carries it:
  uint32_t rate_rate = 0;        // rate_rate / rate_scale frames per second
  bool starts_at_key_before_from = false;  // the clip begins before `from`, at a key frame
  bool starts_at_key_after_from = false;   // no key frame before: it begins at the first after
  // One read only: a channel the scan gave no size, found during the read.
  bool found_late = false;   // it first appears after the frames the scan reads
  int64_t first_frame = -1;  // the frame it first appears at, and that frame's time stamp
  double first_seconds = 0;
  // Why the decoder does not decode the channel's video ("High profile: CABAC"): its files are
  // copied without decoding, their size from its parameter sets; or, without such a size, it
  // gets none.
  std::string unsupported;
  bool undecodable = false;  // it has video, but no size could be learned from it
  // The picture size a player shows (cropped) and the coded size of the files' headers.
  int32_t width = 0, height = 0;
  int32_t coded_width = 0, coded_height = 0;
  // Steps of the channel's clock over the whole recording.
  std::vector<ClockJump> clock_jumps;
  int64_t clock_jump_count = 0;
  int64_t sound_frames = 0;  // audio frames of a channel without video (sound only)
  // The channel's counted frames over the whole recording (known when a time range was given):
  // tells why a channel got no frame of the range.
  int64_t all_counted = 0;
  double all_first = 0;
  double all_last = 0;
};

}  // namespace vexlor::app
