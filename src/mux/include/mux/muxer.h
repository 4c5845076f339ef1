// The seam between the conversion and the file formats it writes. A muxer writes one output
// file: one channel's video (H.264, copied as the recording carries it, never re-encoded) and
// its audio (8-bit unsigned mono PCM at 8000 samples per second). A format is a record: its name,
// the suffix of its files, a function that makes a muxer and one that tells whether a file is
// one that a muxer of this format finished. Adding a format means writing those and listing the
// record; nothing else in the conversion changes.
//
// Calling order: Open; any number of Write; Finish (the file is complete under its temporary
// name) and Commit (it takes its final name); or, at any point after Open, Abandon (it is
// removed; an earlier file of that name stays). The files of one conversion are all finished
// before any is committed, so that a failure removes them all. A muxer is used by one thread.
//
// A format whose record says so (several_streams) also writes one file holding several
// channels: OpenStreams instead of Open, each sample naming its stream. The streams share one
// timeline: each stream's samples at their stamps' distance from one origin, the earliest first
// stamp of them all, so that an instant two channels recorded sits at the same time in both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/status.h"

namespace vexlor::mux {

// A frame's time stamp in the recording: whole seconds (counted since 1970-01-01 00:00 UTC when
// the recorder's clock was right) and sixtieths of a second.
struct RecordingTime {
  uint32_t seconds = 0;
  uint32_t ticks = 0;  // sixtieths; a damaged header may carry 60 or more

  // The stamp as one count of sixtieths, exact.
  int64_t Sixtieths() const { return int64_t{seconds} * 60 + int64_t{ticks}; }
  // The stamp in seconds, as the conversion measures rates: ticks * (1/60) + seconds.
  double Seconds() const { return ticks * (1.0 / 60) + static_cast<double>(seconds); }
};

enum class Track : int { kVideo = 0, kAudio = 1 };

// What a muxer knows of the channel before its first sample.
struct StreamDescription {
  // The picture size that the channel scan learned: the decoded (coded) size, multiples of 16.
  int32_t width = 0;
  int32_t height = 0;
  // The part of the picture that the stream marks as not for display, in luma samples (left,
  // right, top, bottom): a player shows width - left - right by height - top - bottom.
  int32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  // The sequence and picture parameter sets in force for the first video sample: whole NAL
  // units (header byte first, emulation prevention bytes kept, no start code), sequence sets
  // first. Later samples may carry others of their own (a channel whose size changes).
  std::vector<std::vector<uint8_t>> parameter_sets;
  // Whether audio samples are expected. A hint: audio may arrive when false, or none when true;
  // the finished file must describe what was written.
  bool has_audio = false;

  // The stamp that is time zero of the file. Unset (-1): the first video sample's stamp.
  int64_t origin_sixtieths = -1;
  // Wall-clock time (seconds since 1970 UTC) of a recording stamp given in seconds, with the
  // recorder's clock put right. Unset: the stamp as it is.
  std::function<double(double)> wall_clock;
  // The clock track's text for a wall-clock time (a local date-time with its offset). Unset: no
  // clock track.
  std::function<std::string(double)> clock_text;

  // The size of the recording being converted, in bytes: formats with 32-bit offsets (AVI)
  // choose their large-file form from the start when it is 2 GiB or more.
  int64_t source_size = 0;
  // Files that no output may replace: the recordings of the batch.
  std::vector<std::string> keep_paths;
  // The name of the stream's tracks in a file of several streams ("CH_01"); empty: none.
  std::string name;
};

// One sample, in the order of the recording (video: the order its pictures are decoded in).
struct Sample {
  Track track = Track::kVideo;
  // Video: the frame's H.264 byte stream (start codes included) as the recording carries it.
  // Audio: the frame's PCM bytes, one byte per sample.
  std::span<const uint8_t> payload;
  RecordingTime time;
  // Video: the frame carries its own time stamp (the frames the conversion's rate is measured
  // from); passthrough frames do not, and take their place between the others.
  bool counted = false;
  // Video: the frame holds an IDR picture. Audio: always true.
  bool key = false;
  // The stream it belongs to, in a file of several (an index into OpenStreams' descriptions).
  int stream = 0;
  // Video: where the picture is shown, counted in video samples from its own place in the
  // file: it takes the time of the sample that many places later (or earlier, when negative).
  // The samples of a stream shown in the order it is decoded have 0; those of a stream with
  // reordered pictures give each place to exactly one picture. Formats without composition
  // times (AVI) ignore it; the others trust no more than kMaxPresentationOffset places.
  int32_t presentation_offset = 0;
};

inline constexpr int32_t kMaxPresentationOffset = 64;

// What the conversion measured over the frames written, for Finish.
struct FinishInfo {
  bool cancelled = false;  // the conversion stopped before the end of the file's frames
  int64_t counted = 0;     // counted video samples written
  double t_first = 0;      // RecordingTime::Seconds() of the first and the last of them
  double t_last = 0;
};

// What a finished (or abandoned) file holds.
struct MuxerFacts {
  int64_t video_samples = 0;
  int64_t audio_samples = 0;  // audio frames
  int64_t audio_bytes = 0;    // audio samples (one byte each)
  // The video frame rate the file declares, rate / scale frames per second; 0 / 0 for formats
  // that declare none (each sample carries its own time).
  uint32_t rate = 0;
  uint32_t scale = 0;
  int64_t duration_units = 0;  // the footage's span in the file, in kUnitsPerSecond
  int64_t backward_steps = 0;  // stamps that ran backwards (placed after the one before)
};

inline constexpr int64_t kUnitsPerSecond = 90000;  // file times: one sixtieth is 1500 units
inline constexpr int64_t kUnitsPerTick = kUnitsPerSecond / 60;

class Muxer {
 public:
  virtual ~Muxer() = default;
  // Creates the output under a temporary name beside `path` and writes what comes before the
  // samples. The Status says why not (its message names the file and the system's reason).
  virtual Status Open(const std::string& path, const StreamDescription& description) = 0;
  virtual Status Write(const Sample& sample) = 0;
  // Completes the file, still under its temporary name: everything is written and the failure
  // of any write is reported. A cancelled conversion finishes its files too: they are valid and
  // play, but the format's completeness check does not count them.
  virtual Status Finish(const FinishInfo& info) = 0;
  // Gives the finished file its final name (flushed to the disk first).
  virtual Status Commit() = 0;
  // Removes the temporary file; an earlier file of the final name stays as it was.
  virtual void Abandon() = 0;
  virtual MuxerFacts Facts() const = 0;

  // A file of several streams, one per description, on one timeline: each description's
  // origin_sixtieths is ignored unless the first one's is set (then it is the origin of all).
  // Formats without several_streams refuse.
  virtual Status OpenStreams(const std::string& path,
                             std::span<const StreamDescription> descriptions) {
    (void)descriptions;
    return Status(StatusCode::kInvalidArgument, "one stream per file: " + path);
  }
  // What the file holds of one stream (Facts: of them all).
  virtual MuxerFacts StreamFacts(int stream) const {
    (void)stream;
    return Facts();
  }
  // The number of the stream's video track in the file (its audio has another); 0: none.
  virtual int StreamTrack(int stream) const {
    (void)stream;
    return 0;
  }
};

struct Format {
  const char* name;    // as --format names it: "avi", "mp4", "mkv"
  const char* suffix;  // of its files: ".avi"
  std::unique_ptr<Muxer> (*create)();
  // Whether the file at `path` (UTF-8) is one that a muxer of this format finished: whole, and
  // not cut short by a cancel. --skip-existing leaves such files alone.
  bool (*is_finished)(const std::string& path);
  // Its muxers can write several streams into one file (OpenStreams).
  bool several_streams = false;
};

}  // namespace vexlor::mux
