// What a conversion writes, and what it wrote for each channel.
//
// The settings' defaults are the dialog's: every channel, the whole recording, files beside the
// recording. The command-line tool changes them before it starts the worker; with the defaults
// the worker runs exactly the two passes of the scan and the writing.
#pragma once

#include <cstdint>
#include <string>

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

struct ConversionSettings {
  uint32_t channels = kAllChannels;  // bit c set: write channel c (0..15)
  // Only the frames in this range. A channel's clip starts at the last key frame (a video frame
  // holding an IDR slice) at or before its first counted frame in the range, so that a player
  // can decode it from its first frame.
  TimeRange range;
  std::string output_dir;      // empty: beside the recording
  // Write nothing when every file exists complete and no temporary file of a killed run lies
  // beside one; such leftovers of a file written anew are removed.
  bool skip_existing = false;

  bool Selected(int channel) const { return (channels >> channel) & 1u; }
};

// What became of a channel in the latest run.
enum class ChannelOutcome : int {
  kNoVideo = 0,   // the scan found no decodable video on it
  kNotSelected,   // left out by ConversionSettings::channels
  kOutsideRange,  // no counted frame in the time range
  kWritten,       // its file is complete
  kExisting,      // skip_existing: its complete file was left alone
  kCancelled,     // its file was closed where the cancel found it
  kFailed,        // its file could not be created or written
  kNotReached,    // the run ended (cancel or write error) before its turn
};

struct ChannelResult {
  ChannelOutcome outcome = ChannelOutcome::kNoVideo;
  std::string file;           // the output file (written or left alone)
  uint32_t video_chunks = 0;  // chunks written
  uint32_t audio_chunks = 0;
  int64_t counted = 0;  // time-stamped video frames written (the rate's frames)
  double t_first = 0;   // time of the first and the last of them
  double t_last = 0;
  uint32_t rate_scale = 0;                 // the video stream's rate as the file carries it:
  uint32_t rate_rate = 0;                  // rate_rate / rate_scale frames per second
  bool starts_at_key_before_from = false;  // the clip begins before `from`, at a key frame
  // The channel's counted frames over the whole recording (known when a time range was given):
  // tells why a channel got no frame of the range.
  int64_t all_counted = 0;
  double all_first = 0;
  double all_last = 0;
};

}  // namespace vexlor::app
